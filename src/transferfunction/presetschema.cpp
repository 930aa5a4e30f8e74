#include "transferfunction/presetschema.h"

#include "application/configuration.h"

#include <QLatin1String>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace korvel::transferfunction::schema {

namespace {

using Kind = Problem::Kind;

const char range_violation[] = "range violation";

QString key(const char *name)
{
    return QLatin1String(name);
}

bool is_finite(const point::Point &point)
{
    for (const PointMember &member : point_members)
        if (!std::isfinite(point.*member.field))
            return false;
    return true;
}

// Reads the members of a preset object one after another; a missing member leaves the cleared
// value in place and is recorded, and reading goes on.
class Reader
{
public:
    Reader(const QJsonObject &object, Reading reading)
        : object(object)
        , reading(reading)
    { }

    // Hands the member to read when it is there.
    template<typename Read> void member(const char *name, Read read)
    {
        if (stopped)
            return;
        if (object.contains(QLatin1String(name)))
            read(object.value(QLatin1String(name)));
        else
            missing(key(name));
    }

    // A missing outer member is recorded once, not a second time for the member inside it.
    template<typename Read> void nested(const char *outer, const char *inner, Read read)
    {
        member(outer, [&](const QJsonValue &value) {
            expect(value.isObject(), "an object", outer);
            const QJsonObject inside = value.toObject();
            if (inside.contains(QLatin1String(inner)))
                read(inside.value(QLatin1String(inner)));
            else
                missing(key(outer) + QLatin1Char('/') + key(inner));
        });
    }

    // Records a member (inner inside outer, when given) of another type than the format's; only
    // when every member is read, so that the model pays nothing for it.
    void expect(bool holds, const char *expected, const char *outer, const char *inner = nullptr)
    {
        if (holds || reading != Reading::every_member)
            return;
        QString name = key(outer);
        if (inner)
            name += QLatin1Char('/') + key(inner);
        add({Kind::wrong_type, name, 0.0, 0.0, 0, 0.0f, 0.0f, QLatin1String(expected)});
    }

    bool every_member() const { return reading == Reading::every_member; }

    void string(const char *name, std::string &field)
    {
        member(name, [&](const QJsonValue &value) {
            expect(value.isString(), "a string", name);
            field = value.toString().toStdString();
        });
    }

    void boolean(const char *name, bool &field)
    {
        member(name, [&](const QJsonValue &value) {
            expect(value.isBool(), "true or false", name);
            field = value.toBool(false);
        });
    }

    void coefficient(const char *name, double highest, double &field)
    {
        member(name, [&](const QJsonValue &json) {
            expect(json.isDouble(), "a number", name);
            const double value = json.toDouble(0);
            if (!(value < 0.0 || value > highest)) {
                field = value;
                return;
            }
            add({Kind::range_violation, key(name), value, highest});
            stopped = reading == Reading::as_the_model;
        });
    }

    void add(Problem problem) { problems.push_back(std::move(problem)); }

    std::vector<Problem> problems;

private:
    void missing(const QString &name) { add({Kind::missing_member, name}); }

