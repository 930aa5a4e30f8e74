#include "colourmap.h"
#include "colourspace.h"
#include "volumeproperty.h"

#include "testing.h"

#include <QJsonArray>
#include <QJsonParseError>

#include <cmath>

using kesu::test::operator""_l;
namespace presets = kesu::presets;
using presets::Rgb;
using Mix = Rgb (*)(const Rgb &, const Rgb &, double);

namespace {

// JSON written with single quotes for double ones: brackets inside raw strings confuse moc.
QByteArray json(const QString &text)
{
    return text.toUtf8().replace('\'', '"');
}

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

} // namespace

class TestImporters : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void colour_maps_are_sampled_in_their_space()
    {
        // The entries named, as "i: r g b", of the table of a file of one map.
        const auto add = [](const char *map, const char *entries) {
            const QJsonObject table = table_of(json(QString::fromUtf8(map)));
            QStringList sampled;
            for (const QString &expected : QString::fromUtf8(entries).split(", "_l))
                sampled << entry(table, expected.section(QLatin1Char(':'), 0, 0).toInt());
            QCOMPARE(sampled.join(", "_l), QString::fromUtf8(entries));
        };
        // 1 lands on entry 51 of 0..5: the point's own colour, though Lab would not give it back.
        add("{'Name': 'L', 'ColorSpace': 'Lab', 'RGBPoints': [0, 0, 0, 0, 1, 0.8, 0.3, 0.1, 5, 1, "
            "1, 1]}",
            "51: 204 77 26, 255: 255 255 255");
        add("{'Name': 'L', 'ColorSpace': 'CIELAB', 'RGBPoints': [-3, 0, 0, 0, 7, 1, 1, 1]}",
            "0: 0 0 0, 128: 119 119 119, 255: 255 255 255");
        // Entry 128 of 0..2 lies at t = 128 / 255 between the points at 0 and 2.
        add("{'Name': 'R', 'RGBPoints': [0, 0, 0, 0, 2, 1, 0.5, 0.2]}", "128: 128 64 26");
        add("{'Name': 'S', 'ColorSpace': 'Step', 'RGBPoints': [0, 1, 0, 0, 1, 0, 1, 0, 3, 0, 0, "
            "1]}",
            "84: 255 0 0, 85: 0 255 0, 255: 0 0 255");
        add("{'Name': 'I', 'IndexedColors': [1, 0, 0, 0, 1, 0, 0, 0, 1]}",
            "85: 255 0 0, 86: 0 255 0, 170: 0 255 0, 171: 0 0 255");
    }

    void colours_mix_in_their_space()
    {
        const auto halfway = [](Mix mix, Rgb a, Rgb b, Rgb middle, double tolerance) {
            const Rgb mixed = mix(a, b, 0.5);
            for (int c = 0; c < 3; ++c)
                QVERIFY2(std::fabs(mixed[c] - middle[c]) <= tolerance,
                         qPrintable(
                             QStringLiteral("%1 %2 %3").arg(mixed[0]).arg(mixed[1]).arg(mixed[2])));
        };
        // HSV turns the short way from red to magenta, and a grey takes the other end's hue.
        halfway(presets::mix_hsv, {1, 0, 0}, {1, 0, 1}, {1, 0, 0.5}, 1e-12);
        halfway(presets::mix_hsv, {0.5, 0.5, 0.5}, {0, 0, 1}, {0.375, 0.375, 0.75}, 1e-12);
        // Far apart in hue, a blue and a red meet in a light grey of L* 88; close hues do not.
        halfway(presets::mix_diverging, {0.230, 0.299, 0.754}, {0.706, 0.016, 0.150},
                {0.865, 0.865, 0.865}, 0.02);
        halfway(presets::mix_diverging, {0.2, 0.2, 0.8}, {0.3, 0.1, 0.9}, {0.25, 0.15, 0.85}, 0.03);
    }

    void a_table_goes_out_and_comes_back_the_same()
    {
        QJsonObject table;
        for (const char *channel : {"red", "green", "blue"}) {
            QJsonArray entries;
            for (int i = 0; i < 256; ++i)
                entries.append((i * 37 + table.size() * 11) % 256);
            table.insert(QLatin1String(channel), entries);
        }
        const QJsonObject map = presets::colour_map_of("Back"_l, table);
        QCOMPARE(table_of(QJsonDocument(QJsonArray{map}).toJson()), table);
    }

    // A map that cannot be read is left out and named; a file that does not parse is refused.
    void colour_map_files_are_read_or_named()
    {
        // The names of the maps read, then the problems; or why the file does not parse.
        const auto add = [](const char *file, const char *outcome) {
            presets::ReadMaps read;
            QString error;
            const bool parsed =
                presets::read_colour_maps(json(QString::fromUtf8(file)), read, error);
            QStringList found = read.problems;
            for (auto map = read.maps.crbegin(); map != read.maps.crend(); ++map)
                found.prepend(map->name);
            QCOMPARE(parsed ? found.join("; "_l) : error,
                     QString::fromUtf8(json(QString::fromUtf8(outcome))));
        };
        const auto invalid = [&add](const char *text) {
            QJsonParseError error{};
            QJsonDocument::fromJson(json(QString::fromUtf8(text)), &error);
            add(text,
                qPrintable(QStringLiteral("invalid JSON at offset %1: %2")
                               .arg(error.offset)
                               .arg(error.errorString())));
        };
        // Maps that cannot be read among one that can, with commas before closing brackets.
        add("[{'Name': 'a,]', 'RGBPoints': [0, 0, 0, 0, 1, 1, 1, 1,],}, {'IndexedColors': [1, 1, "
            "1]}, "
            "{'Name': 'n', 'ColorSpace': 'XYZ', 'IndexedColors': [1, 1, 1]}, "
            "{'Name': 'n', 'RGBPoints': [0, 0, 0, 0, 1]}, "
            "{'Name': 'n', 'RGBPoints': [1, 0, 0, 0, 0, 1, 1, 1]}, "
            "{'Name': 'n', 'IndexedColors': [1, '1', 1]}, {'Name': 'n', 'Points': [0, 1]},]",
            "a,]; colour map 2: no 'Name'; colour map 3 'n': unknown 'ColorSpace' 'XYZ'; "
            "colour map 4 'n': 'RGBPoints' holds 5 numbers, not groups of 4; "
            "colour map 5 'n': 'RGBPoints': x of point 1 is below the one before; "
            "colour map 6 'n': 'IndexedColors': entry 1 is not a number; "
            "colour map 7 'n': neither 'RGBPoints' nor 'IndexedColors'");
        add("{'Name': 'b, }', 'IndexedColors': [1, 1, 1]}", "b, }");
        invalid("[{'Name': 'c', 'RGBPoints': [0, 0, 0, 0, 1, 1, 1, 1}");
        invalid("[{'Name': 'd', 'IndexedColors': [1, 1, 1]}],");
    }

    // Elements that cannot be read are named and left out; the others become presets.
    void volume_properties_become_presets_with_points_of_their_own()
    {
        // Colour at 0 and 100, opacity at 50 and 200; the second without a dash nor shading.
        presets::ReadProperties read;
        QString error;
        QVERIFY(presets::read_volume_properties(
            R"(<Presets><VolumeProperty name="CT-Bone" colorTransfer="8 0 1 0 0 100 0 0 1"
            scalarOpacity="4 50 0.2 200 1" ambient="5" diffuse="0.5" specular="-1"
            specularPower="300" shade="0"/><VolumeProperty name="Soft tissue"
            colorTransfer="4 10 1 1 1" scalarOpacity="2 10 1"/>
            <VolumeProperty name="A" colorTransfer="8 0 1 1 1" scalarOpacity="2 0 1"/>
            <VolumeProperty name="B" colorTransfer="4 0 1 1 1" scalarOpacity="3 0 1 2"/>
            <VolumeProperty name="C" colorTransfer="4 0 1 one 1" scalarOpacity="2 0 1"/>
            <VolumeProperty name="D" colorTransfer="4 0 2 1 1" scalarOpacity="2 0 1"/>
            <VolumeProperty name="E" colorTransfer="8 5 1 1 1 4 1 1 1" scalarOpacity="2 0 1"/>
            <VolumeProperty name="F" colorTransfer="4 0 1 1 1"/>
            <VolumeProperty name="" colorTransfer="4 0 1 1 1" scalarOpacity="2 0 1"/>
            <VolumeProperty name="H" diffuse="much" colorTransfer="4 0 1 1 1" scalarOpacity="2 0 1"/>
            <VolumeProperty name="I" shade="2" colorTransfer="4 0 1 1 1" scalarOpacity="2 0 1"/>
            </Presets>)",
            read, error));
        QCOMPARE(
            read.problems.join("\n"_l).remove("VolumeProperty "_l),
            R"("A": "colorTransfer": the count 8 does not match the 4 values that follow in nodes of 4
"B": "scalarOpacity": the count 3 does not match the 3 values that follow in nodes of 2
"C": "colorTransfer": "one" is not a number
"D": "colorTransfer": 2 at x 0 is outside 0..1
"E": "colorTransfer": x 4 is below the one before
"F": "scalarOpacity" is missing
9: "name" is empty
"H": "diffuse": "much" is not a number
"I": "shade": "2" is neither 0 nor 1)"_l);
        QCOMPARE(read.warnings.join("; "_l),
                 R"(VolumeProperty "CT-Bone": "ambient" 5 clamped to 4; )"
                 R"(VolumeProperty "CT-Bone": "specular" -1 clamped to 0; )"
                 R"(VolumeProperty "CT-Bone": "specularPower" 300 clamped to 256)"_l);
        QCOMPARE(read.presets.size(), std::size_t(2));
        // The points are the union of both functions' places, each value from its own function
        // and held beyond its ends; the rest is the model's cleared preset, shading clamped.
        const auto point = [](double x, double y, double r, double g, double b) {
            return QJsonObject{{"x"_l, x}, {"y"_l, y},          {"r"_l, r},        {"g"_l, g},
                               {"b"_l, b}, {"midpoint"_l, 0.5}, {"sharpness"_l, 0}};
        };
        QJsonObject bone = kesu::test::with_members(R"({"ambient": 4, "diffuse": 0.5,
            "specular": 0, "specular_power": 256, "shade": false, "blend_mode": 0,
            "background": {"color": [0, 249, 255]}, "clut": "No CLUT", "description": "CT-Bone",
            "opacity": "", "filters": {"convolution": [""]}, "window": [200, 100]})");
        bone.insert("points"_l,
                    QJsonArray{point(0, 0.2, 1, 0, 0), point(50, 0.2, 0.5, 0, 0.5),
                               point(100, 0.4666666666666667, 0, 0, 1), point(200, 1, 0, 0, 1)});
        QCOMPARE(read.presets.front().second, bone);
        QJsonObject soft = kesu::test::with_members(R"({"ambient": 0.15, "diffuse": 0.3,
            "specular": 0.9, "specular_power": 15, "shade": true, "description": "Soft tissue",
            "group": "Imported", "window": [0, 10]})",
                                                    bone);
        soft.insert("points"_l, QJsonArray{point(10, 1, 1, 1, 1)});
        QCOMPARE(read.presets.back().second, soft);
        // The place of a fault in XML that is not well formed; the parser's reason is its own.
        QVERIFY(
            !presets::read_volume_properties("<Presets>\n<VolumeProperty name=/>", read, error));
        QCOMPARE(error.section(QLatin1Char(':'), 0, 0), "invalid XML at line 2, column 22"_l);
    }
};

KESU_TEST_CLASS(TestImporters)
#include "tst_importers.moc"
