#include "floor.h"

#include <cmath>

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
    const double centre = first + extent * 0.5;
    const double shift = new_level - centre;
    const double grow = ((new_width * 0.5 - new_level) + first) + shift;
    const double scale = 1.0 / extent + 1.0 / extent;
    // The lower half moves down: i < n/2 compared in float, which is i < (n + 1) / 2 for every
    // n that a float holds exactly.
    const std::size_t half = (n + 1) / 2;
    double previous = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = points[i].x;
        double f = scale * std::fabs(x - centre);
        if (!(f >= 0.0))
            f = 0.0;
        double moved = (x + shift) + f * (i < half ? -grow : grow);
        // The neighbour bounds rarely apply: branches, so that the loop does not wait for them.
        if (__builtin_expect(i > 0 && moved <= previous + neighbour_gap, 0))
            moved = previous + neighbour_gap;
        if (__builtin_expect(i + 1 < n && moved >= points[i + 1].x - neighbour_gap, 0))
            moved = points[i + 1].x - neighbour_gap;
        points[i].x = moved;
        previous = moved;
    }
}

} // namespace korvel::bench::floor
