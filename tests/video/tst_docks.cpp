#include <video/dockplayer.h>
#include <video/dockscreencapture.h>

#include "testing.h"

#include <thread>

using korvel::video::DockPlayer;

class TestDocks : public QObject
{
    Q_OBJECT

    QList<std::pair<std::size_t, int>> received;

public Q_SLOTS:
    void on_paused(std::size_t index, int value, QImage) { received.append({index, value}); }

private Q_SLOTS:
    void docks_declare_exactly_their_signals_in_order()
    {
        QList<QStringList> methods;
        for (const QMetaObject *meta :
             {&korvel::video::DockScreenCapture::staticMetaObject, &DockPlayer::staticMetaObject}) {
            methods.append(QStringList());
            for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
                QCOMPARE(meta->method(i).methodType(), QMetaMethod::Signal);
                methods.last().append(QString::fromLatin1(meta->method(i).methodSignature()));
            }
        }
        QCOMPARE(methods,
                 (QList<QStringList>{{QStringLiteral("capture_started(QSize)"),
                                      QStringLiteral("capture_finished(QString,QImage,QByteArray)"),
                                      QStringLiteral("store_last_capture_requested()"),
                                      QStringLiteral("discard_last_capture_requested()")},
                                     {QStringLiteral("paused(std::size_t,int,QImage)")}}));
    }

    // Connected by name, as a plug-in written against the signature would; the index is beyond
    // 32 bits, so that a narrowed one would show.
    void pause_queued_across_threads_keeps_its_index()
    {
        struct : DockPlayer
        {
            void play() override { }
            void pause() override { }
            void stop() override { }
            void seek(std::size_t) override { }
            std::size_t get_current_frame() const override { return 0; }
            std::size_t get_frame_count() const override { return 0; }
        } player;
        QVERIFY(connect(&player, SIGNAL(paused(std::size_t, int, QImage)), this,
                        SLOT(on_paused(std::size_t, int, QImage)), Qt::QueuedConnection));
        const std::size_t index = std::size_t(1) << 33;
        std::thread([&] { Q_EMIT player.paused(index, -7, QImage()); }).join();
        QTRY_COMPARE(received, (decltype(received){{index, -7}}));
    }
};

KESU_TEST_CLASS(TestDocks)
#include "tst_docks.moc"
