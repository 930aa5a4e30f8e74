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

QFont font_of(int pixels, bool bold = false)
{
    QFont font;
    font.setPixelSize(std::max(pixels, 6));
    font.setBold(bold);
    return font;
}

// The pixels of an area filled a column at a time, each column from the transfer function's
// sample at its middle: one painted rectangle per column would cost many times more.
template<typename Pixel>
void draw_columns(QPainter &painter, const QRect &area, const Axis &axis,
                  const PresetPicture &picture, Pixel pixel)
{
    QImage image(area.size(), QImage::Format_RGB32);
    uchar *const bits = image.bits();
    const qsizetype line = image.bytesPerLine();
    for (int x = 0; x < area.width(); ++x) {
        const Sample s = sample(picture.points, axis.value_at(area.left() + x + 0.5));
        for (int y = 0; y < area.height(); ++y)
            reinterpret_cast<QRgb *>(bits + y * line)[x] = pixel(s, x, y);
    }
    painter.drawImage(area.topLeft(), image);
}

QRgb rgb_of(const Sample &s)
{
    const auto channel = [](double v) {
        return qRound(std::clamp(v, 0.0, 1.0) * 255.0);
    };
    return qRgb(channel(s.r), channel(s.g), channel(s.b));
}

// Colour over a checkerboard, each column as opaque as the transfer function is there.
void draw_opacity_band(QPainter &painter, const QRect &area, const Axis &axis,
                       const PresetPicture &picture, int cell)
{
    draw_columns(painter, area, axis, picture, [cell](const Sample &s, int x, int y) {
        const double a = std::clamp(s.a, 0.0, 1.0);
        const QColor under = (x / cell + y / cell) % 2 == 0 ? checker_dark : checker_light;
        const QRgb over = rgb_of(s);
        const auto mix = [a](int top, int bottom) {
            return qRound(top * a + bottom * (1.0 - a));
        };
        return qRgb(mix(qRed(over), under.red()), mix(qGreen(over), under.green()),
                    mix(qBlue(over), under.blue()));
    });
}

void draw_colour_band(QPainter &painter, const QRect &area, const Axis &axis,
                      const PresetPicture &picture)
{
    draw_columns(painter, area, axis, picture, [](const Sample &s, int, int) { return rgb_of(s); });
}

// The opacity curve is straight between the points: a vertex at each point inside the area and
// one at each end is the whole line, however many columns it crosses.
QPolygonF curve_line(const QRect &area, const Axis &axis, const PresetPicture &picture)
{
    const auto vertex = [&](double x) {
        const double a = sample(picture.points, axis.value_at(x)).a;
        return QPointF(x, area.bottom() + 1 - std::clamp(a, 0.0, 1.0) * area.height());
    };
    const double left = area.left() + 0.5;
    const double right = area.right() + 0.5;
    QPolygonF line;
    line << vertex(left);
    for (const Point &point : picture.points) {
        const double x = axis.x_of(point.x);
        if (x > left && x < right)
            line << vertex(x);
    }
    return line << vertex(right);
}

// The opacity curve over grid lines at each quarter, the area under it filled with the colours.
void draw_curve(QPainter &painter, const QRect &area, const Axis &axis,
                const PresetPicture &picture)
{
    const int height = area.height();
    const auto on_grid = [height](int y) {
        for (int quarter = 1; quarter < 4; ++quarter)
            if (y == height - 1 - qRound(height * quarter / 4.0))
                return true;
        return false;
    };
    draw_columns(painter, area, axis, picture, [&](const Sample &s, int, int y) {
        const int top = height - qRound(std::clamp(s.a, 0.0, 1.0) * height);
        if (y >= top)
            return rgb_of(s);
        return on_grid(y) ? grid.rgb() : plot_background.rgb();
    });
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(ink, std::max(1.5, height / 90.0)));
    painter.drawPolyline(curve_line(area, axis, picture));
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

// The name on the left, then the group, and the detail and the window on the right; the name
// and the group give way, shortened, before anything overlaps.
void draw_title(QPainter &painter, const QRect &area, const PresetPicture &picture, int pixels)
{
    const QString right = picture.detail + QStringLiteral("  ·  ") + window_label(picture);
    painter.setFont(font_of(pixels));
    const int right_width = QFontMetrics(painter.font()).horizontalAdvance(right);
    painter.setPen(faint);
    painter.drawText(area, Qt::AlignRight | Qt::AlignVCenter, right);
    const int left_width = std::max(0, area.width() - right_width - pixels);
    painter.setPen(ink);
    painter.setFont(font_of(pixels, true));
    const QString name =
        QFontMetrics(painter.font()).elidedText(picture.name, Qt::ElideRight, left_width);
    const int name_width = QFontMetrics(painter.font()).horizontalAdvance(name);
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, name);
    painter.setFont(font_of(pixels));
    painter.setPen(faint);
    const int group_width = left_width - name_width - pixels;
    painter.drawText(area.adjusted(name_width + pixels, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     QFontMetrics(painter.font())
                         .elidedText(picture.group, Qt::ElideRight, std::max(0, group_width)));
}

