#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>

#include <algorithm>
#include <optional>
#include <stdexcept>

using namespace kesu::test;
using korvel::application::preset;
using korvel::transferfunction::Model;

namespace {

QVector<double> column(const Model &model, double Model::Point::*member)
{
    QVector<double> values;
    for (const auto &point : model.get_points())
        values << point.*member;
    return values;
}

} // namespace

class TestPresetFormat : public QObject
{
    Q_OBJECT

    std::optional<TemporaryStore> store;
    std::unique_ptr<korvel::application::impl::Manager> manager;

private Q_SLOTS:
    void init() { manager = store.emplace().start(); }
    void cleanup() { manager.reset(); }

    void object_without_members_is_reported()
    {
        WarningRecorder recorder;
        Model().load(with_members(R"({"unknown": 1})", {}));
        // Fourteen missing members, then the colour table with the empty name.
        QCOMPARE(recorder.warnings().join(QLatin1Char('\n')),
                 QString("incomplete file\n"_l).repeated(14) + "clut preset not found"_l);
    }

    void points_are_held_by_ascending_x()
    {
        Model model;
        model.load(with_members(R"({"points": [{"x": 300, "y": 0.3}, {"x": 100, "y": 0.1},
            {"x": 100, "y": 0.2}, 7], "description": "Edge"})"));
        QCOMPARE(column(model, &Model::Point::x), (QVector<double>{0, 100, 100, 300}));
        // Equal positions end in the reverse of their order in the array.
        const QVector<double> ys{0, 0.2, 0.1, 0.3};
        QCOMPARE(column(model, &Model::Point::y), ys);
        // Missing members, the midpoint too, and points that are not objects read 0.
        for (auto member : {&Model::Point::r, &Model::Point::g, &Model::Point::b,
                            &Model::Point::midpoint, &Model::Point::sharpness})
            QCOMPARE(column(model, member), QVector<double>(4, 0.0));
        // The window is taken as read, not from the points.
        QCOMPARE(model.window_width_level(), std::make_pair(400.0f, 40.0f));
        // Saved and read back, points that share an x keep their order.
        QVERIFY(model.save());
        Model reread;
        reread.load(preset("user/rendering/dvr/preset/Edge").get().toObject());
        QCOMPARE(column(reread, &Model::Point::y), ys);
        // Own points emptied later are written as an empty array.
        model.set_points({});
        QVERIFY(model.save());
        QCOMPARE(preset("user/rendering/dvr/preset/Edge/points").get(), QJsonValue(QJsonArray()));

