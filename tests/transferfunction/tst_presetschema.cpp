#include <application/configuration.h>
#include <transferfunction/model.h>
#include <transferfunction/presetschema.h>

#include "testing.h"

#include <QJsonArray>

#include <cmath>
#include <stdexcept>

using namespace kesu::test;
using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;
using Kind = schema::Problem::Kind;

namespace {

const QJsonObject complete = complete_preset();

// The complete object with the members of the JSON text replaced, and those named in removed
// taken out.
QJsonObject changed(const QByteArray &changes, const QStringList &removed = {})
{
    QJsonObject object = with_members(changes);
    for (const QString &name : removed)
        object.remove(name);
    return object;
}

// "text member" for each problem, e.g. "incomplete file background/color".
QString listed(const std::vector<schema::Problem> &problems)
{
    QStringList lines;
    for (const schema::Problem &problem : problems)
        lines << QString(schema::text(problem) + QLatin1Char(' ') + problem.member).trimmed();
    return lines.join(QLatin1String("; "));
}

QJsonArray channel(int size)
{
    QJsonArray entries;
    for (int i = 0; i < size; ++i)
        entries.append(i);
    return entries;
}

} // namespace

class TestPresetSchema : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void problems_come_in_reading_order_data()
    {
        QTest::addColumn<QJsonObject>("object");
        QTest::addColumn<bool>("every_member");
        QTest::addColumn<QString>("problems");
        QTest::newRow("a complete preset has none") << complete << false << QString();
        QTest::newRow("a colour missing inside the background is named with its path")
            << changed(R"({"background": {}})") << false << "incomplete file background/color";
        QTest::newRow("a missing outer member is reported once, not for the member inside")
            << changed("{}", {"filters"_l}) << false << "incomplete file filters";
        QTest::newRow("the bounds themselves are accepted")
            << changed(R"({"ambient": 4, "specular_power": 256})") << false << QString();
        QTest::newRow("a string where a coefficient belongs reads 0 and is accepted")
            << changed(R"({"diffuse": "high"})") << false << QString();
        QTest::newRow("as the model reads, a range violation ends the reading")
            << changed(R"({"ambient": 5, "specular_power": 300})", {"window"_l}) << false
            << "range violation ambient";
        QTest::newRow("reading every member finds every problem")
            << changed(R"({"ambient": 5, "specular_power": 300})", {"window"_l}) << true
            << "range violation ambient; range violation specular_power; incomplete file window";
        QTest::newRow("a window beyond a float's range keeps the cleared one")
            << changed(R"({"window": [1e39, 1]})") << false
            << "non-finite window ignored: inf, 1 window";
        // Read as neutral values without a word as the model reads; named when every member is.
        const QByteArray wrong_types = R"({"group": 5, "shade": "yes", "diffuse": "high",
            "window": [100], "blend_mode": 1.5, "background": {"color": [0, "0", 0]},
            "filters": {"convolution": [7]}, "points": [5, {"x": "1", "y": 0, "r": 0, "g": 0,
            "b": 0, "midpoint": 0.5}]})";
        QTest::newRow("members of the wrong type pass as the model reads")
            << changed(wrong_types) << false << QString();
        QTest::newRow("members of the wrong type are named, points by place, in reading order")
            << changed(wrong_types) << true
            << "not a point object points/0; not a number points/1/x; "
               "not a number points/1/sharpness; not three numbers background/color; "
               "not a whole number from 0 to 65535 blend_mode; not a string group; "
               "not true or false shade; not a number diffuse; not two numbers window; "
               "not an array of names filters/convolution";
        QTest::newRow("the blend mode's 16 bits are its range")
            << changed(R"({"blend_mode": 65535})") << true << QString();
        QTest::newRow("a blend mode beyond 16 bits would be read as another")
            << changed(R"({"blend_mode": 65536})") << true
            << "not a whole number from 0 to 65535 blend_mode";
        QTest::newRow("points and filters that are not arrays, a background that is no object")
            << changed(R"({"points": "nope", "background": 1, "filters": {"convolution": "x"}})")
            << true
            << "not an array of point objects points; not an object background; "
               "incomplete file background/color; not an array of names filters/convolution";
    }
    void problems_come_in_reading_order()
    {
        QFETCH(QJsonObject, object);
        QFETCH(bool, every_member);
        const auto reading =
            every_member ? schema::Reading::every_member : schema::Reading::as_the_model;
        QTEST(listed(schema::decode(object, reading).problems), "problems");
    }

    void a_range_violation_leaves_the_members_after_it_cleared()
    {
        const schema::Decoded decoded =
            schema::decode(changed(R"({"specular": 4.5, "points": [{"x": 1}]})"));
        const schema::Preset &read = decoded.preset;
        const schema::Preset cleared;
        QCOMPARE(
            std::make_tuple(read.category, read.diffuse, read.points.size(), read.custom_opacity),
            std::make_tuple(std::string("CT"), 0.6, std::size_t(1), true));
        QCOMPARE(std::make_tuple(read.specular, read.description, read.window_width, read.clut),
                 std::make_tuple(cleared.specular, cleared.description, cleared.window_width,
                                 cleared.clut));
        // Reported as the model reports it.
        QVERIFY_EXCEPTION_THROWN(schema::report(decoded.problems.back()), std::out_of_range);
    }

    void the_warning_texts_are_the_library_s()
    {
        WarningRecorder recorder;
        QVERIFY(!schema::is_finite_point({0, std::nan(""), 0, 0, 0, 0.5, 0}, 3));
        QVERIFY(!schema::is_finite_window(1.0f, -INFINITY));
        schema::report(schema::table_problems({}).front());
        QVERIFY(schema::refuses_preset_name("CT Bone/mine", "saved"));
        QVERIFY(!schema::refuses_preset_name("CT Bone", "saved"));
        QCOMPARE(recorder.warnings(),
                 (QStringList{"non-finite point ignored: point 3"_l,
                              "non-finite window ignored: 1, -inf"_l, "clut preset not found"_l,
                              "preset name contains \"/\", not saved: CT Bone/mine"_l}));
    }

    void colour_tables_are_checked_by_channel_data()
    {
        QTest::addColumn<QJsonObject>("table");
        QTest::addColumn<QString>("problems");
        QTest::addColumn<QVector<double>>("sizes");
        const QJsonObject full{
            {"red"_l, channel(256)}, {"green"_l, channel(256)}, {"blue"_l, channel(256)}};
        QJsonObject short_red = full;
        short_red.insert("red"_l, channel(255));
        QJsonObject odd = full;
        odd.remove("blue"_l);
        odd.insert("green"_l, 7);
        QTest::newRow("a full table has none") << full << QString() << QVector<double>();
        QTest::newRow("an empty table is not found")
            << QJsonObject() << "clut preset not found" << QVector<double>{0};
        QTest::newRow("a channel of 255 entries has the wrong size")
            << short_red << "unsuported table size red" << QVector<double>{255};
        QTest::newRow("a channel that is no array has no entries, a missing one is marked -1")
            << odd << "unsuported table size green; unsuported table size blue"
            << QVector<double>{0, -1};
    }
    void colour_tables_are_checked_by_channel()
    {
        QFETCH(QJsonObject, table);
        QFETCH(QVector<double>, sizes);
        const std::vector<schema::Problem> problems = schema::table_problems(table);
        QTEST(listed(problems), "problems");
        QVector<double> found;
        for (const schema::Problem &problem : problems)
            found << problem.value;
        QCOMPARE(found, sizes);
    }

    void a_preset_file_nests_names_with_a_slash()
    {
        const QJsonObject preset{{"ambient"_l, 1}};
        const QJsonObject document = schema::document_with_preset("CT Bone/mine"_l, preset);
        QCOMPARE(document,
                 nest({"rendering"_l, "dvr"_l, "preset"_l, "CT Bone"_l, "mine"_l}, preset));
        QJsonObject folder = schema::presets_of(document);
        folder.insert("Plain"_l, preset);
        folder.insert("Broken"_l, 5);
        folder.insert("Empty"_l, QJsonObject());
        QCOMPARE(QStringList(schema::presets_by_name(folder).keys()),
                 (QStringList{"Broken"_l, "CT Bone/mine"_l, "Empty"_l, "Plain"_l}));
    }

    void a_name_is_looked_up_as_the_model_loads_it_data()
    {
        columns({"name", "path"});
        QTest::addColumn<bool>("fallback");
        QTest::newRow("the user's copy shadows the shipped preset")
            << "Bone"
            << "user/rendering/dvr/preset/Bone" << false;
        QTest::newRow("a shipped preset") << "Skin"
                                          << "global/rendering/dvr/preset/Skin" << false;
        QTest::newRow("a name found nowhere falls back")
            << "Nowhere"
            << "global/rendering/dvr/preset/Standard" << true;
        QTest::newRow("a name with a slash falls back, though its path exists")
            << "Bone/description"
            << "global/rendering/dvr/preset/Standard" << true;
    }
    void a_name_is_looked_up_as_the_model_loads_it()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QFETCH(bool, fallback);
        TemporaryStore store;
        const QJsonObject bone = changed(R"({"description": "Bone"})");
        store.write_user(nest({"rendering"_l, "dvr"_l, "preset"_l, "Bone"_l}, bone));
        store.write_global(nest({"rendering"_l, "dvr"_l, "preset"_l},
                                QJsonObject{{"Standard"_l, complete}, {"Skin"_l, complete}}));
        const auto manager = store.start();
        const schema::Found found = schema::find_preset(name.toStdString());
        QCOMPARE(std::make_tuple(QString::fromStdString(found.path), found.fallback),
                 std::make_tuple(path, fallback));
        QCOMPARE(found.value, korvel::application::preset(path.toStdString()).get());
        // Without a standard preset the fallback finds nothing.
        korvel::application::preset("global/rendering/dvr/preset/Standard").drop();
        QCOMPARE(schema::find_preset("Nowhere").path, std::string());
    }

    void a_model_gives_back_what_it_read()
    {
        TemporaryStore store;
        const auto manager = store.start();
        Model model;
        model.load(complete);
        const schema::Preset held = schema::preset_of(model);
        QCOMPARE(held.points.size(), schema::table_size);
        QCOMPARE(schema::encode(held), schema::encode(schema::decode(complete).preset));
    }
};

KESU_TEST_CLASS(TestPresetSchema)
#include "tst_presetschema.moc"
