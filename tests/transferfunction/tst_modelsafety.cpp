#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

using namespace kesu::test;
using korvel::application::preset;
using korvel::transferfunction::Model;
using M = Model;
using Points = std::vector<Model::Point>;
using Action = std::function<void(Model &)>;
// Connects a receiver directly to one signal of the model, for as long as the context lives.
using Watch = std::function<void(Model &, QObject &, std::function<void()>)>;
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(Watch)

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();
const float infinite = std::numeric_limits<float>::infinity();

// A preset with every member, so that loading it warns of nothing.
QJsonObject complete(const char *name, const QByteArray &members)
{
    QJsonObject object = QJsonDocument::fromJson(R"({"background": {"color": [0, 0, 0]},
        "blend_mode": 0, "group": "", "shade": true, "ambient": 0.15, "diffuse": 0.3,
        "specular": 0.9, "specular_power": 15, "window": [400, 40], "read_only": false,
        "opacity": "", "clut": "No CLUT", "filters": {"convolution": [""]}})")
                             .object();
    object.insert("description"_l, QLatin1String(name));
    const QJsonObject given = QJsonDocument::fromJson(members).object();
    for (auto member = given.begin(); member != given.end(); ++member)
        object.insert(member.key(), member.value());
    return object;
}

// "Standard" generated from the built-in grey, "Stored" from the stored table "Grey", "Own" with
// three points of its own.
QJsonObject shipped()
{
    QJsonArray ramp;
    for (int i = 0; i < 256; ++i)
        ramp.append(i);
    const QJsonObject presets{{"Standard"_l, complete("Standard", "{}")},
                              {"Stored"_l, complete("Stored", R"({"clut": "Grey"})")},
                              {"Own"_l, complete("Own", R"({"window": [200, 100],
            "points": [{"x": 0}, {"x": 100}, {"x": 200}]})")}};
    const QJsonObject grey{{"red"_l, ramp}, {"green"_l, ramp}, {"blue"_l, ramp}};
    return nest({"rendering"_l},
                QJsonObject{{"dvr"_l, nest({"preset"_l}, presets)},
                            {"clut"_l, nest({"preset"_l, "Grey"_l}, grey)}});
}

// The user's "Mine" holds "x", as an earlier version stored a preset saved as "Mine/x".
QJsonObject users()
{
    QJsonObject mine = complete("Mine", R"({"points": [{"x": 5}]})");
    mine.insert("x"_l, complete("Mine/x", R"({"window": [9, 9]})"));
    return nest({"rendering"_l, "dvr"_l, "preset"_l, "Mine"_l}, mine);
}

// What a receiver or a test sees of a model: window, points and name.
QString seen(const Model &m)
{
    const auto [width, level] = m.window_width_level();
    const Points points = m.get_points();
    return QString::asprintf("%g,%g %zu %s", double(width), double(level), points.size(),
                             m.get_description().c_str());
}

Action window(float width, float level)
{
    return [=](Model &m) {
        m.set_window(width, level);
    };
}

Action points(Points given)
{
    return [=](Model &m) {
        m.set_points(Points(given));
    };
}

Action loads(const char *name)
{
    return [=](Model &m) {
        m.load(std::string(name));
    };
}

template<typename Signal> Watch on(Signal signal)
{
    return [signal](Model &model, QObject &context, std::function<void()> look) {
        QObject::connect(
            &model, signal, &context, [look] { look(); }, Qt::DirectConnection);
    };
}

} // namespace

class TestModelSafety : public QObject
{
    Q_OBJECT

    std::optional<TemporaryStore> store;
    std::unique_ptr<korvel::application::impl::Manager> manager;

    std::unique_ptr<Model> holding(const char *name)
    {
        std::unique_ptr<Model> model(Model::create(false));
        model->load(std::string(name));
        return model;
    }

private Q_SLOTS:
    void init()
    {
        manager.reset();
        store.emplace();
        store->write_global(shipped());
        store->write_user(users());
        manager = store->start();
    }

