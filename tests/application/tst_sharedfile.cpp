#include <application/configuration.h>
#include <application/manager.h>

#include "storechild.h"
#include "testing.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

using kesu::test::SignalRecorder;
using kesu::test::TemporaryStore;
using kesu::test::WarningRecorder;
using korvel::application::preset;
using korvel::application::impl::Manager;

namespace {

QJsonObject object(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

// Writes the user file as another process does: a new file renamed over the old one.
void write_as_another_process(const QString &file, const QByteArray &bytes)
{
    QSaveFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(bytes);
    QVERIFY(out.commit());
}

// Applies "set PATH JSON" and "drop PATH" operations, separated by ";", through handles.
void apply(const QString &operations)
{
    for (const QString &operation : operations.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList words = operation.trimmed().split(QLatin1Char(' '));
        const std::string path = "user/" + words.at(1).toStdString();
        if (words.at(0) == QLatin1String("set"))
            preset(path).set(object(words.mid(2).join(QLatin1Char(' ')).toUtf8()));
        else
            preset(path).drop();
    }
}

void set_modified_time(const QString &file, qint64 seconds_since_epoch)
{
    const timespec times[2] = {{seconds_since_epoch, 0}, {seconds_since_epoch, 0}};
    QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
}

QTimer *save_timer(const Manager &manager)
{
    for (QTimer *timer : manager.findChildren<QTimer *>())
        if (timer->interval() == 1000)
            return timer;
    return nullptr;
}

QString child_program()
{
    return QStringLiteral(KESU_STORECHILD);
}

} // namespace

// Several processes share the user file: what each stores survives the others' saves.
class TestSharedFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void merges_with_the_file_on_disk_data()
    {
        kesu::test::columns({"start", "own", "other", "expected"});
        kesu::test::row("different paths all survive",
                        {R"({"a":{"v":1}})", "set b {\"v\":2}", R"({"a":{"v":1},"c":{"v":3}})",
                         R"({"a":{"v":1},"b":{"v":2},"c":{"v":3}})"});
        kesu::test::row(
            "one path: the later save wins",
            {R"({"a":{"v":1}})", "set a {\"v\":2}", R"({"a":{"v":3}})", R"({"a":{"v":2}})"});
        kesu::test::row("a drop removes what another process stored there",
                        {R"({"a":{"v":1},"b":{"v":1}})", "drop a",
                         R"({"a":{"v":5},"b":{"v":1},"c":{"v":3}})",
                         R"({"b":{"v":1},"c":{"v":3}})"});
        kesu::test::row("another process's drop survives",
                        {R"({"a":{"v":1}})", "set b {\"v\":2}", "{}", R"({"b":{"v":2}})"});
        kesu::test::row("members beside a changed one stay",
                        {R"({"p":{"x":{"v":1}}})", "set p/x {\"v\":2}",
                         R"({"p":{"x":{"v":1},"y":{"v":3}}})",
                         R"({"p":{"x":{"v":2},"y":{"v":3}}})"});
        kesu::test::row(
            "a set below another process's drop makes the way again",
            {R"({"p":{"x":{}}})", "set p/x/q {\"v\":2}", "{}", R"({"p":{"x":{"q":{"v":2}}}})"});
        kesu::test::row("a drop below another process's drop makes nothing",
                        {R"({"p":{"x":1},"q":{}})", "drop p/x", R"({"q":{}})", R"({"q":{}})"});
        kesu::test::row(
            "a broken file is replaced by the whole document",
            {R"({"a":{"v":1}})", "set b {\"v\":2}", "{\"a\": [", R"({"a":{"v":1},"b":{"v":2}})"});
        kesu::test::row(
            "a removed file is written whole",
            {R"({"a":{"v":1}})", "set b {\"v\":2}", "", R"({"a":{"v":1},"b":{"v":2}})"});
    }
    void merges_with_the_file_on_disk()
    {
        QFETCH(QString, start);
        QFETCH(QString, own);
        QFETCH(QString, other);
        QFETCH(QString, expected);
        TemporaryStore store;
        store.write_user(object(start.toUtf8()));
        WarningRecorder warnings;
        auto manager = store.start();
        apply(own);
        if (other.isEmpty())
            QVERIFY(QFile::remove(store.user_file()));
        else
            write_as_another_process(store.user_file(), other.toUtf8());
        QVERIFY(manager->sync());
        QCOMPARE(store.user_on_disk(), object(expected.toUtf8()));
        // The merged document is this process's view from now on.
        for (const char *key : {"a", "b", "c", "p", "q"}) {
            const auto handle = preset(std::string("user/") + key);
            const QJsonValue value = object(expected.toUtf8()).value(QLatin1String(key));
            QCOMPARE(bool(handle), !value.isUndefined());
            QCOMPARE(handle.get(), value.isUndefined() ? QJsonValue(QJsonObject()) : value);
        }
        const bool broken = other.startsWith(QLatin1String("{\"a\": ["));
        QCOMPARE(warnings.warnings().filter(QStringLiteral("copied to")).size(), broken ? 1 : 0);
    }

