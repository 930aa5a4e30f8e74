#include "volumeproperty.h"

#include <transferfunction/presetschema.h>

#include <QRegularExpression>
#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>

namespace kesu::presets {

namespace {

namespace schema = korvel::transferfunction::schema;
using korvel::transferfunction::point::Point;

// A function of x: each node is x followed by its values, x ascending.
struct Function
{
    std::vector<double> x;
    std::vector<std::vector<double>> values;

    // Linear between the nodes, held constant beyond the ends.
    std::vector<double> at(double where) const
    {
        const auto after = std::upper_bound(x.begin(), x.end(), where);
        if (after == x.begin())
            return values.front();
        if (after == x.end())
            return values.back();
        const std::size_t k = std::size_t(after - x.begin()) - 1;
        const double t = (where - x[k]) / (x[k + 1] - x[k]);
        std::vector<double> mixed(values[k].size());
        for (std::size_t c = 0; c < mixed.size(); ++c)
            mixed[c] = values[k][c] + (values[k + 1][c] - values[k][c]) * t;
        return mixed;
    }
};

// One <VolumeProperty>: its name and attributes, read into a preset or refused with a problem.
class Element
{
    const QXmlStreamAttributes attributes;

public:
    Element(const QXmlStreamAttributes &attributes, int index)
        : attributes(attributes)
        , name(attributes.value(QStringLiteral("name")).toString())
        , where(name.isEmpty() ? QStringLiteral("VolumeProperty %1").arg(index)
                               : QStringLiteral("VolumeProperty \"%1\"").arg(name))
    { }

    QJsonObject preset(ReadProperties &read)
    {
        if (name.isEmpty() && !refuse(QStringLiteral("\"name\" is empty")))
            return {};
        Function colour, opacity;
        schema::Preset preset;
        if (!function("colorTransfer", 3, colour) || !function("scalarOpacity", 1, opacity)
            || !shading(preset, read))
            return {};
        std::vector<double> x = colour.x;
        x.insert(x.end(), opacity.x.begin(), opacity.x.end());
        std::sort(x.begin(), x.end());
        x.erase(std::unique(x.begin(), x.end()), x.end());
        for (const double at : x) {
            const std::vector<double> rgb = colour.at(at);
            preset.points.push_back({at, opacity.at(at)[0], rgb[0], rgb[1], rgb[2], 0.5, 0.0});
        }
        preset.custom_opacity = true;
        preset.window_width = float(x.back() - x.front());
        preset.window_level = float(x.front() + (x.back() - x.front()) * 0.5);
        const int dash = name.indexOf(QLatin1Char('-'));
        preset.category = dash > 0 ? name.left(dash).toStdString() : std::string("Imported");
        preset.description = name.toStdString();
        // The points are the preset's own: no colour table is looked up.
        preset.clut = schema::grey_clut;
        return schema::encode(preset);
    }

    const QString name;
    QString problem;

private:
    // Always false, to be returned.
    bool refuse(const QString &why)
    {
        problem = where + QStringLiteral(": ") + why;
        return false;
    }

    // "N x v ... x v ...": N values follow, in nodes of x and its count values.
    bool function(const char *attribute, int count, Function &f)
    {
        const QString key = QLatin1String(attribute);
        if (!attributes.hasAttribute(key))
            return refuse(QStringLiteral("\"%1\" is missing").arg(key));
        const QStringList words = attributes.value(key).toString().split(
            QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        std::vector<double> numbers;
        for (const QString &word : words) {
            bool ok = false;
            numbers.push_back(word.toDouble(&ok));
            if (!ok || !std::isfinite(numbers.back()))
                return refuse(QStringLiteral("\"%1\": \"%2\" is not a number").arg(key, word));
        }
        const std::size_t node = std::size_t(count) + 1;
        if (numbers.empty() || numbers[0] != double(numbers.size() - 1)
            || (numbers.size() - 1) % node != 0 || numbers.size() == 1)
            return refuse(QStringLiteral("\"%1\": the count %2 does not match the %3 values "
                                         "that follow in nodes of %4")
                              .arg(key, words.value(0))
                              .arg(numbers.size() - 1)
                              .arg(node));
        for (std::size_t at = 1; at < numbers.size(); at += node) {
            if (!f.x.empty() && numbers[at] < f.x.back())
                return refuse(QStringLiteral("\"%1\": x %2 is below the one before")
                                  .arg(key)
                                  .arg(numbers[at]));
            f.x.push_back(numbers[at]);
            f.values.emplace_back(numbers.begin() + std::ptrdiff_t(at) + 1,
                                  numbers.begin() + std::ptrdiff_t(at + node));
            for (const double value : f.values.back())
                if (value < 0.0 || value > 1.0)
                    return refuse(QStringLiteral("\"%1\": %2 at x %3 is outside 0..1")
                                      .arg(key)
                                      .arg(value)
                                      .arg(numbers[at]));
        }
        return true;
    }

    // An attribute that is there, clamped into 0..highest with a warning; false when it is not
    // a number.
    bool coefficient(const char *attribute, double highest, double &field, ReadProperties &read)
    {
        const QString key = QLatin1String(attribute);
        if (!attributes.hasAttribute(key))
            return true;
        bool ok = false;
        const double value = attributes.value(key).toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return refuse(QStringLiteral("\"%1\": \"%2\" is not a number")
                              .arg(key, attributes.value(key).toString()));
        field = std::clamp(value, 0.0, highest);
        if (field != value)
            read.warnings << QStringLiteral("%1: \"%2\" %3 clamped to %4")
                                 .arg(where, key)
                                 .arg(value)
                                 .arg(field);
        return true;
    }

    bool shading(schema::Preset &preset, ReadProperties &read)
    {
        const double highest = schema::highest_coefficient;
        if (!coefficient("ambient", highest, preset.ambient, read)
            || !coefficient("diffuse", highest, preset.diffuse, read)
            || !coefficient("specular", highest, preset.specular, read)
            || !coefficient("specularPower", schema::highest_specular_power, preset.specular_power,
                            read))
            return false;
        const QString shade = attributes.value(QStringLiteral("shade")).toString();
        if (!shade.isEmpty() && shade != QLatin1String("0") && shade != QLatin1String("1"))
            return refuse(QStringLiteral("\"shade\": \"%1\" is neither 0 nor 1").arg(shade));
        preset.shade = shade != QLatin1String("0");
        return true;
    }

    const QString where;
};

} // namespace

bool read_volume_properties(const QByteArray &bytes, ReadProperties &read, QString &error)
{
    QXmlStreamReader xml(bytes);
    int index = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement
            || xml.name() != QLatin1String("VolumeProperty"))
            continue;
        Element element(xml.attributes(), ++index);
        const QJsonObject preset = element.preset(read);
        if (element.problem.isEmpty())
            read.presets.emplace_back(element.name, preset);
        else
            read.problems << element.problem;
    }
    if (!xml.hasError())
        return true;
    error = QStringLiteral("invalid XML at line %1, column %2: %3")
                .arg(xml.lineNumber())
                .arg(xml.columnNumber())
                .arg(xml.errorString());
    return false;
}

} // namespace kesu::presets
