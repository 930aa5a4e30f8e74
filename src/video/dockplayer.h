#pragma once

#include <kesupluginmanager_export.h>

#include <QDockWidget>
#include <QImage>

#include <cstddef>

namespace korvel::video {

// The signal through which a video-player dock talks to the rest of the viewer, and the playback
// operations the viewer asks of it. The deriving dock owns its widgets and the playback itself.
// paused() may be connected across threads: std::size_t is registered under that name.
class KESUPLUGINMANAGER_EXPORT DockPlayer : public QDockWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(DockPlayer)

public:
    using QDockWidget::QDockWidget;

    // Starts or resumes playback from the current frame.
    virtual void play() = 0;
    // Halts playback at the current frame; the dock emits paused().
    virtual void pause() = 0;
    // Halts playback and goes back to the first frame.
    virtual void stop() = 0;
    // Makes the given frame, counted from 0, the current one.
    virtual void seek(std::size_t frame) = 0;
    // The index of the current frame, counted from 0.
    virtual std::size_t get_current_frame() const = 0;
    // The number of frames of the video, 0 when nothing is loaded.
    virtual std::size_t get_frame_count() const = 0;

Q_SIGNALS:
    // Emitted when playback paused, with an index, an integer and a picture as the dock defines
    // them.
    void paused(std::size_t, int, QImage);
};

} // namespace korvel::video
