#pragma once

#include <kesupluginmanager_export.h>

#include <QObject>
#include <QPixmap>
#include <QSize>
#include <QSizeF>
#include <QString>

namespace korvel::orvane {

// The shared part of the wrapper through which a plug-in shows one data source to views as an
// image: it holds the current picture, announces every replacement, and carries the signal by
// which the deriving class announces the end of its data source. Used in the GUI thread only, as
// QPixmap requires.
class KESUPLUGINMANAGER_EXPORT DataSourceWrapper : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DataSourceWrapper)

public:
    // Starts without a parent and with a null image.
    DataSourceWrapper();
    ~DataSourceWrapper() override;

    // Replaces the image and emits image_changed(), even when the pixmap is the same one: a data
    // source may have redrawn into a shared pixmap.
    void set_image(QPixmap pixmap);
    virtual QPixmap get_image() const;

    // The name of the data source as shown to the user.
    virtual QString get_name() const = 0;
    // The size of the data source's image, in pixels.
    virtual QSize get_size() const = 0;
    // The physical size of one pixel (for example in millimetres), or an empty size when unknown.
    virtual QSizeF get_spacing() const = 0;
    // Whether the data source is still there and can give an image.
    virtual bool is_valid() const = 0;
    // Draws the image again from the data source's current state and hands it to set_image().
    virtual void refresh() = 0;

Q_SIGNALS:
    // Emitted after set_image() replaced the image.
    void image_changed();
    // Emitted by the deriving class when the data source behind the wrapper has gone away.
    void data_source_destroyed();

private:
    QPixmap image;
};

} // namespace korvel::orvane
