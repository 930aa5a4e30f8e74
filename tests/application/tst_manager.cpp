#include <application/configuration.h>
#include <application/locations.h>
#include <application/manager.h>

#include "testing.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <pwd.h>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using kesu::test::columns;
using kesu::test::row;
using kesu::test::TemporaryStore;
using kesu::test::WarningRecorder;
using korvel::application::preset;
using korvel::application::impl::Configuration;
using korvel::application::impl::Manager;

namespace {

const QJsonObject x1{{QStringLiteral("x"), 1}};

// A JSON value written as text: "5", "{\"x\":1}".
QJsonValue json(const QString &text)
{
    return QJsonDocument::fromJson(QStringLiteral("[%1]").arg(text).toUtf8()).array().at(0);
}

std::unique_ptr<Manager> start(const TemporaryStore &store, const QString &user,
                               const QString &global = QStringLiteral("{}"))
{
    TemporaryStore::write(store.user_file(), user.toUtf8());
    TemporaryStore::write(store.global_file(), global.toUtf8());
    return store.start();
}

bool save_timer_active(const Manager &manager)
{
    return manager.findChild<QTimer *>()->isActive();
}

QStringList files_in(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
}

// Limits a resource of this process while it lives: the size of the files it writes, as a full
// disk would, or the number of its open files.
class Limit
{
public:
    Limit(int resource, rlim_t value)
        : resource(resource)
    {
        getrlimit(resource, &old);
        handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited{value, old.rlim_max};
        setrlimit(resource, &limited);
    }
    ~Limit()
    {
        setrlimit(resource, &old);
        std::signal(SIGXFSZ, handler);
    }

private:
    int resource;
    rlimit old{};
    void (*handler)(int);
};

} // namespace

class TestManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void instance_follows_lifetime()
    {
        QVERIFY(!Manager::instance());
        TemporaryStore store;
        auto first = store.start();
        auto second = store.start();
        auto third = store.start();
        QCOMPARE(Manager::instance(), third.get());
        first.reset(); // an older manager leaves the newer one registered
        QCOMPARE(Manager::instance(), third.get());
        third.reset(); // the newest leaves the newest still alive
        QCOMPARE(Manager::instance(), second.get());
        second.reset();
        QVERIFY(!Manager::instance());
    }

    // The last change comes from another thread, whose restart of the save timer is queued.
    void saves_one_second_after_the_last_change()
    {
        TemporaryStore store;
        const QString folder = store.dir.filePath(QStringLiteral(".kesu"));
        QVERIFY(QDir(store.dir.path()).rmdir(QStringLiteral(".kesu")));
        WarningRecorder warnings;
        auto manager = store.start();
        QElapsedTimer since_last;
        for (int i = 0; i < 3; ++i) {
            QTest::qWait(i > 0 ? 400 : 0);
            QVERIFY(!QFileInfo::exists(store.user_file()));
            const auto change = [i] {
                preset("user/a").set(QJsonObject{{QStringLiteral("i"), i}});
            };
            if (i < 2)
                change();
            else
                std::thread(change).join();
            since_last.start();
        }
        QTest::qWait(700);
        QVERIFY2(!QFileInfo::exists(store.user_file()), "saved before a second without changes");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(store.user_file()), 3000);
        QVERIFY(since_last.elapsed() >= 1000 && since_last.elapsed() < 3000);
        QCOMPARE(store.user_on_disk(),
                 QJsonObject({{QStringLiteral("a"), json(QStringLiteral(R"({"i":2})"))}}));
        // Written through a temporary file that is renamed, in a folder only its owner may enter.
        QCOMPARE(
            files_in(folder),
            QStringList({QStringLiteral("presets.json"), QStringLiteral("presets.json.lock")}));
        QCOMPARE(QFileInfo(folder).permissions() & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                     | QFile::WriteUser | QFile::ExeUser);
        QVERIFY2(warnings.warnings().isEmpty(), qPrintable(warnings.warnings().join(u'\n')));
    }

    void endless_changes_are_saved_within_ten_seconds()
    {
        TemporaryStore store;
        auto manager = store.start();
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; !QFileInfo::exists(store.user_file()) && clock.elapsed() < 12000; ++i) {
            preset("user/a").set(QJsonObject{{QStringLiteral("i"), i}});
            QTest::qWait(250);
        }
        QVERIFY2(clock.elapsed() >= 9900 && clock.elapsed() < 12000,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void destruction_writes_a_pending_save_only()
    {
        TemporaryStore store;
        auto manager = start(store, QStringLiteral(R"({"old":1})"));
        preset("user/new").set(x1);
        manager.reset();
        QCOMPARE(store.user_on_disk(),
                 QJsonObject({{QStringLiteral("old"), 1}, {QStringLiteral("new"), x1}}));
        manager = store.start();
        QVERIFY(QFile::remove(store.user_file()));
        manager.reset(); // nothing pending: nothing written
        QVERIFY(!QFileInfo::exists(store.user_file()));
    }

    // The timer's save runs in a worker thread: here it waits for the lock another writer holds,
    // the event loop goes on, and a change made meanwhile is saved by the next save.
    void timer_save_leaves_the_event_loop_free()
    {
        TemporaryStore store;
        auto manager = store.start();
        auto other_writer = std::make_unique<kesu::test::OtherWriter>(store.user_file());
        preset("user/a").set(x1);
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(1500);
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!QFileInfo::exists(store.user_file()));
        preset("user/b").set(x1);
        other_writer.reset();
        QTRY_VERIFY_WITH_TIMEOUT(store.user_on_disk().contains(QStringLiteral("b")), 5000);
        QVERIFY(store.user_on_disk().contains(QStringLiteral("a")));
    }

    void unusable_files_read_as_empty_documents_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // of both files; none for null
        QTest::addColumn<bool>("broken");
        QTest::newRow("no files") << QByteArray() << false;
        QTest::newRow("empty") << QByteArray("") << false;
        QTest::newRow("truncated") << QByteArray("{\"rendering\": {\"dvr\": ") << true;
        QTest::newRow("a JSON array") << QByteArray("[{\"rendering\": 1}]") << true;
        QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe{", 4) << true;
        QTest::newRow("nested too deep") << QByteArray(2000, '[') + QByteArray(2000, ']') << true;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"render\xc3\x28ing\": 1}") << true;
    }
    // A broken user file is copied aside at the next save; two copies made within one second
    // both survive.
    void unusable_files_read_as_empty_documents()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, broken);
        TemporaryStore store;
        const QString folder = store.dir.filePath(QStringLiteral(".kesu"));
        if (bytes.isNull())
            QVERIFY(QFile::remove(store.global_file()));
        else
            TemporaryStore::write(store.global_file(), bytes);
        for (int round = 1; round <= 2; ++round) {
            if (!bytes.isNull())
                TemporaryStore::write(store.user_file(), bytes);
            WarningRecorder warnings;
            auto manager = store.start();
            QVERIFY(!preset("user/rendering") && !preset("global/rendering") && !preset("user/0"));
            preset("user/a").set(x1);
            QCOMPARE(preset("user/a").get().toObject(), x1);
            manager->on_save();
            manager->on_save();
            const QStringList copies = files_in(folder).filter(QStringLiteral(".broken-"));
            QCOMPARE(copies.size(), broken ? round : 0);
            QStringList expected;
            if (broken)
                expected << QStringLiteral("broken %1 left out, copied aside at the next save")
                                .arg(store.user_file())
                         << QStringLiteral("broken presets.json copied to %1/%2")
                                .arg(folder, copies.last());
            if (bytes.isNull())
                expected << QStringLiteral("fail on open 3d_presets.json file");
            QCOMPARE(warnings.warnings(), expected);
            for (const QString &copy : copies)
                QCOMPARE(TemporaryStore::read(folder + QLatin1Char('/') + copy), bytes);
            QCOMPARE(store.user_on_disk(), QJsonObject({{QStringLiteral("a"), x1}}));
        }
    }

    void very_large_files_load_whole()
    {
        TemporaryStore store;
        QJsonObject presets;
        const QJsonObject stored{{QStringLiteral("description"), QString(1000, u'd')}};
        for (int i = 0; i < 20000; ++i)
            presets.insert(QString::number(i), stored);
        store.write_user(kesu::test::nest({QStringLiteral("rendering")}, presets));
        auto manager = store.start();
        QCOMPARE(preset("user/rendering/19999").get().toObject(), stored);
    }

    // A save that cannot write keeps the changes in memory and pending, reports the failure, and
    // leaves the files as they were.
    void failed_save_reports_failure_data()
    {
        QTest::addColumn<QString>("file"); // the user file, from the temporary folder
        QTest::addColumn<QString>("folder"); // made there beforehand
        QTest::addColumn<QByteArray>("bytes"); // of the user file; none for null
        QTest::addColumn<int>("limited"); // a resource limited while saving, or -1
        QTest::addColumn<QStringList>("warnings"); // %1 is the user file
        const QString user = QStringLiteral(".kesu/presets.json");
        const QString keeping = QStringLiteral(", keeping changes in memory");
        const QString folder = QStringLiteral("cannot make the folder of %1 (");
        const QString lock = QStringLiteral("cannot lock %1.lock (Is a directory)") + keeping;
        const QString copy = QStringLiteral("cannot copy broken %1 aside") + keeping;
        const QString full = QStringLiteral("fail on save presets.json: File too large");
        const QString open = QStringLiteral("fail on save presets.json: Too many open files");
        QTest::newRow("no folder directly under the root")
            << QStringLiteral("/kesu-test-%1/presets.json").arg(QCoreApplication::applicationPid())
            << QString() << QByteArray() << -1
            << QStringList{folder + QStringLiteral("no folder is made directly under /)")
                           + keeping};
        QTest::newRow("no parent for the folder")
            << QStringLiteral("missing/.kesu/presets.json") << QString() << QByteArray() << -1
            << QStringList{folder + QStringLiteral("No such file or directory)") + keeping};
        // A folder in place of the file exists but cannot be read, even by root.
        QTest::newRow("a folder in place of the file")
            << user << user + QStringLiteral("/inside") << QByteArray() << -1
            << QStringList{QStringLiteral("cannot read %1") + keeping};
        QTest::newRow("a folder in place of the lock")
            << user << user + QStringLiteral(".lock") << QByteArray("{}") << -1
            << QStringList{lock, lock};
        QTest::newRow("a broken file that cannot be copied aside")
            << user << QString() << QByteArray(2000, '[') << int(RLIMIT_FSIZE)
            << QStringList{QStringLiteral("broken %1 left out, copied aside at the next save"),
                           copy, copy};
        QTest::newRow("no temporary file")
            << user << QString() << QByteArray() << int(RLIMIT_NOFILE) << QStringList{open, open};
        QTest::newRow("a full disk")
            << user << QString() << "{\"old\": \"" + QByteArray(2000, 'x') + "\"}"
            << int(RLIMIT_FSIZE) << QStringList{full, full};
        QTest::newRow("no home folder")
            << QString() << QString() << QByteArray() << -1
            << QStringList{QStringLiteral("no home folder for presets.json") + keeping};
    }
    void failed_save_reports_failure()
    {
        QFETCH(QString, file);
        QFETCH(QString, folder);
        QFETCH(QByteArray, bytes);
        QFETCH(int, limited);
        QFETCH(QStringList, warnings);
        TemporaryStore store;
        const QDir dir(store.dir.path());
        const QString user_file = file.isEmpty() ? file : dir.filePath(file);
        if (!folder.isEmpty())
            QVERIFY(dir.mkpath(folder));
        if (!bytes.isNull())
            TemporaryStore::write(user_file, bytes);
        const QString user_folder = dir.filePath(QFileInfo(file).path());
        const bool folder_existed = QFileInfo::exists(user_folder);
        // Everything but the lock file.
        const auto left = [&user_folder] {
            return files_in(user_folder)
                .filter(QRegularExpression(QStringLiteral("(?<!\\.lock)$")));
        };
        const QStringList before = left();
        WarningRecorder recorder;
        Manager manager(user_file, store.global_file());
        {
            // The lock file takes the first free descriptor, the temporary file would take the
            // next.
            const int first = ::open("/dev/null", O_RDONLY);
            const int second = ::open("/dev/null", O_RDONLY);
            ::close(first);
            ::close(second);
            std::optional<Limit> limit;
            if (limited >= 0)
                limit.emplace(limited, limited == RLIMIT_NOFILE ? rlim_t(second) : 1024);
            for (const char *path : {"user/a", "user/b"}) {
                preset(path).set(x1);
                QVERIFY(!manager.sync()); // the second time too: the change is still pending
                QVERIFY(!recorder.warnings().isEmpty()); // told by the first failure at the latest
            }
        }
        for (QString &warning : warnings)
            warning.replace(QStringLiteral("%1"), user_file);
        QCOMPARE(recorder.warnings(), warnings);
        QCOMPARE(preset("user/b").get(), QJsonValue(x1));
        QCOMPARE(TemporaryStore::read(user_file), bytes);
        QCOMPARE(QFileInfo::exists(user_folder), folder_existed);
        QCOMPARE(left(), before); // no temporary file, no copy
    }

    // Changes of the shipped document are never written: without a user document no file is
    // made, and a save with no change of the user's rewrites the user file unchanged. Numbers and
    // characters where Qt versions could write otherwise: the Qt 5 and the Qt 6 build write the
    // same text.
    void saved_text_is_the_same_with_either_qt()
    {
        TemporaryStore store;
        const QByteArray shipped(R"({"rendering":{"dvr":{"d":1}}})");
        TemporaryStore::write(store.global_file(), shipped);
        WarningRecorder warnings;
        auto manager = store.start();
        preset("global/rendering/dvr").set(x1);
        QVERIFY(save_timer_active(*manager));
        QCOMPARE(preset("global/rendering/dvr").get(), QJsonValue(x1));
        QVERIFY(manager->sync());
        QVERIFY(!QFileInfo::exists(store.user_file()));
        QJsonArray numbers;
        for (double number :
             {1e300, 0.1, -0.0, 9007199254740993.0, 1234.567, 1e-7, 1.5e10, 3.4028234663852886e38,
              123456789012345678.0, 0.30000000000000004, 65535.0})
            numbers.append(number);
        preset("user/pinned")
            .set(QJsonObject{{QStringLiteral("numbers"), numbers},
                             {QStringLiteral("text"), QString::fromUtf8("\xc3\xa9\x01\"\\/\t")}});
        QVERIFY(manager->sync());
        const QByteArray expected("{\n    \"pinned\": {\n        \"numbers\": [\n"
                                  "            1e+300,\n            0.1,\n            0,\n"
                                  "            9007199254740992,\n            1234.567,\n"
                                  "            1e-07,\n            15000000000,\n"
                                  "            3.4028234663852886e+38,\n"
                                  "            123456789012345680,\n"
                                  "            0.30000000000000004,\n            65535\n"
                                  "        ],\n        \"text\": \"\xc3\xa9\\u0001\\\"\\\\/\\t\"\n"
                                  "    }\n}\n");
        QCOMPARE(TemporaryStore::read(store.user_file()), expected);
        manager = store.start();
        QCOMPARE(preset("global/rendering/dvr").get(), json(QStringLiteral(R"({"d":1})")));
        preset("global/a").set(QJsonObject());
        manager->on_save();
        QCOMPARE(TemporaryStore::read(store.user_file()), expected);
        QCOMPARE(TemporaryStore::read(store.global_file()), shipped);
        QVERIFY(warnings.warnings().isEmpty());
    }

    void default_locations()
    {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral(".kesu"));
        const QString user_file = home.filePath(QStringLiteral(".kesu/presets.json"));
        TemporaryStore::write(user_file, "{\"mine\": 7}");
        kesu::test::ScopedEnvironment environment("HOME", QFile::encodeName(home.path()));
        Manager manager;
        QCOMPARE(manager.user_file_path(), user_file);
        QCOMPARE(manager.global_file_path(),
                 QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources"))
                         .absolutePath()
                     + QStringLiteral("/3d_presets.json"));
        QCOMPARE(preset("user/mine").get(), QJsonValue(7));
        QVERIFY(preset("global/rendering/dvr/preset/Standard"));
    }

    void home_of_the_user_file_data()
    {
        QTest::addColumn<QByteArray>("home");
        QTest::addColumn<bool>("user_file");
        const bool pw_home = getpwuid(getuid())->pw_dir[1];
        QTest::newRow("HOME unset: the password database's home") << QByteArray() << pw_home;
        QTest::newRow("HOME empty: the same") << QByteArray("") << pw_home;
        QTest::newRow("HOME at the root: no user file") << QByteArray("/") << false;
    }
    void home_of_the_user_file()
    {
        QFETCH(QByteArray, home);
        QFETCH(bool, user_file);
        kesu::test::ScopedEnvironment environment("HOME", home);
        const QString expected =
            QFile::decodeName(getpwuid(getuid())->pw_dir) + QStringLiteral("/.kesu/presets.json");
        QCOMPARE(korvel::application::impl::default_user_file(), user_file ? expected : QString());
    }

    // Each path is also set and dropped, announced with its root's full prefix.
    void resolves_paths_data()
    {
        columns({"user", "global", "path", "value", "announced"});
        row("missing in an empty document", {"{}", "{}", "user/a/b", "", "user/a/b"});
        row("nested number", {R"({"a":{"b":5}})", "{}", "user/a/b", "5", "user/a/b"});
        row("names are case-sensitive", {R"({"A":1})", "{}", "user/a", "", "user/a"});
        row("arrays are not traversed", {R"({"a":[{"b":1}]})", "{}", "user/a/0", "", "user/a/0"});
        row("strings are not traversed", {R"({"a":"s"})", "{}", "user/a/b", "", "user/a/b"});
        row("double slash names the empty member",
            {R"({"a":{"":{"b":1}}})", "{}", "user/a//b", "1", "user/a//b"});
        row("trailing slash names the empty member",
            {R"({"a":{"":7}})", "{}", "user/a/", "7", "user/a/"});
        row("user/ alone is the empty top-level member",
            {R"({"":3})", "{}", "user/", "3", "user/"});
        row("user/ alone without it", {R"({"a":3})", "{}", "user/", "", "user/"});
        row("any seven characters lead to the global rest",
            {"{}", R"({"rendering":1})", "abcdefgrendering", "1", "global/rendering"});
        row("user without its slash is global",
            {R"({"x":4})", R"({"":{"x":4}})", "userabc/x", "4", "global//x"});
        row("seven characters alone", {"{}", R"({"a":1})", "abcdefg", "", "global/"});
    }
    void resolves_paths()
    {
        QFETCH(QString, user);
        QFETCH(QString, global);
        QFETCH(QString, path);
        QFETCH(QString, value);
        QFETCH(QString, announced);
        TemporaryStore store;
        auto manager = start(store, user, global);
        {
            const Configuration handle = preset(path.toStdString());
            QCOMPARE(bool(handle), !value.isEmpty());
            // A missing path reads as an empty object, not as null or undefined.
            QCOMPARE(handle.get(), value.isEmpty() ? QJsonValue(QJsonObject()) : json(value));
        }
        kesu::test::SignalRecorder recorder;
        recorder.watch_store(manager.get());
        preset(path.toStdString()).set(QJsonObject());
        preset(path.toStdString()).drop();
        QCOMPARE(recorder.take(),
                 QStringList({QStringLiteral("modified ") + announced,
                              QStringLiteral("dropped ") + announced}));
    }

    void set_stores_object_form_data()
    {
        columns({"before", "path", "value", "after"});
        row("creates the objects on the way",
            {"{}", "user/a/b", R"({"x":1})", R"({"a":{"b":{"x":1}}})"});
        row("a string on the way becomes an object",
            {R"({"a":"s"})", "user/a/b", R"({"x":1})", R"({"a":{"b":{"x":1}}})"});
        row("other members stay",
            {R"({"a":{"c":2},"d":3})", "user/a/b", R"({"x":1})",
             R"({"a":{"b":{"x":1},"c":2},"d":3})"});
        row("an object is replaced whole",
            {R"({"a":{"b":{"old":1}}})", "user/a/b", R"({"x":1})", R"({"a":{"b":{"x":1}}})"});
        row("a number is stored as an empty object", {"{}", "user/a", "5", R"({"a":{}})"});
        row("empty segments name empty members",
            {"{}", "user/a//b/", R"({"x":1})", R"({"a":{"":{"b":{"":{"x":1}}}}})"});
    }
    void set_stores_object_form()
    {
        QFETCH(QString, before);
        QFETCH(QString, path);
        QFETCH(QString, value);
        QFETCH(QString, after);
        TemporaryStore store;
        auto manager = start(store, before);
        QSignalSpy modified(manager.get(), &Manager::modified);
        {
            Configuration handle = preset(path.toStdString());
            const bool found = handle;
            const QJsonValue old = handle.get();
            handle.set(json(value));
            // A handle that did not find its path drops nothing, not even what it set.
            if (!found)
                handle.drop();
            // A handle is a snapshot of the tree as it was built.
            QCOMPARE(bool(handle), found);
            QCOMPARE(handle.get(), old);
        }
        QCOMPARE(modified.count(), 1);
        QCOMPARE(modified.at(0).at(0).toString(), path);
        QVERIFY(save_timer_active(*manager));
        manager->on_save();
        QCOMPARE(QJsonValue(store.user_on_disk()), json(after));
    }

    void drop_removes_the_last_member_data()
    {
        columns({"before", "after"});
        row("a sibling stays", {R"({"a":{"b":1,"c":2}})", R"({"c":2})"});
        row("an emptied object stays", {R"({"a":{"b":1}})", "{}"});
        row("a missing path changes nothing", {R"({"a":{"c":2}})", ""});
    }
    void drop_removes_the_last_member()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        TemporaryStore store;
        auto manager = start(store, before);
        QSignalSpy dropped(manager.get(), &Manager::dropped);
        preset("user/a/b").drop();
        QCOMPARE(dropped.count(), after.isEmpty() ? 0 : 1);
        QCOMPARE(save_timer_active(*manager), !after.isEmpty());
        if (!after.isEmpty())
            QCOMPARE(preset("user/a").get(), json(after));
    }

    void misuse_throws()
    {
        const auto thrown = [](const std::function<void()> &use) -> QByteArray {
            try {
                use();
            } catch (const std::logic_error &error) {
                return error.what();
            }
            return "nothing";
        };
        TemporaryStore store;
        auto manager = store.start();
        QVERIFY_EXCEPTION_THROWN(preset(""), std::out_of_range);
        QVERIFY_EXCEPTION_THROWN(preset("global"), std::out_of_range);
        // The lock taken for those handles was given up.
        QVERIFY(
            kesu::test::finishes("a handle in another thread", [] { return !preset("user/x"); }));
        Configuration kept("user/a");
        manager.reset();
        QCOMPARE(thrown([&kept] { kept.get(); }), "no configuration manager");
        QCOMPARE(thrown([&kept] { kept.set(QJsonObject()); }), "no configuration manager");
        QCOMPARE(thrown([&kept] { kept.drop(); }), "no configuration manager");
        QCOMPARE(thrown([] { preset("user/a"); }), "no configuration manager");
    }

    // A set or drop that fails leaves the documents as they were, announces nothing and
    // schedules no save; one that stored its change is saved even when a receiver throws.
    void failure_leaves_the_store_as_it_was_data()
    {
        QTest::addColumn<bool>("drop");
        QTest::addColumn<bool>("receiver_throws");
        QTest::newRow("set, an allocation fails") << false << false;
        QTest::newRow("drop, an allocation fails") << true << false;
        QTest::newRow("set, the receiver throws") << false << true;
        QTest::newRow("drop, the receiver throws") << true << true;
    }
    void failure_leaves_the_store_as_it_was()
    {
        QFETCH(bool, drop);
        QFETCH(bool, receiver_throws);
#if QT_VERSION_MAJOR >= 6
        if (!receiver_throws)
            QSKIP("Qt 6 ends the process when an allocation in its containers fails");
#endif
        namespace allocations = kesu::test::allocations;
        const char *user = R"({"p":{"A":{"w":[1,2]},"B":{"w":[3,4]},"C":{}},"q":"s"})";
        const QJsonValue old_p = QJsonDocument::fromJson(user).object().value(QStringLiteral("p"));
        int failures = 0;
        for (int n = receiver_throws ? 0 : 1;; ++n) {
            TemporaryStore store;
            auto manager = start(store, QString::fromUtf8(user), QStringLiteral("{}"));
            int announced = 0;
            // The change is stored once it is announced: from there on nothing is made to fail
            // but the receiver itself, since Qt's own timers do not survive a failed allocation.
            const auto receiver = [&announced, receiver_throws] {
                allocations::fail_at(0);
                ++announced;
                if (receiver_throws)
                    throw std::runtime_error("receiver");
            };
            QObject context;
            connect(manager.get(), &Manager::modified, &context, receiver);
            connect(manager.get(), &Manager::dropped, &context, receiver);
            allocations::fail_at(n);
            bool threw = false;
            try {
                if (drop)
                    preset("user/p/B/w").drop();
                else
                    preset("user/p/B/w").set(QJsonObject{{QStringLiteral("x"), 1}});
            } catch (const std::exception &) {
                threw = true;
            }
            allocations::fail_at(0);
            failures += threw;
            const bool changed = preset("user/p").get() != old_p;
            QCOMPARE(changed, announced == 1);
            QCOMPARE(save_timer_active(*manager), changed);
            manager.reset();
            QCOMPARE(store.user_on_disk().value(QStringLiteral("p")) != old_p, changed);
            if (changed) {
                QCOMPARE(threw, receiver_throws);
                break;
            }
        }
        QVERIFY(failures > 0);
    }

    // A receiver runs under the store's lock, in the writing thread, and may build handles there.
    void handles_nest_in_one_thread_and_exclude_others()
    {
        TemporaryStore store;
        auto manager = store.start();
        QJsonValue seen;
        connect(manager.get(), &Manager::modified, this,
                [&](const QString &path) { seen = preset(path.toStdString()).get(); });
        std::atomic<bool> other_done{false};
        std::thread other;
        {
            const Configuration outer = preset("user/a");
            preset("user/b").set(x1);
            QCOMPARE(seen, QJsonValue(x1));
            other = std::thread([&] { other_done = bool(preset("user/b")); });
            QTest::qWait(100); // the other thread must still be waiting for the store
            QVERIFY(!other_done);
        }
        other.join();
        QVERIFY(other_done);
    }

    void long_and_deep_paths_data()
    {
        QTest::addColumn<int>("segments");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("value_depth");
        QTest::addColumn<bool>("stored");
        QTest::newRow("a name of 100000 characters") << 1 << 100000 << 1 << true;
        QTest::newRow("the deepest document that reads back") << 1000 << 1 << 24 << true;
        QTest::newRow("one level more in the path is refused") << 1001 << 1 << 24 << false;
        QTest::newRow("one level more in the value is refused") << 1000 << 1 << 25 << false;
    }
    void long_and_deep_paths()
    {
        QFETCH(int, segments);
        QFETCH(int, value_depth);
        QFETCH(bool, stored);
        QFETCH(int, length);
        TemporaryStore store;
        auto manager = start(store, QStringLiteral(R"({"kept":1})"));
        std::string path = "user";
        for (int i = 0; i < segments; ++i)
            path += '/' + std::string(std::size_t(length), 'n');
        QJsonValue value = 1; // objects and arrays alternate, an object outermost
        for (int level = value_depth; level > 0; --level)
            value = level % 2 ? QJsonValue(QJsonObject{{QStringLiteral("v"), value}})
                              : QJsonValue(QJsonArray{value});
        WarningRecorder warnings;
        QSignalSpy modified(manager.get(), &Manager::modified);
        preset(path).set(value);
        QCOMPARE(modified.count(), stored ? 1 : 0);
        // The path in the warning is cut after 200 characters below "user/".
        const QString refused = QStringLiteral("too deeply nested for presets.json, not stored: ")
            + QString::fromStdString(path).left(205);
        QCOMPARE(warnings.warnings(), stored ? QStringList() : QStringList{refused});
        manager->on_save();
        manager = store.start();
        QCOMPARE(bool(preset(path)), stored);
        QVERIFY(preset("user/kept"));
    }
};

KESU_TEST_CLASS(TestManager)
#include "tst_manager.moc"
