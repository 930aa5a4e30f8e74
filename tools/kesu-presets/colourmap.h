#pragma once

// Colour maps in the JSON format that visualisation applications share: an array of objects (or
// one), each with a "Name", an optional "ColorSpace", and "RGBPoints" (x, r, g, b, x, r, g, b ...
// with x ascending and r, g, b from 0 to 1) or "IndexedColors" (r, g, b, r, g, b ...). They
// become colour tables of 256 entries per channel, and stored tables go back as such maps.

#include "colourspace.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <vector>

namespace kesu::presets {

enum class Space { rgb, lab, diverging, hsv, step };

struct ColourMap
{
    QString name;
    Space space = Space::rgb;
    // Control points in ascending x; for an indexed map, x is empty and the colours are bands.
    std::vector<double> x;
    std::vector<Rgb> colours;
};

// The interpolation a "ColorSpace" names ("RGB" when it is empty); false for one not known.
bool space_of(const QString &name, Space &space);

// JSON text with each comma before a closing bracket or brace blanked out, as some collections
// have them; everything else, offsets included, stays as it was.
QByteArray without_trailing_commas(QByteArray text);

struct ReadMaps
{
    std::vector<ColourMap> maps;
    // One line for each map that cannot be read, naming it and why.
    QStringList problems;
};
// The maps of a colour-map file; false, with error set to "invalid JSON at offset N: reason",
// when the text does not parse even with trailing commas allowed.
bool read_colour_maps(const QByteArray &bytes, ReadMaps &read, QString &error);

// Entry i sampled at t = i / 255 across the map's own x range, interpolated in its space; an
// entry on which a control point lands exactly is that point's colour. Indexed colours make
// equal bands. Each entry is the colour times 255, rounded: a stored colour table.
QJsonObject colour_table(const ColourMap &map);

// A stored table as a map of 256 RGB points from x = 0 to 1, which colour_table turns back into
// the same entries.
QJsonObject colour_map_of(const QString &name, const QJsonObject &table);

} // namespace kesu::presets
