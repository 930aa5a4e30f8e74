#include "application/generation.h"
#include "transferfunction/model.h"
#include "transferfunction/model_p.h"
#include "transferfunction/presetschema.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QtGlobal>

#include <cmath>

namespace korvel::transferfunction {

namespace {

using schema::table_size;
constexpr double one_255 = 1.0 / 255.0;
constexpr float one_255_single = 1.0f / 255.0f;
// Points of the model's own that a new window brings closer than this are laid out this far apart.
constexpr double neighbour_gap = 10.0;

using Channel = std::vector<double>;

// The ramp is computed in single precision so that its last entry is exactly 1.0.
double ramp(std::size_t i)
{
    return static_cast<double>(static_cast<float>(i) * one_255_single);
}

// A colour table of exactly 256 entries per channel, built in or read from the store.
struct Colours
{
    const double *red;
    const double *green;
    const double *blue;
};

struct BuiltIn
{
    double red[table_size];
    double green[table_size];
    double blue[table_size];
    Colours colours() const { return {red, green, blue}; }
};

// The built-in tables never change: they are computed once, on first use.
const BuiltIn &grey()
{
    static const BuiltIn table = [] {
        BuiltIn grey;
        for (std::size_t i = 0; i < table_size; ++i)
            grey.red[i] = grey.green[i] = grey.blue[i] = ramp(i);
        return grey;
    }();
    return table;
}

const BuiltIn &endoscopy()
{
    static const BuiltIn table = [] {
        BuiltIn endoscopy;
        // From (240, 187, 195)/255 at the first entry, red rising by 0.02/255 and green and blue
        // falling by 0.26/255 an entry; the constants are those doubles to the last bit.
        constexpr double red_first = 0.9411764705882353;
        constexpr double red_step = 7.843137254901961e-05;
        constexpr double green_first = 0.7333333333333333;
        constexpr double blue_first = 0.7647058823529411;
        constexpr double green_blue_step = 0.001019607843137255;
        for (std::size_t i = 0; i < table_size; ++i) {
            const double at = static_cast<double>(i);
            endoscopy.red[i] = at * red_step + red_first;
            endoscopy.green[i] = green_first - at * green_blue_step;
            endoscopy.blue[i] = blue_first - at * green_blue_step;
        }
        return endoscopy;
    }();
    return table;
}

void fill_stored(const QJsonObject &table, ModelPrivate &d)
{
    Channel *const targets[] = {&d.red, &d.green, &d.blue};
    for (std::size_t i = 0; i < schema::channels.size(); ++i) {
        const QLatin1String key(schema::channels[i]);
        targets[i]->clear();
        if (table.contains(key))
            *targets[i] = schema::to_color_vector(table.value(key).toArray());
    }
}

// The channels of a stored table and what keeps it from use, worked out only when it is not the
// table converted last. A table found again unchanged is the same shared JSON object (any change
// to the stored document gives a new one), which compares equal at once.
void convert(const QJsonObject &table, ModelPrivate &d)
{
    if (d.converted_from.isEmpty() || !(d.converted_from == table)) {
        d.problems = schema::table_problems(table);
        fill_stored(table, d);
    }
    // Kept even when only equal, so that the next look-up finds the same object.
    d.converted_from = table;
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

template<Curve curve> double opacity(std::size_t i)
{
    constexpr double nine_255 = 9.0 / 255.0;
    if constexpr (curve == Curve::logarithmic)
        return std::log10(static_cast<double>(i) * nine_255 + 1.0);
    else if constexpr (curve == Curve::logarithmic_inverse)
        return 1.0 - std::log10(static_cast<double>(table_size - 1 - i) * nine_255 + 1.0);
    else if constexpr (curve == Curve::smooth)
        return 0.05;
    else
        return ramp(i);
}

// One pass over the 256 points, in storage that already has room for them.
template<Curve curve>
void fill_points(float width, float level, const Colours &colours,
                 std::vector<Model::Point> &points)
{
    const double w = static_cast<double>(width);
    const double start = static_cast<double>(level) + (-0.5 * w);
    // Field by field: a Point built aside and copied in costs a store-forwarding stall per point.
    for (std::size_t i = 0; i < table_size; ++i) {
        double x = ((static_cast<double>(i) * one_255) * w) + start;
        // The smooth curve sits 180 data units above the window.
        if constexpr (curve == Curve::smooth)
            x = x + 180.0;
        Model::Point &point = points[i];
        point.x = x;
        point.y = opacity<curve>(i);
        point.r = colours.red[i];
        point.g = colours.green[i];
        point.b = colours.blue[i];
        point.midpoint = 0.5;
        point.sharpness = 0.0;
    }
}

void generate(Curve curve, float width, float level, const Colours &colours,
              std::vector<Model::Point> &points)
{
    if (points.capacity() < table_size) {
        std::vector<Model::Point> room;
        room.reserve(table_size);
        points.swap(room);
    }
    // Every field of every point is written below, so 256 points already held (the common case
    // of a window change) are overwritten in place instead of being cleared and built again.
    points.resize(table_size);
    switch (curve) {
    case Curve::logarithmic:
        return fill_points<Curve::logarithmic>(width, level, colours, points);
    case Curve::logarithmic_inverse:
        return fill_points<Curve::logarithmic_inverse>(width, level, colours, points);
    case Curve::smooth:
        return fill_points<Curve::smooth>(width, level, colours, points);
    case Curve::linear:
        return fill_points<Curve::linear>(width, level, colours, points);
    }
}

// The affine map of the points' old extent onto the new window: a translation moves every point
// by the same amount and a widening scales the gaps.
struct Map
{
    double level;
    double centre;
    double scale;
    double operator()(double x) const { return level + (x - centre) * scale; }
};

// The gap that the layout keeps between two neighbours: at least neighbour_gap, or exactly the
// map's where they were closer than that before the move.
double gap_between(const Map &map, double x, double next)
{
    return next - x >= neighbour_gap ? neighbour_gap : map(next) - map(x);
}

bool squeezed(const Map &map, double x, double next)
{
    return next - x >= neighbour_gap && map(next) - map(x) < neighbour_gap;
}

// Neighbours laid out together, their kept gaps apart, centred between the mapped positions of
// their ends; `before` is the gap kept to the point below the first. A block never lies inside
// the mapped positions of its ends, so a neighbour that keeps the map's gap merges with it as
// soon as it grows.
struct Block
{
    std::size_t first;
    double low;
    double high;
    double length;
    double before;
    double start() const { return (low + high) * 0.5 - length * 0.5; }
    double end() const { return (low + high) * 0.5 + length * 0.5; }
};

// Each run of neighbours that the map squeezed is one block; a block that comes too close to the
// one below merges with it, and the merged block may then reach the one below that.
std::vector<Block> blocks_of(const std::vector<Model::Point> &points, const Map &map)
{
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double x = points[i].x;
        Block block{i, map(x), map(x), 0.0, 0.0};
        if (i > 0)
            block.before = gap_between(map, points[i - 1].x, x);
        for (; i + 1 < points.size() && squeezed(map, points[i].x, points[i + 1].x); ++i) {
            block.high = map(points[i + 1].x);
            block.length += neighbour_gap;
        }
        while (!blocks.empty() && block.start() - blocks.back().end() < block.before) {
            const Block lower = blocks.back();
            blocks.pop_back();
            block = {lower.first, lower.low, block.high, lower.length + block.before + block.length,
                     lower.before};
        }
        blocks.push_back(block);
    }
    return blocks;
}

// Every x is read before it is written: the kept gaps are measured on the old positions.
void lay_out(std::vector<Model::Point> &points, const Map &map)
{
    const std::vector<Block> blocks = blocks_of(points, map);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const std::size_t last =
            b + 1 < blocks.size() ? blocks[b + 1].first - 1 : points.size() - 1;
        double at = blocks[b].start();
        for (std::size_t i = blocks[b].first; i < last; ++i) {
            const double x = points[i].x;
            points[i].x = at;
            at += gap_between(map, x, points[i + 1].x);
        }
        points[last].x = at;
    }
}

// Without an extent to map from, or a window to map onto, the points are stacked on the level.
void stack(std::vector<Model::Point> &points, double level)
{
    const double middle = static_cast<double>(points.size() - 1) * 0.5;
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i].x = level + (static_cast<double>(i) - middle) * neighbour_gap;
}

