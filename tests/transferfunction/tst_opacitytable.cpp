#include <application/manager.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QThread>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

using kesu::test::SignalRecorder;
using kesu::test::TemporaryStore;
using kesu::test::WarningRecorder;
using korvel::transferfunction::Model;

namespace {

// Counts, in the armed thread only, the allocations of exactly one full table of points.
thread_local bool counting = false;
std::atomic<int> table_allocations{0};
constexpr std::size_t table_bytes = 256 * sizeof(Model::Point);

} // namespace

// Every replaceable form that pairs with the two below is replaced too, so that no allocation
// made by the standard library's own forms is freed by ours (a mismatch that ASan reports).
void *operator new(std::size_t size)
{
    if (counting && size == table_bytes)
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

namespace {

QJsonObject generated(const QString &clut, const QString &opacity, double width, double level)
{
    return {{QStringLiteral("clut"), clut},
            {QStringLiteral("opacity"), opacity},
            {QStringLiteral("window"), QJsonArray{width, level}}};
}

QJsonObject custom(const QVector<double> &xs)
{
    QJsonArray points;
    for (int i = 0; i < xs.size(); ++i)
        points.append(QJsonObject{{QStringLiteral("x"), xs[i]}, {QStringLiteral("y"), i}});
    return {{QStringLiteral("points"), points}};
}

QVector<double> xs_of(const std::vector<Model::Point> &points)
{
    QVector<double> xs;
    for (const auto &point : points)
        xs.append(point.x);
    return xs;
}

bool near(double actual, double expected)
{
    return std::fabs(actual - expected) < 1e-12;
}

QJsonArray channel(int size, const QJsonValue &first)
{
    QJsonArray values{first};
    for (int i = 1; i < size; ++i)
        values.append(i);
    return values;
}

// A copy read while the window changes must be one whole table of the window (100, 1000 k).
bool whole_table(const std::vector<Model::Point> &points)
{
    if (points.size() != 256)
        return false;
    const double level = 1000.0 * std::round((points.front().x + 50.0) / 1000.0);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (std::fabs(points[i].x - (level - 50.0 + i * 100.0 / 255.0)) > 1e-6)
            return false;
    }
    return level >= 1000.0;
}

} // namespace

