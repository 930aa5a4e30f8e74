// The paths a user walks through presets on: load(name) as the arrow keys flip through shipped
// presets, Model::create(true) at viewer start, the handles underneath them, and a burst of
// setter calls coalesced into one changed(). Each runs on user documents of growing size, every
// second user preset with 256 points of its own.

#include "support.h"

#include <application/configuration.h>
#include <transferfunction/model.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

namespace korvel::bench {
namespace {

using application::preset;
using transferfunction::Model;

// One shipped preset whose points are generated from a stored colour table, one with points of
// its own.
const std::string flipped_presets[] = {"MR Angiography", "CT Bone"};
constexpr int calls_between_deliveries = 64;

std::string user_path(int preset, const char *member)
{
    return "user/rendering/dvr/preset/" + user_preset_name(preset).toStdString() + '/' + member;
}

std::unique_ptr<TemporaryStore> store_with(int presets)
{
    return std::make_unique<TemporaryStore>(
        user_file_text(presets, QString::fromStdString(flipped_presets[0])), shipped_defaults());
}

void load_shipped(benchmark::State &state)
{
    const auto store = store_with(int(state.range(0)));
    Model model;
    model.load(std::string("Standard"));
    deliver_posted_events();
    const int warnings = warning_count();
    int calls = 0;
    for (auto _ : state) {
        model.load(flipped_presets[calls++ & 1]);
        if (calls % calls_between_deliveries == 0) {
            state.PauseTiming();
            deliver_posted_events();
            state.ResumeTiming();
        }
    }
    deliver_posted_events();
    fail_on_warnings(state, warnings);
    expect(state, model.get_description() == flipped_presets[(calls - 1) & 1],
           "load(name) did not load the shipped preset");
}

void create_last(benchmark::State &state)
{
    const auto store = store_with(int(state.range(0)));
    const int warnings = warning_count();
    std::vector<std::unique_ptr<Model>> models;
    for (auto _ : state) {
        models.emplace_back(Model::create(true));
        if (models.size() == calls_between_deliveries) {
            state.PauseTiming();
            deliver_posted_events();
            models.clear();
            state.ResumeTiming();
        }
    }
    deliver_posted_events();
    fail_on_warnings(state, warnings);
    expect(state, models.empty() || models.back()->get_description() == flipped_presets[0],
           "create(true) did not load the last preset");
}

void handle_get(benchmark::State &state)
{
    const int presets = int(state.range(0));
    const auto store = store_with(presets);
    std::vector<std::string> paths;
    for (int i = 0; i < presets; ++i)
        paths.push_back(user_path(i, "window"));
    std::size_t next = 0;
    for (auto _ : state) {
        const auto handle = preset(paths[next]);
        QJsonValue value = handle.get();
        benchmark::DoNotOptimize(value);
        next = next + 1 == paths.size() ? 0 : next + 1;
    }
    expect(state, bool(preset(paths[0])), "the path was not found");
}

void handle_set(benchmark::State &state)
{
    const int presets = int(state.range(0));
    const auto store = store_with(presets);
    std::vector<std::string> paths;
    for (int i = 0; i < presets; ++i)
        paths.push_back(user_path(i, "filters"));
    const QJsonObject filters[] = {
        {{QStringLiteral("convolution"), QJsonArray{QStringLiteral("Sharpen")}}},
        {{QStringLiteral("convolution"), QJsonArray{QStringLiteral("Smooth")}}},
    };
    std::size_t next = 0;
    std::size_t calls = 0;
    for (auto _ : state) {
        preset(paths[next]).set(filters[calls++ & 1]);
        next = next + 1 == paths.size() ? 0 : next + 1;
    }
}

// Drops every member of every user preset in turn; the presets are put back outside the
// measurement when none is left, so that the store keeps its number of presets.
void handle_drop(benchmark::State &state)
{
    const int presets = int(state.range(0));
    const auto store = store_with(presets);
    const std::string all = "user/rendering/dvr/preset";
    const QJsonValue original = preset(all).get();
    std::vector<std::string> paths;
    for (int i = 0; i < presets; ++i) {
        for (const QString &member : original[user_preset_name(i)].toObject().keys())
            paths.push_back(user_path(i, qUtf8Printable(member)));
    }
    std::size_t next = 0;
    bool all_found = true;
    for (auto _ : state) {
        auto handle = preset(paths[next]);
        all_found = all_found && handle;
        handle.drop();
        if (++next == paths.size()) {
            state.PauseTiming();
            preset(all).set(original);
            next = 0;
            state.ResumeTiming();
        }
    }
    expect(state, all_found, "a dropped path was not found");
}

// 1000 setter calls, then the event loop: the queued restarts of the change timer are delivered
// (measured), and then exactly one changed() must come (waited for, not measured).
void setter_burst(benchmark::State &state)
{
    constexpr int burst = 1000;
    const auto store = store_with(0);
    Model model;
    model.load(std::string("Standard"));
    int changes = 0;
    QObject::connect(&model, &Model::changed, [&changes] { ++changes; });
    const auto wait = [](int ms, Model *until) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        if (until)
            QObject::connect(until, &Model::changed, &loop, &QEventLoop::quit);
        loop.exec();
    };
    wait(1000, &model);
    double setter_seconds = 0.0;
    double delivery_seconds = 0.0;
    int bursts = 0;
    int total_changes = 0;
    bool one_each = true;
    for (auto _ : state) {
        changes = 0;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < burst; ++i)
            model.set_ambient(i & 1 ? 0.2 : 0.3);
        const qint64 setters = clock.nsecsElapsed();
        deliver_posted_events();
        const qint64 delivered = clock.nsecsElapsed();
        wait(1000, &model);
        // Twice the timer's interval, only to see that nothing more comes.
        wait(25, nullptr);
        one_each = one_each && changes == 1;
        total_changes += changes;
        ++bursts;
        setter_seconds += double(setters) * 1e-9;
        delivery_seconds += double(delivered - setters) * 1e-9;
        state.SetIterationTime(double(delivered) * 1e-9);
    }
    state.counters["setter_ns"] = setter_seconds * 1e9 / (double(bursts) * burst);
    state.counters["delivery_ns"] = delivery_seconds * 1e9 / (double(bursts) * burst);
    state.counters["changed_per_burst"] = double(total_changes) / bursts;
    expect(state, one_each, "a burst did not give exactly one changed()");
}

bool register_benchmarks()
{
    for (auto *benchmark : {
             benchmark::RegisterBenchmark("load(name)/shipped", load_shipped),
             benchmark::RegisterBenchmark("create(true)", create_last),
         })
        benchmark->Arg(0)->Arg(10)->Arg(100)->Arg(1000);
    for (auto *benchmark : {
             benchmark::RegisterBenchmark("handle/get_depth5", handle_get),
             benchmark::RegisterBenchmark("handle/set_depth5", handle_set),
             benchmark::RegisterBenchmark("handle/drop_depth5", handle_drop),
         })
        benchmark->Arg(10)->Arg(100)->Arg(1000);
    benchmark::RegisterBenchmark("burst/set_ambient_x1000", setter_burst)
        ->UseManualTime()
        ->Iterations(20)
        ->Unit(benchmark::kMicrosecond);
    return true;
}

[[maybe_unused]] const bool registered = register_benchmarks();

} // namespace
} // namespace korvel::bench
