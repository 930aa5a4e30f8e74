#include "storechild.h"
#include "testing.h"

#include <application/configuration.h>
#include <application/manager.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

using kesu::test::TemporaryStore;

// A process that saves the store in a loop is killed at random moments; the user file must
// always parse and hold one of the documents that were saved.
class TestCrashSafety : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killed_saves_leave_a_whole_file()
    {
        TemporaryStore store;
        store.write_user(QJsonObject{{QStringLiteral("doc"), kesu::test::saved_document(0)}});
        QRandomGenerator random(20261206);
        int kills_during_saves = 0;
        for (int kill = 0; kill < 200; ++kill) {
            QProcess child;
            child.start(QStringLiteral(KESU_STORECHILD),
                        {store.user_file(), store.global_file(), QStringLiteral("loop")});
            QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
            QTest::qSleep(int(random.bounded(5, 60)));
            child.kill();
            QVERIFY(child.waitForFinished());

            const QJsonDocument saved =
                QJsonDocument::fromJson(TemporaryStore::read(store.user_file()));
            QVERIFY2(saved.isObject(), qPrintable(QStringLiteral("kill %1").arg(kill)));
            const QJsonObject doc = saved.object().value(QStringLiteral("doc")).toObject();
            const int counter = doc.value(QStringLiteral("counter")).toInt(-1);
            QVERIFY(counter >= 0);
            QCOMPARE(doc, kesu::test::saved_document(counter));
            kills_during_saves += counter > 0;
        }
        qInfo("%d of 200 kills hit a child that had saved at least once", kills_during_saves);
        // Most kills must have hit a child that was already saving, or the test proves little.
        QVERIFY2(kills_during_saves > 100, qPrintable(QString::number(kills_during_saves)));

        // The next save removes the temporary files that killed saves left, and nothing else.
        const QDir folder = QFileInfo(store.user_file()).absoluteDir();
        TemporaryStore::write(folder.filePath(QStringLiteral("presets.json.mine")), "kept");
        const QStringList left = folder.entryList(QDir::Files | QDir::Hidden);
        qInfo("%lld temporary file(s) left by the kills", qlonglong(left.size() - 3));
        {
            korvel::application::impl::Manager manager(store.user_file(), store.global_file());
            korvel::application::preset("user/doc").set(kesu::test::saved_document(0));
            QVERIFY(manager.sync());
        }
        QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden),
                 QStringList({QStringLiteral("presets.json"), QStringLiteral("presets.json.lock"),
                              QStringLiteral("presets.json.mine")}));
    }
};

KESU_TEST_CLASS(TestCrashSafety)
#include "tst_crashsafety.moc"
