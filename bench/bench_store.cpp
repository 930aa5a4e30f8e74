// Start-up and saving of the store against the JSON work they cannot avoid: constructing the
// manager on shipped files of growing size against QJsonDocument::fromJson of the same bytes,
// with the peak of heap memory during each, on_save against toJson() of the same document, and
// the longest pause of the event loop while the timer's save writes the user file.

#include "heapcounter.h"
#include "support.h"

#include <application/configuration.h>
#include <application/manager.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <string>

namespace korvel::bench {
namespace {

using application::impl::Manager;

struct Size
{
    const char *name;
    qint64 bytes;
};

const Size sizes[] = {{"100KB", 100 * 1024}, {"1MB", 1024 * 1024}, {"10MB", 10 * 1024 * 1024}};

// Shipped files are generated once per size and kept for the whole run.
class ShippedFiles
{
public:
    QString path(const Size &size)
    {
        const QString file = folder.filePath(QLatin1String(size.name) + QStringLiteral(".json"));
        if (!QFileInfo::exists(file)) {
            QFile out(file);
            const QByteArray text = shipped_of_size(size.bytes);
            if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
                qFatal("cannot write %s", qUtf8Printable(file));
        }
        return file;
    }
    QString absent_user_file() const { return folder.filePath(QStringLiteral("none.json")); }

private:
    QTemporaryDir folder;
};

ShippedFiles &shipped_files()
{
    static ShippedFiles files;
    return files;
}

QByteArray read(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qUtf8Printable(file));
    return in.readAll();
}

// Peak and retained heap bytes of one step, above what was live before it.
struct HeapUse
{
    std::size_t peak = 0;
    std::size_t kept = 0;
};

template<typename Step> auto measured(HeapUse &use, Step step)
{
    heap::reset_peak();
    const std::size_t before = heap::live();
    auto result = step();
    use.peak = std::max(use.peak, heap::peak() - before);
    use.kept = heap::live() - before;
    return result;
}

void report_heap(benchmark::State &state, const HeapUse &use, qint64 file_bytes)
{
    state.counters["file_bytes"] = double(file_bytes);
    state.counters["peak_bytes"] = double(use.peak);
    state.counters["kept_bytes"] = double(use.kept);
    state.counters["peak_per_file_byte"] = double(use.peak) / double(file_bytes);
}

// The user file is absent: start-up reads the shipped file alone.
void manager_startup(benchmark::State &state, const Size &size)
{
    const QString global = shipped_files().path(size);
    const qint64 file_bytes = QFileInfo(global).size();
    const int warnings = warning_count();
    HeapUse use;
    for (auto _ : state) {
        auto manager = measured(use, [&global] {
            return std::make_unique<Manager>(shipped_files().absent_user_file(), global);
        });
        state.PauseTiming();
        const bool loaded = bool(application::preset("global/rendering/dvr/preset/Standard"));
        manager.reset();
        state.ResumeTiming();
        if (!expect(state, loaded, "the shipped file was not loaded"))
            return;
    }
    fail_on_warnings(state, warnings);
    report_heap(state, use, file_bytes);
}

void from_json(benchmark::State &state, const Size &size)
{
    const QByteArray bytes = read(shipped_files().path(size));
    HeapUse use;
    for (auto _ : state) {
        auto document = measured(use, [&bytes] {
            return std::make_unique<QJsonDocument>(QJsonDocument::fromJson(bytes));
        });
        state.PauseTiming();
        const bool parsed = document->isObject();
        document.reset();
        state.ResumeTiming();
        if (!expect(state, parsed, "the shipped file did not parse"))
            return;
    }
    report_heap(state, use, bytes.size());
}

void on_save(benchmark::State &state)
{
    const QByteArray text = user_file_text(int(state.range(0)));
    TemporaryStore store(text, shipped_defaults());
    const int warnings = warning_count();
    for (auto _ : state)
        store.manager().on_save();
    fail_on_warnings(state, warnings);
    expect(state, read(store.user_file()) == text, "on_save wrote other bytes than toJson()");
    state.counters["file_bytes"] = double(text.size());
}

// The longest pause of the event loop from a change to the end of the save that the timer
// starts one second later: a 1 ms timer records the gaps between its ticks meanwhile.
void save_stall(benchmark::State &state)
{
    TemporaryStore store(user_file_text(int(state.range(0))), shipped_defaults());
    const int warnings = warning_count();
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QElapsedTimer since_tick;
    qint64 longest_ns = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest_ns = std::max(longest_ns, since_tick.nsecsElapsed());
        since_tick.restart();
    });
    int round = 0;
    for (auto _ : state) {
        const QFileInfo before(store.user_file());
        const QDateTime written = before.lastModified();
        application::preset("user/bench/round")
            .set(QJsonObject{{QStringLiteral("round"), ++round}});
        longest_ns = 0;
        since_tick.start();
        ticker.start();
        QElapsedTimer waited;
        waited.start();
        // Until the file is replaced, and a little longer for the result to be taken in.
        qint64 saved_at = -1;
        while (waited.elapsed() < 30000 && (saved_at < 0 || waited.elapsed() < saved_at + 100)) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            if (saved_at < 0 && QFileInfo(store.user_file()).lastModified() != written)
                saved_at = waited.elapsed();
        }
        ticker.stop();
        if (!expect(state, saved_at >= 0, "the timer's save did not come"))
            return;
        state.SetIterationTime(double(longest_ns) / 1e9);
    }
    fail_on_warnings(state, warnings);
}

void to_json(benchmark::State &state)
{
    const QByteArray text = user_file_text(int(state.range(0)));
    const QJsonDocument document = QJsonDocument::fromJson(text);
    for (auto _ : state) {
        QByteArray bytes = document.toJson();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["file_bytes"] = double(text.size());
}

// What on_save did as first designed: truncate the file and write the text, with no temporary
// file and no flush to the disk. The reference for what on_save adds to keep the file whole
// through a crash.
void to_json_and_write(benchmark::State &state)
{
    const QByteArray text = user_file_text(int(state.range(0)));
    const QJsonDocument document = QJsonDocument::fromJson(text);
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("presets.json"));
    for (auto _ : state) {
        QFile out(file);
        const QByteArray bytes = document.toJson();
        if (!expect(state, out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size(),
                    "cannot write the file"))
            return;
    }
    state.counters["file_bytes"] = double(text.size());
}

bool register_benchmarks()
{
    for (const Size &size : sizes) {
        benchmark::RegisterBenchmark((std::string("startup/manager/") + size.name).c_str(),
                                     manager_startup, size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("startup/fromJson/") + size.name).c_str(),
                                     from_json, size)
            ->Unit(benchmark::kMillisecond);
    }
    for (auto *benchmark : {
             benchmark::RegisterBenchmark("save/on_save", on_save),
             benchmark::RegisterBenchmark("save/toJson", to_json),
             benchmark::RegisterBenchmark("save/toJson+write", to_json_and_write),
         })
        benchmark->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("save/stall", save_stall)
        ->Arg(10)
        ->Arg(100)
        ->Arg(1000)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}

[[maybe_unused]] const bool registered = register_benchmarks();

} // namespace
} // namespace korvel::bench
