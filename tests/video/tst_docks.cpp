#include <video/dockplayer.h>

#include "testing.h"

#include <thread>

class TestDocks : public QObject
{
    Q_OBJECT

    QList<std::pair<std::size_t, int>> received;

public Q_SLOTS:
    void on_paused(std::size_t index, int value, QImage) { received.append({index, value}); }

private Q_SLOTS:
    // Connected by name, as a plug-in written against the signature would; the index is beyond
    // 32 bits, so that a narrowed one would show.
    void pause_queued_across_threads_keeps_its_index()
    {
        struct : korvel::video::DockPlayer
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
