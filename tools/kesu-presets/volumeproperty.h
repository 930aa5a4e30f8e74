#pragma once

// Volume rendering properties in the XML that medical-imaging applications share: elements
// <VolumeProperty name="..." colorTransfer="N x r g b ..." scalarOpacity="N x a ..." ambient=""
// diffuse="" specular="" specularPower="" shade="0|1"/>, each becoming a preset with points of
// its own.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

namespace kesu::presets {

struct ReadProperties
{
    // Preset objects by name, in the order of the file.
    std::vector<std::pair<QString, QJsonObject>> presets;
    // One line for each element that cannot be read, naming it and its attribute.
    QStringList problems;
    // Shading values clamped into the model's ranges.
    QStringList warnings;
};

// The presets of a volume-property file; false, with error naming the line and column, when it
// is not well-formed XML.
bool read_volume_properties(const QByteArray &bytes, ReadProperties &read, QString &error);

} // namespace kesu::presets
