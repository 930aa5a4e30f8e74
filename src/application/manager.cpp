#include "application/manager.h"
#include "application/configuration.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <vector>

namespace korvel::application {
namespace impl {

namespace {

Manager *s_instance = nullptr;

constexpr int save_delay_ms = 1000;
// A stream of changes without a pause postpones the save at most this long.
constexpr qint64 max_save_postponement_ms = 10000;

qint64 monotonic_ms()
{
    using namespace std::chrono;
    // Never 0, which marks "no unsaved change".
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + 1;
}

QString default_user_file()
{
    return QDir::homePath() + QDir::separator() + QStringLiteral(".kesu") + QDir::separator()
        + QStringLiteral("presets.json");
}

QString default_global_file()
{
    QDir dir(QCoreApplication::applicationDirPath());
    // Without "../Resources" the directory stays at the executable's folder.
    dir.cd(QStringLiteral("../Resources"));
    return dir.absolutePath() + QStringLiteral("/3d_presets.json");
}

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

// The deepest nesting of objects and arrays that QJsonDocument::fromJson reads back.
constexpr int max_nesting = 1024;

// True when value holds objects or arrays nested more than levels deep; looks no deeper.
bool nested_deeper_than(const QJsonValue &value, int levels)
{
    if (!value.isObject() && !value.isArray())
        return false;
    if (levels <= 0)
        return true;
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        return std::any_of(array.begin(), array.end(), [levels](const QJsonValue &element) {
            return nested_deeper_than(element, levels - 1);
        });
    }
    const QJsonObject object = value.toObject();
    return std::any_of(object.begin(), object.end(), [levels](const QJsonValue &member) {
        return nested_deeper_than(member, levels - 1);
    });
}

// The member on the way down is emptied before the object below it is changed, so that each
// object along the path is held once and changed in place. An object still held by its parent
// would be copied whole, every member of it, on its first change (copy on write): with a large
// user document, all of the user's presets on each write to one of them.
QJsonObject take_child(QJsonObject &object, const QString &key)
{
    QJsonValueRef member = object[key];
    const QJsonObject child = QJsonValue(member).toObject();
    member = QJsonValue();
    return child;
}

// The document's object, which the document lets go of for the same reason.
QJsonObject take_top(QJsonDocument &document)
{
    const QJsonObject top = document.object();
    document.setObject(QJsonObject());
    return top;
}

QJsonObject replace(QStringList keys, QJsonObject object, QJsonObject value)
{
    const QString key = keys.takeFirst();
    if (!keys.isEmpty())
        object[key] = replace(keys, take_child(object, key), value);
    else
        object[key] = value;
    return object;
}

QJsonObject remove(QStringList keys, QJsonObject object)
{
    const QString key = keys.takeFirst();
    if (!keys.isEmpty())
        object[key] = remove(keys, take_child(object, key));
    else
        object.remove(key);
    return object;
}

} // namespace

Manager::Manager()
    : Manager(default_user_file(), default_global_file())
{ }

Manager::Manager(const QString &user_file, const QString &global_file)
    : QObject(nullptr)
    , save_timer(new QTimer(this))
    , user_file(user_file)
    , global_file(global_file)
{
    s_instance = this;
    save_timer->setInterval(save_delay_ms);
    // A coarse timer may fire up to 5% early; the save never comes before the second is over.
    save_timer->setTimerType(Qt::PreciseTimer);
    connect(
        save_timer, &QTimer::timeout, this,
        [this] {
            save_timer->stop();
            on_save();
        },
        Qt::QueuedConnection);
    on_load();
}

Manager::~Manager()
{
    if (save_pending)
        on_save();
    if (s_instance == this)
        s_instance = nullptr;
}

Manager *Manager::instance()
{
    return s_instance;
}

void Manager::on_load()
{
    std::lock_guard<std::recursive_mutex> lock(documents_mutex);

    QFile user(user_file);
    if (user.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = user.readAll();
        user_document = QJsonDocument::fromJson(bytes);
        user_file_broken = !bytes.isEmpty() && !user_document.isObject();
    } else {
        user_file_unreadable = user.exists();
    }

    QFile global(global_file);
    if (global.open(QIODevice::ReadOnly))
        global_document = QJsonDocument::fromJson(global.readAll());
    else
        qWarning("fail on open 3d_presets.json file");
}

// Decides whether the user file may be replaced now; a broken file is first copied aside.
bool Manager::prepare_overwrite()
{
    if (user_file_unreadable) {
        if (!unreadable_reported)
            qWarning("cannot read %s, keeping changes in memory", qUtf8Printable(user_file));
        unreadable_reported = true;
        return false;
    }
    if (!user_file_broken)
        return true;
    if (!QFileInfo::exists(user_file)) {
        user_file_broken = false;
        return true;
    }
    const QString copy = backup_name(user_file);
    if (!QFile::copy(user_file, copy)) {
        qWarning("cannot copy broken %s aside, keeping changes in memory",
                 qUtf8Printable(user_file));
        return false;
    }
    qWarning("broken presets.json copied to %s", qUtf8Printable(copy));
    user_file_broken = false;
    return true;
}

void Manager::on_save()
{
    std::lock_guard<std::recursive_mutex> lock(documents_mutex);

    // Only the shipped document was changed: an empty file would be no JSON at all.
    if (user_document.isNull()) {
        save_pending = false;
        first_unsaved_change = 0;
        return;
    }
    // The store never creates the folder; without it, changes stay in memory silently.
    if (!QFileInfo(user_file).absoluteDir().exists())
        return;
    if (!prepare_overwrite())
        return;

    // Written to a temporary file and renamed over presets.json, so that a crash, a kill or a
    // full disk never leaves a truncated file. Unbuffered, because a buffered QSaveFile commits
    // a short write to a full disk as if it had succeeded.
    QSaveFile file(user_file);
    const QByteArray bytes = user_document.toJson();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
        || file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning("fail on save presets.json");
        return;
    }
    save_pending = false;
    first_unsaved_change = 0;
}

