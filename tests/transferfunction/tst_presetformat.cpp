#include <application/configuration.h>
#include <transferfunction/presetschema.h>

#include "testing.h"

#include <QJsonArray>
#include <QSignalSpy>

#include <optional>
#include <stdexcept>

using namespace kesu::test;
using korvel::application::preset;
using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;

class TestPresetFormat : public QObject
{
    Q_OBJECT

    std::optional<TemporaryStore> store;
    std::unique_ptr<korvel::application::impl::Manager> manager;

private Q_SLOTS:
    void init() { manager = store.emplace().start(); }
    void cleanup() { manager.reset(); }

    void a_load_warns_of_each_missing_member()
    {
        WarningRecorder recorder;
        // An empty object is not read at all: it would warn of every member.
        Model().load(QJsonObject());
        Model().load(with_members(R"({"unknown": 1})", {}));
        // Fourteen missing members, then the colour table with the empty name.
        QCOMPARE(recorder.warnings().join(QLatin1Char('\n')),
                 QString("incomplete file\n"_l).repeated(14) + "clut preset not found"_l);
        QVERIFY(schema::is_built_in_clut("No CLUT") && schema::is_built_in_clut("Endoscopy"));
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
        QStringList problems;
        for (const auto &problem :
             schema::decode(with_members(changes.toUtf8()), schema::Reading::every_member).problems)
            problems << QString(schema::text(problem) + QLatin1Char(' ') + problem.member);
        QTEST(problems.join("; "_l), "problems");
    }

    void a_preset_file_nests_names_with_a_slash()
    {
        const QJsonObject ambient{{"ambient"_l, 1}};
        const QJsonObject document = schema::document_with_preset("CT Bone/mine"_l, ambient);
        QCOMPARE(document,
                 nest({"rendering"_l, "dvr"_l, "preset"_l, "CT Bone"_l, "mine"_l}, ambient));
        // An object without preset members is a folder, anything else a preset however broken.
        const QJsonObject folder = with_members(
            R"({"Plain": {"ambient": 1}, "Broken": 5, "Empty": {}})", schema::presets_of(document));
        QCOMPARE(QStringList(schema::presets_by_name(folder).keys()),
                 (QStringList{"Broken"_l, "CT Bone/mine"_l, "Empty"_l, "Plain"_l}));
    }

    void a_name_is_looked_up_as_the_model_loads_it()
    {
        // The user's Bone holds a "description" that "Bone/description" would reach.
        preset("user/rendering/dvr/preset/Bone").set(complete_preset());
        for (const char *shipped : {"Bone", "Skin", "Standard"})
            preset(std::string("global/rendering/dvr/preset/") + shipped)
                .set(QJsonObject{{QLatin1String(shipped), 1}});
        const auto finds = [](const char *name, const char *path, bool fallback) {
            const schema::Found found = schema::find_preset(name);
            QCOMPARE(std::make_tuple(QString::fromStdString(found.path), found.fallback),
                     std::make_tuple(QString::fromLatin1(path), fallback));
            QCOMPARE(found.value, preset(path).get());
        };
        finds("Bone", "user/rendering/dvr/preset/Bone", false);
        finds("Skin", "global/rendering/dvr/preset/Skin", false);
        finds("Nowhere", "global/rendering/dvr/preset/Standard", true);
        finds("Bone/description", "global/rendering/dvr/preset/Standard", true);
        // Without a standard preset the fallback finds nothing.
        preset("global/rendering/dvr/preset/Standard").drop();
        QCOMPARE(schema::find_preset("Nowhere").path, std::string());
    }

    void range_violation_keeps_what_was_read_before()
    {
        Model model;
        QSignalSpy reloads(&model, &Model::reload);
        const auto object = with_members(R"({"specular": 5, "points": [{"x": 0}, {"x": 100}]})");
        QVERIFY_EXCEPTION_THROWN(model.load(object), std::out_of_range);
        QCOMPARE(std::make_tuple(reloads.count(), model.is_modified()), std::make_tuple(0, true));
        // Read before the specular coefficient: points, background, blend mode, group, shade,
        // diffuse; from the failing member on, the cleared values.
        QJsonObject held = schema::encode(schema::preset_of(model));
        QCOMPARE(held.take("points"_l).toArray().size(), 2);
        QCOMPARE(held, with_members(R"({"specular": 0.9, "specular_power": 15, "description": "",
            "window": [0, 0], "opacity": "", "clut": "", "filters": {"convolution": [""]}})"));
    }

