#include "colourmap.h"

#include <transferfunction/presetschema.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace kesu::presets {

namespace {

namespace schema = korvel::transferfunction::schema;

// A control point lands on an entry when its place among the entries is a whole number, up to
// the rounding of the division that finds it.
constexpr double landing = 1e-9;

Rgb mix(Space space, const Rgb &a, const Rgb &b, double t)
{
    switch (space) {
    case Space::lab:
        return mix_lab(a, b, t);
    case Space::diverging:
        return mix_diverging(a, b, t);
    case Space::hsv:
        return mix_hsv(a, b, t);
    case Space::step:
        return a;
    case Space::rgb:
        break;
    }
    return mix_rgb(a, b, t);
}

// The numbers of a member that holds groups of so many; false, with the reason, otherwise.
bool numbers_of(const QJsonObject &map, const char *member, int group, std::vector<double> &numbers,
                QString &problem)
{
    const QJsonArray array = map.value(QLatin1String(member)).toArray();
    for (int i = 0; i < array.size(); ++i) {
        if (!array.at(i).isDouble()) {
            problem = QStringLiteral("\"%1\": entry %2 is not a number")
                          .arg(QLatin1String(member))
                          .arg(i);
            return false;
        }
        numbers.push_back(array.at(i).toDouble());
    }
    if (!numbers.empty() && numbers.size() % std::size_t(group) == 0)
        return true;
    problem = QStringLiteral("\"%1\" holds %2 numbers, not groups of %3")
                  .arg(QLatin1String(member))
                  .arg(numbers.size())
                  .arg(group);
    return false;
}

Rgb colour_at(const std::vector<double> &numbers, std::size_t at)
{
    const auto unit = [](double c) {
        return std::clamp(c, 0.0, 1.0);
    };
    return {unit(numbers[at]), unit(numbers[at + 1]), unit(numbers[at + 2])};
}

bool read_points(const QJsonObject &object, ColourMap &map, QString &problem)
{
    std::vector<double> numbers;
    if (!numbers_of(object, "RGBPoints", 4, numbers, problem))
        return false;
    for (std::size_t at = 0; at < numbers.size(); at += 4) {
        if (!map.x.empty() && numbers[at] < map.x.back()) {
            problem =
                QStringLiteral("\"RGBPoints\": x of point %1 is below the one before").arg(at / 4);
            return false;
        }
        map.x.push_back(numbers[at]);
        map.colours.push_back(colour_at(numbers, at + 1));
    }
    return true;
}

bool read_map(const QJsonValue &value, ColourMap &map, QString &problem)
{
    const QJsonObject object = value.toObject();
    map.name = object.value(QStringLiteral("Name")).toString();
    if (map.name.isEmpty()) {
        problem = QStringLiteral("no \"Name\"");
        return false;
    }
    const QString space = object.value(QStringLiteral("ColorSpace")).toString();
    if (!space_of(space, map.space)) {
        problem = QStringLiteral("unknown \"ColorSpace\" \"%1\"").arg(space);
        return false;
    }
    if (object.contains(QStringLiteral("RGBPoints")))
        return read_points(object, map, problem);
    std::vector<double> numbers;
    if (!object.contains(QStringLiteral("IndexedColors"))) {
        problem = QStringLiteral("neither \"RGBPoints\" nor \"IndexedColors\"");
        return false;
    }
    if (!numbers_of(object, "IndexedColors", 3, numbers, problem))
        return false;
    for (std::size_t at = 0; at < numbers.size(); at += 3)
        map.colours.push_back(colour_at(numbers, at));
    return true;
}

std::vector<Rgb> sampled(const ColourMap &map)
{
    const std::size_t count = schema::table_size;
    std::vector<Rgb> entries(count);
    if (map.x.empty()) {
        for (std::size_t i = 0; i < count; ++i)
            entries[i] = map.colours[i * map.colours.size() / count];
        return entries;
    }
    const double first = map.x.front();
    const double span = map.x.back() - first;
    const double last_entry = double(count - 1);
    for (std::size_t i = 0; i < count; ++i) {
        const double at = first + span * double(i) / last_entry;
        const auto after = std::upper_bound(map.x.begin(), map.x.end(), at);
        const std::size_t k = std::size_t(std::max<std::ptrdiff_t>(after - map.x.begin() - 1, 0));
        if (k + 1 == map.x.size())
            entries[i] = map.colours[k];
        else
            entries[i] = mix(map.space, map.colours[k], map.colours[k + 1],
                             (at - map.x[k]) / (map.x[k + 1] - map.x[k]));
    }
    // Interpolation in another space need not give a control point's colour back to the last bit.
    for (std::size_t k = 0; span > 0.0 && k < map.x.size(); ++k) {
        const double place = (map.x[k] - first) / span * last_entry;
        if (std::fabs(place - std::round(place)) < landing)
            entries[std::size_t(std::round(place))] = map.colours[k];
    }
    return entries;
}

} // namespace

