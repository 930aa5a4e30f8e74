#pragma once

// Pictures of transfer functions: the opacity curve filled with the colours, the colour band
// over a checkerboard, and the value axis in data units with the window marked.

#include <transferfunction/model.h>

#include <QImage>
#include <QString>
#include <QVector>

#include <vector>

namespace kesu::presets {

// What a picture shows of one preset.
struct PresetPicture
{
    QString name;
    QString group;
    // "custom points" or the opacity kind and the colour table.
    QString detail;
    // Where the preset comes from: user, shipped, or user shadowing shipped.
    QString source;
    std::vector<korvel::transferfunction::point::Point> points;
    double window_width = 0.0;
    double window_level = 0.0;

    static PresetPicture of(const korvel::transferfunction::Model &model, const QString &source);
};

// Colour (0..1) and opacity at a value: linear between the points, the end points' values
// beyond them, fully transparent without points.
struct Sample
{
    double r = 0.0, g = 0.0, b = 0.0, a = 0.0;
};
Sample sample(const std::vector<korvel::transferfunction::point::Point> &points, double value);

// The picture of one preset. Its PNG text carries the layout, for scripts and tests:
// "value-axis" = "x0 x1 low high" (column x0's left edge is value low, x1's is high),
// "colour-band" and "opacity-band" = "top bottom" rows (bottom exclusive).
QImage render_preset(const PresetPicture &picture, int width, int height);

// One labelled row per preset under a title line.
QImage render_gallery(const QVector<PresetPicture> &pictures, const QString &title, int width);
// The height of a gallery picture of so many rows.
int gallery_height(int rows);

// A colour table as a strip: its entries from left to right, labelled with its name.
struct TableStrip
{
    QString name;
    QString source;
    std::vector<korvel::transferfunction::point::Point> colours;
};
// One strip under another.
QImage render_tables(const QVector<TableStrip> &strips, int width);

} // namespace kesu::presets