    // A file with the size, time and inode last seen is not read again, unless it was written
    // so recently that the clock may not have moved.
    void unchanged_file_is_not_read_again_data()
    {
        QTest::addColumn<bool>("recent");
        QTest::newRow("written long ago") << false;
        QTest::newRow("written within the clock's tick") << true;
    }
    void unchanged_file_is_not_read_again()
    {
        QFETCH(bool, recent);
        TemporaryStore store;
        store.write_user(object(R"({"a":"11"})"));
        const qint64 time = QDateTime::currentSecsSinceEpoch() - (recent ? 0 : 3600);
        set_modified_time(store.user_file(), time);
        auto manager = store.start();
        preset("user/b").set(QJsonObject());
        // Another process changes the file in place, same size, and the clock does not move.
        const QByteArray changed = TemporaryStore::read(store.user_file()).replace("11", "22");
        QFile file(store.user_file());
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.write(changed);
        file.close();
        set_modified_time(store.user_file(), time);
        QVERIFY(manager->sync());
        QCOMPARE(store.user_on_disk().value(QStringLiteral("a")).toString(),
                 recent ? QStringLiteral("22") : QStringLiteral("11"));
    }

    void picks_up_what_another_process_wrote()
    {
        TemporaryStore store;
        store.write_user(object(R"({"a":{"b":{"c":1,"d":1}},
            "rendering":{"dvr":{"preset":{"Y":{"window":[1,2]},"Z":{"window":[1,2]}},
                                "last":{"preset":{"key":"Y"}}}}})"));
        auto manager = store.start();
        SignalRecorder signals_seen;
        signals_seen.watch_store(manager.get());
        write_as_another_process(store.user_file(), QByteArray(R"({"a":{"b":{"c":2,"d":1}},
            "rendering":{"dvr":{"preset":{"X":{},"Z":{"window":[1,3]}},
                                "last":{"preset":{"key":"X"}}}}})"));
        QTRY_VERIFY_WITH_TIMEOUT(!preset("user/rendering/dvr/preset/Y"), 3000);
        QCOMPARE(signals_seen.take(),
                 QStringList({QStringLiteral("modified user/a/b/c"),
                              QStringLiteral("modified user/rendering/dvr/last/preset"),
                              QStringLiteral("modified user/rendering/dvr/preset/X"),
                              QStringLiteral("dropped user/rendering/dvr/preset/Y"),
                              QStringLiteral("modified user/rendering/dvr/preset/Z")}));
        QVERIFY(!save_timer(*manager)->isActive()); // a pick-up schedules no save

        // This process's unsaved change stays on top of the next pick-up and is saved with it.
        preset("user/a/b/d").set(QJsonObject{{QStringLiteral("mine"), 1}});
        write_as_another_process(store.user_file(), QByteArray(R"({"a":{"b":{"c":3,"d":1}}})"));
        QTRY_COMPARE_WITH_TIMEOUT(preset("user/a/b/c").get(), QJsonValue(3), 3000);
        QCOMPARE(preset("user/a/b/d").get(), QJsonValue(QJsonObject{{QStringLiteral("mine"), 1}}));
        QVERIFY(manager->sync());
        QCOMPARE(store.user_on_disk(), object(R"({"a":{"b":{"c":3,"d":{"mine":1}}}})"));
    }