    // Changes to the complete preset; without a saved text it is not saved.
    void presets_are_saved_as_read_data()
    {
        columns({"loaded", "saved", "warnings"});
        // Blend modes keep their 16 bits; other types read as 0 and false. The name has a NUL,
        // quotes, a line break and characters of two, three and four UTF-8 bytes.
        row("coefficients at their bounds, other types, blend mode 65537, texts of every kind",
            {R"({"ambient": 4, "specular_power": 256, "diffuse": "high", "shade": "yes",
                 "blend_mode": 65537, "window": [300], "group": "/",
                 "description": "a\u0000\u0022\u005c\n\u00e9\u6f22\ud83d\ude00\udbff\udfff"})",
             R"({"ambient": 4, "specular_power": 256, "diffuse": 0, "blend_mode": 1,
                 "window": [300, 0], "group": "/",
                 "description": "a\u0000\u0022\u005c\n\u00e9\u6f22\ud83d\ude00\udbff\udfff"})",
             ""});
        row("no color, no convolution, blend mode 1.5, a stored colour table",
            {R"({"background": {}, "filters": {}, "blend_mode": 1.5, "clut": "Grey"})",
             R"({"background": {"color": [0, 249, 255]}, "filters": {"convolution": [""]},
                 "blend_mode": 0, "clut": "Grey"})",
             "incomplete file\nincomplete file"});
        // Held by ascending x, equal positions in the reverse of their order in the array, and
        // written so that they read back in the same order; missing members read 0.
        row("own points, the float window widened exactly, the first filter",
            {R"({"points": [{"x": 100, "y": 0.1}, {"x": 100, "y": 0.2}, {"x": 300, "y": 0.3},
                 {"x": -5, "y": 0, "r": 1, "g": 1, "b": 1, "midpoint": 1, "sharpness": 1}],
                 "window": [0.1, -2.5], "filters": {"convolution": ["soft", "x"]}})",
             R"({"points": [{"x": -5, "y": 0, "r": 1, "g": 1, "b": 1, "midpoint": 1, "sharpness": 1},
                 {"x": 100, "y": 0.1, "r": 0, "g": 0, "b": 0, "midpoint": 0, "sharpness": 0},
                 {"x": 100, "y": 0.2, "r": 0, "g": 0, "b": 0, "midpoint": 0, "sharpness": 0},
                 {"x": 300, "y": 0.3, "r": 0, "g": 0, "b": 0, "midpoint": 0, "sharpness": 0}],
                 "window": [0.10000000149011612, -2.5], "filters": {"convolution": ["soft"]}})",
             ""});
        row("a read-only preset is not saved", {R"({"read_only": true})", "", ""});
    }
    void presets_are_saved_as_read()
    {
        QFETCH(QString, loaded);
        QFETCH(QString, saved);
        const QJsonArray full =
            QJsonDocument::fromJson("[0" + QByteArray(",0").repeated(255) + "]").array();
        preset("user/rendering/clut/preset/Grey")
            .set(QJsonObject{{"red"_l, full}, {"green"_l, full}, {"blue"_l, full}});
        WarningRecorder recorder;
        Model model;
        QSignalSpy reloads(&model, &Model::reload);
        QSignalSpy filters(&model, &Model::filter_changed);
        model.load(with_members(loaded.toUtf8()));
        // Saving leaves the modified flag as it was.
        QCOMPARE(model.save(), !saved.isEmpty());
        QTEST(recorder.warnings().join(QLatin1Char('\n')), "warnings");
        QCOMPARE(std::make_tuple(reloads.count(), filters.count(), model.is_modified()),
                 std::make_tuple(1, 1, false));
        const QJsonObject object = with_members(saved.toUtf8());
        const QString name = object.value("description"_l).toString();
        const QJsonObject dvr{{"preset"_l, QJsonObject{{name, object}}},
                              {"last"_l, nest({"preset"_l}, QJsonObject{{"key"_l, name}})}};
        QCOMPARE(preset("user/rendering/dvr").get().toObject(),
                 saved.isEmpty() ? QJsonObject() : dvr);
    }
};

KESU_TEST_CLASS(TestPresetFormat)
#include "tst_presetformat.moc"
