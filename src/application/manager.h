#pragma once

#include <kesupluginmanager_export.h>

#include <QJsonDocument>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

namespace korvel::application::impl {

class Configuration;
class ManagerPrivate;

// The one process-wide owner of the configuration: the shipped document, read from
// "3d_presets.json" and never written, and the user's document, read from and written to
// "presets.json". The user file is written one second after the last change made through a
// Configuration handle. The host constructs it once, after its QCoreApplication.
//
// Several processes may share the user file: every write holds "presets.json.lock", merges this
// process's changes onto what is on disk and replaces the file atomically, and a change that
// another process writes is picked up within about a second and announced as if made here.
// Lock order: the store's lock outside, a transfer-function model's lock inside, never the reverse.
class KESUPLUGINMANAGER_EXPORT Manager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Manager)

public:
    // Reads $HOME/.kesu/presets.json and "3d_presets.json" from "../Resources" beside the
    // executable's folder (or from that folder itself when there is no such folder).
    Manager();
    // Reads and writes the given files instead, for tools and tests.
    Manager(const QString &user_file, const QString &global_file);
    // Writes a save that is still pending (as sync() does), so no edit is lost at exit.
    ~Manager() override;

    // The manager constructed last and not yet destroyed, or null.
    static Manager *instance();

    void on_load();
    // Writes the user document now, merged with what is on disk; the save timer calls it.
    void on_save();
    // Writes pending user changes now and returns whether the user file holds them; true at once
    // when nothing is pending.
    bool sync();

    QString user_file_path() const { return user_file; }
    QString global_file_path() const { return global_file; }

Q_SIGNALS:
    // Emitted under the store's lock, in the writing thread, after a value was replaced; in the
    // manager's thread for a value that another process changed in the user file.
    void modified(const QString &path);
    // Emitted under the store's lock, in the writing thread, after a value was removed; in the
    // manager's thread for a value that another process removed from the user file.
    void dropped(const QString &path);

private:
    friend class Configuration;
    friend class ManagerPrivate;

    void change_made();
    int save_delay() const;

    QTimer *save_timer;
    QJsonDocument global_document;
    QJsonDocument user_document;
    std::recursive_mutex documents_mutex;

    QString user_file;
    QString global_file;
    // Milliseconds on a monotonic clock of the first change not yet saved, or 0.
    std::atomic<qint64> first_unsaved_change{0};
    std::atomic<bool> save_pending{false};
    // A user file that could not be read is never overwritten.
    bool user_file_unreadable = false;
    // A user file that is not a JSON object is copied aside before the next save.
    bool user_file_broken = false;
    bool unreadable_reported = false;
    std::shared_ptr<ManagerPrivate> d;
};

} // namespace korvel::application::impl
