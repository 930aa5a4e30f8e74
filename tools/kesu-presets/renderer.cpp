#include "renderer.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace kesu::presets {

namespace {

using korvel::transferfunction::point::Point;

const QColor ink(32, 32, 32);
const QColor faint(120, 120, 120);
const QColor frame(190, 190, 190);
const QColor grid(206, 206, 206);
// Mid-light, so that both black and white fills under the curve stand out.
const QColor plot_background(226, 226, 226);
const QColor window_mark(31, 95, 191);
const QColor checker_dark(204, 204, 204);
const QColor checker_light(255, 255, 255);

// Maps pixel columns to values: column x0's left edge is low, x1's is high.
struct Axis
{
    int x0 = 0;
    int x1 = 1;
    double low = 0.0;
    double high = 1.0;

    double value_at(double x) const { return low + (x - x0) * (high - low) / (x1 - x0); }
    double x_of(double value) const { return x0 + (value - low) * (x1 - x0) / (high - low); }
};

// Centred on the window's level, so that the level is the middle column, wide enough for the
// window and every point, with a margin that shows what lies beyond them.
Axis axis_for(const PresetPicture &picture, int x0, int x1)
{
    const double level = picture.window_level;
    double half = std::abs(picture.window_width) / 2;
    if (!picture.points.empty())
        half = std::max({half, level - picture.points.front().x, picture.points.back().x - level});
    if (!(half > 0.0) || !std::isfinite(half))
        half = 1.0;
    return {x0, x1, level - half * 1.15, level + half * 1.15};
}

QColor colour_of(const Sample &s, bool with_opacity)
{
    const auto channel = [](double v) {
        return qRound(std::clamp(v, 0.0, 1.0) * 255.0);
    };
    return QColor(channel(s.r), channel(s.g), channel(s.b), with_opacity ? channel(s.a) : 255);
}

QFont font_of(int pixels, bool bold = false)
{
    QFont font;
    font.setPixelSize(std::max(pixels, 6));
    font.setBold(bold);
    return font;
}

void draw_checkerboard(QPainter &painter, const QRect &area, int cell)
{
    painter.fillRect(area, checker_light);
    for (int y = area.top(); y <= area.bottom(); y += cell)
        for (int x = area.left(); x <= area.right(); x += cell)
            if (((x - area.left()) / cell + (y - area.top()) / cell) % 2 == 0)
                painter.fillRect(QRect(x, y, cell, cell).intersected(area), checker_dark);
}

// Colour over a checkerboard, each column as opaque as the transfer function is there.
void draw_opacity_band(QPainter &painter, const QRect &area, const Axis &axis,
                       const PresetPicture &picture, int cell)
{
    draw_checkerboard(painter, area, cell);
    for (int x = area.left(); x <= area.right(); ++x)
        painter.fillRect(x, area.top(), 1, area.height(),
                         colour_of(sample(picture.points, axis.value_at(x + 0.5)), true));
}

void draw_colour_band(QPainter &painter, const QRect &area, const Axis &axis,
                      const PresetPicture &picture)
{
    for (int x = area.left(); x <= area.right(); ++x)
        painter.fillRect(x, area.top(), 1, area.height(),
                         colour_of(sample(picture.points, axis.value_at(x + 0.5)), false));
}

// The opacity curve, the area under it filled with the colours.
void draw_curve(QPainter &painter, const QRect &area, const Axis &axis,
                const PresetPicture &picture)
{
    painter.fillRect(area, plot_background);
    painter.setPen(grid);
    for (int quarter = 1; quarter < 4; ++quarter) {
        const int y = area.bottom() - qRound(area.height() * quarter / 4.0);
        painter.drawLine(area.left(), y, area.right(), y);
    }
    QPolygonF curve;
    for (int x = area.left(); x <= area.right(); ++x) {
        const Sample s = sample(picture.points, axis.value_at(x + 0.5));
        const double top = area.bottom() + 1 - std::clamp(s.a, 0.0, 1.0) * area.height();
        painter.fillRect(QRectF(x, top, 1, area.bottom() + 1 - top), colour_of(s, false));
        curve << QPointF(x + 0.5, top);
    }
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(ink, std::max(1.5, area.height() / 90.0)));
    painter.drawPolyline(curve);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(frame);
    painter.drawRect(area.adjusted(0, 0, -1, -1));
}

