#include "colourmap.h"
#include "colourspace.h"
#include "volumeproperty.h"

#include "testing.h"

#include <QJsonArray>
#include <QJsonParseError>

#include <cmath>
#include <cstring>

using kesu::test::operator""_l;
namespace presets = kesu::presets;
using presets::Rgb;
using Mix = Rgb (*)(const Rgb &, const Rgb &, double);

Q_DECLARE_METATYPE(Rgb)
Q_DECLARE_METATYPE(Mix)

namespace {

// The table of the one map of a colour-map file.
QJsonObject table_of(const QByteArray &file)
{
    presets::ReadMaps read;
    QString error;
    if (!presets::read_colour_maps(file, read, error) || read.maps.size() != 1)
        return {};
    return presets::colour_table(read.maps.front());
}

// Entry i of a table as "i: r g b".
QString entry(const QJsonObject &table, int i)
{
    return QStringLiteral("%1: %2 %3 %4")
        .arg(i)
        .arg(table["red"_l][i].toInt())
        .arg(table["green"_l][i].toInt())
        .arg(table["blue"_l][i].toInt());
}

// JSON written with single quotes for double ones: brackets inside raw strings confuse moc.
QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

} // namespace

class TestImporters : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void colour_maps_are_sampled_in_their_space_data()
    {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<QString>("entries");
        // 1 lands on entry 51 of 0..5: the point's own colour, though Lab would not give it back.
        QTest::newRow("Lab: a point on an entry is its colour, rounded; the last is the end")
            << json("{'Name': 'L', 'ColorSpace': 'Lab', 'RGBPoints': [0, 0, 0, 0, 1, 0.8, 0.3, "
                    "0.1, 5, 1, 1, 1]}")
            << "51: 204 77 26, 255: 255 255 255";
        // Entry 128 of 0..2 lies at t = 128 / 255 between the points at 0 and 2.
        QTest::newRow("RGB between two points is linear")
            << json("{'Name': 'R', 'RGBPoints': [0, 0, 0, 0, 2, 1, 0.5, 0.2]}") << "128: 128 64 26";
        QTest::newRow("a step holds the colour below to the next point exactly, then the last")
            << json("{'Name': 'S', 'ColorSpace': 'Step', 'RGBPoints': [0, 1, 0, 0, 1, 0, 1, 0, 3, "
                    "0, 0, 1]}")
            << "84: 255 0 0, 85: 0 255 0, 255: 0 0 255";
        QTest::newRow("three indexed colours make bands of 0..85, 86..170 and 171..255")
            << json("{'Name': 'I', 'IndexedColors': [1, 0, 0, 0, 1, 0, 0, 0, 1]}")
            << "85: 255 0 0, 86: 0 255 0, 170: 0 255 0, 171: 0 0 255";
    }
    void colour_maps_are_sampled_in_their_space()
    {
        QFETCH(QByteArray, map);
        QFETCH(QString, entries);
        const QJsonObject table = table_of(map);
        QStringList sampled;
        for (const QString &expected : entries.split(", "_l))
            sampled << entry(table, expected.section(QLatin1Char(':'), 0, 0).toInt());
        QCOMPARE(sampled.join(", "_l), entries);
    }

    void colours_mix_in_their_space_data()
    {
        QTest::addColumn<Mix>("mix");
        QTest::addColumn<Rgb>("a");
        QTest::addColumn<Rgb>("b");
        QTest::addColumn<Rgb>("middle");
        QTest::addColumn<double>("tolerance");
        const auto row = [](const char *name, Mix mix, Rgb a, Rgb b, Rgb middle, double tolerance) {
            QTest::newRow(name) << mix << a << b << middle << tolerance;
        };
        row("HSV from red to magenta turns the short way, through pink", presets::mix_hsv,
            {1, 0, 0}, {1, 0, 1}, {1, 0, 0.5}, 1e-12);
        row("HSV from a grey takes the other end's hue", presets::mix_hsv, {0.5, 0.5, 0.5},
            {0, 0, 1}, {0.375, 0.375, 0.75}, 1e-12);
        // A blue and a red far apart in hue meet in a light grey of L* 88.
        row("diverging from blue to red meets near white", presets::mix_diverging,
            {0.230, 0.299, 0.754}, {0.706, 0.016, 0.150}, {0.865, 0.865, 0.865}, 0.02);
        row("diverging between two close hues does not pass through white", presets::mix_diverging,
            {0.2, 0.2, 0.8}, {0.3, 0.1, 0.9}, {0.25, 0.15, 0.85}, 0.03);
        row("Lab between black and white is mid grey in L*", presets::mix_lab, {0, 0, 0}, {1, 1, 1},
            {0.4663, 0.4663, 0.4663}, 1e-3);
    }
    void colours_mix_in_their_space()
    {
        QFETCH(Mix, mix);
        QFETCH(Rgb, a);
        QFETCH(Rgb, b);
        QFETCH(Rgb, middle);
        QFETCH(double, tolerance);
        const Rgb mixed = mix(a, b, 0.5);
        for (int c = 0; c < 3; ++c)
            QVERIFY2(
                std::fabs(mixed[c] - middle[c]) <= tolerance,
                qPrintable(QStringLiteral("%1 %2 %3").arg(mixed[0]).arg(mixed[1]).arg(mixed[2])));
    }

    void lab_from_black_to_white_rises_in_lightness()
    {
        const QJsonObject table = table_of(
            json("{'Name': 'L', 'ColorSpace': 'CIELAB', 'RGBPoints': [-3, 0, 0, 0, 7, 1, 1, 1]}"));
        double lightness = -1;
        for (int i = 0; i < 256; ++i) {
            const double c = table["red"_l][i].toDouble() / 255;
            const double l = presets::lab_of({c, c, c})[0];
            QVERIFY2(l >= lightness, qPrintable(QString::number(i)));
            lightness = l;
        }
        QCOMPARE(entry(table, 0) + ", "_l + entry(table, 255), "0: 0 0 0, 255: 255 255 255"_l);
    }

    void a_table_goes_out_and_comes_back_the_same()
    {
        QJsonObject table;
        for (const char *channel : {"red", "green", "blue"}) {
            QJsonArray entries;
            for (int i = 0; i < 256; ++i)
                entries.append((i * 37 + int(std::strlen(channel)) * 11) % 256);
            table.insert(QLatin1String(channel), entries);
        }
        const QJsonObject map = presets::colour_map_of("Back"_l, table);
        QCOMPARE(table_of(QJsonDocument(QJsonArray{map}).toJson()), table);
    }

    void colour_map_files_are_read_or_named_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("outcome");
        const auto invalid = [](const char *text) {
            QJsonParseError error{};
            QJsonDocument::fromJson(json(text), &error);
            QTest::newRow(text) << json(text)
                                << QStringLiteral("invalid JSON at offset %1: %2")
                                       .arg(error.offset)
                                       .arg(error.errorString());
        };
        const auto row = [](const char *name, const char *file, const char *outcome) {
            QTest::newRow(name) << json(file) << QString::fromUtf8(json(outcome));
        };
        row("a comma before the closing bracket and brace is accepted",
            "[{'Name': 'a,]', 'RGBPoints': [0, 0, 0, 0, 1, 1, 1, 1,],},]", "a,]");
        row("a comma inside a string stays", "{'Name': 'b, }', 'IndexedColors': [1, 1, 1]}",
            "b, }");
        invalid("[{'Name': 'c', 'RGBPoints': [0, 0, 0, 0, 1, 1, 1, 1}");
        invalid("[{'Name': 'd', 'IndexedColors': [1, 1, 1]}],");
        row("no name", "{'IndexedColors': [1, 1, 1]}", "colour map 1: no 'Name'");
        row("an unknown colour space",
            "{'Name': 'n', 'ColorSpace': 'XYZ', 'IndexedColors': [1, 1, 1]}",
            "colour map 1 'n': unknown 'ColorSpace' 'XYZ'");
        row("points not in fours", "{'Name': 'n', 'RGBPoints': [0, 0, 0, 0, 1]}",
            "colour map 1 'n': 'RGBPoints' holds 5 numbers, not groups of 4");
        row("x going back", "{'Name': 'n', 'RGBPoints': [1, 0, 0, 0, 0, 1, 1, 1]}",
            "colour map 1 'n': 'RGBPoints': x of point 1 is below the one before");
        row("text among the colours", "{'Name': 'n', 'IndexedColors': [1, '1', 1]}",
            "colour map 1 'n': 'IndexedColors': entry 1 is not a number");
        row("no colours at all", "{'Name': 'n', 'Points': [0, 1, 0.5, 0]}",
            "colour map 1 'n': neither 'RGBPoints' nor 'IndexedColors'");
    }
    // A map that cannot be read is left out and named; a file that does not parse is refused.
    void colour_map_files_are_read_or_named()
    {
        QFETCH(QByteArray, file);
        presets::ReadMaps read;
        QString error;
        const bool parsed = presets::read_colour_maps(file, read, error);
        const QString outcome = !parsed ? error
            : read.maps.empty()         ? read.problems.join("; "_l)
                                        : read.maps.front().name;
        QTEST(outcome, "outcome");
        QCOMPARE(int(read.maps.size() + read.problems.size()), parsed ? 1 : 0);
    }
    void volume_properties_become_presets_with_points_of_their_own()
    {
        // Colour at 0 and 100, opacity at 50 and 200; the second without a dash nor shading.
        presets::ReadProperties read;
        QString error;
        QVERIFY(presets::read_volume_properties(
            R"(<Presets><VolumeProperty name="CT-Bone" colorTransfer="8 0 1 0 0 100 0 0 1"
            scalarOpacity="4 50 0.2 200 1" ambient="5" diffuse="0.5" specular="-1"
            specularPower="300" shade="0"/><VolumeProperty name="Soft tissue"
            colorTransfer="4 10 1 1 1" scalarOpacity="2 10 1"/></Presets>)",
            read, error));
        QCOMPARE(read.problems, QStringList());
        QCOMPARE(
            read.warnings,
            (QStringList{"VolumeProperty \"CT-Bone\": \"ambient\" 5 clamped to 4"_l,
                         "VolumeProperty \"CT-Bone\": \"specular\" -1 clamped to 0"_l,
                         "VolumeProperty \"CT-Bone\": \"specularPower\" 300 clamped to 256"_l}));
        QCOMPARE(read.presets.size(), std::size_t(2));
        // The points are the union of both functions' places, each value from its own function
        // and held beyond its ends; the rest is the model's cleared preset, with each shading
        // value clamped into its range.
        const QJsonObject bone = QJsonDocument::fromJson(R"({"points": [
            {"x": 0, "y": 0.2, "r": 1, "g": 0, "b": 0, "midpoint": 0.5, "sharpness": 0},
            {"x": 50, "y": 0.2, "r": 0.5, "g": 0, "b": 0.5, "midpoint": 0.5, "sharpness": 0},
            {"x": 100, "y": 0.4666666666666667, "r": 0, "g": 0, "b": 1, "midpoint": 0.5,
            "sharpness": 0}, {"x": 200, "y": 1, "r": 0, "g": 0, "b": 1, "midpoint": 0.5,
            "sharpness": 0}], "ambient": 4, "diffuse": 0.5, "specular": 0, "specular_power": 256,
            "shade": false, "background": {"color": [0, 249, 255]}, "blend_mode": 0,
            "clut": "No CLUT", "description": "CT-Bone", "group": "CT", "opacity": "",
            "filters": {"convolution": [""]}, "read_only": false, "window": [200, 100]})")
                                     .object();
        QCOMPARE(read.presets.front().second, bone);
        QCOMPARE(read.presets.back().second,
                 kesu::test::with_members(R"({"ambient": 0.15, "diffuse": 0.3, "specular": 0.9,
                     "specular_power": 15, "shade": true, "description": "Soft tissue",
                     "group": "Imported", "window": [0, 10], "points": [{"x": 10, "y": 1,
                     "r": 1, "g": 1, "b": 1, "midpoint": 0.5, "sharpness": 0}]})",
                                          bone));
    }

    void volume_properties_that_cannot_be_read_are_named_data()
    {
        kesu::test::columns({"attributes", "problem"});
        const auto row = [](const char *attributes, const char *problem) {
            QTest::newRow(problem) << QString::fromUtf8(attributes)
                                   << "VolumeProperty "_l + QString::fromUtf8(problem);
        };
        row(R"(name="A" colorTransfer="8 0 1 1 1" scalarOpacity="2 0 1")",
            R"("A": "colorTransfer": the count 8 does not match the 4 values that follow in nodes of 4)");
        row(R"(name="A" colorTransfer="4 0 1 1 1" scalarOpacity="3 0 1 2")",
            R"("A": "scalarOpacity": the count 3 does not match the 3 values that follow in nodes of 2)");
        row(R"(name="A" colorTransfer="4 0 1 one 1" scalarOpacity="2 0 1")",
            R"("A": "colorTransfer": "one" is not a number)");
        row(R"(name="A" colorTransfer="4 0 1 1 1")", R"("A": "scalarOpacity" is missing)");
        row(R"(name="" colorTransfer="4 0 1 1 1" scalarOpacity="2 0 1")", R"(1: "name" is empty)");
        row(R"(name="A" diffuse="much" colorTransfer="4 0 1 1 1" scalarOpacity="2 0 1")",
            R"("A": "diffuse": "much" is not a number)");
        row(R"(name="A" colorTransfer="4 0 2 1 1" scalarOpacity="2 0 1")",
            R"("A": "colorTransfer": 2 at x 0 is outside 0..1)");
    }
    void volume_properties_that_cannot_be_read_are_named()
    {
        QFETCH(QString, attributes);
        presets::ReadProperties read;
        QString error;
        presets::read_volume_properties("<VolumeProperty "_l.latin1() + attributes.toUtf8() + "/>",
                                        read, error);
        QCOMPARE(read.presets.size(), std::size_t(0));
        QTEST(read.problems.join("; "_l), "problem");
    }
};

KESU_TEST_CLASS(TestImporters)
#include "tst_importers.moc"
