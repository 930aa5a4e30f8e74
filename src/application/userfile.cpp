#include "application/userfile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace korvel::application::impl {

namespace {

// A save holds the lock for well under a second; one held longer belongs to a writer that hangs.
constexpr int lock_wait_ms = 20000;

// A file modified less than this long before its state was recorded may change again within
// the same tick of the file system's clock.
constexpr qint64 coarse_clock_ns = 2'000'000'000;

qint64 now_ns()
{
    return QDateTime::currentMSecsSinceEpoch() * 1'000'000;
}

bool same_state(const DiskState &a, const DiskState &b)
{
    return a.exists == b.exists && a.size == b.size && a.modified_ns == b.modified_ns
        && a.inode == b.inode && a.device == b.device;
}

QStringList keys_of(const QString &path)
{
    return path.split(QLatin1Char('/'), Qt::KeepEmptyParts);
}

std::optional<QJsonValue> value_at(const QJsonObject &document, const QStringList &keys)
{
    QJsonValue value = document;
    for (const QString &key : keys) {
        const QJsonObject object = value.toObject();
        const auto member = object.constFind(key);
        if (!value.isObject() || member == object.constEnd())
            return std::nullopt;
        value = member.value();
    }
    return value;
}

// Stores value at keys, making objects of whatever stands in the way.
QJsonObject put(QJsonObject object, QStringList keys, const QJsonValue &value)
{
    const QString key = keys.takeFirst();
    object[key] = keys.isEmpty() ? value : put(object.value(key).toObject(), keys, value);
    return object;
}

// Removes the member at keys where it exists; creates nothing on the way.
QJsonObject erase(QJsonObject object, QStringList keys)
{
    const QString key = keys.takeFirst();
    if (keys.isEmpty())
        object.remove(key);
    else if (object.value(key).isObject())
        object[key] = erase(object.value(key).toObject(), keys);
    return object;
}

// A preset, a colour table and the last-preset record change as a whole for the views.
bool counts_as_one_value(const QStringList &keys)
{
    if (keys.size() != 4 || keys.at(0) != QLatin1String("rendering"))
        return false;
    if (keys.at(2) == QLatin1String("preset"))
        return keys.at(1) == QLatin1String("dvr") || keys.at(1) == QLatin1String("clut");
    return keys.at(1) == QLatin1String("dvr") && keys.at(2) == QLatin1String("last")
        && keys.at(3) == QLatin1String("preset");
}

void compare(const QJsonObject &before, const QJsonObject &after, QStringList &keys,
             std::vector<Difference> &found)
{
    QStringList names = before.keys() + after.keys();
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (const QString &name : names) {
        const QJsonValue old_value = before.value(name);
        const QJsonValue new_value = after.value(name);
        if (old_value == new_value)
            continue;
        keys.append(name);
        if (new_value.isUndefined())
            found.push_back({keys.join(QLatin1Char('/')), true});
        else if (old_value.isObject() && new_value.isObject() && !counts_as_one_value(keys))
            compare(old_value.toObject(), new_value.toObject(), keys, found);
        else
            found.push_back({keys.join(QLatin1Char('/')), false});
        keys.removeLast();
    }
}

// An exclusive lock on "presets.json.lock" that the kernel holds for this process: it goes with
// the process however that ends, so no lock outlives its writer and none needs breaking. The
// file itself stays, since removing it would let two writers lock two different files.
class LockFile
{
public:
    explicit LockFile(const QString &file)
        : descriptor(
            ::open(QFile::encodeName(file).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    { }
    ~LockFile()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    LockFile(const LockFile &) = delete;
    LockFile &operator=(const LockFile &) = delete;

    // False, with errno's reason in error, when the lock cannot be had within timeout_ms.
    bool lock(int timeout_ms, QString &error)
    {
        QElapsedTimer waited;
        waited.start();
        for (int pause_ms = 1; descriptor >= 0; pause_ms = std::min(pause_ms * 2, 50)) {
            if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0)
                return true;
            if (errno != EWOULDBLOCK && errno != EINTR)
                break;
            if (waited.elapsed() >= timeout_ms) {
                error = QStringLiteral("held by another writer for %1 s").arg(timeout_ms / 1000);
                return false;
            }
            QThread::msleep(pause_ms);
        }
        error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }

private:
    int descriptor;
};

// A name beside the broken file that never replaces an earlier copy.
QString backup_name(const QString &file)
{
    const QString stem = file + QStringLiteral(".broken-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = stem;
    for (int n = 1; QFileInfo::exists(name); ++n)
        name = stem + QLatin1Char('-') + QString::number(n);
    return name;
}

bool copy_broken_aside(const QString &file)
{
    if (!QFileInfo::exists(file))
        return true;
    const QString copy = backup_name(file);
    if (!QFile::copy(file, copy)) {
        qWarning("cannot copy broken %s aside, keeping changes in memory", qUtf8Printable(file));
        return false;
    }
    qWarning("broken presets.json copied to %s", qUtf8Printable(copy));
    return true;
}

// The document to write: the job's own, or its changes applied onto the file when another
// process replaced it since the job's disk state was recorded.
QJsonObject merged_with_disk(const SaveJob &job, SaveResult &result)
{
    FileFlags &flags = result.flags;
    if (!flags.unreadable && !changed_on_disk(job.file, job.disk))
        return job.memory;
    const FileContent content = read_file(job.file);
    flags.unreadable = content.kind == FileContent::unreadable;
    flags.broken = content.kind == FileContent::broken;
    if (content.kind != FileContent::object)
        return job.memory;
    result.reread = true;
    return apply_changes(content.document, job.memory, job.changes);
}

} // namespace

DiskState DiskState::of(const QString &file, const QByteArray &content)
{
    DiskState state;
    struct stat info = {};
    if (::stat(QFile::encodeName(file).constData(), &info) != 0)
        return state;
    state.exists = true;
    state.size = info.st_size;
    state.modified_ns = qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    state.inode = info.st_ino;
    state.device = info.st_dev;
    if (now_ns() - state.modified_ns < coarse_clock_ns)
        state.recent_content = content;
    return state;
}

bool replaced_on_disk(const QString &file, const DiskState &known)
{
    return !same_state(DiskState::of(file), known);
}

bool changed_on_disk(const QString &file, const DiskState &known)
{
    if (replaced_on_disk(file, known))
        return true;
    if (!known.exists || known.recent_content.isNull())
        return false;
    QFile in(file);
    return !in.open(QIODevice::ReadOnly) || in.readAll() != known.recent_content;
}

FileContent read_file(const QString &file)
{
    FileContent content;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        content.kind = in.exists() ? FileContent::unreadable : FileContent::missing;
        content.error = in.errorString();
        return content;
    }
    content.bytes = in.readAll();
    const QJsonDocument document = QJsonDocument::fromJson(content.bytes);
    if (content.bytes.isEmpty())
        content.kind = FileContent::empty;
    else if (!document.isObject())
        content.kind = FileContent::broken;
    else {
        content.kind = FileContent::object;
        content.document = document.object();
    }
    return content;
}

bool write_atomically(const QString &file, const QByteArray &bytes, QString &error)
{
    // Unbuffered, because a buffered QSaveFile commits a short write to a full disk as if it
    // had succeeded.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        error = out.errorString();
        return false;
    }
    errno = 0;
    if (out.write(bytes) != bytes.size()) {
        error = QString::fromLocal8Bit(strerror(errno ? errno : EIO));
        return false;
    }
    if (!out.commit()) {
        error = out.errorString();
        return false;
    }
    return true;
}

