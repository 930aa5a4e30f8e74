#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>
#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

using korvel::transferfunction::Model;
using namespace kesu::test;
using Window = std::pair<float, float>;

namespace {

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

// 2 to 31 ascending points, about half of them closer than 10 to their predecessor.
std::vector<Model::Point> random_points(QRandomGenerator &random)
{
    std::vector<Model::Point> points{{random.bounded(1000.0) - 500.0}};
    for (int n = 1 + random.bounded(30); n > 0; --n) {
        const double gap = random.bounded(2) ? random.bounded(10.0) : 10.0 + random.bounded(90.0);
        points.push_back({points.back().x + gap});
    }
    return points;
}

} // namespace

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
        const QVector<double> wide{0, 100, 200};
        row("a wider window spreads them", custom, {400, 100}, {-100, 100, 300}, "", wide);
        row("a narrower one draws them in", custom, {100, 50}, {0, 50, 100}, "", wide);
        row("a move right moves all right", custom, {30, 25}, {10, 25, 40}, "", {0, 15, 30});
        row("a move and widening keep the shape", custom, {400, 300}, {100, 300, 500}, "", wide);
        row("a pair squeezed is set apart about its middle", custom, {100, 500},
            {450, 472.5, 482.5, 550}, "", {-50, 0, 10, 150});
        row("a widening scales every gap", custom, {240, 60}, {-60, 0, 60, 120, 180}, "",
            {0, 30, 60, 90, 120});
        row("a run squeezed whole is set 10 apart", custom, {10, 100}, {90, 100, 110}, "", wide);
        row("runs that come close merge", custom, {20, 10}, {-5, 5, 15, 25}, "", {0, 20, 60, 80});
        row("a close pair goes with the run that reaches it", custom, {10, 100},
            {89.875, 90.125, 100.125, 110.125}, "", {0, 5, 100, 200});
        row("a close pair is translated exactly", custom, {5, 102.5}, {100, 105}, "", {0, 5});
        row("points without extent stack on the level", custom, {300, 0}, {-5, 5}, "", {100, 100});
        row("a width of 0 stacks them on the level", custom, {0, 50}, {40, 50, 60}, "", wide);
        row("a negative width stacks them too", custom, {-100, 50}, {40, 50, 60}, "", wide);
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

    void user_tables_come_before_the_shipped_ones_data()
    {
        QTest::addColumn<QJsonObject>("user");
        QTest::addColumn<QString>("clut");
        QTest::addColumn<double>("red");
        const auto stored = [](const char *name, const QJsonValue &red) {
            return QJsonObject{{QLatin1String(name),
                                QJsonObject{{QStringLiteral("red"), red},
                                            {QStringLiteral("green"), channel(256, 0)},
                                            {QStringLiteral("blue"), channel(256, 0)}}}};
        };
        QTest::newRow("without user tables the shipped one is used")
            << QJsonObject() << "Mine" << 10.0;
        QTest::newRow("a user table of another name changes nothing")
            << stored("Other", channel(256, 200)) << "Mine" << 10.0;
        QTest::newRow("the user's table shadows the shipped one of its name")
            << stored("Mine", channel(256, 200)) << "Mine" << 200.0;
        QTest::newRow("a table the user alone has is found")
            << stored("Theirs", channel(256, 200)) << "Theirs" << 200.0;
        // -1: no points, the table's warning instead.
        QTest::newRow("a broken user table is not passed over for the shipped one")
            << stored("Mine", channel(255, 200)) << "Mine" << -1.0;
    }
    // Both places that read a table, loading and a new window, find the same one.
    void user_tables_come_before_the_shipped_ones()
    {
        QFETCH(QJsonObject, user);
        QFETCH(QString, clut);
        QFETCH(double, red);
        const QStringList folder{QStringLiteral("rendering"), QStringLiteral("clut"),
                                 QStringLiteral("preset")};
        TemporaryStore store;
        store.write_global(
            nest(folder,
                 QJsonObject{{QStringLiteral("Mine"),
                              QJsonObject{{QStringLiteral("red"), channel(256, 10)},
                                          {QStringLiteral("green"), channel(256, 0)},
                                          {QStringLiteral("blue"), channel(256, 0)}}}}));
        store.write_user(nest(folder, user));
        auto manager = store.start();
        WarningRecorder warnings;
        Model model;
        model.load(generated(qPrintable(clut)));
        model.set_window(300, 0);
        const std::vector<Model::Point> points = model.get_points();
        if (red < 0) {
            QVERIFY(points.empty());
            QCOMPARE(warnings.count(QStringLiteral("unsuported table size")), 2);
        } else {
            QCOMPARE(points.size(), std::size_t(256));
            QCOMPARE(points.front().r * 255, red);
            QCOMPARE(points.front().x, -150.0);
            // A table changed in the store after it was read is read again.
            korvel::application::preset("user/rendering/clut/preset/" + clut.toStdString())
                .set(QJsonObject{{QStringLiteral("red"), channel(256, 77)},
                                 {QStringLiteral("green"), channel(256, 0)},
                                 {QStringLiteral("blue"), channel(256, 0)}});
            model.set_window(301, 0);
            QCOMPARE(model.get_points().front().r * 255, 77.0);
        }
    }

    // Where the window leaves every gap of 10 or more at least 10, each point follows the map of
    // the old extent onto the window; where it does not, no such gap ends below 10, and closer
    // neighbours keep the gap that the map gives them.
    void own_points_follow_the_map_of_their_extent()
    {
        WarningRecorder quiet;
        Model model;
        model.load(QJsonObject{{QStringLiteral("points"), QJsonArray{QJsonObject{}}}});
        QRandomGenerator random(14);
        for (int trial = 0; trial < 2000; ++trial) {
            const std::vector<Model::Point> before = random_points(random);
            const double first = before.front().x, extent = before.back().x - first;
            double narrowest = std::numeric_limits<double>::infinity();
            for (std::size_t i = 1; i < before.size(); ++i) {
                if (before[i].x - before[i - 1].x >= 10.0)
                    narrowest = std::min(narrowest, before[i].x - before[i - 1].x);
            }
            const bool wide = trial % 2 == 0;
            const double least = wide ? std::max(extent * 10.0 / narrowest, 1.0) : 1.0;
            const float width = static_cast<float>(least * 1.001 + random.bounded(extent * 2.0));
            const float level = static_cast<float>(random.bounded(2000.0) - 1000.0);
            const auto map = [&](double x) {
                return level + (x - (first + extent * 0.5)) * static_cast<double>(width) / extent;
            };
            model.set_points(std::vector<Model::Point>(before));
            model.set_window(width, level);
            const std::vector<Model::Point> after = model.get_points();
            for (std::size_t i = 0; i < after.size(); ++i) {
                const double x = before[i].x, gap = i > 0 ? after[i].x - after[i - 1].x : 0.0;
                if (wide)
                    QVERIFY2(std::fabs(after[i].x - map(x)) < 1e-9, qPrintable(QString::number(i)));
                else if (i > 0 && x - before[i - 1].x >= 10.0)
                    QVERIFY2(gap > 10.0 - 1e-9, qPrintable(QString::number(i)));
                else if (i > 0)
                    QVERIFY2(std::fabs(gap - (map(x) - map(before[i - 1].x))) < 1e-9,
                             qPrintable(QString::number(i)));
            }
        }
    }

    // Window changes overwrite the table in place, yet a reader in another thread must only ever
    // see whole tables of windows (100, 1000 k); points of the caller's own need a new table.
    void window_changes_reuse_the_table_and_readers_see_it_whole()
    {
        WarningRecorder quiet;
        Model model;
        // In this thread only: the reader's copies are not counted.
        allocations::count_size(256 * sizeof(Model::Point));
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
        const int first = allocations::counted();
        model.set_points({{0.0}, {1.0}});
        model.set_window(40.0f, 0.0f);
        const int second = allocations::counted();
        allocations::count_size(0);
        QCOMPARE(std::pair(first, second), std::pair(1, 1));
        QCOMPARE(torn.load(), 0);
    }
};

KESU_TEST_CLASS(TestOpacityTable)

#include "tst_opacitytable.moc"