// Text kept inside its box, shortened with an ellipsis where it would run out of it.
void draw_label(QPainter &painter, const QRect &box, const QString &text, int flags = Qt::AlignLeft)
{
    painter.drawText(box, flags | Qt::AlignTop,
                     QFontMetrics(painter.font()).elidedText(text, Qt::ElideRight, box.width()));
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

namespace {

constexpr int gallery_header = 34;
constexpr int gallery_row = 76;
constexpr int gallery_footer = 8;

// One row: the labels in their column on the left, the curve with the opacity band under it on
// the right, and the ends of its value axis under the band, so that no text lies on the curve.
void draw_gallery_row(QPainter &painter, const PresetPicture &picture, int top, int width,
                      int label_width)
{
    painter.setPen(grid);
    painter.drawLine(0, top, width, top);
    const int text_width = label_width - 24;
    painter.setPen(ink);
    painter.setFont(font_of(13, true));
    draw_label(painter, QRect(12, top + 6, text_width, 18), picture.name);
    painter.setPen(faint);
    painter.setFont(font_of(10));
    draw_label(painter, QRect(12, top + 26, text_width, 14),
               picture.group + QStringLiteral(" · ") + picture.detail);
    draw_label(painter, QRect(12, top + 41, text_width, 14),
               window_label(picture) + QStringLiteral(" · ") + picture.source);

    const Axis axis = axis_for(picture, label_width, width - 12);
    const QRect plot(axis.x0, top + 6, axis.x1 - axis.x0, 40);
    const QRect band(axis.x0, plot.bottom() + 3, plot.width(), 10);
    draw_curve(painter, plot, axis, picture);
    draw_window(painter, plot.top(), plot.bottom(), axis, picture);
    draw_opacity_band(painter, band, axis, picture, 5);
    painter.setPen(faint);
    painter.setFont(font_of(9));
    const QRect ends(axis.x0, band.bottom() + 2, plot.width(), 12);
    draw_label(painter, ends, number(axis.low));
    draw_label(painter, ends, number(axis.high), Qt::AlignRight);
}

} // namespace

int gallery_height(int rows)
{
    return gallery_header + gallery_row * std::max(1, rows) + gallery_footer;
}

QImage render_gallery(const QVector<PresetPicture> &pictures, const QString &title, int width)
{
    const int label_width = std::min(280, width / 3);
    QImage image(width, gallery_height(int(pictures.size())), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setPen(ink);
    painter.setFont(font_of(15, true));
    draw_label(painter, QRect(12, 8, width - 24, gallery_header - 8), title);
    for (int i = 0; i < pictures.size(); ++i)
        draw_gallery_row(painter, pictures.at(i), gallery_header + i * gallery_row, width,
                         label_width);
    return image;
}

namespace {

constexpr int strip_label = 24;
constexpr int strip_height = 44;
constexpr int strip_gap = 12;

void draw_strip(QImage &image, const QRect &area, const TableStrip &strip)
{
    const std::size_t entries = strip.colours.size();
    for (int x = 0; x < area.width(); ++x) {
        const Point &entry = strip.colours[std::size_t(x) * entries / std::size_t(area.width())];
        const QRgb colour = rgb_of({entry.r, entry.g, entry.b, 1.0});
        for (int y = area.top(); y <= area.bottom(); ++y)
            image.setPixel(area.left() + x, y, colour);
    }
}

} // namespace

QImage render_tables(const QVector<TableStrip> &strips, int width)
{
    const int row = strip_label + strip_height + strip_gap;
    QImage image(width, strip_gap + row * int(strips.size()), QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int i = 0; i < strips.size(); ++i) {
        const int top = strip_gap + i * row;
        const QRect strip(12, top + strip_label, width - 24, strip_height);
        draw_strip(image, strip, strips.at(i));
        QPainter painter(&image);
        painter.setPen(ink);
        painter.setFont(font_of(13, true));
        const QString name = strips.at(i).name;
        draw_label(painter, QRect(12, top + 2, width - 24, strip_label - 4), name);
        painter.setPen(faint);
        painter.setFont(font_of(11));
        draw_label(painter, QRect(12, top + 4, width - 24, strip_label - 4), strips.at(i).source,
                   Qt::AlignRight);
        painter.setPen(frame);
        painter.drawRect(strip.adjusted(0, 0, -1, -1));
    }
    return image;
}

} // namespace kesu::presets