// Dashed lines at both ends of the window, a dotted one at its level.
void draw_window(QPainter &painter, int top, int bottom, const Axis &axis,
                 const PresetPicture &picture)
{
    const double half = picture.window_width / 2;
    painter.setPen(QPen(window_mark, 1, Qt::DashLine));
    for (double value : {picture.window_level - half, picture.window_level + half}) {
        const int x = int(std::floor(axis.x_of(value)));
        if (x >= axis.x0 && x < axis.x1)
            painter.drawLine(x, top, x, bottom);
    }
    const int level = int(std::floor(axis.x_of(picture.window_level)));
    painter.setPen(QPen(window_mark, 1, Qt::DotLine));
    painter.drawLine(level, top, level, bottom);
}

double nice_step(double span, int most)
{
    const double raw = span / std::max(most, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (factor * power >= raw)
            return factor * power;
    return 10.0 * power;
}

QString number(double value)
{
    return QString::number(std::abs(value) < 1e-9 ? 0.0 : value, 'g', 6);
}

void draw_value_axis(QPainter &painter, int y, const Axis &axis, int font_pixels)
{
    painter.setFont(font_of(font_pixels));
    const QFontMetrics metrics(painter.font());
    const int width_of_label = metrics.horizontalAdvance(number(axis.high)) + metrics.height();
    const int most = std::max(2, (axis.x1 - axis.x0) / std::max(width_of_label, 1));
    const double step = nice_step(axis.high - axis.low, most);
    painter.setPen(ink);
    painter.drawLine(axis.x0, y, axis.x1 - 1, y);
    for (double value = std::ceil(axis.low / step) * step; value <= axis.high; value += step) {
        const int x = int(std::floor(axis.x_of(value)));
        painter.drawLine(x, y, x, y + font_pixels / 3 + 2);
        const QString label = number(value);
        const int w = metrics.horizontalAdvance(label);
        painter.drawText(x - w / 2, y + font_pixels / 3 + 2 + metrics.ascent(), label);
    }
}

QString window_label(const PresetPicture &picture)
{
    return QStringLiteral("window %1 / level %2")
        .arg(number(picture.window_width), number(picture.window_level));
}

void draw_title(QPainter &painter, const QRect &area, const PresetPicture &picture, int pixels)
{
    painter.setPen(ink);
    painter.setFont(font_of(pixels, true));
    const int name_width = QFontMetrics(painter.font()).horizontalAdvance(picture.name);
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, picture.name);
    painter.setFont(font_of(pixels));
    painter.setPen(faint);
    painter.drawText(area.adjusted(name_width + pixels, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     picture.group);
    painter.drawText(area, Qt::AlignRight | Qt::AlignVCenter,
                     picture.detail + QStringLiteral("  ·  ") + window_label(picture));
}

QString layout_text(int a, int b)
{
    return QStringLiteral("%1 %2").arg(a).arg(b);
}

} // namespace

PresetPicture PresetPicture::of(const korvel::transferfunction::Model &model, const QString &source)
{
    PresetPicture picture;
    picture.name = QString::fromStdString(model.get_description());
    picture.group = QString::fromStdString(model.get_category());
    picture.detail = model.is_custom_opacity()
        ? QStringLiteral("custom points")
        : QStringLiteral("%1, %2").arg(QString::fromStdString(model.get_opacity_table()),
                                       QString::fromStdString(model.get_clut()));
    picture.source = source;
    picture.points = model.get_points();
    const auto [width, level] = model.window_width_level();
    picture.window_width = width;
    picture.window_level = level;
    return picture;
}

Sample sample(const std::vector<Point> &points, double value)
{
    if (points.empty())
        return {};
    const auto of = [](const Point &p) {
        return Sample{p.r, p.g, p.b, p.y};
    };
    if (!(value > points.front().x))
        return of(points.front());
    if (!(value < points.back().x))
        return of(points.back());
    const auto after = std::upper_bound(points.begin(), points.end(), value,
                                        [](double v, const Point &p) { return v < p.x; });
    const Point &right = *after;
    const Point &left = *(after - 1);
    const double span = right.x - left.x;
    const double t = span > 0.0 ? (value - left.x) / span : 1.0;
    const auto mix = [t](double a, double b) {
        return a + (b - a) * t;
    };
    return {mix(left.r, right.r), mix(left.g, right.g), mix(left.b, right.b), mix(left.y, right.y)};
}

