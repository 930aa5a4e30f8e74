#pragma once

// Helpers shared by the test executables: registration of test classes, a warning recorder, a
// signal-order recorder and a temporary store.

#include <application/manager.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace kesu::test {

// Hooks of the operator new of the test executables that link tests/allocations.cpp; each acts
// in the calling thread only.
namespace allocations {
// Counts the allocations of exactly size bytes from now on; 0 stops counting.
void count_size(std::size_t size);
// The count so far, which starts again at 0.
int counted();
// The n-th allocation from now on throws std::bad_alloc; 0 makes none fail.
void fail_at(int n);
} // namespace allocations

std::vector<std::pair<const char *, std::function<QObject *()>>> &registry();
bool add(const char *name, std::function<QObject *()> make);

#define KESU_TEST_CLASS(Class)                                                                     \
    namespace {                                                                                    \
    const bool registered_##Class = kesu::test::add(#Class, [] { return new Class; });             \
    }

// Collects the texts of the warnings issued while it lives, from any thread.
class WarningRecorder
{
public:
    WarningRecorder()
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = this;
        previous = qInstallMessageHandler(&WarningRecorder::handle);
    }
    ~WarningRecorder()
    {
        std::lock_guard<std::mutex> lock(mutex);
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    QStringList warnings() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }

private:
    // Other messages go on to the handler that was installed before.
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (current && type == QtWarningMsg)
            return current->recorded.append(text);
        const QtMessageHandler next = current ? current->previous : nullptr;
        lock.unlock();
        if (next)
            next(type, context, text);
    }

    static inline std::mutex mutex;
    static inline WarningRecorder *current = nullptr;
    QtMessageHandler previous = nullptr;
    QStringList recorded;
};

// Records signals of several objects, in the order of their emission, in one list.
class SignalRecorder
{
public:
    template<typename Object, typename Signal>
    void watch(const Object *object, Signal signal, const QString &name)
    {
        QObject::connect(
            object, signal, &context, [this, name] { record(name); }, Qt::DirectConnection);
    }
    // Records the manager's modified and dropped signals with their paths.
    void watch_store(const korvel::application::impl::Manager *manager)
    {
        using korvel::application::impl::Manager;
        for (const auto &[signal, name] :
             {std::pair(&Manager::modified, QLatin1String("modified ")),
              std::pair(&Manager::dropped, QLatin1String("dropped "))})
            QObject::connect(
                manager, signal, &context,
                [this, name = name](const QString &path) { record(name + path); },
                Qt::DirectConnection);
    }
    void record(const QString &name)
    {
        std::lock_guard<std::mutex> lock(mutex);
        names.append(name);
    }
    QStringList take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(names, {});
    }

private:
    QObject context;
    std::mutex mutex;
    QStringList names;
};

// A store on files in a temporary folder: user file in "<dir>/.kesu/presets.json", shipped file
// in "<dir>/3d_presets.json".
class TemporaryStore
{
public:
    TemporaryStore()
    {
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        QDir(dir.path()).mkpath(QStringLiteral(".kesu"));
        write(global_file(), QByteArray("{}"));
    }

    QString user_file() const { return dir.filePath(QStringLiteral(".kesu/presets.json")); }
    QString global_file() const { return dir.filePath(QStringLiteral("3d_presets.json")); }

    static void write(const QString &file, const QByteArray &bytes)
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }
    void write_user(const QJsonObject &object) const
    {
        write(user_file(), QJsonDocument(object).toJson());
    }
    void write_global(const QJsonObject &object) const
    {
        write(global_file(), QJsonDocument(object).toJson());
    }
    static QByteArray read(const QString &file)
    {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }
    QJsonObject user_on_disk() const { return QJsonDocument::fromJson(read(user_file())).object(); }

    std::unique_ptr<korvel::application::impl::Manager> start() const
    {
        return std::make_unique<korvel::application::impl::Manager>(user_file(), global_file());
    }

    QTemporaryDir dir;
};

// Runs work in a thread of its own and returns its result. A hang or a deadlock ends the test
// executable with a message at once, instead of holding it until CTest's timeout.
template<typename Work> auto finishes(const char *what, Work work)
{
    auto done = std::async(std::launch::async, std::move(work));
    if (done.wait_for(std::chrono::seconds(60)) == std::future_status::timeout)
        qFatal("%s: still running after 60 s, hung or deadlocked", what);
    return done.get();
}

// QString columns of a data-driven test, in order.
inline void columns(std::initializer_list<const char *> names)
{
    for (const char *name : names)
        QTest::addColumn<QString>(name);
}

// A data row of QString cells, one line per row: row("nested", {"{}", "user/a"}).
inline void row(const char *name, std::initializer_list<const char *> cells)
{
    QTestData &data = QTest::newRow(name);
    for (const char *cell : cells)
        data << QString::fromUtf8(cell);
}

// Short Latin-1 literals for JSON member names: "points"_l.
inline QLatin1String operator""_l(const char *text, std::size_t size)
{
    return QLatin1String(text, int(size));
}

// A preset object with every member and a built-in colour table, so that no table is looked up.
inline QJsonObject complete_preset()
{
    return QJsonDocument::fromJson(R"({"background": {"color": [10, 20, 30]}, "blend_mode": 2,
        "group": "CT", "shade": false, "ambient": 0.5, "diffuse": 0.6, "specular": 0.7,
        "specular_power": 20, "description": "Bone", "window": [400, 40], "read_only": false,
        "opacity": "Logarithmic Table", "clut": "No CLUT",
        "filters": {"convolution": ["sharpen"]}})")
        .object();
}

// The object with the members of the JSON text replaced or added.
inline QJsonObject with_members(const QByteArray &changes, QJsonObject object = complete_preset())
{
    const QJsonObject members = QJsonDocument::fromJson(changes).object();
    for (auto member = members.begin(); member != members.end(); ++member)
        object.insert(member.key(), member.value());
    return object;
}

// Builds a JSON object from nested member names down to one value: nest({"a","b"}, v).
inline QJsonObject nest(const QStringList &keys, const QJsonValue &value)
{
    QJsonValue inner = value;
    for (auto key = keys.crbegin(); key != keys.crend(); ++key)
        inner = QJsonObject{{*key, inner}};
    return inner.toObject();
}

// JSON with bare member names, {a:{b:[1,x]}}, which keeps the tables short.
inline QByteArray json(QString text)
{
    const QRegularExpression name(QStringLiteral("([A-Za-z]\\w*)"));
    return text.replace(name, QStringLiteral("\"\\1\"")).toUtf8();
}

inline QJsonObject object(const QString &text)
{
    return QJsonDocument::fromJson(json(text)).object();
}

} // namespace kesu::test
