#include <application/configuration.h>
#include <application/locations.h>
#include <application/manager.h>

#include "testing.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>

#include <csignal>
#include <pwd.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using kesu::test::TemporaryStore;
using kesu::test::WarningRecorder;
using korvel::application::preset;
using korvel::application::impl::Manager;

namespace {

const QJsonObject x1{{QStringLiteral("x"), 1}};

QStringList files_in(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
}

// Limits the size of the files this process writes, as a full disk would.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old);
        handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited{bytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);
    }

private:
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

    void first_write_creates_user_file()
    {
        TemporaryStore store;
        WarningRecorder warnings;
        auto manager = store.start();
        QVERIFY(!preset("user/rendering/dvr/last/preset"));
        QElapsedTimer clock;
        clock.start();
        preset("user/a/b").set(x1);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(store.user_file()), 3000);
        QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
        const QJsonDocument expected(
            kesu::test::nest({QStringLiteral("a"), QStringLiteral("b")}, x1));
        QCOMPARE(TemporaryStore::read(store.user_file()), expected.toJson(QJsonDocument::Indented));
        // Written through a temporary file that is renamed: nothing else is left in the folder
        // but the lock file of the writers.
        QCOMPARE(
            files_in(store.dir.filePath(QStringLiteral(".kesu"))),
            QStringList({QStringLiteral("presets.json"), QStringLiteral("presets.json.lock")}));
        QVERIFY(warnings.warnings().isEmpty());
    }

    void writes_that_leave_no_file()
    {
        TemporaryStore store;
        WarningRecorder warnings;
        auto manager = store.start();
        preset("global/a").set(x1); // only the shipped document: no empty presets.json
        QVERIFY(manager->sync());
        QVERIFY(!QFileInfo::exists(store.user_file()));
        QVERIFY(warnings.warnings().isEmpty());
    }

    void first_save_makes_the_folder()
    {
        TemporaryStore store;
        const QString folder = store.dir.filePath(QStringLiteral(".kesu"));
        QVERIFY(QDir(store.dir.path()).rmdir(QStringLiteral(".kesu")));
        auto manager = store.start();
        preset("user/a").set(x1);
        QVERIFY(manager->sync());
        QCOMPARE(QFileInfo(folder).permissions() & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                     | QFile::WriteUser | QFile::ExeUser);
        QCOMPARE(store.user_on_disk(), QJsonObject({{QStringLiteral("a"), x1}}));
    }

    void no_folder_directly_under_the_root()
    {
        const QString folder =
            QStringLiteral("/kesu-test-%1").arg(QCoreApplication::applicationPid());
        TemporaryStore store;
        WarningRecorder warnings;
        Manager manager(folder + QStringLiteral("/presets.json"), store.global_file());
        for (const char *path : {"user/a", "user/b"}) {
            preset(path).set(x1);
            QVERIFY(!manager.sync());
        }
        QVERIFY(!QFileInfo::exists(folder));
        QCOMPARE(warnings.warnings().size(), 1);
        QVERIFY(warnings.warnings().first().startsWith(QStringLiteral("cannot make the folder")));
        QCOMPARE(preset("user/b").get().toObject(), x1);
    }

    void missing_shipped_file_warns_once()
    {
        TemporaryStore store;
        QVERIFY(QFile::remove(store.global_file()));
        WarningRecorder warnings;
        auto manager = store.start();
        QCOMPARE(warnings.warnings(),
                 QStringList{QStringLiteral("fail on open 3d_presets.json file")});
        QVERIFY(!preset("global/rendering"));
    }

    void unusable_files_read_as_empty_documents_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << QByteArray("{\"rendering\": {\"dvr\": ");
        QTest::newRow("a JSON array") << QByteArray("[{\"rendering\": 1}]");
        QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe{", 4);
        QTest::newRow("nested too deep") << QByteArray(2000, '[') + QByteArray(2000, ']');
        QTest::newRow("invalid UTF-8") << QByteArray("{\"render\xc3\x28ing\": 1}");
    }
    void unusable_files_read_as_empty_documents()
    {
        QFETCH(QByteArray, bytes);
        TemporaryStore store;
        TemporaryStore::write(store.user_file(), bytes);
        TemporaryStore::write(store.global_file(), bytes);
        auto manager = store.start();
        QVERIFY(!preset("user/rendering") && !preset("global/rendering") && !preset("user/0"));
        preset("user/a").set(x1);
        QCOMPARE(preset("user/a").get().toObject(), x1);
    }

    void very_large_files_load_whole()
    {
        TemporaryStore store;
        QJsonObject presets;
        const QJsonObject stored{{QStringLiteral("description"), QString(1000, u'd')}};
        for (int i = 0; i < 20000; ++i)
            presets.insert(QString::number(i), stored);
        store.write_user(kesu::test::nest({QStringLiteral("rendering")}, presets));
        QVERIFY(QFileInfo(store.user_file()).size() > 20 * 1000 * 1000);
        auto manager = store.start();
        QCOMPARE(preset("user/rendering/19999").get().toObject(), stored);
    }

    void burst_of_writes_saves_once_after_the_last()
    {
        TemporaryStore store;
        auto manager = store.start();
        QElapsedTimer since_last;
        for (int i = 0; i < 3; ++i) {
            QTest::qWait(i > 0 ? 400 : 0);
            QVERIFY(!QFileInfo::exists(store.user_file()));
            preset("user/a").set(QJsonObject{{QStringLiteral("i"), i}});
            since_last.start();
        }
        QTest::qWait(700);
        QVERIFY2(!QFileInfo::exists(store.user_file()), "saved before a second without changes");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(store.user_file()), 3000);
        QVERIFY(since_last.elapsed() >= 1000 && since_last.elapsed() < 3000);
        QCOMPARE(store.user_on_disk()[QStringLiteral("a")].toObject()[QStringLiteral("i")].toInt(),
                 2);
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
        store.write_user(QJsonObject{{QStringLiteral("old"), 1}});
        auto manager = store.start();
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

    void writes_from_another_thread_are_saved_quietly()
    {
        TemporaryStore store;
        auto manager = store.start();
        WarningRecorder warnings;
        std::thread([] { preset("user/a").set(x1); }).join();
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(store.user_file()), 3000);
        QVERIFY(clock.elapsed() >= 900);
        QCOMPARE(store.user_on_disk()[QStringLiteral("a")].toObject(), x1);
        QVERIFY2(warnings.warnings().isEmpty(), qPrintable(warnings.warnings().join(u'\n')));
    }

    void broken_user_file_is_copied_aside()
    {
        TemporaryStore store;
        const QByteArray broken("{\"presets\": [1, 2");
        const QString folder = store.dir.filePath(QStringLiteral(".kesu"));
        // Two copies made within one second both survive with the broken bytes.
        for (int round = 1; round <= 2; ++round) {
            TemporaryStore::write(store.user_file(), broken);
            WarningRecorder warnings;
            auto manager = store.start();
            // Told at start-up, not only when the copy is made.
            QCOMPARE(warnings.warnings(),
                     QStringList{QStringLiteral("broken %1 left out, copied aside at the next save")
                                     .arg(store.user_file())});
            preset("user/a").set(x1);
            manager->on_save();
            manager->on_save();
            const QStringList copies = files_in(folder).filter(QStringLiteral(".broken-"));
            QCOMPARE(copies.size(), round);
            QCOMPARE(warnings.warnings().size(), 2);
            QVERIFY(warnings.warnings().last().startsWith(
                QStringLiteral("broken presets.json copied to ")));
            for (const QString &copy : copies)
                QCOMPARE(TemporaryStore::read(folder + QLatin1Char('/') + copy), broken);
            QCOMPARE(store.user_on_disk()[QStringLiteral("a")].toObject(), x1);
        }
    }

    void unreadable_user_file_is_never_overwritten()
    {
        TemporaryStore store;
        // A folder in place of the file exists but cannot be read, even by root.
        QVERIFY(QDir(store.dir.path()).mkpath(QStringLiteral(".kesu/presets.json/inside")));
        WarningRecorder warnings;
        auto manager = store.start();
        for (const char *path : {"user/a", "user/b"}) {
            preset(path).set(x1);
            QVERIFY(!manager->sync());
        }
        QCOMPARE(warnings.warnings().size(), 1); // at start-up
        QVERIFY(warnings.warnings().first().startsWith(QStringLiteral("cannot read ")));
        manager.reset();
        QVERIFY(QFileInfo(store.dir.filePath(QStringLiteral(".kesu/presets.json/inside"))).isDir());
    }

    void failed_write_keeps_old_file_and_retries()
    {
        TemporaryStore store;
        store.write_user(QJsonObject{{QStringLiteral("old"), 1}});
        const QByteArray old = TemporaryStore::read(store.user_file());
        auto manager = store.start();
        preset("user/big").set(QJsonObject{{QStringLiteral("text"), QString(4096, u'x')}});
        {
            WarningRecorder warnings;
            FileSizeLimit full_disk(1024);
            manager->on_save();
            QCOMPARE(warnings.warnings(),
                     QStringList{QStringLiteral("fail on save presets.json: File too large")});
        }
        QCOMPARE(TemporaryStore::read(store.user_file()), old);
        QCOMPARE(
            files_in(store.dir.filePath(QStringLiteral(".kesu"))),
            QStringList({QStringLiteral("presets.json"), QStringLiteral("presets.json.lock")}));
        manager.reset(); // still pending: written at the next chance
        QVERIFY(store.user_on_disk().contains(QStringLiteral("big")));
    }

    // Numbers and characters where Qt versions could write otherwise: the Qt 5 and the Qt 6
    // build write the same text, and a save with no change of the user's rewrites it unchanged.
    void saved_text_is_the_same_with_either_qt()
    {
        TemporaryStore store;
        auto manager = store.start();
        const QJsonArray numbers{1e300,
                                 0.1,
                                 -0.0,
                                 9007199254740993.0,
                                 1234.567,
                                 1e-7,
                                 1.5e10,
                                 3.4028234663852886e38,
                                 123456789012345678.0,
                                 0.30000000000000004,
                                 65535};
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
        preset("global/a").set(QJsonObject());
        manager->on_save();
        QCOMPARE(TemporaryStore::read(store.user_file()), expected);
    }

    void default_locations()
    {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral(".kesu"));
        const QString user_file = home.filePath(QStringLiteral(".kesu/presets.json"));
        TemporaryStore::write(user_file, "{\"mine\": 7}");
        kesu::test::ScopedEnvironment environment("HOME", QFile::encodeName(home.path()));
        const QString shipped =
            QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources"))
                .absolutePath()
            + QStringLiteral("/3d_presets.json");
        Manager manager;
        QCOMPARE(manager.user_file_path(), user_file);
        QCOMPARE(manager.global_file_path(), shipped);
        QCOMPARE(preset("user/mine").get(), QJsonValue(7));
        QVERIFY(preset("global/rendering/dvr/preset/Standard"));
    }

    void home_of_the_user_file_data()
    {
        QTest::addColumn<QByteArray>("home");
        QTest::addColumn<bool>("user_file");
        QTest::newRow("HOME unset: the password database's home")
            << QByteArray() << bool(getpwuid(getuid())->pw_dir[1]);
        QTest::newRow("HOME empty: the same")
            << QByteArray("") << bool(getpwuid(getuid())->pw_dir[1]);
        QTest::newRow("HOME at the root: no user file") << QByteArray("/") << false;
    }
    void home_of_the_user_file()
    {
        QFETCH(QByteArray, home);
        QFETCH(bool, user_file);
        kesu::test::ScopedEnvironment environment("HOME", home);
        WarningRecorder warnings;
        Manager manager(korvel::application::impl::default_user_file(),
                        TemporaryStore().global_file());
        const QString expected =
            QFile::decodeName(getpwuid(getuid())->pw_dir) + QStringLiteral("/.kesu/presets.json");
        QCOMPARE(manager.user_file_path(), user_file ? expected : QString());
        if (user_file)
            return;
        QCOMPARE(warnings.warnings(),
                 QStringList{QStringLiteral("no home folder for presets.json, keeping changes in "
                                            "memory")});
        preset("user/a").set(x1);
        QVERIFY(!manager.sync());
        QCOMPARE(preset("user/a").get().toObject(), x1);
    }
};

KESU_TEST_CLASS(TestManager)
#include "tst_manager.moc"
