#include "floor.h"

#include <cmath>
#include <vector>

// Kept in a translation unit of its own, so that the compiler cannot specialise the loops for
// the constant arguments of a benchmark.
namespace korvel::bench::floor {

namespace {

constexpr double one_255 = 1.0 / 255.0;
constexpr float one_255_single = 1.0f / 255.0f;
constexpr double nine_255 = 9.0 / 255.0;
constexpr double neighbour_gap = 10.0;

template<Curve curve> double opacity(std::size_t i)
{
    if constexpr (curve == Curve::logarithmic)
        return std::log10(static_cast<double>(i) * nine_255 + 1.0);
    else if constexpr (curve == Curve::logarithmic_inverse)
        return 1.0 - std::log10(static_cast<double>(table_size - 1 - i) * nine_255 + 1.0);
    else if constexpr (curve == Curve::smooth)
        return 0.05;
    else
        return static_cast<double>(static_cast<float>(i) * one_255_single);
}

template<Curve curve, Colours colours> void generate_with(float width, float level, Point *points)
{
    const double w = static_cast<double>(width);
    const double start = static_cast<double>(level) + (-0.5 * w);
    for (std::size_t i = 0; i < table_size; ++i) {
        const double at = static_cast<double>(i);
        double x = ((at * one_255) * w) + start;
        if constexpr (curve == Curve::smooth)
            x = x + 180.0;
        Point &point = points[i];
        point.x = x;
        point.y = opacity<curve>(i);
        if constexpr (colours == Colours::grey) {
            const double grey = static_cast<double>(static_cast<float>(i) * one_255_single);
            point.r = grey;
            point.g = grey;
            point.b = grey;
        } else {
            point.r = at * 7.843137254901961e-05 + 0.9411764705882353;
            point.g = 0.7333333333333333 - at * 0.001019607843137255;
            point.b = 0.7647058823529411 - at * 0.001019607843137255;
        }
        point.midpoint = 0.5;
        point.sharpness = 0.0;
    }
}

template<Colours colours> void generate_in(Curve curve, float width, float level, Point *points)
{
    switch (curve) {
    case Curve::linear:
        return generate_with<Curve::linear, colours>(width, level, points);
    case Curve::logarithmic:
        return generate_with<Curve::logarithmic, colours>(width, level, points);
    case Curve::logarithmic_inverse:
        return generate_with<Curve::logarithmic_inverse, colours>(width, level, points);
    case Curve::smooth:
        return generate_with<Curve::smooth, colours>(width, level, points);
    }
}

struct Map
{
    double level;
    double centre;
    double scale;
    double operator()(double x) const { return level + (x - centre) * scale; }
};

double gap_between(const Map &map, double x, double next)
{
    return next - x >= neighbour_gap ? neighbour_gap : map(next) - map(x);
}

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

// The only allocation of the floor, on a path that the benchmark's windows never take.
void lay_out(Point *points, std::size_t n, const Map &map)
{
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < n; ++i) {
        Block block{i, map(points[i].x), map(points[i].x), 0.0, 0.0};
        if (i > 0)
            block.before = gap_between(map, points[i - 1].x, points[i].x);
        for (; i + 1 < n && points[i + 1].x - points[i].x >= neighbour_gap
             && map(points[i + 1].x) - map(points[i].x) < neighbour_gap;
             ++i) {
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
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const std::size_t last = b + 1 < blocks.size() ? blocks[b + 1].first - 1 : n - 1;
        double at = blocks[b].start();
        for (std::size_t i = blocks[b].first; i < last; ++i) {
            const double x = points[i].x;
            points[i].x = at;
            at += gap_between(map, x, points[i + 1].x);
        }
        points[last].x = at;
    }
}

void stack(Point *points, std::size_t n, double level)
{
    const double middle = static_cast<double>(n - 1) * 0.5;
    for (std::size_t i = 0; i < n; ++i)
        points[i].x = level + (static_cast<double>(i) - middle) * neighbour_gap;
}

} // namespace

void generate(Curve curve, Colours colours, float width, float level, Point *points)
{
    if (colours == Colours::grey)
        generate_in<Colours::grey>(curve, width, level, points);
    else
        generate_in<Colours::endoscopy>(curve, width, level, points);
}

void spread(Point *points, std::size_t n, float width, float level)
{
    if (n == 0)
        return;
    const double new_width = static_cast<double>(width);
    const double new_level = static_cast<double>(level);
    const double first = points[0].x;
    const double extent = points[n - 1].x - first;
    const Map map{new_level, first + extent * 0.5, new_width / extent};
    if (!(new_width > 0.0) || !std::isfinite(map.scale) || !std::isfinite(map.centre))
        return stack(points, n, new_level);
    double x = first, at = map(first);
    for (std::size_t i = 1; i < n; ++i) {
        const double next = points[i].x, moved = map(next);
        // Neighbours that the move brings too close are rare: a branch, so that the loop does
        // not wait for the comparison.
        if (__builtin_expect(next - x >= neighbour_gap && moved - at < neighbour_gap, 0))
            return lay_out(points, n, map);
        x = next;
        at = moved;
    }
    for (std::size_t i = 0; i < n; ++i)
        points[i].x = map(points[i].x);
}

} // namespace korvel::bench::floor