    void broken_file_is_ignored_at_pick_up()
    {
        TemporaryStore store;
        store.write_user(object(R"({"a":1})"));
        auto manager = store.start();
        SignalRecorder signals_seen;
        signals_seen.watch_store(manager.get());
        WarningRecorder warnings;
        write_as_another_process(store.user_file(), QByteArray("{\"a\": "));
        QTRY_COMPARE_WITH_TIMEOUT(warnings.warnings().size(), 1, 3000);
        QCOMPARE(warnings.warnings().first(),
                 QStringLiteral("broken %1 ignored, keeping the presets in memory")
                     .arg(store.user_file()));
        QVERIFY(preset("user/a"));
        QVERIFY(signals_seen.take().isEmpty());
    }

    void own_saves_are_not_picked_up()
    {
        TemporaryStore store;
        auto manager = store.start();
        SignalRecorder signals_seen;
        signals_seen.watch_store(manager.get());
        preset("user/a").set(QJsonObject());
        QVERIFY(manager->sync());
        QTest::qWait(400); // longer than a pick-up takes: nothing more may come
        QCOMPARE(signals_seen.take(), QStringList{QStringLiteral("modified user/a")});
    }

    void concurrent_writers_lose_nothing_data()
    {
        QTest::addColumn<bool>("same_path");
        QTest::newRow("paths of their own") << false;
        QTest::newRow("one path") << true;
    }
    void concurrent_writers_lose_nothing()
    {
        QFETCH(bool, same_path);
        constexpr int writers = 8;
        constexpr int values = 25;
        TemporaryStore store;
        std::vector<std::unique_ptr<QProcess>> children;
        for (int w = 0; w < writers; ++w) {
            const QString name = QStringLiteral("w%1").arg(w);
            children.push_back(std::make_unique<QProcess>());
            children.back()->start(child_program(),
                                   {store.user_file(), store.global_file(), QStringLiteral("write"),
                                    QString::number(values),
                                    same_path ? QStringLiteral("same") : name, name});
        }
        for (auto &child : children) {
            QVERIFY(child->waitForFinished(60000));
            QCOMPARE(child->exitCode(), 0);
        }
        const QJsonObject saved = store.user_on_disk();
        for (int w = 0; w < writers; ++w) {
            const QString name = QStringLiteral("w%1").arg(w);
            const QJsonObject written =
                saved.value(same_path ? QStringLiteral("same") : name).toObject();
            for (int i = 0; i < values; ++i) {
                const QJsonObject value = written.value(QString::number(i)).toObject();
                const QString writer =
                    same_path ? value.value(QStringLiteral("writer")).toString() : name;
                QCOMPARE(value, kesu::test::written_value(writer, i));
            }
        }
    }

    void running_manager_picks_up_another_process()
    {
        TemporaryStore store;
        auto manager = store.start();
        QSignalSpy modified(manager.get(), &Manager::modified);
        QCOMPARE(QProcess::execute(child_program(),
                                   {store.user_file(), store.global_file(), QStringLiteral("write"),
                                    QStringLiteral("1"), QStringLiteral("child"),
                                    QStringLiteral("child")}),
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(modified.size(), 1, 3000);
        QCOMPARE(modified.first().first().toString(), QStringLiteral("user/child"));
        QCOMPARE(preset("user/child/0").get().toObject(),
                 kesu::test::written_value(QStringLiteral("child"), 0));
    }

    void lock_of_a_killed_process_is_broken()
    {
        TemporaryStore store;
        QProcess holder;
        holder.start(child_program(),
                     {store.user_file(), store.global_file(), QStringLiteral("hold-lock")});
        QVERIFY(holder.waitForReadyRead(10000));
        holder.kill();
        QVERIFY(holder.waitForFinished());
        auto manager = store.start();
        preset("user/a").set(QJsonObject());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(manager->sync());
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(store.user_on_disk().contains(QStringLiteral("a")));
    }
};

KESU_TEST_CLASS(TestSharedFile)
#include "tst_sharedfile.moc"
