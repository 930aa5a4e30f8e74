#pragma once

// The user file as several processes share it: what this process last saw of it, reading it,
// writing it atomically, and merging this process's changes onto what another one wrote.

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>

#include <vector>

namespace korvel::application::impl {

// What this process last read or wrote of a file, to tell whether another process changed it.
struct DiskState
{
    bool exists = false;
    qint64 size = 0;
    qint64 modified_ns = 0;
    quint64 inode = 0;
    quint64 device = 0;
    // The content, kept only when the file had been modified less than 2 s before it was
    // recorded: a coarse file-system clock or a reused inode can then hide a change behind an
    // equal size, time and inode.
    QByteArray recent_content;

    // The file as it is now; content is what was just read from it or written to it.
    static DiskState of(const QString &file, const QByteArray &content = QByteArray());
};

// True when file is no longer what known recorded.
bool changed_on_disk(const QString &file, const DiskState &known);
// The same by size, modification time and inode alone, without reading the file.
bool replaced_on_disk(const QString &file, const DiskState &known);

struct FileContent
{
    enum Kind { missing, unreadable, empty, broken, object };
    Kind kind = missing;
    QJsonObject document;
    QByteArray bytes;
    QString error;
};
FileContent read_file(const QString &file);

// Writes bytes to a temporary file renamed over file; on failure error holds the reason.
bool write_atomically(const QString &file, const QByteArray &bytes, QString &error);

// Removes the temporary files that a killed save leaves beside file; called under its lock.
void remove_stale_temporaries(const QString &file);

// Creates the folder that holds file (only the last level, mode 0700) unless it would sit
// directly under "/"; false with error when the folder is not there afterwards.
bool make_folder_for(const QString &file, QString &error);

// Paths below "user/" that this process set or dropped since it last read or wrote the file.
using ChangedPaths = QSet<QString>;

// What this process knows of a user file that it must not overwrite as it is.
struct FileFlags
{
    bool unreadable = false; // never overwritten
    bool broken = false; // copied aside before it is replaced
    bool unreadable_reported = false;
    bool folder_reported = false;
};

// What a save needs, taken from the manager under its lock, so that the file can be written in
// another thread.
struct SaveJob
{
    QString file;
    QJsonObject memory;
    ChangedPaths changes;
    DiskState disk;
    FileFlags flags;
};

struct SaveResult
{
    bool saved = false;
    // The file had been replaced by another process: what was written is merged.
    bool reread = false;
    QJsonObject written;
    DiskState disk;
    FileFlags flags;
};

// Writes the job's document under the file's lock, merged with what another process wrote since
// the job's disk state; takes no lock of the manager's.
SaveResult save_user_file(const SaveJob &job);

// onto with the value that memory holds at each changed path, or without it where memory has
// none: another process's values at other paths survive.
QJsonObject apply_changes(QJsonObject onto, const QJsonObject &memory, const ChangedPaths &changes);

struct Difference
{
    QString path; // below "user/"
    bool dropped = false;
};

// Where two versions of the user document differ: objects are compared member by member, but a
// preset, a colour table and the last-preset record count as one value each.
std::vector<Difference> differences(const QJsonObject &before, const QJsonObject &after);

} // namespace korvel::application::impl
