#include "application/generation.h"
#include "application/manager.h"
#include "application/manager_p.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <chrono>
#include <utility>

// The store's life with its user file: loading it, saving it (in the calling thread or in a worker
// thread), taking in what other processes wrote to it, and announcing what changed.
namespace korvel::application::impl {

ManagerPrivate::ManagerPrivate(Manager *manager)
    : manager(manager)
{ }

ManagerPrivate &ManagerPrivate::of(Manager &manager)
{
    return *manager.d;
}

void ManagerPrivate::load_user_file()
{
    Manager &q = *manager;
    if (q.user_file.isEmpty()) {
        qWarning("no home folder for presets.json, keeping changes in memory");
        return;
    }
    const FileContent content = read_file(q.user_file);
    if (content.kind == FileContent::unreadable) {
        q.user_file_unreadable = true;
        q.unreadable_reported = true;
        qWarning("cannot read %s, keeping changes in memory", qUtf8Printable(q.user_file));
        // Never counted as known, so that a save reads it again before writing.
        return;
    }
    if (content.kind == FileContent::broken) {
        q.user_file_broken = true;
        qWarning("broken %s left out, copied aside at the next save", qUtf8Printable(q.user_file));
    }
    q.user_document =
        content.kind == FileContent::object ? QJsonDocument(content.document) : QJsonDocument();
    disk = DiskState::of(q.user_file, content.bytes);
}

SaveJob ManagerPrivate::take_job()
{
    Manager &q = *manager;
    return {q.user_file,
            q.user_document.object(),
            std::exchange(changes, {}),
            disk,
            {q.user_file_unreadable, q.user_file_broken, q.unreadable_reported, folder_reported}};
}

// Takes in the result of a save of job; false when the file does not hold the job's document.
bool ManagerPrivate::finish(const SaveJob &job, const SaveResult &result)
{
    Manager &q = *manager;
    q.user_file_unreadable = result.flags.unreadable;
    q.user_file_broken = result.flags.broken;
    q.unreadable_reported = result.flags.unreadable_reported;
    folder_reported = result.flags.folder_reported;
    if (!result.saved) {
        changes.unite(job.changes);
        return false;
    }
    disk = result.disk;
    // Changes made while the file was written are still to be saved.
    if (result.reread)
        adopt(apply_changes(result.written, q.user_document.object(), changes));
    if (changes.isEmpty()) {
        q.save_pending = false;
        q.first_unsaved_change = 0;
    }
    return true;
}

// False, with nothing to write, when there is no user document or no user file.
bool ManagerPrivate::has_user_file()
{
    Manager &q = *manager;
    // Only the shipped document was changed: an empty file would be no JSON at all.
    if (q.user_document.isNull()) {
        q.save_pending = false;
        q.first_unsaved_change = 0;
        return false;
    }
    return !q.user_file.isEmpty();
}

bool ManagerPrivate::save()
{
    wait_for_background_save();
    if (!has_user_file()) // nothing to write is a success; no place to write it is not
        return manager->user_document.isNull();
    SaveJob job = take_job();
    return finish(job, save_user_file(job));
}

void ManagerPrivate::save_in_background()
{
    if (background) {
        save_again = true;
        return;
    }
    if (!has_user_file())
        return;
    background = std::make_unique<BackgroundSave>();
    background->job = take_job();
    std::promise<SaveResult> promise;
    background->result = promise.get_future();
    background->worker = std::thread(
        [job = background->job, promise = std::move(promise), done = save_done_timer]() mutable {
            try {
                promise.set_value(save_user_file(job));
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
            QMetaObject::invokeMethod(done, "start", Qt::QueuedConnection);
        });
}

// Takes in the save that a worker thread finished, and starts the next one when it was asked
// for meanwhile.
void ManagerPrivate::finish_background_save()
{
    if (!background
        || background->result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    wait_for_background_save();
    if (std::exchange(save_again, false))
        save_in_background();
}

void ManagerPrivate::wait_for_background_save()
{
    if (!background)
        return;
    const std::unique_ptr<BackgroundSave> done = std::move(background);
    SaveResult result;
    try {
        result = done->result.get();
    } catch (...) {
        result.flags = done->job.flags;
    }
    done->worker.join();
    finish(done->job, result);
}

void ManagerPrivate::pick_up()
{
    Manager &q = *manager;
    std::lock_guard<std::recursive_mutex> lock(q.documents_mutex);
    watch();
    // The save in flight takes in what another process wrote; the events of its own rename
    // come after it.
    if (background) {
        pick_up_timer->start();
        return;
    }
    // By size, time and inode alone: reading the whole file after each save of this process
    // would stall the event loop. A change hidden by the file system's coarse clock is merged by
    // the next save instead.
    if (q.user_file.isEmpty() || !replaced_on_disk(q.user_file, disk))
        return;
    const FileContent content = read_file(q.user_file);
    if (content.kind == FileContent::object) {
        disk = DiskState::of(q.user_file, content.bytes);
        q.user_file_unreadable = q.user_file_broken = false;
        adopt(apply_changes(content.document, q.user_document.object(), changes));
        return;
    }
    // Broken, or caught half-written by an editor that writes in place: what is in memory stays.
    const DiskState now = DiskState::of(q.user_file);
    if ((content.kind == FileContent::broken || content.kind == FileContent::empty)
        && !(now.size == ignored.size && now.modified_ns == ignored.modified_ns)) {
        qWarning("broken %s ignored, keeping the presets in memory", qUtf8Printable(q.user_file));
        ignored = now;
    }
}

void ManagerPrivate::announce(const QString &path, bool dropped)
{
    Manager &q = *manager;
    count_store_change();
    // The change is stored: it is saved even when a receiver throws.
    try {
        if (dropped)
            Q_EMIT q.dropped(path);
        else
            Q_EMIT q.modified(path);
    } catch (...) {
        q.change_made();
        throw;
    }
    q.change_made();
}

// Takes merged as the user document and announces where it differs, as if changed here.
void ManagerPrivate::adopt(const QJsonObject &merged)
{
    Manager &q = *manager;
    const QJsonObject before = q.user_document.object();
    q.user_document.setObject(merged);
    count_store_change();
    for (const Difference &change : differences(before, merged)) {
        const QString path = QStringLiteral("user/") + change.path;
        if (change.dropped)
            Q_EMIT q.dropped(path);
        else
            Q_EMIT q.modified(path);
    }
}

void ManagerPrivate::start_watching()
{
    Manager &q = *manager;
    watcher = new QFileSystemWatcher(&q);
    const auto changed = [this] {
        pick_up_timer->start();
    };
    QObject::connect(watcher, &QFileSystemWatcher::fileChanged, &q, changed);
    QObject::connect(watcher, &QFileSystemWatcher::directoryChanged, &q, changed);
    // What another process wrote since the file was read.
    pick_up();
}

void ManagerPrivate::watch()
{
    if (!watcher)
        return;
    const QString file = manager->user_file;
    if (file.isEmpty())
        return;
    // An atomic rename replaces the watched file, so it is added again after each change.
    const QString folder = QFileInfo(file).absolutePath();
    QStringList wanted;
    if (QFileInfo::exists(file))
        wanted << file;
    wanted << (QFileInfo::exists(folder) ? folder : QFileInfo(folder).absolutePath());
    const QStringList watched = watcher->files() + watcher->directories();
    for (const QString &path : wanted)
        if (!watched.contains(path) && QFileInfo::exists(path))
            watcher->addPath(path);
}

} // namespace korvel::application::impl
