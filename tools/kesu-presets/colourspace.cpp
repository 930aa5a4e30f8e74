#include "colourspace.h"

#include <algorithm>
#include <cmath>

namespace kesu::presets {

namespace {

constexpr double pi = 3.14159265358979323846;
// D65 white, the sum of each row of the sRGB to XYZ matrix.
constexpr double white_x = 0.95047;
constexpr double white_y = 1.0;
constexpr double white_z = 1.08883;
// Below this cube the L*a*b* curve is a straight line.
constexpr double delta = 6.0 / 29.0;
// Msh saturations below this count as unsaturated.
constexpr double unsaturated = 0.05;
// The magnitude of the white that two distant hues meet in, at least.
constexpr double white_magnitude = 88.0;

double linear(double c)
{
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double encoded(double l)
{
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
}

double f(double t)
{
    return t > delta * delta * delta ? std::cbrt(t) : t / (3.0 * delta * delta) + 4.0 / 29.0;
}

double f_inverse(double t)
{
    return t > delta ? t * t * t : 3.0 * delta * delta * (t - 4.0 / 29.0);
}

double lerp(double a, double b, double t)
{
    return a + (b - a) * t;
}

struct Msh
{
    double m, s, h;
};

Msh msh_of(const Lab &lab)
{
    const double m = std::sqrt(lab[0] * lab[0] + lab[1] * lab[1] + lab[2] * lab[2]);
    return {m, m > 0.0 ? std::acos(std::clamp(lab[0] / m, -1.0, 1.0)) : 0.0,
            std::atan2(lab[2], lab[1])};
}

Lab lab_of(const Msh &c)
{
    return {c.m * std::cos(c.s), c.m * std::sin(c.s) * std::cos(c.h),
            c.m * std::sin(c.s) * std::sin(c.h)};
}

// The hue of an unsaturated colour of magnitude m beside a saturated one: turned away from the
// saturated hue as far as the magnitudes differ, so that the way between them keeps its hue.
double turned_hue(const Msh &saturated, double m)
{
    if (saturated.m >= m)
        return saturated.h;
    const double spin = saturated.s * std::sqrt(m * m - saturated.m * saturated.m)
        / (saturated.m * std::sin(saturated.s));
    return saturated.h > -pi / 3.0 ? saturated.h + spin : saturated.h - spin;
}

double hue_distance(double a, double b)
{
    const double d = std::fabs(a - b);
    return d > pi ? 2.0 * pi - d : d;
}

Rgb hsv_of(const Rgb &c)
{
    const double high = std::max({c[0], c[1], c[2]});
    const double range = high - std::min({c[0], c[1], c[2]});
    double hue = 0.0;
    if (range > 0.0 && high == c[0])
        hue = std::fmod((c[1] - c[2]) / range + 6.0, 6.0);
    else if (range > 0.0 && high == c[1])
        hue = (c[2] - c[0]) / range + 2.0;
    else if (range > 0.0)
        hue = (c[0] - c[1]) / range + 4.0;
    return {hue / 6.0, high > 0.0 ? range / high : 0.0, high};
}

Rgb rgb_of_hsv(const Rgb &hsv)
{
    const double h = hsv[0] * 6.0;
    const double v = hsv[2];
    const double chroma = v * hsv[1];
    const double x = chroma * (1.0 - std::fabs(std::fmod(h, 2.0) - 1.0));
    const double low = v - chroma;
    const int sector = std::min(int(h), 5);
    const Rgb sectors[] = {{chroma, x, 0}, {x, chroma, 0}, {0, chroma, x},
                           {0, x, chroma}, {x, 0, chroma}, {chroma, 0, x}};
    const Rgb &c = sectors[sector];
    return {c[0] + low, c[1] + low, c[2] + low};
}

} // namespace

Lab lab_of(const Rgb &rgb)
{
    const double r = linear(rgb[0]), g = linear(rgb[1]), b = linear(rgb[2]);
    const double x = 0.4124564 * r + 0.3575761 * g + 0.1804375 * b;
    const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
    const double z = 0.0193339 * r + 0.1191920 * g + 0.9503041 * b;
    const double fy = f(y / white_y);
    return {116.0 * fy - 16.0, 500.0 * (f(x / white_x) - fy), 200.0 * (fy - f(z / white_z))};
}

Rgb rgb_of(const Lab &lab)
{
    const double fy = (lab[0] + 16.0) / 116.0;
    const double x = white_x * f_inverse(fy + lab[1] / 500.0);
    const double y = white_y * f_inverse(fy);
    const double z = white_z * f_inverse(fy - lab[2] / 200.0);
    const auto channel = [](double l) {
        return std::clamp(encoded(l), 0.0, 1.0);
    };
    return {channel(3.2404542 * x - 1.5371385 * y - 0.4985314 * z),
            channel(-0.9692660 * x + 1.8760108 * y + 0.0415560 * z),
            channel(0.0556434 * x - 0.2040259 * y + 1.0572252 * z)};
}

Rgb mix_rgb(const Rgb &a, const Rgb &b, double t)
{
    return {lerp(a[0], b[0], t), lerp(a[1], b[1], t), lerp(a[2], b[2], t)};
}

Rgb mix_lab(const Rgb &a, const Rgb &b, double t)
{
    const Lab from = lab_of(a), to = lab_of(b);
    return rgb_of(Lab{lerp(from[0], to[0], t), lerp(from[1], to[1], t), lerp(from[2], to[2], t)});
}

Rgb mix_diverging(const Rgb &a, const Rgb &b, double t)
{
    Msh from = msh_of(lab_of(a)), to = msh_of(lab_of(b));
    if (from.s > unsaturated && to.s > unsaturated && hue_distance(from.h, to.h) > pi / 3.0) {
        const double middle = std::max({from.m, to.m, white_magnitude});
        if (t < 0.5) {
            to = {middle, 0.0, 0.0};
            t = 2.0 * t;
        } else {
            from = {middle, 0.0, 0.0};
            t = 2.0 * t - 1.0;
        }
    }
    if (from.s < unsaturated && to.s > unsaturated)
        from.h = turned_hue(to, from.m);
    else if (to.s < unsaturated && from.s > unsaturated)
        to.h = turned_hue(from, to.m);
    return rgb_of(lab_of(Msh{lerp(from.m, to.m, t), lerp(from.s, to.s, t), lerp(from.h, to.h, t)}));
}

Rgb mix_hsv(const Rgb &a, const Rgb &b, double t)
{
    Rgb from = hsv_of(a), to = hsv_of(b);
    if (from[1] == 0.0)
        from[0] = to[0];
    if (to[1] == 0.0)
        to[0] = from[0];
    double turn = to[0] - from[0];
    if (turn > 0.5)
        turn -= 1.0;
    else if (turn < -0.5)
        turn += 1.0;
    const double hue = std::fmod(from[0] + turn * t + 1.0, 1.0);
    return rgb_of_hsv({hue, lerp(from[1], to[1], t), lerp(from[2], to[2], t)});
}

} // namespace kesu::presets
