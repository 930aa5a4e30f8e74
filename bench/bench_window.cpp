// set_window as a user drags the window with the mouse: every call brings a new window, so a
// model without points of its own regenerates its 256 points and one with points of its own
// spreads them; each is measured against its floor (floor.h).

#include "floor.h"
#include "support.h"

#include <transferfunction/model.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

#include <array>
#include <string>
#include <vector>

namespace korvel::bench {
namespace {

using transferfunction::Model;

struct Curve
{
    const char *name;
    const char *opacity;
    floor::Curve curve;
};

const Curve curves[] = {
    {"linear", "Linear Table", floor::Curve::linear},
    {"logarithmic", "Logarithmic Table", floor::Curve::logarithmic},
    {"logarithmic_inverse", "Logarithmic Inverse Table", floor::Curve::logarithmic_inverse},
    {"smooth", "Smooth Table", floor::Curve::smooth},
};

struct Table
{
    const char *name;
    const char *clut;
    floor::Colours colours;
    bool built_in;
};

// "Hot Iron" is one of the shipped colour tables, read from the store on every generation.
const Table tables[] = {
    {"no_clut", "No CLUT", floor::Colours::grey, true},
    {"endoscopy", "Endoscopy", floor::Colours::endoscopy, true},
    {"stored", "Hot Iron", floor::Colours::grey, false},
};

// Two windows that differ in width and level, so that every call is a change.
struct Window
{
    float width;
    float level;
};
constexpr Window generated_windows[] = {{400.0f, 40.0f}, {401.5f, 40.5f}};
// The own points span -1000 to 3000, 15.7 apart: neither window brings two of them closer than
// 10, so every call maps them plainly.
constexpr Window spread_windows[] = {{4000.0f, 1000.0f}, {4010.0f, 1005.0f}};
// Checked before measuring, beside the second of those: a window that squeezes all the points
// into one run 10 apart, and one without width.
constexpr Window squeezing_windows[] = {{1000.0f, 1000.0f}, {0.0f, 1000.0f}};

// The change timer's restarts are queued; the queue is emptied outside the measurement.
constexpr std::size_t calls_between_deliveries = 256;

QJsonObject generated_preset(const Table &table, const Curve &curve)
{
    QJsonObject preset = shipped_preset(QStringLiteral("Standard"));
    preset.remove(QStringLiteral("points"));
    preset.insert(QStringLiteral("opacity"), QLatin1String(curve.opacity));
    preset.insert(QStringLiteral("clut"), QLatin1String(table.clut));
    preset.insert(QStringLiteral("window"), QJsonArray{400, 40});
    return preset;
}

QJsonObject own_points_preset()
{
    QJsonObject preset = shipped_preset(QStringLiteral("Standard"));
    preset.insert(QStringLiteral("points"), points_256(-1000.0, 3000.0));
    preset.insert(QStringLiteral("window"), QJsonArray{4000, 1000});
    return preset;
}

bool same_points(const std::vector<Model::Point> &model, const floor::Point *floor, std::size_t n)
{
    if (model.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        const Model::Point &a = model[i];
        const floor::Point &b = floor[i];
        if (a.x != b.x || a.y != b.y || a.r != b.r || a.g != b.g || a.b != b.b
            || a.midpoint != b.midpoint || a.sharpness != b.sharpness)
            return false;
    }
    return true;
}

// How a drag meets the event loop.
enum class Loop {
    // Once every 16 calls, counted in the measure: a drag delivers mouse moves at several
    // hundred a second against a 60 Hz screen. The rows with targets.
    every_16_calls,
    // After every call, as when every mouse move is handled before the next (information).
    every_call,
    // Outside the measure, every 256 calls: the call alone (information).
    outside,
};

// Alternates the two windows.
void drag(benchmark::State &state, Model &model, const Window (&windows)[2], Loop loop)
{
    std::size_t calls = 0;
    for (auto _ : state) {
        const Window &window = windows[calls++ & 1];
        model.set_window(window.width, window.level);
        if (loop == Loop::every_call || (loop == Loop::every_16_calls && calls % 16 == 0)) {
            QCoreApplication::processEvents();
        } else if (loop == Loop::outside && calls % calls_between_deliveries == 0) {
            state.PauseTiming();
            deliver_posted_events();
            state.ResumeTiming();
        }
    }
    deliver_posted_events();
}

void set_window_generated(benchmark::State &state, const Table &table, const Curve &curve,
                          Loop loop)
{
    TemporaryStore store({}, shipped_defaults());
    Model model;
    model.load(generated_preset(table, curve));
    const Window &check = generated_windows[1];
    model.set_window(check.width, check.level);
    if (table.built_in) {
        std::array<floor::Point, floor::table_size> expected;
        floor::generate(curve.curve, table.colours, check.width, check.level, expected.data());
        if (!expect(state, same_points(model.get_points(), expected.data(), expected.size()),
                    "the floor computes other points than the model"))
            return;
    }
    const int warnings = warning_count();
    drag(state, model, generated_windows, loop);
    fail_on_warnings(state, warnings);
    expect(state, model.get_points().size() == floor::table_size, "the model lost its points");
}

void floor_generate(benchmark::State &state, const Table &table, const Curve &curve)
{
    std::array<floor::Point, floor::table_size> points;
    int calls = 0;
    for (auto _ : state) {
        const Window &window = generated_windows[calls++ & 1];
        floor::generate(curve.curve, table.colours, window.width, window.level, points.data());
        benchmark::DoNotOptimize(points.data());
        benchmark::ClobberMemory();
    }
}

// Whether the model and the floor move the preset's own points alike onto this window.
bool spreads_like_floor(const Window &window)
{
    Model model;
    model.load(own_points_preset());
    std::vector<floor::Point> expected;
    for (const Model::Point &p : model.get_points())
        expected.push_back({p.x, p.y, p.r, p.g, p.b, p.midpoint, p.sharpness});
    model.set_window(window.width, window.level);
    floor::spread(expected.data(), expected.size(), window.width, window.level);
    return same_points(model.get_points(), expected.data(), expected.size());
}

void set_window_spread(benchmark::State &state, Loop loop)
{
    TemporaryStore store({}, shipped_defaults());
    Model model;
    model.load(own_points_preset());
    if (!expect(state, model.is_custom_opacity() && model.get_points().size() == 256,
                "the preset's own points were not loaded"))
        return;
    const Window &check = spread_windows[1];
    model.set_window(check.width, check.level);
    if (!expect(state,
                spreads_like_floor(check) && spreads_like_floor(squeezing_windows[0])
                    && spreads_like_floor(squeezing_windows[1]),
                "the floor spreads the points otherwise than the model"))
        return;
    const int warnings = warning_count();
    drag(state, model, spread_windows, loop);
    fail_on_warnings(state, warnings);
}

void floor_spread(benchmark::State &state)
{
    const QJsonArray source = points_256(-1000.0, 3000.0);
    std::vector<floor::Point> points;
    for (const QJsonValue &value : source) {
        const QJsonObject p = value.toObject();
        const auto at = [&p](const char *key) {
            return p.value(QLatin1String(key)).toDouble();
        };
        points.push_back(
            {at("x"), at("y"), at("r"), at("g"), at("b"), at("midpoint"), at("sharpness")});
    }
    int calls = 0;
    for (auto _ : state) {
        const Window &window = spread_windows[calls++ & 1];
        floor::spread(points.data(), points.size(), window.width, window.level);
        benchmark::DoNotOptimize(points.data());
        benchmark::ClobberMemory();
    }
}

std::string name(const char *what, const Curve &curve, const Table &table)
{
    return std::string(what) + '/' + curve.name + '/' + table.name;
}

bool register_benchmarks()
{
    for (const Table &table : tables) {
        for (const Curve &curve : curves) {
            benchmark::RegisterBenchmark(name("set_window", curve, table).c_str(),
                                         set_window_generated, table, curve, Loop::every_16_calls);
            if (table.built_in)
                benchmark::RegisterBenchmark(name("floor/generate", curve, table).c_str(),
                                             floor_generate, table, curve);
        }
    }
    benchmark::RegisterBenchmark("set_window/spread_256", set_window_spread, Loop::every_16_calls);
    benchmark::RegisterBenchmark("floor/spread_256", floor_spread);
    for (const auto &[suffix, loop] :
         {std::pair("+event_loop", Loop::every_call), std::pair("+no_event_loop", Loop::outside)}) {
        const std::string what = std::string("set_window") + suffix;
        benchmark::RegisterBenchmark(name(what.c_str(), curves[0], tables[0]).c_str(),
                                     set_window_generated, tables[0], curves[0], loop);
        benchmark::RegisterBenchmark((what + "/spread_256").c_str(), set_window_spread, loop);
    }
    return true;
}

[[maybe_unused]] const bool registered = register_benchmarks();

} // namespace
} // namespace korvel::bench
