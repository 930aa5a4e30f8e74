#pragma once

#include <kesupluginmanager_export.h>

#include <QColor>
#include <QObject>
#include <QPointF>

#include <cstddef>

namespace korvel::models {

// The shared part of a circular probe that a view places on an image: while it lives, a probe
// holds one colour of a process-wide pool of max_probe() distinct colours, so that no two probes
// look alike, and it announces changes of its selected state. Geometry and measurement belong to
// the deriving class. Probes are created and destroyed in the GUI thread only: the pool has no
// lock.
class KESUPLUGINMANAGER_EXPORT CircleProbeModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CircleProbeModel)

public:
    // Takes the free colour with the lowest index of the pool.
    explicit CircleProbeModel(QObject *parent = nullptr);
    // Gives the colour back to the pool; emits nothing.
    ~CircleProbeModel() override;

    // The number of probes that can have distinct colours at the same time; takes no colour.
    static std::size_t max_probe();

    // The probe's pool colour, or a neutral grey for a probe made while every colour was taken.
    QColor color() const;
    bool is_selected() const { return selected; }
    void set_selected(bool value);

    // The centre of the circle, in the coordinates of the image it is placed on.
    virtual QPointF get_center() const = 0;
    // Moves the circle; the deriving class emits modified() when the centre changed.
    virtual void set_center(const QPointF &center) = 0;
    // The radius of the circle, in the coordinates of the image it is placed on.
    virtual double get_radius() const = 0;
    // Resizes the circle; the deriving class emits modified() when the radius changed.
    virtual void set_radius(double radius) = 0;
    // The value measured inside the circle (for example the mean intensity), as shown to the user.
    virtual double get_measurement() const = 0;

Q_SIGNALS:
    // Emitted after the probe's state shown to the user changed: by set_selected() here, by the
    // deriving class for its own state.
    void modified();

private:
    // Index of the probe's pool entry; max_probe() for a probe without one.
    std::size_t color_index;
    bool selected = false;
};

} // namespace korvel::models