        QByteArrayList descending; // joined once: appending would copy the text each time
        for (int i = 200000; i > 0; --i)
            descending.append("{\"x\": " + QByteArray::number(i) + "}");
        model.load(with_members("{\"points\": [" + descending.join(", ") + "]}"));
        const QVector<double> xs = column(model, &Model::Point::x);
        QVERIFY(xs.size() == 200000 && std::is_sorted(xs.begin(), xs.end()));
    }

    void range_violation_keeps_what_was_read_before()
    {
        for (const char *beyond : {R"({"ambient": 4.0001})", R"({"specular_power": 256.5})"})
            QVERIFY_EXCEPTION_THROWN(Model().load(with_members(beyond)), std::out_of_range);
        Model model;
        QSignalSpy reloads(&model, &Model::reload);
        QJsonObject object = with_members(R"({"specular": 5, "points": [{"x": 0}, {"x": 100}]})");
        try {
            model.load(object);
            QFAIL("specular 5 was accepted");
        } catch (const std::out_of_range &error) {
            QCOMPARE(QLatin1String(error.what()), "range violation"_l);
        }
        // Read before the specular coefficient: points, background, blend mode, group, shade,
        // diffuse; from the failing member on, the cleared values.
        QCOMPARE(std::make_tuple(reloads.count(), model.is_modified(), model.get_points().size(),
                                 model.is_custom_opacity(), model.get_background_color(),
                                 int(model.get_blend_mode()), model.get_category(),
                                 model.is_shade(), model.get_diffuse(), model.get_specular(),
                                 model.get_specular_power(), model.get_description(),
                                 model.get_clut(), model.window_width_level()),
                 std::make_tuple(0, true, std::size_t(2), true, std::array<double, 3>{10, 20, 30},
                                 2, std::string("CT"), false, 0.6, 0.9, 15.0, std::string(),
                                 std::string(), std::make_pair(0.0f, 0.0f)));
        // Without points of its own nothing is generated either, and the lock was released.
        object.remove("points"_l);
        QVERIFY_EXCEPTION_THROWN(model.load(object), std::out_of_range);
        QVERIFY(model.get_points().empty() && !model.is_custom_opacity());
    }

    void presets_are_saved_as_read_data()
    {
        QTest::addColumn<QJsonObject>("loaded");
        QTest::addColumn<QJsonObject>("saved");
        QTest::addColumn<QString>("warnings");
        // Changes to the complete preset; without a saved text it is not saved.
        const auto row = [](const char *name, const QByteArray &loaded, const QByteArray &saved,
                            const QByteArray &warning = {}) {
            QTest::newRow(name) << (loaded.isEmpty() ? QJsonObject() : with_members(loaded))
                                << (saved.isEmpty() ? QJsonObject() : with_members(saved))
                                << QString::fromLatin1(warning);
        };
        row("a new model, every member with its default", "",
            R"({"background": {"color": [0, 249, 255]}, "group": "", "blend_mode": 0,
            "read_only": false, "shade": true, "opacity": "", "clut": "", "ambient": 0.15,
            "diffuse": 0.3, "specular": 0.9, "specular_power": 15, "description": "Mine",
            "filters": {"convolution": [""]}, "window": [0, 0]})");
        row("generated points are not written", "{}", "{}");
        row("an ambient string reads 0", R"({"ambient": "high"})", R"({"ambient": 0})");
        row("blend mode 65537 keeps 16 bits", R"({"blend_mode": 65537})", R"({"blend_mode": 1})");
        row("blend mode -1 wraps to 65535", R"({"blend_mode": -1})", R"({"blend_mode": 65535})");
        row("blend mode 1.5 reads 0", R"({"blend_mode": 1.5})", R"({"blend_mode": 0})");
        row("a blend mode string reads 0", R"({"blend_mode": "3"})", R"({"blend_mode": 0})");
        row("a one-element window has level 0", R"({"window": [300]})", R"({"window": [300, 0]})");
        row("coefficients at their bounds", R"({"ambient": 4, "specular_power": 256})",
            R"({"ambient": 4, "specular_power": 256})");
        row("background without color", R"({"background": {}})",
            R"({"background": {"color": [0, 249, 255]}})", "incomplete file");
        row("filters without convolution", R"({"filters": {}})",
            R"({"filters": {"convolution": [""]}})", "incomplete file");
        const QByteArray points =
            R"("points": [{"x": -5, "y": 0, "r": 1, "g": 1, "b": 1, "midpoint": 1, "sharpness": 1}])";
        row("own points, the first filter, the float window widened exactly",
            "{" + points + R"(, "window": [0.1, -2.5], "filters": {"convolution": ["soft", "x"]}})",
            "{" + points
                + R"(, "window": [0.10000000149011612, -2.5], "filters": {"convolution": ["soft"]}})");
        row("a read-only preset is not saved", R"({"read_only": true})", "");
        // A name with "/" would nest in the store inside the preset "CT Bone", or deeper.
        row("a name with a slash is not saved", R"({"description": "CT Bone/my variant"})", "",
            "preset name contains \"/\", not saved: CT Bone/my variant");
    }
    void presets_are_saved_as_read()
    {
        QFETCH(QJsonObject, loaded);
        QFETCH(QJsonObject, saved);
        QFETCH(QString, warnings);
        WarningRecorder recorded;
        Model model;
        model.set_description("Mine");
        SignalRecorder recorder;
        recorder.watch_store(manager.get());
        recorder.watch(&model, &Model::reload, "reload"_l);
        recorder.watch(&model, &Model::filter_changed, "filter_changed"_l);
        model.load(loaded);
        // Saving leaves the modified flag as it was.
        QCOMPARE(model.save(), !saved.isEmpty());
        QCOMPARE(std::make_tuple(recorded.warnings().join(QLatin1Char('\n')), model.is_modified()),
                 std::make_tuple(warnings, loaded.isEmpty()));
        const QString name = saved.value("description"_l).toString();
        // An empty object changes nothing, not even announced.
        const QString load = loaded.isEmpty() ? QString() : "reload filter_changed"_l;
        const QString save = saved.isEmpty() ? QString()
                                             : " modified user/rendering/dvr/preset/"_l + name
                + " modified user/rendering/dvr/last/preset"_l;
        QCOMPARE(recorder.take().join(QLatin1Char(' ')), QString(load + save).trimmed());
        const QJsonObject dvr{{"preset"_l, QJsonObject{{name, saved}}},
                              {"last"_l, nest({"preset"_l}, QJsonObject{{"key"_l, name}})}};
        const QJsonObject written = saved.isEmpty() ? QJsonObject() : nest({"dvr"_l}, dvr);
        QCOMPARE(preset("user/rendering").get().toObject(), written);
    }
};

KESU_TEST_CLASS(TestPresetFormat)
#include "tst_presetformat.moc"
