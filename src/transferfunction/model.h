#pragma once

#include <kesupluginmanager_export.h>

#include <QObject>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

QT_BEGIN_NAMESPACE
class QJsonObject;
class QTimer;
QT_END_NAMESPACE

namespace korvel::transferfunction {

class ModelPrivate;

namespace point {

// One control point of a transfer function. midpoint and sharpness are carried for the renderer.
struct Point
{
    double x = 0.0;
    double y = 0.0;
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;
    double midpoint = 0.5;
    double sharpness = 0.0;
};

} // namespace point

// The renderer's blend mode; the library carries the value without giving it a meaning.
enum class BlendMode : std::uint16_t {};

// The value range a histogram covers; aux_min and aux_max are carried for the renderer.
struct HistogramRage
{
    double min = 0.0;
    double max = 4096.0;
    double aux_min = 0.0;
    double aux_max = 1.0;
};

// The in-memory state of one volume-rendering transfer function and its life as a named preset
// in the configuration store. Every edit of the preset emits its own signal and
// internal_changed(true); a burst of edits is announced by one changed() about 10 ms after the
// last. Every operation may be called from any thread, and every signal is emitted after the
// model's lock is released, so a receiver may call back into the model and sees the change.
// Lock order: the store's lock outside, a model's mutex inside; no handle is built while the
// model's mutex is held.
class KESUPLUGINMANAGER_EXPORT Model : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Model)

public:
    using Point = point::Point;

    // Moves itself to the application object's thread, which must exist.
    explicit Model(QObject *parent = nullptr);
    ~Model() override;

    // A new model holding the user's last preset (true) or "Standard" (false); the caller owns it.
    static Model *create(bool last_preset);

    std::vector<Point> get_points() const;
    // Takes the points over and sets the window from the first and last x; the caller supplies
    // them in ascending x, they are not sorted here. Points with a member that is not finite, or
    // whose window overflows a float, are refused with a warning: nothing changes.
    void set_points(std::vector<Point> &&points);

    BlendMode get_blend_mode() const;
    void set_blend_mode(BlendMode mode);
    bool is_shade() const;
    void set_shade(bool shade);
    double get_ambient() const;
    // The four coefficient setters throw std::out_of_range("range violation") outside their range.
    void set_ambient(double value);
    double get_diffuse() const;
    void set_diffuse(double value);
    double get_specular() const;
    void set_specular(double value);
    double get_specular_power() const;
    void set_specular_power(double value);

    void set_historgram(std::vector<float> &&histogram, HistogramRage &&range);
    // References into the model by contract, so read without its lock: the caller keeps
    // set_historgram from running in another thread while it uses them.
    const std::vector<float> &get_histogram() const;
    const HistogramRage &get_histogram_range() const;
    std::size_t get_historgram_bins() const;

    // (width, level).
    std::pair<float, float> window_width_level() const;
    // Regenerates the points for a new window, or spreads the model's own points over it. A
    // window that is not finite is refused with a warning; one that throws (no manager to read
    // the colour table from) leaves the model as it was.
    void set_window(float width, float level);
    // The union of the histogram's range and the points' extent.
    std::pair<double, double> get_range() const;

    void set_background_color(const std::array<double, 3> &color);
    std::array<double, 3> get_background_color() const;

    std::string get_description() const;
    // Also clears read_only: a preset given a name becomes the user's own.
    void set_description(std::string &&description);
    std::string get_preset_name() const;
    std::string get_opacity_table() const;
    std::string get_clut() const;
    bool is_custom_opacity() const;
    bool is_read_only() const;
    // True when the model was edited since a preset object was last read into it.
    bool is_modified() const;
    std::string get_convolution_filter() const;
    std::string get_category() const;
    void set_category(const std::string &category);

    // Puts every preset field into its cleared state; the histogram stays.
    void clear();

    // Replaces the points by 256 computed from the colour table and the opacity kind across the
    // window; emits nothing. A stored colour table is read before the model's mutex is taken.
    void update_opacity_table();

    // Replaces the model's state with a preset object; an empty object is ignored. Throws
    // std::out_of_range("range violation") for a coefficient outside its range.
    void load(QJsonObject const &preset);
    // Stores the model as a user preset under its description and records it as the last preset.
    // Returns false, doing nothing, while the model is read-only or its description contains
    // "/" (warned), since a name with "/" would nest inside another preset.
    bool save();

    // Loads a preset by name: the user's copy, else the shipped one, else "Standard"; records
    // the name as the last preset. A name with "/" finds no preset of its own.
    void load(std::string const &name);
    // Loads the current preset again when the model was edited.
    void reset();
    // Deletes the user's copy of the current preset and loads "Standard". False when read-only,
    // and when the description contains "/" (warned).
    bool remove();

Q_SIGNALS:
    void internal_changed(bool reset = true);
    // A preset object has been read into the model.
    void reload();
    // Coalesced: about 10 ms after the last internal_changed, in the model's thread.
    void changed();
    void points_changed();
    void shade_changed();
    void ambient_changed();
    void diffuse_changed();
    void specular_changed();
    void specular_power_changed();
    void histogram_changed();
    void window_changed();
    void background_color_changed();
    void filter_changed();

private:
    mutable std::mutex mutex;
    QTimer *change_timer;
    std::vector<float> histogram;
    std::vector<Point> points;
    HistogramRage histogram_range;
    BlendMode blend_mode{0};
    bool shade = true;
    double ambient = 0.15;
    double diffuse = 0.3;
    double specular = 0.9;
    double specular_power = 15.0;
    std::size_t histogram_bins = 1024;
    std::array<double, 3> background_color{0.0, 249.0, 255.0};
    std::string description;
    float window_width = 0.0f;
    float window_level = 0.0f;
    bool read_only = false;
    std::string opacity_table;
    std::string clut;
    bool custom_opacity = false;
    std::string convolution_filter;
    std::atomic<bool> modified{false};
    std::string category;
    const std::unique_ptr<ModelPrivate> d;
};

} // namespace korvel::transferfunction