    const QJsonObject &object;
    const Reading reading;
    bool stopped = false;
};

// Every element an object of seven numbers; the reader takes anything else as 0.
void expect_points(const QJsonValue &value, Reader &reader)
{
    reader.expect(value.isArray(), "an array of point objects", member::points);
    const QJsonArray array = value.toArray();
    for (int i = 0; i < array.size(); ++i) {
        const QString at = key(member::points) + QLatin1Char('/') + QString::number(i);
        const QJsonObject point = array.at(i).toObject();
        if (!array.at(i).isObject()) {
            reader.add({Kind::wrong_type, at, 0.0, 0.0, std::size_t(i), 0.0f, 0.0f,
                        QStringLiteral("a point object")});
            continue;
        }
        for (const PointMember &member : point_members)
            if (!point.value(QLatin1String(member.key)).isDouble())
                reader.add({Kind::wrong_type, at + QLatin1Char('/') + key(member.key), 0.0, 0.0,
                            std::size_t(i), 0.0f, 0.0f, QStringLiteral("a number")});
    }
}

// Each point goes in front of those with the same x, so equal positions end in reverse order.
// Sorting the reversed array stably gives that order in O(n log n), also for huge arrays. A point
// that is not finite (an object built in memory; JSON text holds none) is left out.
void read_points(const QJsonArray &array, Reader &reader, std::vector<point::Point> &points)
{
    points.reserve(std::size_t(array.size()));
    for (auto element = array.end(); element != array.begin();) {
        const point::Point point = decode_point(*--element);
        if (is_finite(point))
            points.push_back(point);
        else
            reader.add(
                {Kind::non_finite_point, {}, 0.0, 0.0, std::size_t(element - array.begin())});
    }
    std::stable_sort(points.begin(), points.end(),
                     [](const point::Point &a, const point::Point &b) { return a.x < b.x; });
}

// Beyond the range of a float the window keeps its cleared value.
void read_window(const QJsonValue &value, Reader &reader, Preset &preset)
{
    const QJsonArray window = value.toArray();
    reader.expect(window.size() == 2 && window.at(0).isDouble() && window.at(1).isDouble(),
                  "two numbers", member::window);
    const float width = float(window.at(0).toDouble(0));
    const float level = float(window.at(1).toDouble(0));
    if (std::isfinite(width) && std::isfinite(level)) {
        preset.window_width = width;
        preset.window_level = level;
    } else {
        reader.add({Kind::non_finite_window, key(member::window), 0.0, 0.0, 0, width, level});
    }
}

// Points that share an x are written in reverse, because reading reverses them again: a saved
// preset reads back with its points in the same order, and a sharp colour edge keeps its side.
QJsonArray encode_points(const std::vector<point::Point> &points)
{
    QJsonArray array;
    for (auto run = points.begin(); run != points.end();) {
        // Searched from the next point, so that every run holds at least one point.
        const auto end = std::find_if(std::next(run), points.end(),
                                      [x = run->x](const point::Point &p) { return p.x != x; });
        for (auto point = end; point != run;)
            array.append(encode_point(*--point));
        run = end;
    }
    return array;
}

QJsonValue encode_text(const std::string &text)
{
    return QString::fromStdString(text);
}

QJsonObject folder_of(const QJsonObject &document, const char *folder)
{
    QJsonObject inner = document;
    for (const QString &name : key(folder).split(QLatin1Char('/')))
        inner = inner.value(name).toObject();
    return inner;
}

void collect(const QJsonObject &folder, const QString &prefix, QMap<QString, QJsonValue> &found)
{
    for (auto member = folder.begin(); member != folder.end(); ++member) {
        const QJsonObject object = member.value().toObject();
        const bool nested =
            member.value().isObject() && !object.isEmpty() && !is_preset_object(object);
        if (nested)
            collect(object, prefix + member.key() + QLatin1Char('/'), found);
        else
            found.insert(prefix + member.key(), member.value());
    }
}

// A value the reader keeps as it is: a whole number within the 16 bits of a blend mode.
bool is_blend_mode(const QJsonValue &value)
{
    const double mode = value.toDouble(-1.0);
    return value.isDouble() && mode >= 0.0
        && mode <= double(std::numeric_limits<std::uint16_t>::max()) && std::floor(mode) == mode;
}

std::string root_of(Document document)
{
    return document == Document::user ? "user/" : "global/";
}

} // namespace

QString text(const Problem &problem)
{
    switch (problem.kind) {
    case Kind::missing_member:
        return QStringLiteral("incomplete file");
    case Kind::range_violation:
        return QLatin1String(range_violation);
    case Kind::non_finite_point:
        return QString::asprintf("non-finite point ignored: point %zu", problem.index);
    case Kind::non_finite_window:
        return QString::asprintf("non-finite window ignored: %g, %g", double(problem.width),
                                 double(problem.level));
    case Kind::clut_not_found:
        return QStringLiteral("clut preset not found");
    case Kind::unsupported_table_size:
        return QStringLiteral("unsuported table size");
    case Kind::wrong_type:
        return QStringLiteral("not ") + problem.expected;
    }
    return {};
}

void report(const Problem &problem)
{
    if (problem.kind == Kind::range_violation)
        throw std::out_of_range(range_violation);
    qWarning("%s", qUtf8Printable(text(problem)));
}

void check_range(double value, double highest)
{
    if (value < 0.0 || value > highest)
        report({Kind::range_violation, {}, value, highest});
}

bool is_finite_point(const point::Point &point, std::size_t index)
{
    if (is_finite(point))
        return true;
    report({Kind::non_finite_point, {}, 0.0, 0.0, index});
    return false;
}

bool is_finite_window(float width, float level)
{
    if (std::isfinite(width) && std::isfinite(level))
        return true;
    report({Kind::non_finite_window, {}, 0.0, 0.0, 0, width, level});
    return false;
}

