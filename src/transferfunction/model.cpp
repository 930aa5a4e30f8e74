#include "transferfunction/model.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <stdexcept>

namespace korvel::transferfunction {

namespace {

// NaN compares false both ways and so is let through, like the bounds themselves.
void check_range(double value, double high)
{
    if (value < 0.0 || value > high)
        throw std::out_of_range("range violation");
}

} // namespace

Model::Model(QObject *parent)
    : QObject(parent)
    , change_timer(new QTimer(this))
{
    moveToThread(QCoreApplication::instance()->thread());
    change_timer->setInterval(10);

    // Direct, because the flag must be set before the emitting setter returns, in any thread.
    connect(
        this, &Model::internal_changed, this,
        [this](bool reset) {
            if (reset)
                modified.store(true);
        },
        Qt::DirectConnection);
    // The timer lives in the model's thread and may only be touched there.
    connect(
        this, &Model::internal_changed, this,
        [this] {
            change_timer->stop();
            change_timer->start();
        },
        Qt::QueuedConnection);
    connect(
        change_timer, &QTimer::timeout, this,
        [this] {
            change_timer->stop();
            Q_EMIT changed();
        },
        Qt::QueuedConnection);
}

Model::~Model() = default;

std::vector<Model::Point> Model::get_points() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return points;
}

void Model::set_points(std::vector<Point> &&new_points)
{
    std::lock_guard<std::mutex> lock(mutex);
    points = std::move(new_points);
    new_points.clear();
    if (points.empty()) {
        window_width = 0.0f;
        window_level = 0.0f;
    } else {
        window_width = static_cast<float>(points.back().x - points.front().x);
        window_level =
            static_cast<float>(static_cast<double>(window_width) * 0.5 + points.front().x);
    }
    Q_EMIT window_changed();
    Q_EMIT internal_changed(true);
}

BlendMode Model::get_blend_mode() const
{
    return blend_mode;
}

void Model::set_blend_mode(BlendMode mode)
{
    blend_mode = mode;
}

bool Model::is_shade() const
{
    return shade;
}

void Model::set_shade(bool value)
{
    shade = value;
    Q_EMIT shade_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_ambient() const
{
    return ambient;
}

void Model::set_ambient(double value)
{
    check_range(value, 4.0);
    ambient = value;
    Q_EMIT ambient_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_diffuse() const
{
    return diffuse;
}

void Model::set_diffuse(double value)
{
    check_range(value, 4.0);
    diffuse = value;
    Q_EMIT diffuse_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_specular() const
{
    return specular;
}

void Model::set_specular(double value)
{
    check_range(value, 4.0);
    specular = value;
    Q_EMIT specular_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_specular_power() const
{
    return specular_power;
}

void Model::set_specular_power(double value)
{
    check_range(value, 256.0);
    specular_power = value;
    Q_EMIT specular_power_changed();
    Q_EMIT internal_changed(true);
}

// The histogram describes the volume, not the preset: it does not mark the model as modified.
void Model::set_historgram(std::vector<float> &&values, HistogramRage &&range)
{
    histogram = std::move(values);
    values.clear();
    histogram_range = range;
    Q_EMIT histogram_changed();
}

const std::vector<float> &Model::get_histogram() const
{
    return histogram;
}

const HistogramRage &Model::get_histogram_range() const
{
    return histogram_range;
}

std::size_t Model::get_historgram_bins() const
{
    return histogram_bins;
}

std::pair<float, float> Model::window_width_level() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return {window_width, window_level};
}

std::pair<double, double> Model::get_range() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (points.empty())
        return {histogram_range.min, histogram_range.max};
    const double first = points.front().x;
    const double last = points.back().x;
    return {first <= histogram_range.min ? first : histogram_range.min,
            histogram_range.max <= last ? last : histogram_range.max};
}

void Model::set_background_color(const std::array<double, 3> &color)
{
    background_color = color;
    Q_EMIT background_color_changed();
    Q_EMIT internal_changed(true);
}

std::array<double, 3> Model::get_background_color() const
{
    return background_color;
}

std::string Model::get_description() const
{
    return description;
}

// A preset given a name of its own is the user's, whatever it was loaded from.
void Model::set_description(std::string &&value)
{
    description = std::move(value);
    read_only = false;
    Q_EMIT internal_changed(true);
}

std::string Model::get_preset_name() const
{
    return description;
}

std::string Model::get_opacity_table() const
{
    return opacity_table;
}

std::string Model::get_clut() const
{
    return clut;
}

bool Model::is_custom_opacity() const
{
    return custom_opacity;
}

bool Model::is_read_only() const
{
    return read_only;
}

bool Model::is_modified() const
{
    return modified.load();
}

std::string Model::get_convolution_filter() const
{
    return convolution_filter;
}

// Unlocked, so that a receiver of reload() in the model's thread may read it.
std::string Model::get_category() const
{
    return category;
}

void Model::set_category(const std::string &value)
{
    std::lock_guard<std::mutex> lock(mutex);
    category = value;
}

void Model::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    points.clear();
    ambient = 0.15;
    diffuse = 0.3;
    specular = 0.9;
    specular_power = 15.0;
    histogram_bins = 1024;
    background_color = {0.0, 249.0, 255.0};
    blend_mode = BlendMode{0};
    shade = true;
    description.clear();
    opacity_table.clear();
    clut.clear();
    convolution_filter.clear();
    category.clear();
    window_width = 0.0f;
    window_level = 0.0f;
    read_only = false;
    custom_opacity = false;
    Q_EMIT shade_changed();
    Q_EMIT ambient_changed();
    Q_EMIT diffuse_changed();
    Q_EMIT specular_changed();
    Q_EMIT specular_power_changed();
    Q_EMIT window_changed();
    Q_EMIT background_color_changed();
    Q_EMIT internal_changed(true);
}

} // namespace korvel::transferfunction
