#include <application/configuration.h>
#include <application/manager.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTimer>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

using kesu::test::columns;
using kesu::test::row;
using kesu::test::TemporaryStore;
using korvel::application::preset;
using korvel::application::impl::Configuration;
using korvel::application::impl::Manager;

namespace {

// A JSON value written as text: "5", "{\"x\":1}".
QJsonValue json(const QString &text)
{
    return QJsonDocument::fromJson(QStringLiteral("[%1]").arg(text).toUtf8()).array().at(0);
}

std::unique_ptr<Manager> start(const TemporaryStore &store, const QString &user,
                               const QString &global)
{
    TemporaryStore::write(store.user_file(), user.toUtf8());
    TemporaryStore::write(store.global_file(), global.toUtf8());
    return store.start();
}

bool save_timer_active(const Manager &manager)
{
    return manager.findChild<QTimer *>()->isActive();
}

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resolves_paths_data()
    {
        columns({"user", "global", "path", "value"});
        row("missing in an empty document", {"{}", "{}", "user/a/b", ""});
        row("nested number", {R"({"a":{"b":5}})", "{}", "user/a/b", "5"});
        row("names are case-sensitive", {R"({"A":1})", "{}", "user/a", ""});
        row("arrays are not traversed", {R"({"a":[{"b":1}]})", "{}", "user/a/0", ""});
        row("strings are not traversed", {R"({"a":"s"})", "{}", "user/a/b", ""});
        row("double slash names the empty member",
            {R"({"a":{"":{"b":1}}})", "{}", "user/a//b", "1"});
        row("trailing slash names the empty member", {R"({"a":{"":7}})", "{}", "user/a/", "7"});
        row("user/ alone is the empty top-level member", {R"({"":3})", "{}", "user/", "3"});
        row("user/ alone without it", {R"({"a":3})", "{}", "user/", ""});
        row("any seven characters lead to the global rest",
            {"{}", R"({"rendering":1})", "abcdefgrendering", "1"});
        row("user without its slash is global",
            {R"({"x":4})", R"({"":{"x":4}})", "userabc/x", "4"});
    }
    void resolves_paths()
    {
        QFETCH(QString, user);
        QFETCH(QString, global);
        QFETCH(QString, path);
        QFETCH(QString, value);
        TemporaryStore store;
        auto manager = start(store, user, global);
        const Configuration handle = preset(path.toStdString());
        QCOMPARE(bool(handle), !value.isEmpty());
        // A missing path reads as an empty object, not as null or undefined.
        QCOMPARE(handle.get(), value.isEmpty() ? QJsonValue(QJsonObject()) : json(value));
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
        auto manager = start(store, before, QStringLiteral("{}"));
        QSignalSpy modified(manager.get(), &Manager::modified);
        {
            Configuration handle = preset(path.toStdString());
            const bool found = handle;
            const QJsonValue old = handle.get();
            handle.set(json(value));
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
        auto manager = start(store, before, QStringLiteral("{}"));
        QSignalSpy dropped(manager.get(), &Manager::dropped);
        preset("user/a/b").drop();
        QCOMPARE(dropped.count(), after.isEmpty() ? 0 : 1);
        QCOMPARE(save_timer_active(*manager), !after.isEmpty());
        if (!after.isEmpty()) {
            QCOMPARE(dropped.at(0).at(0).toString(), QStringLiteral("user/a/b"));
            QCOMPARE(preset("user/a").get(), json(after));
        }
    }

    void drop_after_set_on_a_missing_path_keeps_the_value()
    {
        TemporaryStore store;
        auto manager = store.start();
        {
            Configuration handle = preset("user/a/b");
            handle.set(json(QStringLiteral(R"({"x":1})")));
            handle.drop(); // the handle still reports the path missing
        }
        Configuration again = preset("user/a/b");
        QVERIFY(again);
        again.drop();
        QVERIFY(!preset("user/a/b") && preset("user/a"));
    }

    void signals_carry_the_full_path_data()
    {
        columns({"path", "announced"});
        row("user", {"user/a/b", "user/a/b"});
        row("any seven characters", {"abcdefgrendering", "global/rendering"});
        row("empty rest", {"abcdefg", "global/"});
    }
    void signals_carry_the_full_path()
    {
        QFETCH(QString, path);
        QFETCH(QString, announced);
        TemporaryStore store;
        auto manager = store.start();
        kesu::test::SignalRecorder recorder;
        recorder.watch_store(manager.get());
        preset(path.toStdString()).set(QJsonObject());
        preset(path.toStdString()).drop();
        QCOMPARE(recorder.take(),
                 QStringList({QStringLiteral("modified ") + announced,
                              QStringLiteral("dropped ") + announced}));
    }

    void global_writes_stay_in_memory()
    {
        TemporaryStore store;
        const QString shipped = QStringLiteral(R"({"rendering":{"dvr":{"d":1}}})");
        auto manager = start(store, QStringLiteral(R"({"mine":{}})"), shipped);
        preset("global/rendering/dvr").set(json(QStringLiteral(R"({"changed":true})")));
        QVERIFY(save_timer_active(*manager));
        QCOMPARE(preset("global/rendering/dvr").get(), json(QStringLiteral(R"({"changed":true})")));
        manager->on_save();
        QCOMPARE(QJsonValue(store.user_on_disk()), json(QStringLiteral(R"({"mine":{}})")));
        manager = store.start();
        QCOMPARE(TemporaryStore::read(store.global_file()), shipped.toUtf8());
        QCOMPARE(preset("global/rendering/dvr").get(), json(QStringLiteral(R"({"d":1})")));
    }

    void short_paths_throw_and_release_the_lock_data()
    {
        QTest::addColumn<QString>("path");
        row("empty", {""});
        row("global without slash", {"global"});
    }
    void short_paths_throw_and_release_the_lock()
    {
        QFETCH(QString, path);
        TemporaryStore store;
        auto manager = store.start();
        QVERIFY_EXCEPTION_THROWN(preset(path.toStdString()), std::out_of_range);
        auto other = std::async(std::launch::async, [] { return bool(preset("user/x")); });
        QVERIFY(other.wait_for(std::chrono::seconds(5)) == std::future_status::ready);
    }

    void handle_without_manager_throws_data()
    {
        QTest::addColumn<int>("use");
        QTest::newRow("built with no manager") << 0;
        QTest::newRow("get after the manager is gone") << 1;
        QTest::newRow("set after the manager is gone") << 2;
        QTest::newRow("drop after the manager is gone") << 3;
    }
    void handle_without_manager_throws()
    {
        QFETCH(int, use);
        TemporaryStore store;
        auto manager = use > 0 ? store.start() : nullptr;
        const auto kept = use > 0 ? std::make_unique<Configuration>("user/a") : nullptr;
        manager.reset();
        try {
            if (use == 0)
                preset("user/a");
            else if (use == 1)
                kept->get();
            else if (use == 2)
                kept->set(QJsonObject());
            else
                kept->drop();
            QFAIL("no exception");
        } catch (const std::logic_error &error) {
            QCOMPARE(error.what(), "no configuration manager");
        }
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

    void handles_nest_in_one_thread_and_exclude_others()
    {
        TemporaryStore store;
        auto manager = store.start();
        std::atomic<bool> other_done{false};
        std::thread other;
        {
            const Configuration outer = preset("user/a");
            preset("user/b").set(QJsonObject());
            other = std::thread([&] { other_done = bool(preset("user/b")); });
            QTest::qWait(100); // the other thread must still be waiting for the store
            QVERIFY(!other_done);
        }
        other.join();
        QVERIFY(other_done);
    }

    void direct_receiver_may_build_handles_under_the_lock()
    {
        TemporaryStore store;
        auto manager = store.start();
        QJsonValue seen;
        connect(manager.get(), &Manager::modified, this,
                [&](const QString &path) { seen = preset(path.toStdString()).get(); });
        preset("user/a").set(json(QStringLiteral(R"({"x":2})")));
        QCOMPARE(seen, json(QStringLiteral(R"({"x":2})")));
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
        auto manager = start(store, QStringLiteral(R"({"kept":1})"), QStringLiteral("{}"));
        std::string path = "user";
        for (int i = 0; i < segments; ++i)
            path += '/' + std::string(std::size_t(length), 'n');
        QJsonValue value = 1; // objects and arrays alternate, an object outermost
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
};

KESU_TEST_CLASS(TestConfiguration)
#include "tst_configuration.moc"
