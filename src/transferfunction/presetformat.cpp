#include "transferfunction/model.h"
#include "transferfunction/model_p.h"

#include "application/configuration.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace korvel::transferfunction {

namespace {

const std::string user_preset_path = "user/rendering/dvr/preset/";
const std::string last_preset_path = "user/rendering/dvr/last/preset";

// A missing member leaves the cleared value in place; the user is told, and reading goes on.
void report_missing()
{
    qWarning("incomplete file");
}

// Hands the member to read when it is there, and reports it otherwise.
template<typename Read> void read_member(const QJsonObject &preset, const char *key, Read read)
{
    const QLatin1String name(key);
    if (preset.contains(name))
        read(preset.value(name));
    else
        report_missing();
}

// For "background"/"color" and "filters"/"convolution": a missing outer member is reported once,
// not a second time for the member inside it.
template<typename Read>
void read_nested(const QJsonObject &preset, const char *outer, const char *inner, Read read)
{
    read_member(preset, outer, [inner, &read](const QJsonValue &value) {
        read_member(value.toObject(), inner, read);
    });
}

void read_string(const QJsonObject &preset, const char *key, std::string &field)
{
    read_member(preset, key,
                [&field](const QJsonValue &value) { field = value.toString().toStdString(); });
}

void read_bool(const QJsonObject &preset, const char *key, bool &field)
{
    read_member(preset, key, [&field](const QJsonValue &value) { field = value.toBool(false); });
}

void read_coefficient(const QJsonObject &preset, const char *key, double upper, double &field)
{
    read_member(preset, key, [upper, &field](const QJsonValue &member) {
        const double value = member.toDouble(0);
        if (value < 0.0 || value > upper)
            throw std::out_of_range("range violation");
        field = value;
    });
}

point::Point read_point(const QJsonObject &object)
{
    const auto number = [&object](const char *key) {
        return object.value(QLatin1String(key)).toDouble(0);
    };
    return {number("x"), number("y"),        number("r"),        number("g"),
            number("b"), number("midpoint"), number("sharpness")};
}

// Each point goes in front of those with the same x, so equal positions end in reverse order.
// Sorting the reversed array stably gives that order in O(n log n), also for huge arrays. A point
// that is not finite (an object built in memory; JSON text holds none) is left out.
void insert_points(const QJsonArray &array, std::vector<point::Point> &points)
{
    points.reserve(points.size() + std::size_t(array.size()));
    for (auto element = array.end(); element != array.begin();) {
        const point::Point point = read_point((*--element).toObject());
        if (is_finite_point(point, std::size_t(element - array.begin())))
            points.push_back(point);
    }
    std::stable_sort(points.begin(), points.end(),
                     [](const point::Point &a, const point::Point &b) { return a.x < b.x; });
}

QJsonObject to_json(const point::Point &point)
{
    return QJsonObject{{QStringLiteral("x"), point.x},
                       {QStringLiteral("y"), point.y},
                       {QStringLiteral("r"), point.r},
                       {QStringLiteral("g"), point.g},
                       {QStringLiteral("b"), point.b},
                       {QStringLiteral("midpoint"), point.midpoint},
                       {QStringLiteral("sharpness"), point.sharpness}};
}

// Points that share an x are written in reverse, because reading reverses them again: a saved
// preset reads back with its points in the same order, and a sharp colour edge keeps its side.
QJsonArray to_json(const std::vector<point::Point> &points)
{
    QJsonArray array;
    for (auto run = points.begin(); run != points.end();) {
        // Searched from the next point, so that every run holds at least one point.
        const auto end = std::find_if(std::next(run), points.end(),
                                      [x = run->x](const point::Point &p) { return p.x != x; });
        for (auto point = end; point != run;)
            array.append(to_json(*--point));
        run = end;
    }
    return array;
}

QJsonValue to_json(const std::string &text)
{
    return QString::fromStdString(text);
}

// Each value goes through a handle of its own, released before the next is built. False when
// the store refused the value.
bool store(const std::string &path, const QJsonObject &value)
{
    application::preset(path).set(value);
    return application::preset(path).get() == value;
}

// The stored colour table that loading preset will generate its points from, read before the
// model's lock is taken; empty when the preset brings points of its own or a built-in table.
QJsonObject table_for(const QJsonObject &preset)
{
    const std::string clut = preset.value(QLatin1String("clut")).toString().toStdString();
    if (!preset.value(QLatin1String("points")).toArray().isEmpty() || is_built_in_clut(clut))
        return {};
    return read_stored_clut(clut);
}

} // namespace

