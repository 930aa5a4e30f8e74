#include <transferfunction/model.h>

#include "testing.h"

#include <QSignalSpy>
#include <QThread>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

using kesu::test::SignalRecorder;
using korvel::transferfunction::BlendMode;
using korvel::transferfunction::HistogramRage;
using korvel::transferfunction::Model;

using Edit = std::function<void(Model &)>;
using Setter = void (Model::*)(double);
using Getter = double (Model::*)() const;
Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(Setter)
Q_DECLARE_METATYPE(Getter)

namespace {

// Records every signal of the model, with its argument for internal_changed.
void watch_all(SignalRecorder &recorder, const Model &model)
{
    QObject::connect(&model, &Model::internal_changed, &model, [&recorder](bool reset) {
        recorder.record(reset ? QStringLiteral("internal_changed")
                              : QStringLiteral("internal_changed(false)"));
    });
    const std::pair<void (Model::*)(), const char *> plain[] = {
        {&Model::reload, "reload"},
        {&Model::changed, "changed"},
        {&Model::points_changed, "points_changed"},
        {&Model::shade_changed, "shade_changed"},
        {&Model::ambient_changed, "ambient_changed"},
        {&Model::diffuse_changed, "diffuse_changed"},
        {&Model::specular_changed, "specular_changed"},
        {&Model::specular_power_changed, "specular_power_changed"},
        {&Model::histogram_changed, "histogram_changed"},
        {&Model::window_changed, "window_changed"},
        {&Model::background_color_changed, "background_color_changed"},
        {&Model::filter_changed, "filter_changed"},
    };
    for (const auto &[signal, name] : plain)
        recorder.watch(&model, signal, QLatin1String(name));
}

std::vector<Model::Point> at(std::initializer_list<double> xs)
{
    std::vector<Model::Point> points;
    for (double x : xs)
        points.push_back({x, 0.5, 0.1, 0.2, 0.3, 0.5, 0.0});
    return points;
}

QStringList names(const char *joined)
{
    return QString::fromLatin1(joined).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

class TestModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void new_model_holds_the_defaults()
    {
        Model model;
        QVERIFY(model.is_shade());
        QCOMPARE(model.get_ambient(), 0.15);
        QCOMPARE(model.get_diffuse(), 0.3);
        QCOMPARE(model.get_specular(), 0.9);
        QCOMPARE(model.get_specular_power(), 15.0);
        QCOMPARE(model.get_historgram_bins(), std::size_t(1024));
        QVERIFY((model.get_background_color() == std::array<double, 3>{0.0, 249.0, 255.0}));
        const HistogramRage &range = model.get_histogram_range();
        QVERIFY(range.min == 0.0 && range.max == 4096.0 && range.aux_min == 0.0
                && range.aux_max == 1.0);
        QVERIFY((model.window_width_level() == std::pair<float, float>(0.0f, 0.0f)));
        QVERIFY((model.get_range() == std::pair<double, double>(0.0, 4096.0)));
        QVERIFY(model.get_points().empty() && model.get_histogram().empty());
        QVERIFY(model.get_blend_mode() == BlendMode{0});
        QVERIFY(model.get_description().empty() && model.get_opacity_table().empty()
                && model.get_clut().empty() && model.get_convolution_filter().empty()
                && model.get_category().empty());
        QVERIFY(!model.is_custom_opacity() && !model.is_read_only() && !model.is_modified());
    }

    void edits_emit_their_signals_in_order_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("modifies");
        QTest::newRow("set_shade announces itself even without a change")
            << Edit([](Model &m) { m.set_shade(true); }) << names("shade_changed internal_changed")
            << true;
        QTest::newRow("set_specular_power accepts its upper bound")
            << Edit([](Model &m) { m.set_specular_power(256.0); })
            << names("specular_power_changed internal_changed") << true;
        QTest::newRow("set_points announces the window, not the points") << Edit([](Model &m) {
            m.set_points(at({0, 1000}));
        }) << names("window_changed internal_changed") << true;
        QTest::newRow("set_background_color") << Edit([](Model &m) {
            m.set_background_color({1.0, 2.0, 3.0});
        }) << names("background_color_changed internal_changed")
                                              << true;
        QTest::newRow("set_description has no signal of its own")
            << Edit([](Model &m) { m.set_description("Mine"); }) << names("internal_changed")
            << true;
        QTest::newRow("clear announces every field it resets")
            << Edit([](Model &m) { m.clear(); })
            << names("shade_changed ambient_changed diffuse_changed specular_changed "
                     "specular_power_changed window_changed background_color_changed "
                     "internal_changed")
            << true;
        QTest::newRow("the histogram is not part of the preset") << Edit([](Model &m) {
            m.set_historgram({1.0f, 2.0f}, {0, 400, 0, 1});
        }) << names("histogram_changed") << false;
        QTest::newRow("set_category is silent")
            << Edit([](Model &m) { m.set_category("CT"); }) << QStringList() << false;
        QTest::newRow("set_blend_mode is silent")
            << Edit([](Model &m) { m.set_blend_mode(BlendMode{3}); }) << QStringList() << false;
    }
    void edits_emit_their_signals_in_order()
    {
        QFETCH(Edit, edit);
        QFETCH(QStringList, expected);
        QFETCH(bool, modifies);
        Model model;
        SignalRecorder recorder;
        watch_all(recorder, model);
        edit(model);
        QCOMPARE(recorder.take(), expected);
        QCOMPARE(model.is_modified(), modifies);
    }