bool space_of(const QString &name, Space &space)
{
    const struct
    {
        const char *name;
        Space space;
    } spaces[] = {{"", Space::rgb},
                  {"RGB", Space::rgb},
                  {"Lab", Space::lab},
                  {"CIELAB", Space::lab},
                  {"Diverging", Space::diverging},
                  {"HSV", Space::hsv},
                  {"Step", Space::step}};
    for (const auto &known : spaces)
        if (name.compare(QLatin1String(known.name), Qt::CaseInsensitive) == 0) {
            space = known.space;
            return true;
        }
    return false;
}

QByteArray without_trailing_commas(QByteArray text)
{
    bool in_string = false;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"')
            in_string = true;
        if (c != ',')
            continue;
        int next = i + 1;
        while (next < text.size() && std::isspace(static_cast<unsigned char>(text.at(next))))
            ++next;
        if (next < text.size() && (text.at(next) == ']' || text.at(next) == '}'))
            text[i] = ' ';
    }
    return text;
}

bool read_colour_maps(const QByteArray &bytes, ReadMaps &read, QString &error)
{
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(without_trailing_commas(bytes), &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("invalid JSON at offset %1: %2")
                    .arg(parse.offset)
                    .arg(parse.errorString());
        return false;
    }
    const QJsonArray maps = document.isArray() ? document.array() : QJsonArray{document.object()};
    for (int i = 0; i < maps.size(); ++i) {
        ColourMap map;
        QString problem;
        if (read_map(maps.at(i), map, problem))
            read.maps.push_back(std::move(map));
        else
            read.problems << QStringLiteral("colour map %1%2: %3")
                                 .arg(i + 1)
                                 .arg(map.name.isEmpty() ? QString()
                                                         : QStringLiteral(" \"%1\"").arg(map.name),
                                      problem);
    }
    return true;
}

QJsonObject colour_table(const ColourMap &map)
{
    const std::vector<Rgb> entries = sampled(map);
    QJsonObject table;
    for (std::size_t c = 0; c < schema::channels.size(); ++c) {
        QJsonArray channel;
        for (const Rgb &entry : entries)
            channel.append(
                int(std::lround(std::clamp(entry[c], 0.0, 1.0) * schema::highest_table_entry)));
        table.insert(QLatin1String(schema::channels[c]), channel);
    }
    return table;
}

QJsonObject colour_map_of(const QString &name, const QJsonObject &table)
{
    const double last_entry = double(schema::table_size - 1);
    QJsonArray points;
    for (std::size_t i = 0; i < schema::table_size; ++i) {
        points.append(double(i) / last_entry);
        for (const char *channel : schema::channels)
            points.append(table.value(QLatin1String(channel)).toArray().at(int(i)).toDouble()
                          / schema::highest_table_entry);
    }
    return {{QStringLiteral("Name"), name},
            {QStringLiteral("ColorSpace"), QStringLiteral("RGB")},
            {QStringLiteral("RGBPoints"), points}};
}

} // namespace kesu::presets