void remove_stale_temporaries(const QString &file)
{
    const QFileInfo info(file);
    // QSaveFile names its temporary file after the target with a random six-character suffix.
    const QRegularExpression temporary(
        QStringLiteral("^%1\\.[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(info.fileName())));
    QDir folder = info.absoluteDir();
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden))
        if (temporary.match(name).hasMatch())
            folder.remove(name);
}

bool make_folder_for(const QString &file, QString &error)
{
    const QDir folder = QFileInfo(file).absoluteDir();
    if (folder.exists())
        return true;
    const QString parent = QFileInfo(folder.absolutePath()).absolutePath();
    if (parent == QDir::rootPath()) {
        error = QStringLiteral("no folder is made directly under /");
        return false;
    }
    if (::mkdir(QFile::encodeName(folder.absolutePath()).constData(), 0700) != 0
        && !folder.exists()) {
        error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    return true;
}

SaveResult save_user_file(const SaveJob &job)
{
    SaveResult result;
    result.flags = job.flags;
    FileFlags &flags = result.flags;
    QString error;
    if (!make_folder_for(job.file, error)) {
        if (!flags.folder_reported)
            qWarning("cannot make the folder of %s (%s), keeping changes in memory",
                     qUtf8Printable(job.file), qUtf8Printable(error));
        flags.folder_reported = true;
        return result;
    }
    // Held for the read, merge and write only, never across the event loop.
    LockFile lock(job.file + QStringLiteral(".lock"));
    if (!lock.lock(lock_wait_ms, error)) {
        qWarning("cannot lock %s.lock (%s), keeping changes in memory", qUtf8Printable(job.file),
                 qUtf8Printable(error));
        return result;
    }
    remove_stale_temporaries(job.file);
    const QJsonObject document = merged_with_disk(job, result);
    if (flags.unreadable) {
        if (!flags.unreadable_reported)
            qWarning("cannot read %s, keeping changes in memory", qUtf8Printable(job.file));
        flags.unreadable_reported = true;
        return result;
    }
    if (flags.broken && !copy_broken_aside(job.file))
        return result;
    flags.broken = false;
    const QByteArray bytes = QJsonDocument(document).toJson();
    if (!write_atomically(job.file, bytes, error)) {
        qWarning("fail on save presets.json: %s", qUtf8Printable(error));
        return result;
    }
    result.saved = true;
    result.written = document;
    result.disk = DiskState::of(job.file, bytes);
    return result;
}

QJsonObject apply_changes(QJsonObject onto, const QJsonObject &memory, const ChangedPaths &changes)
{
    // Every changed path takes memory's value, so the order of the changes does not matter: a
    // changed object carries the current values of the changed paths below it.
    for (const QString &path : changes) {
        const QStringList keys = keys_of(path);
        const std::optional<QJsonValue> value = value_at(memory, keys);
        onto = value ? put(std::move(onto), keys, *value) : erase(std::move(onto), keys);
    }
    return onto;
}

std::vector<Difference> differences(const QJsonObject &before, const QJsonObject &after)
{
    std::vector<Difference> found;
    QStringList keys;
    compare(before, after, keys, found);
    return found;
}

} // namespace korvel::application::impl
