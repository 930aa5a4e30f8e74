#include <models/circleprobemodel.h>

#include "testing.h"

#include <QSet>
#include <QSignalSpy>

#include <memory>
#include <vector>

using korvel::models::CircleProbeModel;

namespace {

class Probe : public CircleProbeModel
{
public:
    QPointF get_center() const override { return {}; }
    void set_center(const QPointF &) override { }
    double get_radius() const override { return 0.0; }
    void set_radius(double) override { }
    double get_measurement() const override { return 0.0; }
};

using Probes = std::vector<std::unique_ptr<Probe>>;

Probes make_probes(std::size_t count)
{
    Probes probes;
    for (std::size_t i = 0; i < count; ++i)
        probes.push_back(std::make_unique<Probe>());
    return probes;
}

QColor pool_color(double hue)
{
    return QColor::fromHslF(hue, 1.0, 0.5, 1.0);
}

QVector<QRgb> colors_of(const Probes &probes)
{
    QVector<QRgb> colors;
    for (const auto &probe : probes)
        colors.append(probe->color().rgba());
    return colors;
}

} // namespace

// The pool is shared by the whole process: every test destroys its probes, so that the next test
// starts with every colour free again.
class TestCircleProbeModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void max_probe_takes_no_colour()
    {
        QCOMPARE(CircleProbeModel::max_probe(), std::size_t(128));
        QCOMPARE(CircleProbeModel::max_probe(), std::size_t(128));
        Probe first;
        QCOMPARE(first.color().rgba(), qRgba(255, 0, 0, 255));
    }

    void first_colours_follow_the_golden_ratio_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<double>("hue");
        QTest::newRow("the first probe is pure red") << 0 << 0.0;
        QTest::newRow("the second is a golden-ratio step away, a blue") << 1 << 0.618034;
        QTest::newRow("the third wraps around past red") << 2 << 0.236068;
        QTest::newRow("the fourth") << 3 << 0.854102;
        QTest::newRow("the fifth") << 4 << 0.472136;
        QTest::newRow("the sixth wraps around again") << 5 << 0.09017;
        QTest::newRow("the seventh") << 6 << 0.708204;
        QTest::newRow("the eighth") << 7 << 0.326238;
    }
    void first_colours_follow_the_golden_ratio()
    {
        QFETCH(int, index);
        QFETCH(double, hue);
        const Probes probes = make_probes(std::size_t(index) + 1);
        QCOMPARE(probes.back()->color(), pool_color(hue));
    }

    void lowest_free_colour_is_reused()
    {
        auto first = std::make_unique<Probe>();
        const Probe second;
        const QColor red = first->color();
        first.reset();
        const Probe third;
        QCOMPARE(third.color(), red);
        QCOMPARE(second.color(), pool_color(0.618034));
        const Probe fourth;
        QCOMPARE(fourth.color(), pool_color(0.236068));
    }

    void full_pool_holds_distinct_colours()
    {
        const Probes probes = make_probes(CircleProbeModel::max_probe());
        const QVector<QRgb> colors = colors_of(probes);
        QCOMPARE(QSet<QRgb>(colors.cbegin(), colors.cend()).size(), 128);
    }

    void probe_beyond_the_pool_is_grey_and_frees_nothing()
    {
        Probes probes = make_probes(CircleProbeModel::max_probe());
        const QVector<QRgb> before = colors_of(probes);
        {
            const Probe extra;
            QCOMPARE(extra.color(), QColor(128, 128, 128));
            QVERIFY(!before.contains(extra.color().rgba()));
        }
        QCOMPARE(colors_of(probes), before);

        // Only the colour of a destroyed pool probe is free again, and only once.
        probes[5].reset();
        probes[5] = std::make_unique<Probe>();
        QCOMPARE(probes[5]->color().rgba(), before[5]);
        const Probe beyond;
        QCOMPARE(beyond.color(), QColor(128, 128, 128));
        QCOMPARE(colors_of(probes), before);
    }

    void set_selected_announces_changes_only_data()
    {
        QTest::addColumn<bool>("initial");
        QTest::addColumn<bool>("value");
        QTest::addColumn<int>("emitted");
        QTest::newRow("selecting an unselected probe emits") << false << true << 1;
        QTest::newRow("selecting a selected probe emits nothing") << true << true << 0;
        QTest::newRow("deselecting a selected probe emits") << true << false << 1;
        QTest::newRow("deselecting an unselected probe emits nothing") << false << false << 0;
    }
    void set_selected_announces_changes_only()
    {
        QFETCH(bool, initial);
        QFETCH(bool, value);
        QFETCH(int, emitted);
        Probe probe;
        QVERIFY(!probe.is_selected());
        probe.set_selected(initial);
        QSignalSpy spy(&probe, &CircleProbeModel::modified);
        probe.set_selected(value);
        QCOMPARE(spy.count(), emitted);
        QCOMPARE(probe.is_selected(), value);
    }
};

KESU_TEST_CLASS(TestCircleProbeModel)
#include "tst_circleprobemodel.moc"