// In the order the model has always read the members, which decides what a range violation
// leaves behind.
Decoded decode(const QJsonObject &object, Reading reading)
{
    Preset preset;
    Reader read(object, reading);
    const auto points = object.constFind(QLatin1String(member::points));
    if (points != object.constEnd()) {
        if (read.every_member())
            expect_points(*points, read);
        read_points(points->toArray(), read, preset.points);
        preset.custom_opacity = !preset.points.empty();
    }
    read.nested(member::background, member::color, [&](const QJsonValue &color) {
        const QJsonArray components = color.toArray();
        read.expect(components.size() == 3
                        && std::all_of(components.begin(), components.end(),
                                       [](const QJsonValue &c) { return c.isDouble(); }),
                    "three numbers", member::background, member::color);
        for (int i = 0; i < 3; ++i)
            preset.background_color[std::size_t(i)] = components.at(i).toDouble(0);
    });
    read.member(member::blend_mode, [&](const QJsonValue &value) {
        read.expect(is_blend_mode(value), "a whole number from 0 to 65535", member::blend_mode);
        preset.blend_mode = BlendMode(static_cast<std::uint16_t>(value.toInt(0)));
    });
    read.string(member::group, preset.category);
    read.boolean(member::shade, preset.shade);
    read.coefficient(member::ambient, highest_coefficient, preset.ambient);
    read.coefficient(member::diffuse, highest_coefficient, preset.diffuse);
    read.coefficient(member::specular, highest_coefficient, preset.specular);
    read.coefficient(member::specular_power, highest_specular_power, preset.specular_power);
    read.string(member::description, preset.description);
    read.member(member::window, [&](const QJsonValue &value) { read_window(value, read, preset); });
    read.boolean(member::read_only, preset.read_only);
    read.string(member::opacity, preset.opacity_table);
    read.string(member::clut, preset.clut);
    read.nested(member::filters, member::convolution, [&](const QJsonValue &value) {
        const QJsonArray filters = value.toArray();
        read.expect(value.isArray() && (filters.isEmpty() || filters.at(0).isString()),
                    "an array of names", member::filters, member::convolution);
        if (!filters.isEmpty())
            preset.convolution_filter = filters.at(0).toString().toStdString();
    });
    return {std::move(preset), std::move(read.problems)};
}

QJsonObject encode(const Preset &preset)
{
    const auto &colour = preset.background_color;
    QJsonObject object{
        {key(member::background),
         QJsonObject{{key(member::color), QJsonArray{colour[0], colour[1], colour[2]}}}},
        {key(member::group), encode_text(preset.category)},
        {key(member::blend_mode), int(static_cast<std::uint16_t>(preset.blend_mode))},
        {key(member::read_only), preset.read_only},
        {key(member::shade), preset.shade},
        {key(member::opacity), encode_text(preset.opacity_table)},
        {key(member::clut), encode_text(preset.clut)},
        {key(member::ambient), preset.ambient},
        {key(member::diffuse), preset.diffuse},
        {key(member::specular), preset.specular},
        {key(member::specular_power), preset.specular_power},
        {key(member::description), encode_text(preset.description)},
        {key(member::filters),
         QJsonObject{
             {key(member::convolution), QJsonArray{encode_text(preset.convolution_filter)}}}},
        {key(member::window), QJsonArray{double(preset.window_width), double(preset.window_level)}},
    };
    // Generated points are not stored: loading computes them again from "opacity" and "clut".
    if (preset.custom_opacity)
        object.insert(key(member::points), encode_points(preset.points));
    return object;
}

point::Point decode_point(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    point::Point point;
    for (const PointMember &member : point_members)
        point.*member.field = object.value(QLatin1String(member.key)).toDouble(0);
    return point;
}

QJsonObject encode_point(const point::Point &point)
{
    QJsonObject object;
    for (const PointMember &member : point_members)
        object.insert(key(member.key), point.*member.field);
    return object;
}

Preset preset_of(const Model &model)
{
    const auto [width, level] = model.window_width_level();
    return {model.get_points(),
            model.is_custom_opacity(),
            model.get_background_color(),
            model.get_blend_mode(),
            model.get_category(),
            model.is_shade(),
            model.get_ambient(),
            model.get_diffuse(),
            model.get_specular(),
            model.get_specular_power(),
            model.get_description(),
            width,
            level,
            model.is_read_only(),
            model.get_opacity_table(),
            model.get_clut(),
            model.get_convolution_filter()};
}

bool is_preset_object(const QJsonObject &object)
{
    for (const char *name : {member::points, member::background, member::blend_mode, member::group,
                             member::shade, member::ambient, member::diffuse, member::specular,
                             member::specular_power, member::description, member::window,
                             member::read_only, member::opacity, member::clut, member::filters})
        if (object.contains(QLatin1String(name)))
            return true;
    return false;
}

