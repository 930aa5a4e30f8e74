#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>

using korvel::transferfunction::Model;
using namespace kesu::test;
using Window = std::pair<float, float>;

namespace {

// Counts, in the armed thread only, the allocations of exactly one full table of points.
thread_local bool counting = false;
std::atomic<int> table_allocations{0};

QJsonObject generated(const char *clut, const char *opacity = "")
{
    return {{QStringLiteral("clut"), QString::fromLatin1(clut)},
            {QStringLiteral("opacity"), QString::fromLatin1(opacity)},
            {QStringLiteral("window"), QJsonArray{100, 1000}}};
}

QJsonArray channel(int size, const QJsonValue &first)
{
    QJsonArray values{first};
    for (int i = 1; i < size; ++i)
        values.append(i);
    return values;
}

// Of a full table: x of the first and the last point, y of point 128, then r, g, b (times 255)
// of the first and the last point. Of other points: the x of each.
QVector<double> summary(const std::vector<Model::Point> &points)
{
    QVector<double> xs;
    for (const auto &point : points)
        xs.append(point.x);
    if (points.size() != 256)
        return xs;
    const Model::Point &a = points.front(), &z = points.back();
    return {a.x,       z.x,       points[128].y, a.r * 255, a.g * 255,
            a.b * 255, z.r * 255, z.g * 255,     z.b * 255};
}

} // namespace