QImage render_preset(const PresetPicture &picture, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    const int font = std::clamp(height / 24, 10, 16);
    const int left = std::max(16, font * 2);
    const Axis axis = axis_for(picture, left, width - std::max(16, font * 2));
    const int axis_height = font * 2 + 6;
    const int colour_height = std::max(6, height * 6 / 100);
    const int opacity_height = std::max(10, height * 9 / 100);
    const int title_bottom = font * 2 + 4;
    const int colour_top = height - axis_height - colour_height;
    const int opacity_top = colour_top - opacity_height;
    const QRect plot(axis.x0, title_bottom, axis.x1 - axis.x0, opacity_top - 3 - title_bottom);

    QPainter painter(&image);
    draw_title(painter, QRect(axis.x0, 2, axis.x1 - axis.x0, title_bottom - 4), picture, font);
    draw_curve(painter, plot, axis, picture);
    if (picture.points.empty()) {
        painter.setPen(faint);
        painter.drawText(plot, Qt::AlignCenter, QStringLiteral("no points"));
    }
    const QRect opacity_band(axis.x0, opacity_top, axis.x1 - axis.x0, opacity_height);
    const QRect colour_band(axis.x0, colour_top, axis.x1 - axis.x0, colour_height);
    draw_opacity_band(painter, opacity_band, axis, picture, std::max(4, opacity_height / 2));
    draw_colour_band(painter, colour_band, axis, picture);
    draw_window(painter, plot.top(), plot.bottom(), axis, picture);
    painter.setPen(faint);
    painter.setFont(font_of(font * 4 / 5));
    painter.drawText(QRect(0, plot.top(), axis.x0 - 3, font), Qt::AlignRight | Qt::AlignTop,
                     QStringLiteral("1"));
    painter.drawText(QRect(0, plot.bottom() - font, axis.x0 - 3, font + 1),
                     Qt::AlignRight | Qt::AlignBottom, QStringLiteral("0"));
    draw_value_axis(painter, colour_band.bottom() + 2, axis, font * 4 / 5 + 1);
    painter.end();

    image.setText(QStringLiteral("Title"), picture.name);
    image.setText(QStringLiteral("value-axis"),
                  QStringLiteral("%1 %2 %3 %4")
                      .arg(axis.x0)
                      .arg(axis.x1)
                      .arg(axis.low, 0, 'g', 17)
                      .arg(axis.high, 0, 'g', 17));
    image.setText(QStringLiteral("opacity-band"),
                  layout_text(opacity_band.top(), opacity_band.bottom() + 1));
    image.setText(QStringLiteral("colour-band"),
                  layout_text(colour_band.top(), colour_band.bottom() + 1));
    return image;
}

QImage render_gallery(const QVector<PresetPicture> &pictures, const QString &title, int width)
{
    const int header = 34;
    const int row = 62;
    const int label_width = std::min(260, width / 3);
    QImage image(width, header + row * std::max(1, int(pictures.size())) + 8, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setPen(ink);
    painter.setFont(font_of(15, true));
    painter.drawText(QRect(12, 0, width - 24, header), Qt::AlignLeft | Qt::AlignVCenter, title);

    for (int i = 0; i < pictures.size(); ++i) {
        const PresetPicture &picture = pictures.at(i);
        const int top = header + i * row;
        painter.setPen(grid);
        painter.drawLine(0, top, width, top);
        painter.setPen(ink);
        painter.setFont(font_of(13, true));
        painter.drawText(QRect(12, top + 6, label_width - 16, 18), Qt::AlignLeft, picture.name);
        painter.setPen(faint);
        painter.setFont(font_of(10));
        painter.drawText(QRect(12, top + 25, label_width - 16, 14), Qt::AlignLeft,
                         picture.group + QStringLiteral(" · ") + picture.detail);
        painter.drawText(QRect(12, top + 39, label_width - 16, 14), Qt::AlignLeft,
                         window_label(picture) + QStringLiteral(" · ") + picture.source);

        const Axis axis = axis_for(picture, label_width, width - 12);
        const QRect plot(axis.x0, top + 5, axis.x1 - axis.x0, row - 26);
        const QRect band(axis.x0, plot.bottom() + 3, plot.width(), 12);
        draw_curve(painter, plot, axis, picture);
        draw_window(painter, plot.top(), plot.bottom(), axis, picture);
        draw_opacity_band(painter, band, axis, picture, 4);
        painter.setPen(faint);
        painter.setFont(font_of(9));
        painter.drawText(QRect(axis.x0 + 3, plot.top() + 1, plot.width() - 6, 12),
                         Qt::AlignLeft | Qt::AlignTop, number(axis.low));
        painter.drawText(QRect(axis.x0 + 3, plot.top() + 1, plot.width() - 6, 12),
                         Qt::AlignRight | Qt::AlignTop, number(axis.high));
    }
    return image;
}

} // namespace kesu::presets
