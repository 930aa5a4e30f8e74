#include "application/manager.h"
#include "application/configuration.h"
#include "application/generation.h"
#include "application/locations.h"
#include "application/manager_p.h"
#include "application/testhooks.h"
#include "application/timerrestart.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
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
std::atomic<quint64> s_generation{0};

constexpr int save_delay_ms = 1000;
// A stream of changes without a pause postpones the save at most this long.
constexpr qint64 max_save_postponement_ms = 10000;
// Another process's change is taken in this long after the last event about it, so that the
// events of one write come as one.
constexpr int pick_up_delay_ms = 200;

qint64 monotonic_ms()
{
    using namespace std::chrono;
    // Never 0, which marks "no unsaved change".
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + 1;
}

// Managers alive, oldest first, so that destroying one leaves the newest other one registered.
std::vector<Manager *> &live_managers()
{
    static std::vector<Manager *> managers;
    return managers;
}

void register_manager(Manager *manager)
{
    live_managers().push_back(manager);
    s_instance = manager;
    count_store_change();
}

void unregister_manager(Manager *manager)
{
    std::vector<Manager *> &managers = live_managers();
    managers.erase(std::remove(managers.begin(), managers.end(), manager), managers.end());
    s_instance = managers.empty() ? nullptr : managers.back();
    count_store_change();
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

// An object on the way down a path, taken out of its parent so that Qt changes it in place: an
// object still held by its parent would be copied, every member of it, on its first change
// (copy on write), that is all of the user's presets on each write to one of them.
struct Step
{
    QString key;
    QJsonObject object;
    bool existed;
    bool was_object;
};

// Takes the objects along keys, but the last, out of the top object in steps.front(). A member
// that is missing or no object is left in place and met by a new empty object.
void take_path(std::vector<Step> &steps, const QStringList &keys)
{
    for (int i = 0; i + 1 < keys.size(); ++i) {
        QJsonObject &parent = steps.back().object;
        const bool existed = parent.contains(keys.at(i));
        QJsonValueRef member = parent[keys.at(i)];
        Step step{keys.at(i), QJsonObject(), existed, member.isObject()};
        if (step.was_object) {
            step.object = QJsonValue(member).toObject();
            member = QJsonValue();
        }
        steps.push_back(std::move(step));
    }
}

// Puts the objects back into their parents and the top into the document; undo restores what
// was there before the path was taken.
void put_back(QJsonDocument &document, std::vector<Step> &steps, bool undo)
{
    for (std::size_t i = steps.size() - 1; i > 0; --i) {
        Step &step = steps[i];
        if (undo && !step.existed)
            steps[i - 1].object.remove(step.key);
        else if (!undo || step.was_object)
            steps[i - 1].object[step.key] = step.object;
    }
    document.setObject(steps.front().object);
}

// Applies change to the object that holds the last of keys; when anything throws on the way,
// the document is left exactly as it was.
template<typename Change>
void change_at(QJsonDocument &document, const QStringList &keys, Change change)
{
    std::vector<Step> steps;
    steps.reserve(std::size_t(keys.size()));
    steps.push_back({QString(), document.object(), true, true});
    document.setObject(QJsonObject());
    try {
        take_path(steps, keys);
        change(steps.back().object, keys.last());
    } catch (...) {
        put_back(document, steps, true);
        throw;
    }
    put_back(document, steps, false);
}

// Stores value at keys, creating the objects on the way; a non-object on the way becomes an
// object that holds only the continuation of the path.
void replace(QJsonDocument &document, const QStringList &keys, const QJsonObject &value)
{
    change_at(document, keys,
              [&value](QJsonObject &parent, const QString &key) { parent[key] = value; });
}

// Removes the member at keys; objects that become empty stay.
void remove(QJsonDocument &document, const QStringList &keys)
{
    change_at(document, keys, [](QJsonObject &parent, const QString &key) { parent.remove(key); });
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
    , d(std::make_shared<ManagerPrivate>(this))
{
    register_manager(this);
    save_timer->setInterval(save_delay_ms);
    // A coarse timer may fire up to 5% early; the save never comes before the second is over.
    save_timer->setTimerType(Qt::PreciseTimer);
    // The timer's save writes in a worker thread, so that the event loop never waits for it.
    connect(
        save_timer, &QTimer::timeout, this,
        [this] {
            save_timer->stop();
            std::lock_guard<std::recursive_mutex> lock(documents_mutex);
            d->save_in_background();
        },
        Qt::QueuedConnection);
    d->save_restart = new TimerRestart(save_timer, [this] { return save_delay(); });
    d->save_done_timer = new QTimer(this);
    d->save_done_timer->setSingleShot(true);
    d->save_done_timer->setInterval(0);
    connect(d->save_done_timer, &QTimer::timeout, this, [this] {
        std::lock_guard<std::recursive_mutex> lock(documents_mutex);
        d->finish_background_save();
    });

    d->pick_up_timer = new QTimer(this);
    d->pick_up_timer->setSingleShot(true);
    d->pick_up_timer->setInterval(pick_up_delay_ms);
    connect(d->pick_up_timer, &QTimer::timeout, this, [this] { d->pick_up(); });

    on_load();
    // The file is watched from the first pass of the event loop: a process that never runs one
    // (a tool) never sees another's writes anyway, and closing a watcher costs milliseconds.
    QMetaObject::invokeMethod(
        this, [this] { d->start_watching(); }, Qt::QueuedConnection);
}

Manager::~Manager()
{
    sync();
    unregister_manager(this);
    // Waits for the handles of other threads. Those of this thread still alive give up the lock
    // here, and throw on any further use.
    std::unique_lock<std::recursive_mutex> lock(documents_mutex);
    d->manager = nullptr;
    for (; d->live_handles > 0; --d->live_handles)
        documents_mutex.unlock();
}

Manager *Manager::instance()
{
    return s_instance;
}

void Manager::on_load()
{
    std::lock_guard<std::recursive_mutex> lock(documents_mutex);
    count_store_change();
    d->load_user_file();

    QFile global(global_file);
    if (global.open(QIODevice::ReadOnly))
        global_document = QJsonDocument::fromJson(global.readAll());
    else
        qWarning("fail on open 3d_presets.json file");
}

void Manager::on_save()
{
    std::lock_guard<std::recursive_mutex> lock(documents_mutex);
    d->save();
}

bool Manager::sync()
{
    std::lock_guard<std::recursive_mutex> lock(documents_mutex);
    d->wait_for_background_save();
    return !save_pending || d->save();
}

// Called with the store locked by every set and drop, in the writing thread.
void Manager::change_made()
{
    save_pending = true;
    qint64 none = 0;
    first_unsaved_change.compare_exchange_strong(none, monotonic_ms());
    d->save_restart->request();
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
    store = manager->d;
    ++store->live_handles;
}

Configuration::~Configuration()
{
    if (!store)
        return;
    if (store->manager)
        --store->live_handles;
    else
        guard.release(); // the manager gave up the lock on this handle's behalf
}

Configuration::operator bool() const
{
    return found;
}

QJsonValue Configuration::get() const
{
    require_manager();
    return value;
}

std::unique_lock<std::recursive_mutex> Configuration::lock_store()
{
    if (!s_instance)
        throw std::logic_error("no configuration manager");
    return std::unique_lock<std::recursive_mutex>(s_instance->documents_mutex);
}

void Configuration::require_manager() const
{
    if (!store || !store->manager)
        throw std::logic_error("no configuration manager");
}

QJsonDocument &Configuration::document() const
{
    Manager *manager = store->manager;
    return root == Root::user ? manager->user_document : manager->global_document;
}

QString Configuration::root_prefix() const
{
    return root == Root::user ? QStringLiteral("user/") : QStringLiteral("global/");
}

void Configuration::set(QJsonValue value)
{
    require_manager();
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
    if (root == Root::user)
        store->changes.insert(rest);
    replace(document(), keys, object);
    store->announce(root_prefix() + rest, false);
}

void Configuration::drop()
{
    require_manager();
    if (!found)
        return;
    const QString rest = QString::fromStdString(path);
    if (root == Root::user)
        store->changes.insert(rest);
    remove(document(), rest.split(QLatin1Char('/'), Qt::KeepEmptyParts));
    store->announce(root_prefix() + rest, true);
}
quint64 store_generation()
{
    return s_generation.load(std::memory_order_acquire);
}

void count_store_change()
{
    s_generation.fetch_add(1, std::memory_order_release);
}

namespace testing {

void use_manager(Manager *manager)
{
    s_instance = manager;
    count_store_change();
}

void pick_up(Manager &manager)
{
    ManagerPrivate::of(manager).pick_up();
}

} // namespace testing
} // namespace impl

impl::Configuration preset(const std::string &path)
{
    return impl::Configuration(path);
}

} // namespace korvel::application