// Moves points of the model's own onto a new window by the map of their old extent; only where
// the move brings neighbours closer than neighbour_gap are they laid out anew.
void spread(std::vector<Model::Point> &points, double width, double level)
{
    const double first = points.front().x;
    const double extent = points.back().x - first;
    const Map map{level, first + extent * 0.5, width / extent};
    if (!(width > 0.0) || !std::isfinite(map.scale) || !std::isfinite(map.centre))
        return stack(points, level);
    // The test of squeezed() with each point mapped once: most moves squeeze no neighbours and
    // end in the plain map below. Points handed in out of order can lie far outside their
    // extent, where the map overflows: they are stacked too.
    double x = first, at = map(first);
    for (std::size_t i = 1; i < points.size(); ++i) {
        const double next = points[i].x, moved = map(next);
        if (!std::isfinite(moved))
            return stack(points, level);
        if (next - x >= neighbour_gap && moved - at < neighbour_gap)
            return lay_out(points, map);
        x = next;
        at = moved;
    }
    for (Model::Point &point : points)
        point.x = map(point.x);
}

} // namespace

void generate_points(ModelPrivate &d, const std::string &clut, const QJsonObject &stored_table,
                     const std::string &opacity_table, float width, float level,
                     std::vector<Model::Point> &points)
{
    Colours colours;
    if (clut == schema::grey_clut) {
        colours = grey().colours();
    } else if (clut == schema::endoscopy_clut) {
        colours = endoscopy().colours();
    } else {
        convert(stored_table, d);
        // One warning however many channels are at fault.
        if (!d.problems.empty()) {
            schema::report(d.problems.front());
            return;
        }
        colours = {d.red.data(), d.green.data(), d.blue.data()};
    }
    generate(curve_of(opacity_table), width, level, colours, points);
}