    // A value that is not finite, or points whose window overflows a float, change nothing and
    // announce nothing; save() then finishes, as it did not while a point's x was NaN.
    void non_finite_values_change_nothing_data()
    {
        QTest::addColumn<QString>("preset");
        QTest::addColumn<Action>("edit");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char *name, const char *preset, Action edit, const char *text) {
            QTest::newRow(name) << QString::fromLatin1(preset) << edit << QString::fromLatin1(text);
        };
        row("a NaN width over own points", "Own", window(float(not_a_number), 40),
            "non-finite window ignored: nan, 40");
        row("an infinite level over generated points", "Stored", window(400, infinite),
            "non-finite window ignored: 400, inf");
        row("a NaN x", "Own", points({{0}, {not_a_number}, {10}}),
            "non-finite point ignored: point 1");
        row("an infinite red", "Own", points({{0, 0, infinite}}),
            "non-finite point ignored: point 0");
        row("points whose width overflows a float", "Own", points({{-3e38}, {3e38}}),
            "non-finite window ignored: inf, inf");
        row("points whose level overflows a float", "Own", points({{1e39}, {1e39}}),
            "non-finite window ignored: 0, inf");
    }
    void non_finite_values_change_nothing()
    {
        QFETCH(QString, preset);
        QFETCH(Action, edit);
        std::unique_ptr<Model> model = holding(qPrintable(preset));
        const QString before = seen(*model);
        const Points points_before = model->get_points();
        QSignalSpy internal(model.get(), &Model::internal_changed);
        WarningRecorder warnings;
        edit(*model);
        QVERIFY(finishes("save", [&] { return model->save(); }));
        QTEST(warnings.warnings().join(QLatin1Char('\n')), "warning");
        QCOMPARE(seen(*model), before);
        QCOMPARE(internal.count(), 0);
        QCOMPARE(model->get_points().back().x, points_before.back().x);
    }

    // A window beyond a float and a point built in memory with a NaN are left out on loading.
    void non_finite_values_are_not_loaded()
    {
        Model model;
        WarningRecorder warnings;
        model.load(QJsonObject{{"clut"_l, "No CLUT"_l}, {"window"_l, QJsonArray{1e39, 40}}});
        QCOMPARE(seen(model), "0,0 256 "_l);
        model.load(QJsonObject{
            {"points"_l,
             QJsonArray{QJsonObject{{"x"_l, 1}}, QJsonObject{{"x"_l, 2}, {"y"_l, not_a_number}}}}});
        QCOMPARE(seen(model), "0,0 1 "_l);
        QCOMPARE(warnings.warnings().filter("non-finite"_l),
                 QStringList({"non-finite window ignored: inf, 40"_l,
                              "non-finite point ignored: point 1"_l}));
    }

    // Points handed in out of order may lie far outside their extent, where moving them onto a
    // new window overflows: they are stacked on the level instead.
    void moved_points_stay_finite()
    {
        std::unique_ptr<Model> model = holding("Own");
        model->set_points({{0}, {1e300}, {1e-30}});
        model->set_window(1000, 0);
        QVector<double> xs;
        for (const Model::Point &point : model->get_points())
            xs.append(point.x);
        QCOMPARE(xs, QVector<double>({-10, 0, 10}));
    }

    // A view connected to the manager reads the model while it saves, in the saving thread.
    void save_beside_a_view_of_the_store()
    {
        std::unique_ptr<Model> model = holding("Own");
        QStringList views;
        QObject view;
        connect(
            manager.get(), &korvel::application::impl::Manager::modified, &view,
            [&](const QString &path) { views << path + ": "_l + seen(*model); },
            Qt::DirectConnection);
        QVERIFY(finishes("save beside a view", [&] { return model->save(); }));
        QCOMPARE(views,
                 QStringList({"user/rendering/dvr/preset/Own: 200,100 3 Own"_l,
                              "user/rendering/dvr/last/preset: 200,100 3 Own"_l}));
    }

    // One thread loads model A, whose record reaches a view of model B under the store's lock,
    // while another sets windows on B, whose colour table comes from the store.
    void load_beside_set_window_of_another_model()
    {
        std::unique_ptr<Model> a = holding("Standard"), b = holding("Stored");
        std::atomic<int> viewed{0};
        QObject view;
        connect(
            manager.get(), &korvel::application::impl::Manager::modified, &view,
            [&] { viewed += int(b->get_points().size() == 256); }, Qt::DirectConnection);
        finishes("load beside set_window", [&] {
            auto loading = std::async(std::launch::async, [&] {
                for (int i = 0; i < 500; ++i)
                    a->load(std::string(i % 2 ? "Own" : "Standard"));
            });
            for (int i = 0; i < 500; ++i)
                b->set_window(float(200 + i), 40.0f);
            loading.get();
        });
        QCOMPARE(viewed.load(), 500);
    }

    // A receiver connected directly calls back into the model and sees the state after the
    // change, each time the signal comes.
    void receivers_may_call_back_data()
    {
        QTest::addColumn<Watch>("watch");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("seen");
        const auto row = [](const char *name, Watch watch, Action action, const char *text) {
            QTest::newRow(name) << watch << action << QString::fromLatin1(text);
        };
        row("set_window generating points", on(&M::window_changed), window(300, 20),
            "300,20 256 Standard");
        row(
            "set_window spreading own points, after a load that cleared first",
            on(&M::window_changed),
            [](Model &m) {
                m.load(std::string("Own"));
                m.set_window(400, 100);
            },
            "0,0 0  | 400,100 3 Own");
        row("set_points", on(&M::window_changed), points({{0}, {50}}), "50,25 2 Standard");
        row(
            "clear", on(&M::internal_changed), [](Model &m) { m.clear(); }, "0,0 0 ");
        row("reload", on(&M::reload), loads("Stored"), "400,40 256 Stored");
        row(
            "filter_changed of remove", on(&M::filter_changed),
            [](Model &m) {
                m.set_description("Mine");
                m.remove();
            },
            "400,40 256 Standard");
        row(
            "set_description", on(&M::internal_changed),
            [](Model &m) { m.set_description("Renamed"); }, "400,40 256 Renamed");
    }
    void receivers_may_call_back()
    {
        QFETCH(Watch, watch);
        QFETCH(Action, action);
        std::unique_ptr<Model> model = holding("Standard");
        QStringList views;
        QObject view;
        watch(*model, view, [&] { views << seen(*model); });
        finishes("a receiver calling back", [&] { action(*model); });
        QTEST(views.join(" | "_l), "seen");
    }

    // Every accessor from four threads while two others move the model between presets, save
    // it and set windows: run under ThreadSanitizer, any unguarded field is a reported race.
    void every_accessor_from_many_threads()
    {
        std::unique_ptr<Model> model = holding("Stored");
        // Between the clear() and the load of remove(), a window is generated for no table.
        WarningRecorder quiet;
        const auto read_and_edit = [&model](int thread) {
            int sound = 0;
            for (int i = 0; i < 200; ++i) {
                Model &m = *model;
                const auto [width, level] = m.window_width_level();
                const auto [low, high] = m.get_range();
                sound += std::isfinite(width) && std::isfinite(level) && low <= high;
                m.set_shade(!m.is_shade());
                m.set_ambient(m.get_ambient() / 2);
                m.set_diffuse(m.get_diffuse() / 2);
                m.set_specular(m.get_specular() / 2);
                m.set_specular_power(m.get_specular_power() / 2);
                m.set_blend_mode(m.get_blend_mode());
                m.set_background_color(m.get_background_color());
                m.set_category(
                    m.get_clut() + m.get_convolution_filter() + m.get_opacity_table()
                    + std::to_string(m.is_read_only() + m.is_custom_opacity() + m.is_modified()));
                m.set_description(m.get_preset_name() == "Own" ? "Own" : m.get_description());
                m.set_historgram({1, 2}, {0, double(100 + thread), 0, 1});
                sound += m.get_historgram_bins() == 1024;
                if (i % 20 == thread)
                    m.set_points({{0}, {double(i)}});
                else if (i % 20 == thread + 10)
                    m.set_points(m.get_points());
            }
            return sound;
        };
        const auto move_and_save = [&model](int thread) {
            for (int i = 0; i < 100; ++i) {
                Model &m = *model;
                m.set_window(float(100 + i), float(thread));
                if (i % 10 == 0)
                    m.load(std::string(i % 20 ? "Own" : "Stored"));
                else if (i % 10 == 5)
                    m.save();
                else if (i % 10 == 7)
                    m.reset();
                else if (i % 25 == 9)
                    m.remove();
                else if (i % 10 == 3)
                    m.update_opacity_table();
            }
        };
        const int sound = finishes("every accessor", [&] {
            std::vector<std::future<int>> readers;
            for (int t = 0; t < 4; ++t)
                readers.push_back(std::async(std::launch::async, read_and_edit, t));
            auto first = std::async(std::launch::async, move_and_save, 0);
            move_and_save(1);
            first.get();
            int total = 0;
            for (auto &reader : readers)
                total += reader.get();
            return total;
        });
        QCOMPARE(sound, 4 * 200 * 2);
    }

    // "/" names no preset: nothing is stored or removed under it, and loading it finds nothing.
    void names_with_a_slash_are_not_names_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("seen");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char *name, const char *record, Action action, const char *text,
                            const char *warning) {
            QTest::newRow(name) << QString::fromLatin1(record) << action
                                << QString::fromLatin1(text) << QString::fromLatin1(warning);
        };
        row(
            "save would wipe the points of Mine", "Own",
            [](Model &m) {
                m.set_description("Mine/points/x");
                QVERIFY(!m.save());
            },
            "200,100 3 Mine/points/x", "preset name contains \"/\", not saved: Mine/points/x");
        row(
            "remove would drop a member of Mine", "Own",
            [](Model &m) {
                m.set_description("Mine/x");
                QVERIFY(!m.remove());
            },
            "200,100 3 Mine/x", "preset name contains \"/\", not removed: Mine/x");
        row("load finds nothing inside Mine and takes Standard", "Own", loads("Mine/x"),
            "400,40 256 Standard", "");
        row(
            "create(true) with such a record takes Standard, with a warning", "Mine/x",
            [](Model &) {}, "400,40 256 Standard", "preset name contains \"/\", not found: Mine/x");
    }
    void names_with_a_slash_are_not_names()
    {
        QFETCH(QString, record);
        QFETCH(Action, action);
        const QJsonValue mine = preset("user/rendering/dvr/preset/Mine").get();
        preset("user/rendering/dvr/last/preset").set(QJsonObject{{"key"_l, record}});
        WarningRecorder warnings;
        std::unique_ptr<Model> model(Model::create(true));
        action(*model);
        QTEST(seen(*model), "seen");
        QTEST(warnings.warnings().join(QLatin1Char('\n')), "warning");
        QCOMPARE(preset("user/rendering/dvr/preset/Mine").get(), mine);
    }

    // The colour table cannot be read without a manager: the window stays as it was.
    void set_window_that_throws_changes_nothing()
    {
        std::unique_ptr<Model> model = holding("Stored");
        const Points before = model->get_points();
        QSignalSpy windows(model.get(), &Model::window_changed);
        manager.reset();
        QVERIFY_EXCEPTION_THROWN(model->set_window(500, 60), std::logic_error);
        QCOMPARE(model->window_width_level(), std::make_pair(400.0f, 40.0f));
        QCOMPARE(model->get_points().front().x, before.front().x);
        QCOMPARE(windows.count(), 0);
    }
};

KESU_TEST_CLASS(TestModelSafety)
#include "tst_modelsafety.moc"