// Every replaceable form that pairs with the two below is replaced too, so that no allocation
// made by the standard library's own forms is freed by ours (a mismatch that ASan reports).
void *operator new(std::size_t size)
{
    if (counting && size == 256 * sizeof(Model::Point))
        ++table_allocations;
    if (void *memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}

void *operator new[](std::size_t size)
{
    return operator new(size);
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}

class TestOpacityTable : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void points_follow_the_window_data()
    {
        QTest::addColumn<QJsonObject>("preset");
        QTest::addColumn<QVector<double>>("before");
        QTest::addColumn<Window>("window");
        QTest::addColumn<QVector<double>>("expected");
        QTest::addColumn<QString>("warning");
        const QVector<double> kept{0, 10, 20};
        const auto row = [&](const char *name, const QJsonObject &preset, Window window,
                             const QVector<double> &expected, const char *warning = "",
                             const QVector<double> &before = {0, 10, 20}) {
            QTest::newRow(name) << preset << before << window << expected
                                << QString::fromLatin1(warning);
        };
        const double ramp = 0.501960813999176;
        const char *size = "unsuported table size", *missing = "clut preset not found";
        const char *grey = "No CLUT";
        const QJsonObject linear = generated(grey),
                          custom{{QStringLiteral("points"), QJsonArray{QJsonObject{}}}};
        row("width 400 at 40 spans -160 to 240", linear, {400, 40}, {-160, 240, ramp});
        row("smooth is 180 up at width 0", generated(grey, "Smooth Table"), {0, 75},
            {255, 255, 0.05});
        row("a negative width runs downwards", linear, {-100, 0}, {50, -50, ramp});
        row("another case is linear", generated(grey, "smooth table"), {400, 40},
            {-160, 240, ramp});
        row("endoscopy runs from pink to a darker red", generated("Endoscopy"), {400, 40},
            {-160, 240, ramp, 240, 187, 195, 245.1, 120.7, 128.7});
        row("a stored table is used", generated("Mine"), {255, 127.5}, {0, 255, ramp, 300, 0});
        row("a channel of 255 entries is refused", generated("Short"), {100, 50}, kept, size);
        row("a missing channel is refused", generated("No red"), {100, 50}, kept, size);
        row("a channel that is not an array is refused", generated("Flat"), {100, 50}, kept, size);
        row("an unknown name is missing", generated("Other"), {100, 50}, kept, missing);
        row("an empty name is missing", generated(""), {100, 50}, kept, missing);
        row("built-in names are matched with case", generated("no clut"), {100, 50}, kept, missing);
        row("a wider window spreads them", custom, {400, 100}, {-100, 100, 300}, "", {0, 100, 200});
        row("a narrower one draws them in", custom, {200, 50}, {-50, 50, 150}, "", {0, 100, 200});
        row("each keeps 10 below its successor", custom, {30, 25}, {5, 20, 40}, "", {0, 15, 30});
        row("a single point goes to the level", custom, {1000, 40}, {40}, "", {300});
        row("no points keep the window silently", custom, {100, 50}, {}, "", {});
    }
    // A stored table that cannot be used warns on loading and on the window change, and leaves
    // the points as they were; the window is set twice, and only the first change is announced.
    void points_follow_the_window()
    {
        QFETCH(QJsonObject, preset);
        QFETCH(QVector<double>, before);
        QFETCH(Window, window);
        QFETCH(QVector<double>, expected);
        QFETCH(QString, warning);
        const auto table = [](const QJsonValue &red) {
            return QJsonObject{{QStringLiteral("red"), red},
                               {QStringLiteral("green"), channel(256, QStringLiteral("text"))},
                               {QStringLiteral("blue"), channel(256, 0)}};
        };
        TemporaryStore store;
        store.write_global(
            nest({QStringLiteral("rendering"), QStringLiteral("clut"), QStringLiteral("preset")},
                 QJsonObject{{QStringLiteral("Mine"), table(channel(256, 300))},
                             {QStringLiteral("Short"), table(channel(255, 300))},
                             {QStringLiteral("No red"), table(QJsonValue::Undefined)},
                             {QStringLiteral("Flat"), table(5)}}));
        auto manager = store.start();
        Model model;
        WarningRecorder warnings;
        model.load(preset);
        std::vector<Model::Point> points;
        for (const double x : before)
            points.push_back({x});
        model.set_points(std::move(points));
        SignalRecorder recorder;
        recorder.watch(&model, &Model::window_changed, QStringLiteral("window"));
        recorder.watch(&model, &Model::internal_changed, QStringLiteral("internal"));
        model.set_window(window.first, window.second);
        model.set_window(window.first, window.second);
        QCOMPARE(recorder.take().join(u' '),
                 expected.isEmpty() ? QString() : QStringLiteral("window internal"));
        QStringList seen = warnings.warnings();
        seen.removeAll(QStringLiteral("incomplete file"));
        QCOMPARE(seen, warning.isEmpty() ? QStringList() : QStringList({warning, warning}));
        QCOMPARE(model.window_width_level(), window);
        const QVector<double> actual = summary(model.get_points());
        QVERIFY(actual.size() >= expected.size() && actual.isEmpty() == expected.isEmpty());
        for (int i = 0; i < expected.size(); ++i)
            QVERIFY2(std::fabs(actual[i] - expected[i]) < 1e-9,
                     qPrintable(QString::number(actual[i], 'g', 17)));
    }

    // Window changes overwrite the table in place, yet a reader in another thread must only ever
    // see whole tables of windows (100, 1000 k); points of the caller's own need a new table.
    void window_changes_reuse_the_table_and_readers_see_it_whole()
    {
        WarningRecorder quiet;
        Model model;
        counting = true;
        model.load(generated("No CLUT", "Logarithmic Table"));
        std::atomic<bool> done{false};
        std::atomic<int> torn{0};
        std::thread reader([&] {
            for (std::vector<Model::Point> p; !done; p = model.get_points())
                torn += !p.empty()
                    && (p.size() != 256 || std::fmod(p[0].x + 50.0, 1000.0) != 0.0
                        || std::fabs(p[255].x - p[0].x - 100.0) > 1e-6);
        });
        for (int k = 2; k <= 2001; ++k)
            model.set_window(100.0f, 1000.0f * k);
        done = true;
        reader.join();
        const int first = table_allocations.exchange(0);
        model.set_points({{0.0}, {1.0}});
        model.set_window(40.0f, 0.0f);
        counting = false;
        QCOMPARE(std::pair(first, table_allocations.exchange(0)), std::pair(1, 1));
        QCOMPARE(torn.load(), 0);
    }
};

KESU_TEST_CLASS(TestOpacityTable)

#include "tst_opacitytable.moc"