class TestOpacityTable : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void built_in_tables_across_the_window_data()
    {
        QTest::addColumn<QString>("clut");
        QTest::addColumn<QString>("opacity");
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("level");
        // x, y, r, g, b of the first and the last point; y of point 128.
        QTest::addColumn<QVector<double>>("first");
        QTest::addColumn<QVector<double>>("last");
        QTest::addColumn<double>("middle");
        const double single_ramp = 0.501960813999176;
        const QString grey = QStringLiteral("No CLUT");
        QTest::newRow("linear grey ramp spans width 400 at level 40")
            << grey << QString() << 400.0 << 40.0 << QVector<double>{-160, 0, 0, 0, 0}
            << QVector<double>{240, 1, 1, 1, 1} << single_ramp;
        QTest::newRow("logarithmic rises steeply first")
            << grey << QStringLiteral("Logarithmic Table") << 400.0 << 40.0
            << QVector<double>{-160, 0, 0, 0, 0} << QVector<double>{240, 1, 1, 1, 1}
            << 0.7417539170007905;
        QTest::newRow("logarithmic inverse rises steeply last")
            << grey << QStringLiteral("Logarithmic Inverse Table") << 400.0 << 40.0
            << QVector<double>{-160, 0, 0, 0, 0} << QVector<double>{240, 1, 1, 1, 1}
            << 0.2610330090242925;
        QTest::newRow("smooth is constant and shifted by 180")
            << grey << QStringLiteral("Smooth Table") << 400.0 << 40.0
            << QVector<double>{20, 0.05, 0, 0, 0} << QVector<double>{420, 0.05, 1, 1, 1} << 0.05;
        QTest::newRow("a name in another case is linear")
            << grey << QStringLiteral("logarithmic table") << 400.0 << 40.0
            << QVector<double>{-160, 0, 0, 0, 0} << QVector<double>{240, 1, 1, 1, 1} << single_ramp;
        QTest::newRow("width 0 puts smooth points 180 above the level")
            << grey << QStringLiteral("Smooth Table") << 0.0 << 75.0
            << QVector<double>{255, 0.05, 0, 0, 0} << QVector<double>{255, 0.05, 1, 1, 1} << 0.05;
        QTest::newRow("a negative width runs downwards")
            << grey << QString() << -100.0 << 0.0 << QVector<double>{50, 0, 0, 0, 0}
            << QVector<double>{-50, 1, 1, 1, 1} << single_ramp;
        QTest::newRow("endoscopy runs from pink to a darker red")
            << QStringLiteral("Endoscopy") << QString() << 400.0 << 40.0
            << QVector<double>{-160, 0, 240 / 255.0, 187 / 255.0, 195 / 255.0}
            << QVector<double>{240, 1, 245.1 / 255, 120.7 / 255, 128.7 / 255} << single_ramp;
    }
    void built_in_tables_across_the_window()
    {
        QFETCH(QString, clut);
        QFETCH(QString, opacity);
        QFETCH(double, width);
        QFETCH(double, level);
        QFETCH(QVector<double>, first);
        QFETCH(QVector<double>, last);
        QFETCH(double, middle);
        // No manager exists: a built-in table that consulted the store would throw.
        QVERIFY(!korvel::application::impl::Manager::instance());
        WarningRecorder quiet;
        Model model;
        model.load(generated(clut, opacity, width, level));
        const auto points = model.get_points();
        QCOMPARE(points.size(), std::size_t(256));
        for (const auto &[point, expected] :
             {std::pair(points.front(), first), std::pair(points.back(), last)}) {
            const QVector<double> actual{point.x, point.y, point.r, point.g, point.b};
            for (int i = 0; i < 5; ++i)
                QVERIFY2(near(actual[i], expected[i]), qPrintable(QString::number(actual[i])));
        }
        QCOMPARE(points[128].y, middle);
        for (const auto &point : points)
            QVERIFY(point.midpoint == 0.5 && point.sharpness == 0.0);
    }

    void window_change_regenerates_once()
    {
        WarningRecorder quiet;
        Model model;
        model.load(generated(QStringLiteral("No CLUT"), QString(), 400, 40));
        SignalRecorder recorder;
        recorder.watch(&model, &Model::window_changed, QStringLiteral("window_changed"));
        recorder.watch(&model, &Model::internal_changed, QStringLiteral("internal_changed"));
        model.set_window(400.0f, 40.0f);
        QVERIFY(recorder.take().isEmpty());
        model.set_window(200.0f, 0.0f);
        model.set_window(200.0f, 0.0f);
        QCOMPARE(
            recorder.take(),
            QStringList({QStringLiteral("window_changed"), QStringLiteral("internal_changed")}));
        QCOMPARE(model.get_points().front().x, -100.0);
        // A NaN never equals the window held, so it is taken every time.
        const float nan = std::numeric_limits<float>::quiet_NaN();
        model.set_window(nan, 0.0f);
        model.set_window(nan, 0.0f);
        QCOMPARE(recorder.take().size(), 4);
    }

    void stored_tables_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<QString>("warning");
        const auto table = [](int reds, bool blue, const QJsonValue &blues) {
            QJsonObject object{{QStringLiteral("red"), channel(reds, 300)},
                               {QStringLiteral("green"), channel(256, QStringLiteral("text"))}};
            if (blue)
                object.insert(QStringLiteral("blue"), blues);
            return QJsonValue(object);
        };
        const QString mine = QStringLiteral("Mine");
        QTest::newRow("a complete table is used as stored")
            << mine << table(256, true, channel(256, 0)) << QString();
        QTest::newRow("a channel of 255 entries is refused")
            << mine << table(255, true, channel(256, 0)) << QStringLiteral("unsuported table size");
        QTest::newRow("a missing channel is refused")
            << mine << table(256, false, {}) << QStringLiteral("unsuported table size");
        QTest::newRow("a channel that is not an array is refused")
            << mine << table(256, true, 5) << QStringLiteral("unsuported table size");
        QTest::newRow("a table that is not an object is missing")
            << mine << QJsonValue(5) << QStringLiteral("clut preset not found");
        QTest::newRow("an unknown name is missing")
            << QStringLiteral("Other") << table(256, true, channel(256, 0))
            << QStringLiteral("clut preset not found");
        QTest::newRow("built-in names are matched with case")
            << QStringLiteral("no clut") << table(256, true, channel(256, 0))
            << QStringLiteral("clut preset not found");
        QTest::newRow("an empty name is missing") << QString() << table(256, true, channel(256, 0))
                                                  << QStringLiteral("clut preset not found");
    }
    void stored_tables()
    {
        QFETCH(QString, name);
        QFETCH(QJsonValue, stored);
        QFETCH(QString, warning);
        TemporaryStore store;
        store.write_global(kesu::test::nest({QStringLiteral("rendering"), QStringLiteral("clut"),
                                             QStringLiteral("preset"), QStringLiteral("Mine")},
                                            stored));
        auto manager = store.start();
        Model model;
        WarningRecorder warnings;
        model.load(generated(name, QString(), 255, 127.5));
        const auto points = model.get_points();
        QCOMPARE(warnings.count(QStringLiteral("clut preset not found"))
                     + warnings.count(QStringLiteral("unsuported table size")),
                 warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty()) {
            QCOMPARE(warnings.count(warning), 1);
            QVERIFY(points.empty());
            return;
        }
        QCOMPARE(points.size(), std::size_t(256));
        QCOMPARE(points.front().r, 300 / 255.0);
        QCOMPARE(points.front().g, 0.0);
        QCOMPARE(points.back().b, 1.0);
    }

    void failed_regeneration_keeps_the_previous_points()
    {
        TemporaryStore store;
        store.write_global(
            kesu::test::nest({QStringLiteral("rendering"), QStringLiteral("clut"),
                              QStringLiteral("preset"), QStringLiteral("Short")},
                             QJsonObject{{QStringLiteral("red"), channel(255, 0)},
                                         {QStringLiteral("green"), channel(256, 0)},
                                         {QStringLiteral("blue"), channel(256, 0)}}));
        auto manager = store.start();
        Model model;
        {
            WarningRecorder quiet;
            model.load(generated(QStringLiteral("Short"), QString(), 0, 0));
        }
        model.set_points({{0.0}, {10.0}, {20.0}});
        WarningRecorder warnings;
        QSignalSpy window(&model, &Model::window_changed);
        model.set_window(100.0f, 50.0f);
        QCOMPARE(warnings.warnings(), QStringList{QStringLiteral("unsuported table size")});
        QCOMPARE(xs_of(model.get_points()), QVector<double>({0, 10, 20}));
        QVERIFY((model.window_width_level() == std::pair<float, float>(100.0f, 50.0f)));
        QCOMPARE(window.count(), 1);
    }

    void own_points_spread_over_the_window_data()
    {
        QTest::addColumn<QVector<double>>("before");
        QTest::addColumn<float>("width");
        QTest::addColumn<float>("level");
        QTest::addColumn<QVector<double>>("after");
        QTest::newRow("a wider window moves the outer points apart")
            << QVector<double>{0, 100, 200} << 400.0f << 100.0f << QVector<double>{-100, 100, 300};
        QTest::newRow("a narrower window moves them together")
            << QVector<double>{0, 100, 200} << 200.0f << 50.0f << QVector<double>{-50, 50, 150};
        QTest::newRow("each point stays 10 below its successor's old position")
            << QVector<double>{0, 15, 30} << 30.0f << 25.0f << QVector<double>{5, 20, 40};
        QTest::newRow("the bound below the successor wins over the one above the predecessor")
            << QVector<double>{0, 5, 12} << 12.0f << 6.0f << QVector<double>{-5, 2, 12};
        QTest::newRow("a single point goes to the level")
            << QVector<double>{300} << 1000.0f << 40.0f << QVector<double>{40};
    }
    void own_points_spread_over_the_window()
    {
        QFETCH(QVector<double>, before);
        QFETCH(float, width);
        QFETCH(float, level);
        QFETCH(QVector<double>, after);
        WarningRecorder quiet;
        Model model;
        model.load(custom(before));
        QVERIFY(model.is_custom_opacity());
        model.set_window(width, level);
        const auto points = model.get_points();
        QCOMPARE(xs_of(points), after);
        for (std::size_t i = 0; i < points.size(); ++i)
            QCOMPARE(points[i].y, double(i));
    }

    void custom_model_without_points_takes_the_window_silently()
    {
        WarningRecorder quiet;
        Model model;
        model.load(custom({0, 100}));
        model.set_points({});
        QSignalSpy internal(&model, &Model::internal_changed);
        model.set_window(100.0f, 50.0f);
        QCOMPARE(internal.count(), 0);
        QVERIFY((model.window_width_level() == std::pair<float, float>(100.0f, 50.0f)));
        QVERIFY(model.get_points().empty());
    }

    void table_storage_is_reused()
    {
        WarningRecorder quiet;
        Model model;
        counting = true;
        table_allocations = 0;
        model.load(
            generated(QStringLiteral("No CLUT"), QStringLiteral("Logarithmic Table"), 10, 0));
        const int first = table_allocations.exchange(0);
        model.set_window(20.0f, 0.0f);
        model.set_window(30.0f, 5.0f);
        const int reused = table_allocations.exchange(0);
        model.set_points({{0.0}, {1.0}});
        model.set_window(40.0f, 0.0f);
        const int regrown = table_allocations.exchange(0);
        counting = false;
        QCOMPARE(first, 1);
        QCOMPARE(reused, 0);
        QCOMPARE(regrown, 1);
    }

    void readers_in_another_thread_see_whole_tables()
    {
        WarningRecorder quiet;
        Model model;
        model.load(generated(QStringLiteral("No CLUT"), QString(), 100, 1000));
        QThread worker;
        QObject reader;
        reader.moveToThread(&worker);
        std::atomic<int> reads{0};
        std::atomic<int> torn{0};
        connect(&model, &Model::window_changed, &reader, [&] {
            if (!whole_table(model.get_points()))
                ++torn;
            ++reads;
        });
        worker.start();
        for (int k = 2; k <= 2001; ++k)
            model.set_window(100.0f, 1000.0f * k);
        QTRY_COMPARE_WITH_TIMEOUT(reads.load(), 2000, 30000);
        worker.quit();
        QVERIFY(worker.wait(5000));
        QCOMPARE(torn.load(), 0);
    }
};

KESU_TEST_CLASS(TestOpacityTable)

#include "tst_opacitytable.moc"