namespace {

// Takes the lock with the stored colour table that generation will need in hand: the table is
// read while the lock is not held, and read again when another thread changed the model's table
// name meanwhile. needed() is asked under the lock.
// A table read before is taken again without a handle while the store has not changed since: a
// drag reads the same table hundreds of times a second.
template<typename Needed>
QJsonObject lock_with_table(std::unique_lock<std::mutex> &lock, ModelPrivate &d,
                            const std::string &clut, Needed needed)
{
    lock.lock();
    bool read = false;
    while (needed() && !schema::is_built_in_clut(clut)
           && !(d.table_name == clut
                && (read || d.table_generation == application::impl::store_generation()))) {
        const std::string name = clut;
        lock.unlock();
        const quint64 generation = application::impl::store_generation();
        QJsonObject table = schema::read_stored_clut(name);
        lock.lock();
        d.table_name = name;
        d.table = std::move(table);
        d.table_generation = generation;
        read = true;
    }
    return d.table;
}

} // namespace

// A window that cannot be generated for (no manager to read the colour table from) throws before
// anything has changed.
void Model::set_window(float width, float level)
{
    if (!schema::is_finite_window(width, level))
        return;
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    const auto unchanged = [&] {
        return window_width == width && window_level == level;
    };
    const QJsonObject table =
        lock_with_table(lock, *d, clut, [&] { return !custom_opacity && !unchanged(); });
    if (unchanged())
        return;
    window_width = width;
    window_level = level;
    if (!custom_opacity) {
        generate_points(*d, clut, table, opacity_table, width, level, points);
    } else {
        // Without points of its own to spread, the new window is kept silently.
        if (points.empty())
            return;
        spread(points, static_cast<double>(width), static_cast<double>(level));
    }
    lock.unlock();
    Q_EMIT window_changed();
    Q_EMIT internal_changed(true);
}

void Model::update_opacity_table()
{
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    const QJsonObject table = lock_with_table(lock, *d, clut, [] { return true; });
    generate_points(*d, clut, table, opacity_table, window_width, window_level, points);
}

} // namespace korvel::transferfunction