    void coefficients_are_range_checked_data()
    {
        QTest::addColumn<Setter>("setter");
        QTest::addColumn<Getter>("getter");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("accepted");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("ambient 4 is accepted")
            << Setter(&Model::set_ambient) << Getter(&Model::get_ambient) << 4.0 << true;
        QTest::newRow("ambient 0 is accepted")
            << Setter(&Model::set_ambient) << Getter(&Model::get_ambient) << 0.0 << true;
        QTest::newRow("ambient just above 4 is refused")
            << Setter(&Model::set_ambient) << Getter(&Model::get_ambient) << 4.000001 << false;
        QTest::newRow("ambient just below 0 is refused")
            << Setter(&Model::set_ambient) << Getter(&Model::get_ambient) << -0.001 << false;
        QTest::newRow("specular below 0 is refused")
            << Setter(&Model::set_specular) << Getter(&Model::get_specular) << -1.0 << false;
        QTest::newRow("specular power 256.5 is refused")
            << Setter(&Model::set_specular_power) << Getter(&Model::get_specular_power) << 256.5
            << false;
        QTest::newRow("specular power 5 is beyond the other coefficients' range but accepted")
            << Setter(&Model::set_specular_power) << Getter(&Model::get_specular_power) << 5.0
            << true;
        QTest::newRow("NaN is neither below nor above and is stored")
            << Setter(&Model::set_diffuse) << Getter(&Model::get_diffuse) << nan << true;
    }
    void coefficients_are_range_checked()
    {
        QFETCH(Setter, setter);
        QFETCH(Getter, getter);
        QFETCH(double, value);
        QFETCH(bool, accepted);
        Model model;
        const double before = (model.*getter)();
        SignalRecorder recorder;
        watch_all(recorder, model);
        if (accepted) {
            (model.*setter)(value);
            QVERIFY(std::isnan(value) ? std::isnan((model.*getter)()) : (model.*getter)() == value);
            QCOMPARE(recorder.take().size(), 2);
            return;
        }
        try {
            (model.*setter)(value);
            QFAIL("no exception");
        } catch (const std::out_of_range &error) {
            QCOMPARE(QLatin1String(error.what()), QLatin1String("range violation"));
        }
        QCOMPARE((model.*getter)(), before);
        QVERIFY(recorder.take().isEmpty());
        QVERIFY(!model.is_modified());
    }

