#include <transferfunction/model.h>

#include "testing.h"

#include <QSignalSpy>

#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

using kesu::test::operator""_l;
using kesu::test::SignalRecorder;
using korvel::transferfunction::BlendMode;
using Model = korvel::transferfunction::Model;
using M = Model;
using Edit = std::function<void(Model &)>;
using Points = std::vector<Model::Point>;
Q_DECLARE_METATYPE(Edit)

namespace {

// Every signal of the model in one list, without the "_changed" ending.
void watch_all(SignalRecorder &recorder, const Model &model)
{
    recorder.watch(&model, &M::internal_changed, QStringLiteral("internal"));
    recorder.watch(&model, &M::reload, QStringLiteral("reload"));
    recorder.watch(&model, &M::changed, QStringLiteral("changed"));
#define KESU_CHANGED(name) std::make_pair(&M::name##_changed, #name)
    for (const auto &[signal, name] :
         {KESU_CHANGED(points), KESU_CHANGED(shade), KESU_CHANGED(ambient), KESU_CHANGED(diffuse),
          KESU_CHANGED(specular), KESU_CHANGED(specular_power), KESU_CHANGED(histogram),
          KESU_CHANGED(window), KESU_CHANGED(background_color), KESU_CHANGED(filter)})
        recorder.watch(&model, signal, QLatin1String(name));
#undef KESU_CHANGED
}

// The model's state as "name=value" fields, numbers with the digits that tell them apart.
QStringList fields(const Model &m)
{
    const auto [width, level] = m.window_width_level();
    const auto [low, high] = m.get_range();
    const auto c = m.get_background_color();
    const auto h = m.get_histogram_range();
    return QString::asprintf(
               "shade=%d ambient=%.16g diffuse=%.16g specular=%.16g power=%.16g "
               "window=%.16g,%.16g range=%.16g,%.16g background=%g,%g,%g "
               "histogram=%zu:%g,%g,%g,%g bins=%zu points=%zu blend=%d description=%s "
               "category=%s opacity=%s clut=%s filter=%s custom=%d read_only=%d",
               m.is_shade(), m.get_ambient(), m.get_diffuse(), m.get_specular(),
               m.get_specular_power(), double(width), double(level), low, high, c[0], c[1], c[2],
               m.get_histogram().size(), h.min, h.max, h.aux_min, h.aux_max,
               m.get_historgram_bins(), m.get_points().size(), int(m.get_blend_mode()),
               m.get_description().c_str(), m.get_category().c_str(), m.get_opacity_table().c_str(),
               m.get_clut().c_str(), m.get_convolution_filter().c_str(), m.is_custom_opacity(),
               m.is_read_only())
        .split(QLatin1Char(' '));
}

// The fields that differ from the values a new model holds.
QString changes(const Model &m)
{
    QStringList changed = fields(m);
    for (const QString &field :
         QStringLiteral(
             "shade=1 ambient=0.15 diffuse=0.3 specular=0.9 power=15 window=0,0 range=0,4096 "
             "background=0,249,255 histogram=0:0,4096,0,1 bins=1024 points=0 blend=0 "
             "description= category= opacity= clut= filter= custom=0 read_only=0")
             .split(QLatin1Char(' ')))
        changed.removeOne(field);
    return changed.join(QLatin1Char(' '));
}

template<typename Value, typename Parameter> Edit set(void (Model::*setter)(Parameter), Value value)
{
    return [=](Model &m) {
        (m.*setter)(Value(value));
    };
}

} // namespace

class TestModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The signals of each edit in their order, then the fields it changed; a refused value
    // changes and announces nothing.
    void edits_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const char *expected, const Edit &edit) {
            QTest::newRow(name) << edit << QString::fromLatin1(expected);
        };
        row("a new model holds the defaults", " | ", [](Model &) {});
        row("set_shade even without a change", "shade internal | ", set(&M::set_shade, true));
        row("ambient 4 is accepted", "ambient internal | ambient=4", set(&M::set_ambient, 4.0));
        row("ambient 0 is accepted", "ambient internal | ambient=0", set(&M::set_ambient, 0.0));
        row("ambient 4.000001 is refused", "range violation | ", set(&M::set_ambient, 4.000001));
        row("ambient -0.001 is refused", "range violation | ", set(&M::set_ambient, -0.001));
        row("power 256 is accepted", "specular_power internal | power=256",
            set(&M::set_specular_power, 256.0));
        row("power 256.5 is refused", "range violation | ", set(&M::set_specular_power, 256.5));
        row("power 5 is beyond 4 yet accepted", "specular_power internal | power=5",
            set(&M::set_specular_power, 5.0));
        row("NaN is stored", "diffuse internal | diffuse=nan", set(&M::set_diffuse, qQNaN()));
        row("no points give an empty window", "window internal | ", set(&M::set_points, Points{}));
        row("one point gives width 0 at its position", "window internal | window=0,300 points=1",
            set(&M::set_points, Points{{300}}));
        row("set_points announces the window, not the points",
            "window internal | window=1000,500 points=2", set(&M::set_points, Points{{0}, {1000}}));
        // The exact half width would give a level of -8388605.5.
        row("the level comes from the width narrowed to float",
            "window internal | window=16777220,-8388605 range=-16777215,4096 points=2",
            set(&M::set_points, Points{{-16777215}, {4}}));
        row("the range joins histogram and points",
            "histogram window internal | window=400,300 range=0,500 histogram=0:0,400,0,1 points=2",
            [](Model &m) {
                m.set_historgram({}, {0, 400, 0, 1});
                m.set_points({{100}, {500}});
            });
        row("set_background_color", "background_color internal | background=1,2,3",
            set(&M::set_background_color, std::array<double, 3>{1, 2, 3}));
        row("set_description has no signal of its own", "internal | description=Mine",
            set(&M::set_description, std::string("Mine")));
        row("clear resets all but the histogram and announces every field it resets",
            "histogram window internal ambient internal internal shade ambient diffuse specular "
            "specular_power window "
            "background_color internal | range=-1000,3000 histogram=3:-1000,3000,0.2,0.8",
            [](Model &m) {
                m.set_historgram({1, 2, 3}, {-1000, 3000, 0.2, 0.8});
                m.set_points({{0}, {10}});
                m.set_ambient(1);
                m.set_description("Mine");
                m.set_category("CT");
                m.clear();
            });
        row("the histogram is not part of the preset",
            "histogram | range=0,400 histogram=2:0,400,0,1", [](Model &m) {
                m.set_historgram({1, 2}, {0, 400, 0, 1});
            });
        row("set_category is silent", " | category=CT", set(&M::set_category, std::string("CT")));
        row("set_blend_mode is silent", " | blend=3", set(&M::set_blend_mode, BlendMode{3}));
    }
    void edits()
    {
        QFETCH(Edit, edit);
        QFETCH(QString, expected);
        Model model;
        SignalRecorder recorder;
        watch_all(recorder, model);
        QString outcome;
        try {
            edit(model);
        } catch (const std::out_of_range &error) {
            outcome = QString::fromLatin1(error.what());
        }
        const QString emitted = recorder.take().join(QLatin1Char(' '));
        QCOMPARE(QString(outcome + emitted + " | "_l + changes(model)), expected);
        // Only internal_changed marks the model as modified, and clear() leaves it so.
        QCOMPARE(model.is_modified(), emitted.contains("internal"_l));
    }

    // From the model's thread or another, made or edited there, a burst gives one changed().
    void burst_of_edits_gives_one_changed_data()
    {
        QTest::addColumn<bool>("made_elsewhere");
        QTest::addColumn<bool>("edited_elsewhere");
        QTest::newRow("made and edited in the model's thread") << false << false;
        QTest::newRow("edited in another thread") << false << true;
        QTest::newRow("made and edited in another thread") << true << true;
    }
    void burst_of_edits_gives_one_changed()
    {
        QFETCH(bool, made_elsewhere);
        QFETCH(bool, edited_elsewhere);
        kesu::test::WarningRecorder warnings;
        std::unique_ptr<Model> model;
        const auto make = [&model] {
            model = std::make_unique<Model>();
        };
        made_elsewhere ? std::thread(make).join() : make();
        QSignalSpy internal(model.get(), &M::internal_changed);
        QSignalSpy changed(model.get(), &M::changed);
        const auto edit = [&model] {
            for (int i = 0; i < 10; ++i)
                model->set_ambient(i * 0.1);
        };
        edited_elsewhere ? std::thread(edit).join() : edit();
        QCOMPARE(internal.count(), 10);
        QVERIFY(changed.wait(1000));
        QTest::qWait(50);
        QCOMPARE(changed.count(), 1);
        QVERIFY2(warnings.warnings().isEmpty(), qPrintable(warnings.warnings().join(u'\n')));
    }
};

KESU_TEST_CLASS(TestModel)

#include "tst_model.moc"