// Called with the store locked by every set and drop, in the writing thread. The timer lives in
// the manager's thread: another thread has it restarted there by a queued call.
void Manager::change_made()
{
    save_pending = true;
    qint64 none = 0;
    first_unsaved_change.compare_exchange_strong(none, monotonic_ms());
    const int delay = save_delay();
    if (QThread::currentThread() == thread())
        save_timer->start(delay);
    else
        QMetaObject::invokeMethod(save_timer, "start", Qt::QueuedConnection, Q_ARG(int, delay));
}

// One second, but never more than ten seconds after the first unsaved change.
int Manager::save_delay() const
{
    const qint64 first = first_unsaved_change;
    const qint64 waited = first ? monotonic_ms() - first : 0;
    const qint64 left = std::max<qint64>(0, max_save_postponement_ms - waited);
    return int(std::min<qint64>(save_delay_ms, left));
}

Configuration::Configuration(const std::string &path)
    : guard(lock_store())
    , path(path)
    , value(QJsonValue::Null)
    , found(false)
{
    Manager *manager = s_instance;
    if (this->path.compare(0, 5, "user/") == 0) {
        root = Root::user;
        value = manager->user_document.object();
        this->path = this->path.substr(5);
    } else {
        root = Root::global;
        value = manager->global_document.object();
        this->path = this->path.substr(7);
    }

    std::vector<std::string> segments;
    boost::split(segments, this->path, boost::is_any_of("/"));
    for (const std::string &segment : segments) {
        const QJsonObject object = value.toObject();
        const auto member = object.constFind(QString::fromStdString(segment));
        if (member == object.constEnd()) {
            found = false;
            value = QJsonObject();
            break;
        }
        found = true;
        value = member.value();
    }
}

Configuration::operator bool() const
{
    return found;
}

QJsonValue Configuration::get() const
{
    return value;
}

std::unique_lock<std::recursive_mutex> Configuration::lock_store()
{
    if (!s_instance)
        throw std::logic_error("no configuration manager");
    return std::unique_lock<std::recursive_mutex>(s_instance->documents_mutex);
}

QJsonDocument &Configuration::document() const
{
    return root == Root::user ? s_instance->user_document : s_instance->global_document;
}

QString Configuration::root_prefix() const
{
    return root == Root::user ? QStringLiteral("user/") : QStringLiteral("global/");
}

void Configuration::set(QJsonValue value)
{
    const QString rest = QString::fromStdString(path);
    const QStringList keys = rest.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    const QJsonObject object = value.toObject();
    // A user document nested deeper than the JSON reader accepts would be saved, but the whole
    // file could not be read back at the next start.
    if (root == Root::user && nested_deeper_than(object, max_nesting - keys.size())) {
        qWarning("too deeply nested for presets.json, not stored: user/%s",
                 qUtf8Printable(rest.left(200)));
        return;
    }
    QJsonDocument &target = document();
    target.setObject(replace(keys, take_top(target), object));
    Q_EMIT s_instance->modified(root_prefix() + rest);
    s_instance->change_made();
}

void Configuration::drop()
{
    if (!found)
        return;
    const QString rest = QString::fromStdString(path);
    QJsonDocument &target = document();
    target.setObject(remove(rest.split(QLatin1Char('/'), Qt::KeepEmptyParts), take_top(target)));
    Q_EMIT s_instance->dropped(root_prefix() + rest);
    s_instance->change_made();
}
} // namespace impl

impl::Configuration preset(const std::string &path)
{
    return impl::Configuration(path);
}

} // namespace korvel::application