bool is_built_in_clut(const std::string &clut)
{
    return clut == grey_clut || clut == endoscopy_clut;
}

std::vector<double> to_color_vector(const QJsonArray &array)
{
    constexpr double one_255 = 1.0 / 255.0;
    std::vector<double> channel;
    channel.reserve(static_cast<std::size_t>(array.size()));
    for (const QJsonValue &entry : array)
        channel.push_back(entry.toDouble(0.0) * one_255);
    return channel;
}

std::vector<Problem> table_problems(const QJsonObject &table)
{
    if (table.isEmpty())
        return {{Kind::clut_not_found, {}}};
    std::vector<Problem> problems;
    for (const char *channel : channels) {
        const QJsonValue entries = table.value(QLatin1String(channel));
        const double size = entries.isUndefined() ? -1.0 : double(entries.toArray().size());
        if (size != double(table_size))
            problems.push_back({Kind::unsupported_table_size, key(channel), size});
    }
    return problems;
}

std::string presets_path(Document document)
{
    return root_of(document) + presets_folder;
}

std::string preset_path(Document document, const std::string &name)
{
    return presets_path(document) + '/' + name;
}

std::string colour_tables_path(Document document)
{
    return root_of(document) + colour_tables_folder;
}

std::string colour_table_path(Document document, const std::string &name)
{
    return colour_tables_path(document) + '/' + name;
}

// A user's table shadows the shipped one as their presets do: whatever they stored under the
// name is theirs, usable or not.
QJsonObject read_stored_clut(const std::string &clut)
{
    {
        const application::impl::Configuration user =
            application::preset(colour_table_path(Document::user, clut));
        if (user)
            return user.get().toObject();
    }
    return application::preset(colour_table_path(Document::shipped, clut)).get().toObject();
}

QJsonObject last_preset_record(const std::string &name)
{
    return QJsonObject{{QStringLiteral("key"), QString::fromStdString(name)}};
}

std::string recorded_name(const QJsonValue &record)
{
    return record.toObject().value(QLatin1String("key")).toString().toStdString();
}

bool is_nested_name(const std::string &name)
{
    return name.find('/') != std::string::npos;
}

bool refuses_preset_name(const std::string &name, const char *action)
{
    if (!is_nested_name(name))
        return false;
    qWarning("preset name contains \"/\", not %s: %s", action, name.c_str());
    return true;
}

// A missing standard preset gives an empty object, as any missing path does.
Found find_preset(const std::string &name)
{
    using application::preset;
    const std::string standard_path = preset_path(Document::shipped, standard_name);
    const auto standard = [&standard_path] {
        const application::impl::Configuration handle = preset(standard_path);
        return Found{handle.get(), handle ? standard_path : std::string(), true};
    };
    if (is_nested_name(name))
        return standard();
    const std::string user_path = preset_path(Document::user, name);
    const application::impl::Configuration user = preset(user_path);
    if (user)
        return {user.get(), user_path, false};
    const std::string shipped_path = preset_path(Document::shipped, name);
    const application::impl::Configuration shipped = preset(shipped_path);
    if (shipped)
        return {shipped.get(), shipped_path, false};
    return standard();
}

QJsonObject presets_of(const QJsonObject &document)
{
    return folder_of(document, presets_folder);
}

QJsonObject colour_tables_of(const QJsonObject &document)
{
    return folder_of(document, colour_tables_folder);
}

QJsonObject with_colour_tables(QJsonObject document, const QJsonObject &tables)
{
    const QStringList path = key(colour_tables_folder).split(QLatin1Char('/'));
    QJsonObject rendering = document.value(path.at(0)).toObject();
    rendering.insert(path.at(1), QJsonObject{{path.at(2), tables}});
    document.insert(path.at(0), rendering);
    return document;
}

QJsonObject document_with_preset(const QString &name, const QJsonObject &preset)
{
    QJsonValue inner = preset;
    const QStringList keys =
        key(presets_folder).split(QLatin1Char('/')) + name.split(QLatin1Char('/'));
    for (auto segment = keys.crbegin(); segment != keys.crend(); ++segment)
        inner = QJsonObject{{*segment, inner}};
    return inner.toObject();
}

QMap<QString, QJsonValue> presets_by_name(const QJsonObject &folder)
{
    QMap<QString, QJsonValue> found;
    collect(folder, QString(), found);
    return found;
}

} // namespace korvel::transferfunction::schema