bool refuses_preset_name(const std::string &name, const char *action)
{
    if (name.find('/') == std::string::npos)
        return false;
    qWarning("preset name contains \"/\", not %s: %s", action, name.c_str());
    return true;
}

void Model::load(QJsonObject const &preset)
{
    if (preset.isEmpty())
        return;
    const QJsonObject table = table_for(preset);
    clear();
    std::unique_lock<std::mutex> lock(mutex);

    const auto given_points = preset.constFind(QLatin1String("points"));
    if (given_points != preset.constEnd()) {
        insert_points(given_points->toArray(), points);
        custom_opacity = !points.empty();
    }
    read_nested(preset, "background", "color", [this](const QJsonValue &color) {
        const QJsonArray components = color.toArray();
        for (int i = 0; i < 3; ++i)
            background_color[std::size_t(i)] = components.at(i).toDouble(0);
    });
    read_member(preset, "blend_mode", [this](const QJsonValue &value) {
        blend_mode = BlendMode(static_cast<std::uint16_t>(value.toInt(0)));
    });
    read_string(preset, "group", category);
    read_bool(preset, "shade", shade);
    read_coefficient(preset, "ambient", 4.0, ambient);
    read_coefficient(preset, "diffuse", 4.0, diffuse);
    read_coefficient(preset, "specular", 4.0, specular);
    read_coefficient(preset, "specular_power", 256.0, specular_power);
    // Written directly: a preset read from the store keeps its read_only flag.
    read_string(preset, "description", description);
    read_member(preset, "window", [this](const QJsonValue &value) {
        const QJsonArray window = value.toArray();
        const float width = float(window.at(0).toDouble(0));
        const float level = float(window.at(1).toDouble(0));
        // Beyond the range of a float the window keeps its cleared value.
        if (is_finite_window(width, level)) {
            window_width = width;
            window_level = level;
        }
    });
    read_bool(preset, "read_only", read_only);
    read_string(preset, "opacity", opacity_table);
    read_string(preset, "clut", clut);
    read_nested(preset, "filters", "convolution", [this](const QJsonValue &value) {
        const QJsonArray filters = value.toArray();
        if (!filters.isEmpty())
            convolution_filter = filters.at(0).toString().toStdString();
    });

    if (!custom_opacity)
        generate_points(*d, clut, table, opacity_table, window_width, window_level, points);
    modified.store(false);
    lock.unlock();
    Q_EMIT reload();
    Q_EMIT filter_changed();
}

// The preset object is built under the model's lock and stored after it is released: the store's
// lock is never taken inside a model's.
bool Model::save()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (read_only || refuses_preset_name(description, "saved"))
        return false;

    QJsonObject object{
        {QStringLiteral("background"),
         QJsonObject{{QStringLiteral("color"),
                      QJsonArray{background_color[0], background_color[1], background_color[2]}}}},
        {QStringLiteral("group"), to_json(category)},
        {QStringLiteral("blend_mode"), int(static_cast<std::uint16_t>(blend_mode))},
        {QStringLiteral("read_only"), read_only},
        {QStringLiteral("shade"), shade},
        {QStringLiteral("opacity"), to_json(opacity_table)},
        {QStringLiteral("clut"), to_json(clut)},
        {QStringLiteral("ambient"), ambient},
        {QStringLiteral("diffuse"), diffuse},
        {QStringLiteral("specular"), specular},
        {QStringLiteral("specular_power"), specular_power},
        {QStringLiteral("description"), to_json(description)},
        {QStringLiteral("filters"),
         QJsonObject{{QStringLiteral("convolution"), QJsonArray{to_json(convolution_filter)}}}},
        {QStringLiteral("window"), QJsonArray{double(window_width), double(window_level)}},
    };
    // Generated points are not stored: loading computes them again from "opacity" and "clut".
    if (custom_opacity)
        object.insert(QStringLiteral("points"), to_json(points));
    const std::string name = description;
    lock.unlock();

    if (!store(user_preset_path + name, object))
        return false;
    store(last_preset_path, QJsonObject{{QStringLiteral("key"), to_json(name)}});
    return true;
}

} // namespace korvel::transferfunction
