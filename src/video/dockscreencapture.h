#pragma once

#include <kesupluginmanager_export.h>

#include <QByteArray>
#include <QDockWidget>
#include <QImage>
#include <QSize>
#include <QString>

namespace korvel::video {

// The signals through which a screen-capture dock talks to the rest of the viewer. The deriving
// dock owns its widgets and the capture itself, and emits every one of these signals.
class KESUPLUGINMANAGER_EXPORT DockScreenCapture : public QDockWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(DockScreenCapture)

public:
    using QDockWidget::QDockWidget;

    // Begins a capture; the dock emits capture_started() when it has.
    virtual void start_capture() = 0;

Q_SIGNALS:
    // Emitted when a capture of the given size began.
    void capture_started(QSize);
    // Emitted when a capture ended; the text, picture and bytes of the result are as the dock
    // defines them.
    void capture_finished(QString, QImage, QByteArray);
    // Emitted when the user asked to keep the last capture.
    void store_last_capture_requested();
    // Emitted when the user asked to throw the last capture away.
    void discard_last_capture_requested();
};

} // namespace korvel::video
