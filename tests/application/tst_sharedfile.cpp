#include <application/configuration.h>

#include "storechild.h"
#include "testing.h"

#include <QDateTime>
#include <QProcess>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTimer>

using namespace kesu::test;
using korvel::application::preset;

namespace {

// Writes the user file as another process does: a new file renamed over the old one.
void write_as_another_process(const QString &file, const QString &text)
{
    QSaveFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(json(text));
    QVERIFY(out.commit());
}

// Starts the other process on the store's files, in mode with its arguments.
void start_child(QProcess &child, const TemporaryStore &store, const QStringList &mode)
{
    const QStringList files{store.user_file(), store.global_file()};
    child.start(QStringLiteral(KESU_STORECHILD), files + mode);
}

} // namespace

// Several processes share the user file: what each stores survives the others' saves and kills.
class TestSharedFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // This process sets an empty object at a path or drops one; another process then writes the
    // file anew ("rename"), removes it, or changes it in place keeping its size and its time,
    // which was a moment ago ("now") or long ago. A set below another process's drop makes the
    // way again; a drop there makes nothing.
    void merges_with_the_file_on_disk_data()
    {
        columns({"start", "own", "how", "other", "expected"});
        row("other paths survive", {"{a:1}", "set b", "rename", "{a:1,c:3}", "{a:1,b:{},c:3}"});
        row("one path: the later save wins", {"{a:1}", "set a", "rename", "{a:3}", "{a:{}}"});
        row("a drop removes another's value", {"{a:1}", "drop a", "rename", "{a:5,c:3}", "{c:3}"});
        row("another's drop survives", {"{a:1}", "set b", "rename", "{}", "{b:{}}"});
        row("siblings stay", {"{p:{x:1}}", "set p/x", "rename", "{p:{x:1,y:3}}", "{p:{x:{},y:3}}"});
        row("set below a drop", {"{p:{x:{}}}", "set p/x/q", "rename", "{}", "{p:{x:{q:{}}}}"});
        row("drop below a drop", {"{p:{x:1},q:{}}", "drop p/x", "rename", "{q:{}}", "{q:{}}"});
        row("a broken file is replaced", {"{a:1}", "set b", "rename", "{a: [", "{a:1,b:{}}"});
        row("a removed file is written whole", {"{a:1}", "set b", "remove", "", "{a:1,b:{}}"});
        row("unchanged file not re-read", {"{a:11}", "set b", "long ago", "{a:22}", "{a:11,b:{}}"});
        row("written within a tick", {"{a:11}", "set b", "now", "{a:22}", "{a:22,b:{}}"});
    }
    void merges_with_the_file_on_disk()
    {
        QFETCH(QString, start);
        QFETCH(QString, own);
        QFETCH(QString, how);
        QFETCH(QString, other);
        QFETCH(QString, expected);
        TemporaryStore store;
        const auto time = QDateTime::currentDateTime().addSecs(how == "long ago"_l ? -3600 : 0);
        const auto write_in_place = [&](const QString &text) {
            QFile file(store.user_file());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(json(text)) && file.flush());
            QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
        };
        write_in_place(start);
        WarningRecorder warnings;
        auto manager = store.start();
        const std::string path = "user/" + own.section(u' ', 1).toStdString(); // "set PATH"
        own.startsWith("set"_l) ? preset(path).set(QJsonObject()) : preset(path).drop();
        if (how == "rename"_l)
            write_as_another_process(store.user_file(), other);
        else if (how == "remove"_l)
            QVERIFY(QFile::remove(store.user_file()));
        else
            write_in_place(other);
        QVERIFY(manager->sync());
        QCOMPARE(store.user_on_disk(), object(expected));
        // The merged document is this process's view from now on, written whole where no file is.
        QVERIFY(QFile::remove(store.user_file()));
        preset("user/z").set(QJsonObject());
        QVERIFY(manager->sync());
        QCOMPARE(store.user_on_disk(), with_members("{\"z\": {}}", object(expected)));
        QCOMPARE(warnings.warnings().filter("copied to"_l).size(), int(other.endsWith("["_l)));
    }

    void picks_up_what_another_process_wrote()
    {
        TemporaryStore store;
        store.write_user(object("{a:{b:{c:1,d:1}}, rendering:{dvr:{"
                                "preset:{Y:{w:1},Z:{w:1}}, last:{preset:{key:Y}}}}}"_l));
        auto manager = store.start();
        const QString file = store.user_file();
        SignalRecorder signals_seen;
        signals_seen.watch_store(manager.get());
        write_as_another_process(
            file,
            "{a:{b:{c:2,d:1}}, rendering:{dvr:{preset:{X:{},Z:{w:2}}, last:{preset:{key:X}}}}}"_l);
        QTRY_VERIFY_WITH_TIMEOUT(!preset("user/rendering/dvr/preset/Y"), 3000);
        QCOMPARE(signals_seen.take().join(QLatin1Char(',')),
                 "modified user/a/b/c,modified user/rendering/dvr/last/preset,"
                 "modified user/rendering/dvr/preset/X,dropped user/rendering/dvr/preset/Y,"
                 "modified user/rendering/dvr/preset/Z"_l);
        for (const QTimer *timer : manager->findChildren<QTimer *>())
            QVERIFY(timer->interval() != 1000 || !timer->isActive()); // a pick-up schedules no save

        // This process's unsaved change stays on top of the next pick-up and is saved with it.
        preset("user/a/b/d").set(object("{mine:1}"_l));
        write_as_another_process(file, "{a:{b:{c:3,d:1}}}"_l);
        QTRY_COMPARE_WITH_TIMEOUT(preset("user/a/b/c").get(), QJsonValue(3), 3000);
        QCOMPARE(signals_seen.take().join(QLatin1Char(',')),
                 "modified user/a/b/d,modified user/a/b/c,dropped user/rendering"_l);
        QVERIFY(manager->sync());
        QCOMPARE(store.user_on_disk(), object("{a:{b:{c:3,d:{mine:1}}}}"_l));
        QTest::qWait(400); // longer than a pick-up takes: an own save is not picked up
        QVERIFY(signals_seen.take().isEmpty());

        // A file broken in place is ignored at pick-up: one warning, the presets in memory stay.
        WarningRecorder warnings;
        TemporaryStore::write(file, "{a: ");
        const QString ignored = "broken "_l + file + " ignored, keeping the presets in memory"_l;
        QTRY_COMPARE_WITH_TIMEOUT(warnings.warnings(), QStringList{ignored}, 3000);
        QCOMPARE(preset("user/a/b/d").get(), QJsonValue(object("{mine:1}"_l)));
        QVERIFY(signals_seen.take().isEmpty());
    }

    // Writers in other processes lose nothing, and a running manager picks up what they wrote.
    void concurrent_writers_lose_nothing()
    {
        for (const bool same_path : {false, true}) {
            constexpr int writers = 8;
            TemporaryStore store;
            auto manager = store.start();
            QSignalSpy modified(manager.get(), &korvel::application::impl::Manager::modified);
            const auto path = [same_path](int w) {
                return same_path ? QStringLiteral("same") : QStringLiteral("w%1").arg(w);
            };
            QProcess children[writers];
            for (int w = 0; w < writers; ++w)
                start_child(children[w], store,
                            {"write"_l, "25"_l, path(w), "w"_l + QString::number(w)});
            for (QProcess &child : children) {
                QVERIFY(child.waitForFinished(60000));
                QCOMPARE(child.exitCode(), 0);
            }
            QTRY_COMPARE_WITH_TIMEOUT(modified.size(), same_path ? 1 : writers, 3000);
            QCOMPARE(modified.first().first().toString(), QLatin1String("user/") + path(0));
            const QJsonObject saved = store.user_on_disk();
            for (int w = 0; w < writers; ++w) {
                const QJsonObject values = saved[path(w)].toObject();
                QCOMPARE(preset("user/" + path(w).toStdString()).get().toObject(), values);
                for (int i = 0; i < 25; ++i) {
                    const QJsonObject value = values[QString::number(i)].toObject();
                    const QString writer = same_path ? value["writer"_l].toString() : path(w);
                    QCOMPARE(value, written_value(writer, i));
                }
            }
        }
    }

    // A process that saves in a loop is killed at random moments; the user file must always
    // parse and hold one of the documents that were saved.
    void killed_saves_leave_a_whole_file()
    {
        TemporaryStore store;
        store.write_user(QJsonObject{{"doc"_l, written_value(QString(), 0)}});
        int kills_during_saves = 0;
        for (int kill = 0; kill < 200; ++kill) {
            QProcess child;
            start_child(child, store, {"loop"_l});
            QVERIFY(child.waitForStarted());
            QTest::qSleep(5 + kill * 37 % 55); // 5 to 59 ms, spread over the rounds
            child.kill();
            QVERIFY(child.waitForFinished());
            const QJsonObject saved = store.user_on_disk()["doc"_l].toObject();
            const int counter = saved["i"_l].toInt(-1);
            QCOMPARE(saved, written_value(QString(), counter));
            kills_during_saves += counter > 0;
        }
        // Most kills must have hit a child that was already saving, or the test proves little.
        QVERIFY2(kills_during_saves > 100, qPrintable(QString::number(kills_during_saves)));

        // The lock of a killed holder goes with it; the next save removes the temporary files
        // that killed saves leave, and nothing else.
        QProcess holder;
        start_child(holder, store, {"hold-lock"_l});
        QVERIFY(holder.waitForReadyRead(10000));
        holder.kill();
        QVERIFY(holder.waitForFinished());
        const QString folder = store.dir.filePath(QStringLiteral(".kesu/"));
        TemporaryStore::write(folder + "presets.json.mine"_l, "kept");
        TemporaryStore::write(folder + "presets.json.Xy12ab"_l, "{\"doc\":");
        auto manager = store.start();
        preset("user/doc").set(written_value(QString(), 0));
        QVERIFY(manager->sync());
        QCOMPARE(store.user_on_disk()["doc"_l].toObject(), written_value(QString(), 0));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"presets.json"_l, "presets.json.lock"_l, "presets.json.mine"_l}));
    }
};

KESU_TEST_CLASS(TestSharedFile)
#include "tst_sharedfile.moc"
