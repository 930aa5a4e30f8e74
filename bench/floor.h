#pragma once

// The physical floor of the window paths: the same 256 points computed, or the same points
// spread, into a preallocated array by plain loops, without a lock, a signal, an allocation or
// Qt. The model's set_window is measured against these.

#include <cstddef>

namespace korvel::bench::floor {

// The layout of korvel::transferfunction::point::Point.
struct Point
{
    double x;
    double y;
    double r;
    double g;
    double b;
    double midpoint;
    double sharpness;
};

enum class Curve { linear, logarithmic, logarithmic_inverse, smooth };
enum class Colours { grey, endoscopy };

constexpr std::size_t table_size = 256;

// The points that a model without points of its own holds for this window, colour table and
// opacity curve.
void generate(Curve curve, Colours colours, float width, float level, Point *points);

// Moves n points of a model's own onto the new window. Neighbours that the move brings closer
// than 10 are laid out anew, on a path that allocates and that the benchmark's drag never takes.
void spread(Point *points, std::size_t n, float width, float level);

} // namespace korvel::bench::floor
