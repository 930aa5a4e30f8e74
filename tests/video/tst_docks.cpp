#include <video/dockplayer.h>
#include <video/dockscreencapture.h>

#include "testing.h"

#include <QMetaMethod>
#include <QThread>

#include <memory>

using kesu::test::WarningRecorder;
using korvel::video::DockPlayer;
using korvel::video::DockScreenCapture;

namespace {

class Capture : public DockScreenCapture
{
public:
    void start_capture() override { }
};

class Player : public DockPlayer
{
public:
    using DockPlayer::DockPlayer;
    void play() override { }
    void pause() override { }
    void stop() override { }
    void seek(std::size_t) override { }
    std::size_t get_current_frame() const override { return 0; }
    std::size_t get_frame_count() const override { return 0; }
};

// The methods a class adds to its base, as "signal name(types)" or "slot name(types)".
QStringList own_methods(const QMetaObject &meta)
{
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        const QString kind = method.methodType() == QMetaMethod::Signal ? QStringLiteral("signal ")
                                                                        : QStringLiteral("other ");
        methods.append(kind + QString::fromLatin1(method.methodSignature()));
    }
    return methods;
}

} // namespace

// Receives paused() through a connection made by name, as a plug-in written against the signal's
// signature would.
class PauseReceiver : public QObject
{
    Q_OBJECT

public:
    std::size_t index = 0;
    int value = 0;
    QImage image;
    QThread *thread_seen = nullptr;
    int calls = 0;

public Q_SLOTS:
    void on_paused(std::size_t i, int v, QImage picture)
    {
        index = i;
        value = v;
        image = picture;
        thread_seen = QThread::currentThread();
        ++calls;
    }
};

class TestDocks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void docks_declare_exactly_their_signals()
    {
        QCOMPARE(DockScreenCapture::staticMetaObject.superClass(), &QDockWidget::staticMetaObject);
        QCOMPARE(own_methods(DockScreenCapture::staticMetaObject),
                 (QStringList{QStringLiteral("signal capture_started(QSize)"),
                              QStringLiteral("signal capture_finished(QString,QImage,QByteArray)"),
                              QStringLiteral("signal store_last_capture_requested()"),
                              QStringLiteral("signal discard_last_capture_requested()")}));
        QCOMPARE(DockPlayer::staticMetaObject.superClass(), &QDockWidget::staticMetaObject);
        QCOMPARE(own_methods(DockPlayer::staticMetaObject),
                 QStringList{QStringLiteral("signal paused(std::size_t,int,QImage)")});
    }

    void docks_are_dock_widgets()
    {
        QWidget window;
        const Player player(QStringLiteral("Player"), &window);
        QCOMPARE(player.windowTitle(), QStringLiteral("Player"));
        QCOMPARE(player.parentWidget(), &window);
        const Capture capture;
        QVERIFY(!capture.parentWidget());
    }

    void pause_crosses_threads_by_name()
    {
        WarningRecorder warnings;
        Player player;
        PauseReceiver receiver;
        QVERIFY(QObject::connect(&player, SIGNAL(paused(std::size_t, int, QImage)), &receiver,
                                 SLOT(on_paused(std::size_t, int, QImage)), Qt::QueuedConnection));
        QImage picture(3, 2, QImage::Format_RGB32);
        picture.fill(Qt::blue);
        // Beyond 32 bits, so that a narrowed index would show.
        const std::size_t index = std::size_t(1) << 33;

        std::unique_ptr<QThread> emitter(
            QThread::create([&] { Q_EMIT player.paused(index, -7, picture); }));
        emitter->start();
        QVERIFY(emitter->wait(5000));

        QTRY_COMPARE(receiver.calls, 1);
        QCOMPARE(receiver.index, index);
        QCOMPARE(receiver.value, -7);
        QCOMPARE(receiver.image, picture);
        QCOMPARE(receiver.thread_seen, QThread::currentThread());
        QVERIFY2(warnings.warnings().isEmpty(), qPrintable(warnings.warnings().join(u'\n')));
    }
};

KESU_TEST_CLASS(TestDocks)
#include "tst_docks.moc"
