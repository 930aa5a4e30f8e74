#include <models/circleprobemodel.h>

#include "testing.h"

#include <QSignalSpy>

#include <list>

namespace {

struct Probe : korvel::models::CircleProbeModel
{
    QPointF get_center() const override { return {}; }
    void set_center(const QPointF &) override { }
    double get_radius() const override { return 0.0; }
    void set_radius(double) override { }
    double get_measurement() const override { return 0.0; }
};

QVector<QRgb> colors(const std::list<Probe> &probes)
{
    QVector<QRgb> result;
    for (const Probe &probe : probes)
        result.append(probe.color().rgba());
    return result;
}

} // namespace

// The pool is shared by the whole process: every test destroys its probes, so that the next test
// starts with every colour free again.
class TestCircleProbeModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void first_colours_follow_the_golden_ratio()
    {
        const std::list<Probe> probes(3);
        QCOMPARE(std::next(probes.begin())->color(), QColor::fromHslF(0.618034, 1.0, 0.5, 1.0));
        QCOMPARE(probes.back().color(), QColor::fromHslF(0.236068, 1.0, 0.5, 1.0));
    }

    void full_pool_gives_grey_and_reuses_the_lowest_free_colour()
    {
        std::list<Probe> probes(Probe::max_probe());
        const QVector<QRgb> pool = colors(probes);
        QCOMPARE(QSet<QRgb>(pool.cbegin(), pool.cend()).size(), 128);
        probes.resize(129);
        QCOMPARE(colors(probes), pool + QVector<QRgb>{qRgb(128, 128, 128)});
        probes.resize(128);
        // Freed in this order, the colours of 5 and 9 must come back lowest first, then none.
        probes.erase(std::next(probes.begin(), 5));
        probes.erase(std::next(probes.begin(), 8));
        probes.resize(129);
        QCOMPARE(colors(probes).mid(126), (QVector<QRgb>{pool[5], pool[9], qRgb(128, 128, 128)}));
    }

    void set_selected_announces_changes_only()
    {
        Probe probe;
        QSignalSpy modified(&probe, &Probe::modified);
        const std::pair<bool, int> steps[] = {{true, 1}, {true, 1}, {false, 2}, {false, 2}};
        for (const auto &[selected, emitted] : steps) {
            probe.set_selected(selected);
            QCOMPARE(probe.is_selected(), selected);
            QCOMPARE(modified.count(), emitted);
        }
    }
};

KESU_TEST_CLASS(TestCircleProbeModel)
#include "tst_circleprobemodel.moc"
