#include <application/configuration.h>
#include <application/locations.h>

#include "testing.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QScopeGuard>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace kesu::test;
using korvel::application::preset;
using korvel::application::impl::Manager;

namespace {

const QJsonObject x1{{QStringLiteral("x"), 1}};

// A save made to fail: the user file, from the temporary folder; a folder made there beforehand;
// the bytes of the user file, none for null; whether the open files are limited while saving,
// else the size of the files written; the warnings, where %1 is the user file.
struct FailedSave
{
    QString file;
    QString folder;
    QByteArray bytes;
    bool descriptors;
    QStringList warnings;
};

} // namespace

Q_DECLARE_METATYPE(FailedSave)

class TestManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A stream of changes is saved ten seconds after its first change, a lone change one second
    // after it, also when made in another thread, whose restart of the save timer is queued. The
    // timer's save waits for another writer's lock in a worker thread while the event loop goes
    // on, and a change made meanwhile is saved by a save that follows it.
    void saves_a_second_after_the_last_change()
    {
        TemporaryStore store;
        const QString folder = store.dir.filePath(QStringLiteral(".kesu"));
        QVERIFY(QDir(store.dir.path()).rmdir(QStringLiteral(".kesu")));
        WarningRecorder warnings;
        auto manager = store.start();
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; !QFileInfo::exists(store.user_file()) && clock.elapsed() < 12000; ++i) {
            preset("user/a").set(QJsonObject{{QStringLiteral("i"), i}});
            QTest::qWait(250);
        }
        QVERIFY(clock.elapsed() >= 9900 && clock.elapsed() < 12000);
        QVERIFY(manager->sync());
        std::thread([] { preset("user/a").set(5); }).join(); // a number is stored as {}
        clock.start();
        QTest::qWait(700);
        QVERIFY2(store.user_on_disk()["a"_l].toObject().contains("i"_l), "saved too early");
        QTRY_COMPARE_WITH_TIMEOUT(store.user_on_disk(), object("{a:{}}"_l), 3000);
        QVERIFY(clock.elapsed() >= 1000);
        // The folder is made for its owner alone.
        QCOMPARE(int(QFileInfo(folder).permissions() & 0x7777), 0x7700);
        // Another writer holds the lock of the user file while saving.
        const QByteArray lock_file = QFile::encodeName(store.user_file() + ".lock"_l);
        const int other_writer = ::open(lock_file.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(other_writer >= 0 && ::flock(other_writer, LOCK_EX) == 0);
        preset("user/a").set(x1);
        QTest::qWait(1500); // the save waits for the lock in a worker thread
        preset("user/b").set(x1);
        QTest::qWait(1500); // the next save is asked for while that one still waits
        QCOMPARE(store.user_on_disk(), object("{a:{}}"_l));
        ::close(other_writer);
        QTRY_COMPARE_WITH_TIMEOUT(store.user_on_disk(), object("{a:{x:1},b:{x:1}}"_l), 5000);
        QVERIFY2(warnings.warnings().isEmpty(), qPrintable(warnings.warnings().join(u'\n')));
    }

    // A change of the shipped document alone writes nothing. A broken user file is copied aside
    // at the next save, and again when another program writes it broken again; two copies made
    // within one second both survive.
    void unusable_files_read_as_empty_documents()
    {
        // The bytes of the user file; empty without a shipped file.
        for (const QByteArray &bytes : {QByteArray(""), QByteArray("[{\"rendering\": 1}]")}) {
            TemporaryStore store;
            const QString folder = store.dir.filePath(QStringLiteral(".kesu"));
            if (bytes.isEmpty())
                QVERIFY(QFile::remove(store.global_file()));
            TemporaryStore::write(store.user_file(), bytes);
            WarningRecorder warnings;
            auto manager = store.start();
            preset("global/rendering").set(x1);
            QVERIFY(manager->sync());
            QCOMPARE(TemporaryStore::read(store.user_file()), bytes);
            preset("user/a").set(x1);
            manager->on_save();
            manager->on_save();
            TemporaryStore::write(store.user_file(), bytes);
            preset("user/b").set(x1);
            QVERIFY(manager->sync());
            const QStringList copies = QDir(folder).entryList({"*.broken-*"_l}, QDir::Files);
            QCOMPARE(copies.size(), bytes.isEmpty() ? 0 : 2);
            const QString broken = "broken %1 left out, copied aside at the next save"_l;
            QStringList expected{bytes.isEmpty() ? QString("fail on open 3d_presets.json file"_l)
                                                 : broken.arg(store.user_file())};
            for (const QString &copy : copies) {
                expected << QStringLiteral("broken presets.json copied to %1/%2").arg(folder, copy);
                QCOMPARE(TemporaryStore::read(folder + QLatin1Char('/') + copy), bytes);
            }
            QCOMPARE(warnings.warnings(), expected);
            QCOMPARE(store.user_on_disk(), object("{a:{x:1},b:{x:1}}"_l));
        }
    }

    // A save that cannot write keeps the changes in memory and pending, reports the failure by
    // the first failure, and leaves the file as it was.
    void failed_save_reports_failure_data()
    {
        QTest::addColumn<FailedSave>("save");
        const QString user = QStringLiteral(".kesu/presets.json");
        const QString keeping = QStringLiteral(", keeping changes in memory");
        const QString root = QStringLiteral("/kesu-%1/presets.json").arg(qApp->applicationPid());
        const QString mkdir = QStringLiteral("cannot make the folder of %1 (%2)") + keeping;
        const QString no_root = mkdir.arg("%1"_l, "no folder is made directly under /"_l);
        const QString no_parent = mkdir.arg("%1"_l, "No such file or directory"_l);
        const QString unreadable = QStringLiteral("cannot read %1") + keeping;
        const QString lock = QStringLiteral("cannot lock %1.lock (Is a directory)") + keeping;
        const QString broken = QStringLiteral("broken %1 left out, copied aside at the next save");
        const QString copy = QStringLiteral("cannot copy broken %1 aside") + keeping;
        const QString full = QStringLiteral("fail on save presets.json: File too large");
        const QString open = QStringLiteral("fail on save presets.json: Too many open files");
        const auto add = [](const char *name, const FailedSave &save) {
            QTest::newRow(name) << save;
        };
        add("under the root", {root, {}, {}, false, {no_root}});
        add("no parent", {"missing/"_l + user, {}, {}, false, {no_parent}});
        // A folder in place of the file exists but cannot be read, even by root.
        add("folder for the file", {user, user + "/inside"_l, {}, false, {unreadable}});
        add("folder for the lock", {user, user + ".lock"_l, "{}", false, {lock, lock}});
        add("broken, no copy", {user, {}, "[[[[[[[[[[[[", false, {broken, copy, copy}});
        add("no temporary file", {user, {}, {}, true, {open, open}});
        add("a full disk", {user, {}, "{}", false, {full, full}});
        add("no home", {{}, {}, {}, false, {"no home folder for presets.json"_l + keeping}});
    }
    void failed_save_reports_failure()
    {
        QFETCH(FailedSave, save);
        std::signal(SIGXFSZ, SIG_IGN);
        TemporaryStore store;
        const QDir dir(store.dir.path());
        const QString user_file = save.file.isEmpty() ? save.file : dir.filePath(save.file);
        if (!save.folder.isEmpty())
            QVERIFY(dir.mkpath(save.folder));
        if (!save.bytes.isNull())
            TemporaryStore::write(user_file, save.bytes);
        WarningRecorder recorder;
        Manager manager(user_file, store.global_file());
        {
            // The lock file takes the first free descriptor, the temporary file a later one. A
            // file grown past its limit fails to write instead of ending the process; the saves
            // that fail before writing run with the size limited as well.
            const int lock_descriptor = ::open("/dev/null", O_RDONLY);
            ::close(lock_descriptor);
            const int resource = save.descriptors ? RLIMIT_NOFILE : RLIMIT_FSIZE;
            rlimit old{};
            getrlimit(resource, &old);
            const rlimit limited{save.descriptors ? rlim_t(lock_descriptor) + 1 : 10, old.rlim_max};
            setrlimit(resource, &limited);
            const auto restore = qScopeGuard([&] { setrlimit(resource, &old); });
            for (const char *path : {"user/a", "user/b"}) {
                preset(path).set(x1);
                // Fails the second time too, the change still pending; the first failure warns.
                QVERIFY(!manager.sync() && !recorder.warnings().isEmpty());
            }
        }
        for (QString &warning : save.warnings)
            warning.replace("%1"_l, user_file);
        QCOMPARE(recorder.warnings(), save.warnings);
        QCOMPARE(TemporaryStore::read(user_file), save.bytes);
    }

    // Without HOME the password database names the home folder; a home at the root has none.
    void default_locations()
    {
        const char *pw_dir = getpwuid(getuid())->pw_dir;
        const std::pair<QByteArray, QString> homes[] = {
            {"/tmp/", QStringLiteral("/tmp/.kesu/presets.json")},
            {"", pw_dir[1] ? QFile::decodeName(pw_dir).append("/.kesu/presets.json"_l) : QString()},
            {"/", QString()}};
        const auto restore = qScopeGuard([old = qgetenv("HOME")] { qputenv("HOME", old); });
        for (const auto &[home, user_file] : homes) {
            qputenv("HOME", home);
            QCOMPARE(korvel::application::impl::default_user_file(), user_file);
        }
        QCOMPARE(korvel::application::impl::default_global_file(),
                 QDir::cleanPath(qApp->applicationDirPath() + "/../Resources/3d_presets.json"_l));
    }

    // Each path is read, set to {x:1}, saved and then dropped; set and drop are announced with
    // the root's full prefix. The shipped document is {rendering:1,"":{x:4}}.
    void resolves_sets_and_drops_paths_data()
    {
        columns({"user", "path", "value", "saved", "announced"});
        row("missing, a string on the way", {"{a:s}", "user/a/b", "", "{a:{b:{x:1}}}", "user/a/b"});
        row("siblings stay", {"{a:{b:5,c:2}}", "user/a/b", "5", "{a:{b:{x:1},c:2}}", "user/a/b"});
        row("empty names", {R"({"":{"":7}})", "user//", "7", R"({"":{"":{x:1}}})", "user//"});
        row("any seven characters", {"{}", "abcdefgrendering", "1", "{}", "global/rendering"});
        row("user without a slash", {"{x:4}", "userabc/x", "4", "{x:4}", "global//x"});
    }
    void resolves_sets_and_drops_paths()
    {
        QFETCH(QString, user);
        QFETCH(QString, path);
        QFETCH(QString, value);
        QFETCH(QString, saved);
        QFETCH(QString, announced);
        TemporaryStore store;
        store.write_user(object(user));
        store.write_global(object(QStringLiteral(R"({rendering:1,"":{x:4}})")));
        auto manager = store.start();
        SignalRecorder recorder;
        recorder.watch_store(manager.get());
        {
            auto handle = preset(path.toStdString());
            QCOMPARE(bool(handle), !value.isEmpty());
            // A missing path reads as an empty object, not as null or undefined.
            QCOMPARE(handle.get(), value.isEmpty() ? QJsonObject() : QJsonValue(value.toInt()));
            handle.set(x1);
            if (value.isEmpty())
                handle.drop(); // drops nothing, not even what it set
        }
        manager->on_save();
        QCOMPARE(store.user_on_disk(), object(saved));
        preset(path.toStdString()).drop();
        QVERIFY(!preset(path.toStdString()));
        QCOMPARE(recorder.take().join(u','), "modified "_l + announced + ",dropped "_l + announced);
    }

    // Allocations fail one by one in a set whose receiver throws: a set that failed leaves the
    // documents as they were, announces nothing and schedules no save; the one that stored its
    // change is saved at destruction although its receiver threw. Nothing pending writes nothing.
    void failure_leaves_the_store_as_it_was()
    {
        const QJsonObject user = object("{p:{A:{w:[1,2]},B:{w:[3,4]}}}"_l);
        const QByteArray text = QJsonDocument(user).toJson(QJsonDocument::Compact);
        // Qt 6 ends the process when an allocation in its containers fails.
        int n = QT_VERSION_MAJOR >= 6 ? 0 : 1;
        for (bool changed = false; !changed; ++n) {
            TemporaryStore store;
            TemporaryStore::write(store.user_file(), text);
            auto manager = store.start();
            int announced = 0;
            // The change is stored once it is announced: from there on nothing is made to fail
            // but the receiver itself, since Qt's own timers do not survive a failed allocation.
            // A receiver runs under the store's lock and may build handles.
            connect(manager.get(), &Manager::modified, [&announced] {
                allocations::fail_at(0);
                announced += preset("user/p/N/w").get() == x1;
                throw std::runtime_error("receiver");
            });
            allocations::fail_at(n);
            // N is made on the way.
            QVERIFY_EXCEPTION_THROWN(preset("user/p/N/w").set(x1), std::exception);
            allocations::fail_at(0);
            changed = preset("user/p").get() != user.value("p"_l);
            QCOMPARE(changed, announced == 1);
            QCOMPARE(manager->findChild<QTimer *>()->isActive(), changed);
            manager.reset();
            QCOMPARE(store.user_on_disk() != user, changed);
            QCOMPARE(TemporaryStore::read(store.user_file()) != text, changed);
        }
        QVERIFY(n > 2 || QT_VERSION_MAJOR >= 6); // allocations failed before the set that stored
    }

    // The newest manager alive is the instance; handles kept past their manager throw.
    void handles_outliving_their_manager_throw()
    {
        TemporaryStore store;
        auto first = store.start();
        auto second = store.start();
        QVERIFY_EXCEPTION_THROWN(preset("global"), std::out_of_range);
        auto kept = preset("user/a");
        second.reset();
        QCOMPARE(Manager::instance(), first.get());
        first.reset();
        QVERIFY(!Manager::instance());
        QVERIFY_EXCEPTION_THROWN(kept.set(QJsonObject()), std::logic_error);
        QVERIFY_EXCEPTION_THROWN(kept.drop(), std::logic_error);
        QVERIFY_EXCEPTION_THROWN(preset("user/a"), std::logic_error);
        try {
            kept.get();
            QFAIL("no exception");
        } catch (const std::logic_error &error) {
            QCOMPARE(error.what(), "no configuration manager");
        }
    }

    // The deepest user document that reads back is stored; one level more is refused with a
    // warning that cuts the path after 200 characters.
    void deep_documents()
    {
        TemporaryStore store;
        auto manager = store.start();
        const std::string path = "user" + QStringLiteral("/n").repeated(1000).toStdString();
        const QString refused = "too deeply nested for presets.json, not stored: "_l
            + QString::fromStdString(path).left(205);
        // Below the path, objects and arrays alternate, an object outermost.
        for (const int value_depth : {25, 24}) {
            QJsonValue value = 1;
            for (int level = value_depth; level > 0; --level)
                value = level % 2 ? QJsonValue(QJsonObject{{"v"_l, value}}) : QJsonArray{value};
            WarningRecorder warnings;
            preset(path).set(value);
            QCOMPARE(bool(preset(path)), value_depth == 24);
            QCOMPARE(warnings.warnings(), value_depth == 24 ? QStringList() : QStringList{refused});
        }
    }
};

KESU_TEST_CLASS(TestManager)
#include "tst_manager.moc"
