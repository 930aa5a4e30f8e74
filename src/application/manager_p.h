#pragma once

// The manager's state that its installed header does not show. Handles share it, so that a
// handle kept after its manager is gone finds out instead of touching freed memory.

#include "application/userfile.h"

#include <QJsonObject>

QT_BEGIN_NAMESPACE
class QFileSystemWatcher;
class QTimer;
QT_END_NAMESPACE

namespace korvel::application::impl {

class Manager;

class ManagerPrivate
{
public:
    explicit ManagerPrivate(Manager *manager);

    // Each runs with the manager's documents_mutex held.
    void load_user_file();
    // Writes the user document merged with what is on disk; true when the file holds it.
    bool save();
    // Takes in what another process wrote to the user file, keeping this process's changes.
    void pick_up();
    // Emits modified or dropped for a change made through a handle and schedules the save.
    void announce(const QString &path, bool dropped);
    // Watches the user file and its folder (the folder's parent while there is no folder).
    void watch();

    // Null once the manager is destroyed; read and written under its documents_mutex.
    Manager *manager;
    // Handles that hold the manager's lock; read and written under its documents_mutex.
    int live_handles = 0;

    // The user file as last read or written, and the paths this process changed since.
    DiskState disk;
    ChangedPaths changes;

    QFileSystemWatcher *watcher = nullptr;
    QTimer *pick_up_timer = nullptr;

private:
    QJsonObject merged_with_disk(bool &reread);
    void adopt(const QJsonObject &merged);

    // A broken file already reported at a pick-up, not reported again until it changes.
    DiskState ignored;
    bool folder_reported = false;
};

} // namespace korvel::application::impl
