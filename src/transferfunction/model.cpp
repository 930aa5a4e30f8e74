#include "transferfunction/model.h"
#include "transferfunction/model_p.h"
#include "transferfunction/presetschema.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace korvel::transferfunction {

namespace {

using schema::check_range;

// Every field is read and written under the model's lock, so that no reader sees half a value.
template<typename Field> Field read(std::mutex &mutex, const Field &field)
{
    std::lock_guard<std::mutex> lock(mutex);
    return field;
}

template<typename Field, typename Value> void assign(std::mutex &mutex, Field &field, Value &&value)
{
    std::lock_guard<std::mutex> lock(mutex);
    field = std::forward<Value>(value);
}

} // namespace

Model::Model(QObject *parent)
    : QObject(parent)
    , change_timer(new QTimer(this))
    , d(std::make_unique<ModelPrivate>())
{
    // Made before the move, so that it moves with its timer.
    d->change_restart = new application::impl::TimerRestart(change_timer);
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
    // Restarted at once in the model's thread, and through one queued call for a burst of
    // changes made in another thread: a drag costs no event per change.
    connect(
        this, &Model::internal_changed, this, [this] { d->change_restart->request(); },
        Qt::DirectConnection);
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
    return read(mutex, points);
}

namespace {

// The window that set_points derives from the first and the last x.
std::pair<float, float> window_of(const std::vector<point::Point> &points)
{
    if (points.empty())
        return {0.0f, 0.0f};
    const float width = static_cast<float>(points.back().x - points.front().x);
    return {width, static_cast<float>(static_cast<double>(width) * 0.5 + points.front().x)};
}

} // namespace

// Refused points leave the argument as it was.
void Model::set_points(std::vector<Point> &&new_points)
{
    for (std::size_t i = 0; i < new_points.size(); ++i)
        if (!schema::is_finite_point(new_points[i], i))
            return;
    const auto [width, level] = window_of(new_points);
    if (!schema::is_finite_window(width, level))
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        points = std::move(new_points);
        window_width = width;
        window_level = level;
    }
    new_points.clear();
    Q_EMIT window_changed();
    Q_EMIT internal_changed(true);
}

BlendMode Model::get_blend_mode() const
{
    return read(mutex, blend_mode);
}

void Model::set_blend_mode(BlendMode mode)
{
    assign(mutex, blend_mode, mode);
}

bool Model::is_shade() const
{
    return read(mutex, shade);
}

void Model::set_shade(bool value)
{
    assign(mutex, shade, value);
    Q_EMIT shade_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_ambient() const
{
    return read(mutex, ambient);
}

void Model::set_ambient(double value)
{
    check_range(value, schema::highest_coefficient);
    assign(mutex, ambient, value);
    Q_EMIT ambient_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_diffuse() const
{
    return read(mutex, diffuse);
}

void Model::set_diffuse(double value)
{
    check_range(value, schema::highest_coefficient);
    assign(mutex, diffuse, value);
    Q_EMIT diffuse_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_specular() const
{
    return read(mutex, specular);
}

void Model::set_specular(double value)
{
    check_range(value, schema::highest_coefficient);
    assign(mutex, specular, value);
    Q_EMIT specular_changed();
    Q_EMIT internal_changed(true);
}

double Model::get_specular_power() const
{
    return read(mutex, specular_power);
}

void Model::set_specular_power(double value)
{
    check_range(value, schema::highest_specular_power);
    assign(mutex, specular_power, value);
    Q_EMIT specular_power_changed();
    Q_EMIT internal_changed(true);
}

// The histogram describes the volume, not the preset: it does not mark the model as modified.
void Model::set_historgram(std::vector<float> &&values, HistogramRage &&range)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        histogram = std::move(values);
        histogram_range = range;
    }
    values.clear();
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
    return read(mutex, histogram_bins);
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
    assign(mutex, background_color, color);
    Q_EMIT background_color_changed();
    Q_EMIT internal_changed(true);
}

std::array<double, 3> Model::get_background_color() const
{
    return read(mutex, background_color);
}

std::string Model::get_description() const
{
    return read(mutex, description);
}

// A preset given a name of its own is the user's, whatever it was loaded from.
void Model::set_description(std::string &&value)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        description = std::move(value);
        read_only = false;
    }
    Q_EMIT internal_changed(true);
}

std::string Model::get_preset_name() const
{
    return read(mutex, description);
}

std::string Model::get_opacity_table() const
{
    return read(mutex, opacity_table);
}

std::string Model::get_clut() const
{
    return read(mutex, clut);
}

bool Model::is_custom_opacity() const
{
    return read(mutex, custom_opacity);
}

bool Model::is_read_only() const
{
    return read(mutex, read_only);
}

bool Model::is_modified() const
{
    return modified.load();
}

std::string Model::get_convolution_filter() const
{
    return read(mutex, convolution_filter);
}

std::string Model::get_category() const
{
    return read(mutex, category);
}

void Model::set_category(const std::string &value)
{
    assign(mutex, category, value);
}

// The points keep their storage, for the 256 that loading a preset usually generates next.
void Model::clear()
{
    {
        const schema::Preset cleared;
        std::lock_guard<std::mutex> lock(mutex);
        points.clear();
        ambient = cleared.ambient;
        diffuse = cleared.diffuse;
        specular = cleared.specular;
        specular_power = cleared.specular_power;
        histogram_bins = schema::cleared_histogram_bins;
        background_color = cleared.background_color;
        blend_mode = cleared.blend_mode;
        shade = cleared.shade;
        description.clear();
        opacity_table.clear();
        clut.clear();
        convolution_filter.clear();
        category.clear();
        window_width = cleared.window_width;
        window_level = cleared.window_level;
        read_only = cleared.read_only;
        custom_opacity = cleared.custom_opacity;
    }
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
