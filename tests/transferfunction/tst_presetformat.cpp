#include <application/configuration.h>
#include <transferfunction/presetschema.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

using namespace kesu::test;
using korvel::application::preset;
using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;

namespace {

// "text member" for each problem, e.g. "incomplete file background/color".
QString listed(const std::vector<schema::Problem> &problems)
{
    QStringList lines;
    for (const schema::Problem &problem : problems)
        lines << QString(schema::text(problem) + QLatin1Char(' ') + problem.member).trimmed();
    return lines.join(QLatin1String("; "));
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

    void the_warning_texts_are_the_library_s()
    {
        WarningRecorder recorder;
        Model().load(with_members(R"({"unknown": 1})", {}));
        QVERIFY(!schema::is_finite_point({0, std::nan(""), 0, 0, 0, 0.5, 0}, 3));
        QVERIFY(!schema::is_finite_window(1.0f, -INFINITY));
        // Fourteen missing members, then the colour table with the empty name.
        QCOMPARE(recorder.warnings().join(QLatin1Char('\n')),
                 QString("incomplete file\n"_l).repeated(14)
                     + "clut preset not found\nnon-finite point ignored: point 3\n"_l
                     + "non-finite window ignored: 1, -inf"_l);
    }

    void every_member_is_checked_in_reading_order_data()
    {
        columns({"changes", "problems"});
        row("a missing member, a blend mode beyond 16 bits, and just past the bounds",
            {R"({"background": {}, "blend_mode": 65536, "ambient": 4.0001, "specular_power": 256.5,
                 "filters": {}})",
             "incomplete file background/color; not a whole number from 0 to 65535 blend_mode; "
             "range violation ambient; range violation specular_power; "
             "incomplete file filters/convolution"});
        row("members of the wrong type, points by place",
            {R"({"group": 5, "shade": "yes", "diffuse": "high", "window": [100], "blend_mode": 1.5,
                 "background": {"color": [0, "0", 0]}, "filters": {"convolution": [7]},
                 "points": [5, {"x": "1", "y": 0, "r": 0, "g": 0, "b": 0, "midpoint": 0.5}]})",
             "not a point object points/0; not a number points/1/x; "
             "not a number points/1/sharpness; not three numbers background/color; "
             "not a whole number from 0 to 65535 blend_mode; not a string group; "
             "not true or false shade; not a number diffuse; not two numbers window; "
             "not an array of names filters/convolution"});
        row("no arrays, no object, a window beyond a float's range, and the bounds themselves",
            {R"({"points": "nope", "background": 1, "filters": {"convolution": "x"}, "ambient": 4,
                 "specular_power": 256, "blend_mode": 65535, "window": [1e39, 1]})",
             "not an array of point objects points; not an object background; "
             "incomplete file background/color; non-finite window ignored: inf, 1 window; "
             "not an array of names filters/convolution"});
    }
    void every_member_is_checked_in_reading_order()
    {
        QFETCH(QString, changes);
        const auto reading = schema::Reading::every_member;
        QTEST(listed(schema::decode(with_members(changes.toUtf8()), reading).problems), "problems");
    }

    void colour_tables_are_checked_by_channel()
    {
        const QJsonArray full =
            QJsonDocument::fromJson("[0" + QByteArray(",0").repeated(255) + "]").array();
        QJsonArray short_red = full;
        short_red.removeLast();
        QCOMPARE(
            listed(schema::table_problems({{"red"_l, full}, {"green"_l, full}, {"blue"_l, full}})),
            QString());
        QCOMPARE(listed(schema::table_problems({})), "clut preset not found"_l);
        // A channel that is no array has no entries, a missing one is marked -1.
        const auto odd = schema::table_problems({{"red"_l, short_red}, {"green"_l, 7}});
        QCOMPARE(listed(odd),
                 "unsuported table size red; unsuported table size green; "
                 "unsuported table size blue"_l);
        QCOMPARE(std::make_tuple(odd[0].value, odd[1].value, odd[2].value),
                 std::make_tuple(255.0, 0.0, -1.0));
    }

    void a_preset_file_nests_names_with_a_slash()
    {
        const QJsonObject ambient{{"ambient"_l, 1}};
        const QJsonObject document = schema::document_with_preset("CT Bone/mine"_l, ambient);
        QCOMPARE(document,
                 nest({"rendering"_l, "dvr"_l, "preset"_l, "CT Bone"_l, "mine"_l}, ambient));
        QJsonObject folder = schema::presets_of(document);
        folder.insert("Plain"_l, ambient);
        folder.insert("Broken"_l, 5);
        folder.insert("Empty"_l, QJsonObject());
        QCOMPARE(QStringList(schema::presets_by_name(folder).keys()),
                 (QStringList{"Broken"_l, "CT Bone/mine"_l, "Empty"_l, "Plain"_l}));
    }

    void a_name_is_looked_up_as_the_model_loads_it_data()
    {
        columns({"name", "path"});
        row("the user's copy shadows the shipped preset",
            {"Bone", "user/rendering/dvr/preset/Bone"});
        row("a shipped preset", {"Skin", "global/rendering/dvr/preset/Skin"});
        row("a name found nowhere falls back", {"Nowhere", "global/rendering/dvr/preset/Standard"});
        row("a name with a slash falls back, though its path exists",
            {"Bone/description", "global/rendering/dvr/preset/Standard"});
    }
    void a_name_is_looked_up_as_the_model_loads_it()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        preset("user/rendering/dvr/preset/Bone").set(complete_preset());
        for (const char *shipped : {"Bone", "Skin", "Standard"})
            preset(std::string("global/rendering/dvr/preset/") + shipped)
                .set(QJsonObject{{QLatin1String(shipped), 1}});
        const schema::Found found = schema::find_preset(name.toStdString());
        QCOMPARE(std::make_tuple(QString::fromStdString(found.path), found.fallback),
                 std::make_tuple(path, path.endsWith("/Standard"_l)));
        QCOMPARE(found.value, preset(path.toStdString()).get());
        // Without a standard preset the fallback finds nothing.
        preset("global/rendering/dvr/preset/Standard").drop();
        QCOMPARE(schema::find_preset("Nowhere").path, std::string());
    }

    void points_are_held_by_ascending_x()
    {
        Model model;
        model.load(complete_preset());
        // Without points of its own a preset has one generated for each table entry.
        QCOMPARE(model.get_points().size(), schema::table_size);
        QByteArrayList descending; // joined once: appending would copy the text each time
        for (int i = 200000; i > 0; --i)
            descending.append("{\"x\": " + QByteArray::number(i) + "}");
        model.load(with_members("{\"points\": [" + descending.join(", ") + "]}"));
        const std::vector<Model::Point> points = model.get_points();
        const auto by_x = [](const Model::Point &a, const Model::Point &b) {
            return a.x < b.x;
        };
        QVERIFY(points.size() == 200000 && std::is_sorted(points.begin(), points.end(), by_x));
        // Own points emptied later are written as an empty array.
        model.set_points({});
        QVERIFY(model.save());
        QCOMPARE(preset("user/rendering/dvr/preset/Bone/points").get(), QJsonValue(QJsonArray()));
    }

    void range_violation_keeps_what_was_read_before()
    {
        Model model;
        QSignalSpy reloads(&model, &Model::reload);
        QJsonObject object = with_members(R"({"specular": 5, "points": [{"x": 0}, {"x": 100}]})");
        try {
            model.load(object);
            QFAIL("specular 5 was accepted");
        } catch (const std::out_of_range &error) {
            QCOMPARE(QLatin1String(error.what()), "range violation"_l);
        }
        QCOMPARE(std::make_tuple(reloads.count(), model.is_modified()), std::make_tuple(0, true));
        // Read before the specular coefficient: points, background, blend mode, group, shade,
        // diffuse; from the failing member on, the cleared values.
        QJsonObject held = schema::encode(schema::preset_of(model));
        QCOMPARE(held.take("points"_l).toArray().size(), 2);
        QCOMPARE(held, with_members(R"({"specular": 0.9, "specular_power": 15, "description": "",
            "window": [0, 0], "opacity": "", "clut": "", "filters": {"convolution": [""]}})"));
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
        // Blend modes keep their 16 bits; a number that is not whole, or a string, reads 0.
        row("an ambient string, blend mode 65537, a one-element window",
            R"({"ambient": "high", "blend_mode": 65537, "window": [300]})",
            R"({"ambient": 0, "blend_mode": 1, "window": [300, 0]})");
        row("coefficients at their bounds, blend mode -1",
            R"({"ambient": 4, "specular_power": 256, "blend_mode": -1})",
            R"({"ambient": 4, "specular_power": 256, "blend_mode": 65535})");
        row("background without color, blend mode 1.5", R"({"background": {}, "blend_mode": 1.5})",
            R"({"background": {"color": [0, 249, 255]}, "blend_mode": 0})", "incomplete file");
        row("filters without convolution, a blend mode string",
            R"({"filters": {}, "blend_mode": "3"})",
            R"({"filters": {"convolution": [""]}, "blend_mode": 0})", "incomplete file");
        // Held by ascending x, equal positions in the reverse of their order in the array, and
        // written so that they read back in the same order; missing members and points that are
        // not objects read 0.
        row("own points, the float window widened exactly, the first filter",
            R"({"points": [{"x": 300, "y": 0.3}, {"x": 100, "y": 0.1}, {"x": 100, "y": 0.2}, 7,
                {"x": -5, "y": 0, "r": 1, "g": 1, "b": 1, "midpoint": 1, "sharpness": 1}],
                "window": [0.1, -2.5], "filters": {"convolution": ["soft", "x"]}})",
            R"({"points": [{"x": -5, "y": 0, "r": 1, "g": 1, "b": 1, "midpoint": 1, "sharpness": 1},
                {"x": 0, "y": 0, "r": 0, "g": 0, "b": 0, "midpoint": 0, "sharpness": 0},
                {"x": 100, "y": 0.1, "r": 0, "g": 0, "b": 0, "midpoint": 0, "sharpness": 0},
                {"x": 100, "y": 0.2, "r": 0, "g": 0, "b": 0, "midpoint": 0, "sharpness": 0},
                {"x": 300, "y": 0.3, "r": 0, "g": 0, "b": 0, "midpoint": 0, "sharpness": 0}],
                "window": [0.10000000149011612, -2.5], "filters": {"convolution": ["soft"]}})");
        // Texts with a NUL, quotes, a line break and characters of two, three and four UTF-8 bytes.
        const QByteArray texts =
            R"({"description": "a\u0000\u0022\u005c\n\u00e9\u6f22\ud83d\ude00\udbff\udfff",
            "group": "/", "clut": "Endoscopy", "opacity": "Smooth Table"})";
        row("texts of every kind, a computed colour table", texts, texts);
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
        // Loaded by its name, a saved preset comes back as it was written.
        Model by_name;
        by_name.load(name.toStdString());
        QCOMPARE(schema::encode(schema::preset_of(by_name)),
                 saved.isEmpty() ? schema::encode({}) : saved);
    }
};

KESU_TEST_CLASS(TestPresetFormat)
#include "tst_presetformat.moc"
