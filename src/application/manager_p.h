#pragma once

// The manager's state that its installed header does not show. Handles share it, so that a
// handle kept after its manager is gone finds out instead of touching freed memory.

#include "application/userfile.h"

#include <QJsonObject>

#include <future>
#include <memory>
#include <thread>

QT_BEGIN_NAMESPACE
class QFileSystemWatcher;
class QTimer;
QT_END_NAMESPACE

namespace korvel::application::impl {

class Manager;
class TimerRestart;

class ManagerPrivate
{
public:
    explicit ManagerPrivate(Manager *manager);
    static ManagerPrivate &of(Manager &manager);

    // Each runs with the manager's documents_mutex held.
    void load_user_file();
    // Writes the user document merged with what is on disk, in the calling thread; true when the
    // file holds it (or there is nothing to write).
    bool save();
    // The same in a worker thread, which takes none of the manager's locks: the event loop
    // never waits for the file. At most one runs at a time.
    void save_in_background();
    void finish_background_save();
    void wait_for_background_save();
    // Takes in what another process wrote to the user file, keeping this process's changes.
    void pick_up();
    // Emits modified or dropped for a change made through a handle and schedules the save.
    void announce(const QString &path, bool dropped);
    // Makes the watcher of the user file, in the manager's thread.
    void start_watching();
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
    // Started, through a queued call, by the worker thread when its save is done.
    QTimer *save_done_timer = nullptr;
    TimerRestart *save_restart = nullptr;

private:
    struct BackgroundSave
    {
        SaveJob job;
        std::future<SaveResult> result;
        std::thread worker;
    };

    SaveJob take_job();
    bool finish(const SaveJob &job, const SaveResult &result);
    bool has_user_file();
    void adopt(const QJsonObject &merged);

    std::unique_ptr<BackgroundSave> background;
    // The timer asked for a save while one was running.
    bool save_again = false;

    // A broken file already reported at a pick-up, not reported again until it changes.
    DiskState ignored;
    bool folder_reported = false;
};

} // namespace korvel::application::impl
