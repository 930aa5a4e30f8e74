#pragma once

// Colours of three components from 0 to 1, and the colour spaces that colour maps are
// interpolated in: sRGB itself, CIE L*a*b* (D65 white), the Msh space of diverging maps, and HSV.

#include <array>

namespace kesu::presets {

using Rgb = std::array<double, 3>;
using Lab = std::array<double, 3>;

// sRGB with its transfer curve, through CIE XYZ, to L*a*b* relative to D65 white.
Lab lab_of(const Rgb &rgb);
// Back to sRGB, each component clamped to 0..1.
Rgb rgb_of(const Lab &lab);

// The colour at t (0 at a, 1 at b) between two colours, linear in each space.
Rgb mix_rgb(const Rgb &a, const Rgb &b, double t);
Rgb mix_lab(const Rgb &a, const Rgb &b, double t);
// Linear in magnitude, saturation and hue of Msh; two saturated colours of hues more than 60
// degrees apart meet in an unsaturated white, and the hue of an unsaturated end is turned
// towards the saturated one, so that the map diverges through white without a hue jump.
Rgb mix_diverging(const Rgb &a, const Rgb &b, double t);
// Linear in hue, saturation and value, the hue taking the shorter way round; an end without
// saturation takes the other's hue.
Rgb mix_hsv(const Rgb &a, const Rgb &b, double t);

} // namespace kesu::presets