    void window_follows_the_points_data()
    {
        QTest::addColumn<double>("first");
        QTest::addColumn<double>("last");
        QTest::addColumn<int>("count");
        QTest::addColumn<float>("width");
        QTest::addColumn<float>("level");
        QTest::newRow("no points give an empty window") << 0.0 << 0.0 << 0 << 0.0f << 0.0f;
        QTest::newRow("one point gives width 0 at its position")
            << 300.0 << 300.0 << 1 << 0.0f << 300.0f;
        QTest::newRow("two points span the window") << 0.0 << 1000.0 << 2 << 1000.0f << 500.0f;
        // The exact half width would give a level of -8388605.5.
        QTest::newRow("the level is computed from the width narrowed to float")
            << -16777215.0 << 4.0 << 2 << 16777220.0f << -8388605.0f;
    }
    void window_follows_the_points()
    {
        QFETCH(double, first);
        QFETCH(double, last);
        QFETCH(int, count);
        QFETCH(float, width);
        QFETCH(float, level);
        Model model;
        auto points = count == 0 ? at({}) : count == 1 ? at({first}) : at({first, last});
        model.set_points(std::move(points));
        QVERIFY(points.empty());
        QCOMPARE(model.window_width_level().first, width);
        QCOMPARE(model.window_width_level().second, level);
        QCOMPARE(model.get_points().size(), std::size_t(count));
    }

    void range_is_the_union_of_histogram_and_points()
    {
        Model model;
        model.set_historgram({}, {0.0, 400.0, 0.0, 1.0});
        model.set_points(at({100, 500}));
        QVERIFY((model.get_range() == std::pair<double, double>(0.0, 500.0)));
        model.set_points(at({-50, 200}));
        QVERIFY((model.get_range() == std::pair<double, double>(-50.0, 400.0)));
    }

    void clear_resets_all_but_the_histogram()
    {
        Model model;
        model.set_historgram({1.0f, 2.0f, 3.0f}, {-1000.0, 3000.0, 0.2, 0.8});
        model.set_points(at({0, 10}));
        model.set_shade(false);
        model.set_ambient(1.0);
        model.set_diffuse(1.0);
        model.set_specular(1.0);
        model.set_specular_power(100.0);
        model.set_background_color({1.0, 1.0, 1.0});
        model.set_blend_mode(BlendMode{2});
        model.set_description("Mine");
        model.set_category("CT");
        model.clear();
        Model fresh;
        QVERIFY(model.get_points().empty());
        QCOMPARE(model.is_shade(), fresh.is_shade());
        QCOMPARE(model.get_ambient(), fresh.get_ambient());
        QCOMPARE(model.get_diffuse(), fresh.get_diffuse());
        QCOMPARE(model.get_specular(), fresh.get_specular());
        QCOMPARE(model.get_specular_power(), fresh.get_specular_power());
        QVERIFY(model.get_background_color() == fresh.get_background_color());
        QVERIFY(model.get_blend_mode() == fresh.get_blend_mode());
        QVERIFY(model.window_width_level() == fresh.window_width_level());
        QVERIFY(model.get_description().empty() && model.get_category().empty());
        QCOMPARE(model.get_histogram().size(), std::size_t(3));
        QCOMPARE(model.get_histogram_range().aux_max, 0.8);
        QVERIFY((model.get_range() == std::pair<double, double>(-1000.0, 3000.0)));
        QVERIFY(model.is_modified());
    }

    void burst_of_edits_gives_one_changed()
    {
        Model model;
        QSignalSpy internal(&model, &Model::internal_changed);
        QSignalSpy changed(&model, &Model::changed);
        for (int i = 0; i < 10; ++i)
            model.set_ambient(i * 0.1);
        QCOMPARE(internal.count(), 10);
        QVERIFY(changed.wait(1000));
        QTest::qWait(50);
        QCOMPARE(changed.count(), 1);
    }

    void model_made_in_another_thread_lives_in_the_application_thread()
    {
        std::unique_ptr<Model> model;
        std::thread([&model] {
            model = std::make_unique<Model>();
            model->set_shade(false);
        }).join();
        QCOMPARE(model->thread(), QCoreApplication::instance()->thread());
        QSignalSpy changed(model.get(), &Model::changed);
        QVERIFY(changed.wait(1000));
        QVERIFY(model->is_modified());
    }
};

KESU_TEST_CLASS(TestModel)

#include "tst_model.moc"
