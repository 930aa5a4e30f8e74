#include "transferfunction/model.h"

#include <application/configuration.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QtGlobal>

#include <cmath>

namespace korvel::transferfunction {

namespace {

constexpr std::size_t table_size = 256;
constexpr double one_255 = 1.0 / 255.0;
constexpr float one_255_single = 1.0f / 255.0f;
// Points spread over a new window keep at least this distance from their neighbours.
constexpr double neighbour_gap = 10.0;

using Channel = std::vector<double>;
using Opacities = std::vector<std::pair<double, double>>;

// The ramp is computed in single precision so that its last entry is exactly 1.0.
double ramp(std::size_t i)
{
    return static_cast<double>(static_cast<float>(i) * one_255_single);
}

// Stored tables are on the 0 to 255 scale; values beyond it are kept, not clamped.
Channel to_color_vector(const QJsonArray &array)
{
    Channel channel;
    channel.reserve(static_cast<std::size_t>(array.size()));
    for (const QJsonValue &entry : array)
        channel.push_back(entry.toDouble(0.0) * one_255);
    return channel;
}

void fill_grey(Channel &red, Channel &green, Channel &blue)
{
    for (std::size_t i = 0; i < table_size; ++i)
        red.push_back(ramp(i));
    green = red;
    blue = red;
}

void fill_endoscopy(Channel &red, Channel &green, Channel &blue)
{
    for (std::size_t i = 0; i < table_size; ++i) {
        const double at = static_cast<double>(i);
        red.push_back(at * 7.843137254901961e-05 + 0.9411764705882353);
        green.push_back(0.7333333333333333 - at * 0.001019607843137255);
        blue.push_back(0.7647058823529411 - at * 0.001019607843137255);
    }
}

// The handle, and with it the store's lock, is released before any channel is built.
QJsonObject stored_clut(const std::string &name)
{
    return application::preset("global/rendering/clut/preset/" + name).get().toObject();
}

void fill_stored(const QJsonObject &table, Channel &red, Channel &green, Channel &blue)
{
    const std::pair<QString, Channel *> channels[] = {
        {QStringLiteral("red"), &red},
        {QStringLiteral("green"), &green},
        {QStringLiteral("blue"), &blue},
    };
    for (const auto &[key, channel] : channels) {
        if (table.contains(key))
            *channel = to_color_vector(table.value(key).toArray());
    }
}

enum class Curve { logarithmic, logarithmic_inverse, smooth, linear };

// Names are matched exactly: any other name, in another case too, is the linear curve.
Curve curve_of(const std::string &kind)
{
    if (kind == "Logarithmic Table")
        return Curve::logarithmic;
    if (kind == "Logarithmic Inverse Table")
        return Curve::logarithmic_inverse;
    if (kind == "Smooth Table")
        return Curve::smooth;
    return Curve::linear;
}

double opacity(Curve curve, std::size_t i)
{
    constexpr double nine_255 = 9.0 / 255.0;
    switch (curve) {
    case Curve::logarithmic:
        return std::log10(static_cast<double>(i) * nine_255 + 1.0);
    case Curve::logarithmic_inverse:
        return 1.0 - std::log10(static_cast<double>(table_size - 1 - i) * nine_255 + 1.0);
    case Curve::smooth:
        return 0.05;
    case Curve::linear:
        break;
    }
    return ramp(i);
}

void fill_opacities(Curve curve, float width, float level, Opacities &opacities)
{
    const double w = static_cast<double>(width);
    const double start = static_cast<double>(level) + (-0.5 * w);
    for (std::size_t i = 0; i < table_size; ++i) {
        double x = ((static_cast<double>(i) * one_255) * w) + start;
        // The smooth curve sits 180 data units above the window.
        if (curve == Curve::smooth)
            x = x + 180.0;
        opacities.emplace_back(x, opacity(curve, i));
    }
}

// Moves points of the model's own so that they span a new window, keeping each at least
// neighbour_gap from its neighbours; a degenerate extent (a single point) is only shifted.
void spread(std::vector<Model::Point> &points, double width, double level)
{
    const std::size_t n = points.size();
    const double first = points.front().x;
    const double extent = points.back().x - first;
    const double centre = first + extent * 0.5;
    const double shift = level - centre;
    const double grow = ((width * 0.5 - level) + first) + shift;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = points[i].x;
        double f = (1.0 / extent + 1.0 / extent) * std::fabs(x - centre);
        if (f < 0.0 || std::isnan(f))
            f = 0.0;
        const double s = static_cast<float>(n) * 0.5f > static_cast<float>(i) ? -grow : grow;
        double moved = (x + shift) + f * s;
        if (i > 0 && moved <= points[i - 1].x + neighbour_gap)
            moved = points[i - 1].x + neighbour_gap;
        if (i + 1 < n && moved >= points[i + 1].x - neighbour_gap)
            moved = points[i + 1].x - neighbour_gap;
        points[i].x = moved;
    }
}

} // namespace

void Model::set_window(float width, float level)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (window_width == width && window_level == level)
        return;
    window_width = width;
    window_level = level;
    if (!custom_opacity) {
        update_opacity_table();
    } else {
        if (points.empty())
            return;
        spread(points, static_cast<double>(width), static_cast<double>(level));
    }
    Q_EMIT window_changed();
    Q_EMIT internal_changed(true);
}

void Model::update_opacity_table()
{
    Channel red;
    Channel green;
    Channel blue;
    if (clut == "No CLUT") {
        red.reserve(table_size);
        fill_grey(red, green, blue);
    } else if (clut == "Endoscopy") {
        red.reserve(table_size);
        green.reserve(table_size);
        blue.reserve(table_size);
        fill_endoscopy(red, green, blue);
    } else {
        const QJsonObject table = stored_clut(clut);
        if (table.isEmpty()) {
            qWarning("clut preset not found");
            return;
        }
        fill_stored(table, red, green, blue);
    }

    Opacities opacities;
    opacities.reserve(table_size);
    fill_opacities(curve_of(opacity_table), window_width, window_level, opacities);

    if (opacities.size() != table_size || red.size() != table_size || green.size() != table_size
        || blue.size() != table_size) {
        qWarning("unsuported table size");
        return;
    }
    if (points.capacity() < table_size) {
        std::vector<Point> room;
        room.reserve(table_size);
        points.swap(room);
    } else {
        points.clear();
    }
    for (std::size_t i = 0; i < table_size; ++i)
        points.push_back(
            {opacities[i].first, opacities[i].second, red[i], green[i], blue[i], 0.5, 0.0});
}

} // namespace korvel::transferfunction
