#include <application/configuration.h>
#include <application/manager.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

using kesu::test::nest;
using kesu::test::TemporaryStore;
using korvel::application::preset;
using korvel::application::impl::Configuration;
using korvel::application::impl::Manager;

namespace {

QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

bool save_timer_active(const Manager &manager)
{
    return manager.findChild<QTimer *>()->isActive();
}

// True when another thread can lock the store within the given time.
bool store_free_for_other_threads(std::chrono::milliseconds within = std::chrono::seconds(5))
{
    auto other = std::async(std::launch::async, [] { return bool(preset("user/x")); });
    return other.wait_for(within) == std::future_status::ready;
}

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resolves_paths_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("global");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QJsonValue>("value");

        const QJsonValue empty = QJsonObject();
        QTest::newRow("missing path in an empty user document")
            << QByteArray("{}") << QByteArray("{}") << "user/a/b" << false << empty;
        QTest::newRow("nested number") << QByteArray(R"({"a":{"b":5}})") << QByteArray("{}")
                                       << "user/a/b" << true << QJsonValue(5);
        QTest::newRow("null value is found") << QByteArray(R"({"a":null})") << QByteArray("{}")
                                             << "user/a" << true << QJsonValue(QJsonValue::Null);
        QTest::newRow("names are case-sensitive")
            << QByteArray(R"({"A":1})") << QByteArray("{}") << "user/a" << false << empty;
        QTest::newRow("arrays are not traversed")
            << QByteArray(R"({"a":[{"b":1}]})") << QByteArray("{}") << "user/a/0" << false << empty;
        QTest::newRow("a string is not traversed")
            << QByteArray(R"({"a":"s"})") << QByteArray("{}") << "user/a/b" << false << empty;
        QTest::newRow("double separator names the empty member")
            << QByteArray(R"({"a":{"":{"b":1}}})") << QByteArray("{}") << "user/a//b" << true
            << QJsonValue(1);
        QTest::newRow("trailing separator names the empty member")
            << QByteArray(R"({"a":{"":7}})") << QByteArray("{}") << "user/a/" << true
            << QJsonValue(7);
        QTest::newRow("root prefix alone names the empty top-level member")
            << QByteArray(R"({"":3})") << QByteArray("{}") << "user/" << true << QJsonValue(3);
        QTest::newRow("root prefix alone without such a member")
            << QByteArray(R"({"a":3})") << QByteArray("{}") << "user/" << false << empty;
        QTest::newRow("global rest is whatever follows seven characters")
            << QByteArray("{}") << QByteArray(R"({"rendering":1})") << "abcdefgrendering" << true
            << QJsonValue(1);
        QTest::newRow("user without its slash addresses the global document")
            << QByteArray(R"({"x":4})") << QByteArray(R"({"":{"x":4}})") << "userabc/x" << true
            << QJsonValue(4);
        QTest::newRow("UTF-8 member names")
            << QByteArray("{\"Gr\xc3\xbcn\":2}") << QByteArray("{}")
            << QString::fromUtf8("user/Gr\xc3\xbcn") << true << QJsonValue(2);
        QTest::newRow("array top level reads as an empty object")
            << QByteArray("[1,2]") << QByteArray("{}") << "user/0" << false << empty;
    }
    void resolves_paths()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, global);
        QFETCH(QString, path);
        TemporaryStore store;
        TemporaryStore::write(store.user_file(), user);
        TemporaryStore::write(store.global_file(), global);
        auto manager = store.start();

        QFETCH(bool, found);
        QFETCH(QJsonValue, value);
        const Configuration handle = preset(path.toStdString());
        QCOMPARE(bool(handle), found);
        QCOMPARE(handle.get().type(), value.type());
        QCOMPARE(handle.get(), value);
    }

    void set_stores_object_form_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QByteArray>("after");

        const QJsonValue x1 = QJsonObject{{QStringLiteral("x"), 1}};
        QTest::newRow("creates the objects on the way")
            << QByteArray("{}") << "user/a/b" << x1 << QByteArray(R"({"a":{"b":{"x":1}}})");
        QTest::newRow("a string on the way becomes an object")
            << QByteArray(R"({"a":"s"})") << "user/a/b" << x1
            << QByteArray(R"({"a":{"b":{"x":1}}})");
        QTest::newRow("an array on the way becomes an object")
            << QByteArray(R"({"a":[1,2]})") << "user/a/b" << x1
            << QByteArray(R"({"a":{"b":{"x":1}}})");
        QTest::newRow("other members on the way stay")
            << QByteArray(R"({"a":{"c":2},"d":3})") << "user/a/b" << x1
            << QByteArray(R"({"a":{"b":{"x":1},"c":2},"d":3})");
        QTest::newRow("an existing object is replaced whole")
            << QByteArray(R"({"a":{"b":{"old":1,"x":0}}})") << "user/a/b" << x1
            << QByteArray(R"({"a":{"b":{"x":1}}})");
        QTest::newRow("a number is stored as an empty object")
            << QByteArray("{}") << "user/a" << QJsonValue(5) << QByteArray(R"({"a":{}})");
        QTest::newRow("an array is stored as an empty object")
            << QByteArray("{}") << "user/a" << QJsonValue(QJsonArray{1})
            << QByteArray(R"({"a":{}})");
        QTest::newRow("empty segments make members with the empty name")
            << QByteArray("{}") << "user/a//b/" << x1
            << QByteArray(R"({"a":{"":{"b":{"":{"x":1}}}}})");
    }
    void set_stores_object_form()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, path);
        QFETCH(QJsonValue, value);
        TemporaryStore store;
        TemporaryStore::write(store.user_file(), before);
        auto manager = store.start();
        QSignalSpy modified(manager.get(), &Manager::modified);

        {
            Configuration handle = preset(path.toStdString());
            const bool found_before = handle;
            const QJsonValue value_before = handle.get();
            handle.set(value);
            // The handle is a snapshot of the tree as it was built.
            QCOMPARE(bool(handle), found_before);
            QCOMPARE(handle.get(), value_before);
        }
        QCOMPARE(modified.count(), 1);
        QCOMPARE(modified.at(0).at(0).toString(), path);
        QVERIFY(save_timer_active(*manager));

        manager->on_save();
        QFETCH(QByteArray, after);
        QCOMPARE(store.user_on_disk(), parse(after.constData()));
    }

    void drop_removes_last_member_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("emits");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("sibling stays") << QByteArray(R"({"a":{"b":1,"c":2}})") << "user/a/b" << true
                                       << QByteArray(R"({"a":{"c":2}})");
        QTest::newRow("an emptied object stays")
            << QByteArray(R"({"a":{"b":1}})") << "user/a/b" << true << QByteArray(R"({"a":{}})");
        QTest::newRow("a missing path changes nothing")
            << QByteArray(R"({"a":{"c":2}})") << "user/a/b" << false
            << QByteArray(R"({"a":{"c":2}})");
    }
    void drop_removes_last_member()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, path);
        QFETCH(bool, emits);
        TemporaryStore store;
        TemporaryStore::write(store.user_file(), before);
        auto manager = store.start();
        QSignalSpy dropped(manager.get(), &Manager::dropped);

        preset(path.toStdString()).drop();
        QCOMPARE(dropped.count(), emits ? 1 : 0);
        if (emits)
            QCOMPARE(dropped.at(0).at(0).toString(), path);
        QCOMPARE(save_timer_active(*manager), emits);

        QFETCH(QByteArray, after);
        QCOMPARE(QJsonDocument(preset("user/a").get().toObject()).toJson(),
                 QJsonDocument(parse(after.constData())[QStringLiteral("a")].toObject()).toJson());
    }

    void drop_after_set_on_missing_path_keeps_value()
    {
        TemporaryStore store;
        auto manager = store.start();
        const QJsonObject value{{QStringLiteral("x"), 1}};
        {
            Configuration handle = preset("user/a/b");
            handle.set(value);
            handle.drop();
        }
        Configuration again = preset("user/a/b");
        QVERIFY(again);
        QCOMPARE(again.get().toObject(), value);
        again.drop();
        QVERIFY(!preset("user/a/b"));
        QVERIFY(preset("user/a"));
    }

    void signals_carry_full_path_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("announced");
        QTest::newRow("user") << "user/a/b"
                              << "user/a/b";
        QTest::newRow("global") << "global/rendering/dvr/preset/Standard"
                                << "global/rendering/dvr/preset/Standard";
        QTest::newRow("any seven characters") << "abcdefgrendering"
                                              << "global/rendering";
        QTest::newRow("empty rest") << "abcdefg"
                                    << "global/";
    }
    void signals_carry_full_path()
    {
        QFETCH(QString, path);
        TemporaryStore store;
        auto manager = store.start();
        kesu::test::SignalRecorder recorder;
        recorder.watch_store(manager.get());

        Configuration handle = preset(path.toStdString());
        handle.set(QJsonObject{{QStringLiteral("k"), 1}});
        Configuration again = preset(path.toStdString());
        again.drop();
        QFETCH(QString, announced);
        QCOMPARE(recorder.take(),
                 QStringList({QStringLiteral("modified ") + announced,
                              QStringLiteral("dropped ") + announced}));
    }

    void global_writes_stay_in_memory()
    {
        TemporaryStore store;
        const QJsonObject standard{{QStringLiteral("description"), QStringLiteral("Standard")}};
        store.write_global(nest({QStringLiteral("rendering"), QStringLiteral("dvr"),
                                 QStringLiteral("preset"), QStringLiteral("Standard")},
                                standard));
        store.write_user(QJsonObject{{QStringLiteral("mine"), QJsonObject()}});
        const QByteArray shipped = TemporaryStore::read(store.global_file());
        {
            auto manager = store.start();
            Configuration handle = preset("global/rendering/dvr/preset/Standard");
            QVERIFY(handle);
            QCOMPARE(handle.get().toObject(), standard);
            handle.set(QJsonObject{{QStringLiteral("changed"), true}});
            QVERIFY(save_timer_active(*manager));
            QCOMPARE(preset("global/rendering/dvr/preset/Standard").get().toObject(),
                     QJsonObject({{QStringLiteral("changed"), true}}));
            manager->on_save();
            QCOMPARE(store.user_on_disk(), QJsonObject({{QStringLiteral("mine"), QJsonObject()}}));
        }
        QCOMPARE(TemporaryStore::read(store.global_file()), shipped);
        auto restarted = store.start();
        QCOMPARE(preset("global/rendering/dvr/preset/Standard").get().toObject(), standard);
    }

    void short_paths_throw_and_release_the_lock_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("empty") << "";
        QTest::newRow("user without slash") << "user";
        QTest::newRow("global without slash") << "global";
        QTest::newRow("six characters") << "abcdef";
    }
    void short_paths_throw_and_release_the_lock()
    {
        QFETCH(QString, path);
        TemporaryStore store;
        auto manager = store.start();
        QVERIFY_EXCEPTION_THROWN(preset(path.toStdString()), std::out_of_range);
        QVERIFY(store_free_for_other_threads());
    }

    void handle_without_manager_throws()
    {
        QVERIFY(!Manager::instance());
        try {
            preset("user/a");
            QFAIL("no exception");
        } catch (const std::logic_error &error) {
            QCOMPARE(error.what(), "no configuration manager");
        }
    }

    void handles_nest_in_one_thread_and_exclude_others()
    {
        TemporaryStore store;
        auto manager = store.start();
        std::atomic<bool> other_done{false};
        std::thread other;
        {
            Configuration outer = preset("user/a");
            Configuration inner = preset("user/b");
            inner.set(QJsonObject{{QStringLiteral("x"), 1}});
            other = std::thread([&] {
                const bool seen = preset("user/b");
                other_done = seen;
            });
            // The other thread must still be waiting for the store while handles live here.
            QTest::qWait(100);
            QVERIFY(!other_done);
        }
        other.join();
        QVERIFY(other_done);
    }

    void long_paths_data()
    {
        QTest::addColumn<int>("segments");
        QTest::addColumn<int>("segment_length");
        QTest::newRow("one name of 100000 characters") << 1 << 100000;
        QTest::newRow("1000 levels of nesting") << 1000 << 1;
    }
    void long_paths()
    {
        QFETCH(int, segments);
        QFETCH(int, segment_length);
        TemporaryStore store;
        auto manager = store.start();
        std::string path = "user";
        for (int i = 0; i < segments; ++i)
            path += "/" + std::string(std::size_t(segment_length), char('a' + i % 26));
        preset(path).set(QJsonObject{{QStringLiteral("x"), 1}});
        QCOMPARE(preset(path).get().toObject(), QJsonObject({{QStringLiteral("x"), 1}}));
        manager->on_save();
        manager = store.start();
        QVERIFY(preset(path));
    }

    void nesting_the_reader_refuses_is_not_stored_data()
    {
        QTest::addColumn<int>("segments");
        QTest::addColumn<int>("value_depth");
        QTest::addColumn<bool>("stored");
        QTest::newRow("the deepest document that reads back") << 1000 << 24 << true;
        QTest::newRow("one level more, in the path") << 1001 << 24 << false;
        QTest::newRow("one level more, in the value") << 1000 << 25 << false;
    }
    void nesting_the_reader_refuses_is_not_stored()
    {
        QFETCH(int, segments);
        QFETCH(int, value_depth);
        QFETCH(bool, stored);
        TemporaryStore store;
        store.write_user(QJsonObject{{QStringLiteral("kept"), 1}});
        auto manager = store.start();
        std::string path = "user";
        for (int i = 0; i < segments; ++i)
            path += "/n";
        QJsonValue value = 1;
        // Objects and arrays alternate, with an object outermost.
        for (int level = value_depth; level > 0; --level)
            value = level % 2 ? QJsonValue(QJsonObject{{QStringLiteral("v"), value}})
                              : QJsonValue(QJsonArray{value});
        kesu::test::WarningRecorder warnings;
        QSignalSpy modified(manager.get(), &Manager::modified);
        preset(path).set(value);
        QCOMPARE(modified.count(), stored ? 1 : 0);
        QCOMPARE(warnings.warnings().size(), stored ? 0 : 1);
        manager->on_save();
        manager = store.start();
        QCOMPARE(bool(preset(path)), stored);
        QVERIFY(preset("user/kept"));
    }

    void direct_receiver_may_build_handles_under_the_lock()
    {
        TemporaryStore store;
        auto manager = store.start();
        QJsonValue seen;
        connect(manager.get(), &Manager::modified, this,
                [&](const QString &path) { seen = preset(path.toStdString()).get(); });
        preset("user/a").set(QJsonObject{{QStringLiteral("x"), 2}});
        QCOMPARE(seen.toObject(), QJsonObject({{QStringLiteral("x"), 2}}));
    }
};

KESU_TEST_CLASS(TestConfiguration)
#include "tst_configuration.moc"
