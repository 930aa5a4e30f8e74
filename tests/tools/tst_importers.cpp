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

Q_DECLARE_METATYPE(Rgb)

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

// Entry i of a table as "r g b".
QString entry(const QJsonObject &table, int i)
{
    return QStringLiteral("%1 %2 %3")
        .arg(table["red"_l][i].toInt())
        .arg(table["green"_l][i].toInt())
        .arg(table["blue"_l][i].toInt());
}

int rounded(double unit)
{
    return int(std::lround(unit * 255));
}

// The one preset of a volume-property element, with what reading it reported.
presets::ReadProperties read_element(const QString &attributes)
{
    presets::ReadProperties read;
    QString error;
    presets::read_volume_properties("<VolumeProperty "_l.latin1() + attributes.toUtf8() + "/>",
                                    read, error);
    return read;
}

} // namespace

class TestImporters : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void colour_maps_are_sampled_in_their_space_data()
    {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("expected");
        // 1 lands on entry 51 of 0..5: the point's own colour, though Lab would not give it back.
        const QByteArray lab =
            R"({"Name": "L", "ColorSpace": "Lab", "RGBPoints": [0, 0, 0, 0, 1, 0.8, 0.3, 0.1,
            5, 1, 1, 1]})";
        QTest::newRow("a control point on an entry is its colour, rounded")
            << lab << 51
            << QStringLiteral("%1 %2 %3").arg(rounded(0.8)).arg(rounded(0.3)).arg(rounded(0.1));
        QTest::newRow("the first and the last entry are the ends")
            << lab << 255 << QString("255 255 255"_l);
        const double t = 2.0 * 128 / 255 / 2; // entry 128 of 0..2, between the points at 0 and 2
        QTest::newRow("RGB between two points is linear")
            << QByteArray(R"({"Name": "R", "RGBPoints": [0, 0, 0, 0, 2, 1, 0.5, 0.2]})") << 128
            << QStringLiteral("%1 %2 %3")
                   .arg(rounded(t))
                   .arg(rounded(0.5 * t))
                   .arg(rounded(0.2 * t));
        const QByteArray step =
            R"({"Name": "S", "ColorSpace": "Step", "RGBPoints": [0, 1, 0, 0, 1, 0, 1, 0, 3, 0, 0, 1]})";
        QTest::newRow("a step holds the colour of the point below, to the next point")
            << step << 84 << QString("255 0 0"_l);
        QTest::newRow("a step turns at the next point exactly")
            << step << 85 << QString("0 255 0"_l);
        QTest::newRow("a step's last entry is the last point")
            << step << 255 << QString("0 0 255"_l);
        const QByteArray indexed = R"({"Name": "I", "IndexedColors": [1, 0, 0, 0, 1, 0, 0, 0, 1]})";
        QTest::newRow("three indexed colours make bands: the first ends at 85")
            << indexed << 85 << QString("255 0 0"_l);
        QTest::newRow("the second band is 86 to 170") << indexed << 170 << QString("0 255 0"_l);
        QTest::newRow("the third band starts at 171") << indexed << 171 << QString("0 0 255"_l);
    }
    void colour_maps_are_sampled_in_their_space()
    {
        QFETCH(QByteArray, map);
        QFETCH(int, index);
        QTEST(entry(table_of(map), index), "expected");
    }

    void colours_mix_in_their_space_data()
    {
        QTest::addColumn<int>("space");
        QTest::addColumn<Rgb>("a");
        QTest::addColumn<Rgb>("b");
        QTest::addColumn<Rgb>("middle");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("HSV from red to magenta turns the short way, through pink")
            << 0 << Rgb{1, 0, 0} << Rgb{1, 0, 1} << Rgb{1, 0, 0.5} << 1e-12;
        QTest::newRow("HSV from a grey takes the other end's hue")
            << 0 << Rgb{0.5, 0.5, 0.5} << Rgb{0, 0, 1} << Rgb{0.375, 0.375, 0.75} << 1e-12;
        // A blue and a red far apart in hue meet in a light grey of L* 88.
        QTest::newRow("diverging from blue to red meets near white")
            << 1 << Rgb{0.230, 0.299, 0.754} << Rgb{0.706, 0.016, 0.150} << Rgb{0.865, 0.865, 0.865}
            << 0.02;
        QTest::newRow("diverging between two close hues does not pass through white")
            << 1 << Rgb{0.2, 0.2, 0.8} << Rgb{0.3, 0.1, 0.9} << Rgb{0.25, 0.15, 0.85} << 0.03;
        QTest::newRow("Lab between black and white is mid grey in L*")
            << 2 << Rgb{0, 0, 0} << Rgb{1, 1, 1} << Rgb{0.4663, 0.4663, 0.4663} << 1e-3;
    }
    void colours_mix_in_their_space()
    {
        QFETCH(int, space);
        QFETCH(Rgb, a);
        QFETCH(Rgb, b);
        QFETCH(Rgb, middle);
        QFETCH(double, tolerance);
        const Rgb mixed = space == 0 ? presets::mix_hsv(a, b, 0.5)
            : space == 1             ? presets::mix_diverging(a, b, 0.5)
                                     : presets::mix_lab(a, b, 0.5);
        for (int c = 0; c < 3; ++c)
            QVERIFY2(
                std::fabs(mixed[c] - middle[c]) <= tolerance,
                qPrintable(QStringLiteral("%1 %2 %3").arg(mixed[0]).arg(mixed[1]).arg(mixed[2])));
    }

    void lab_from_black_to_white_rises_in_lightness()
    {
        const QJsonObject table = table_of(
            R"({"Name": "L", "ColorSpace": "CIELAB", "RGBPoints": [-3, 0, 0, 0, 7, 1, 1, 1]})");
        double lightness = -1;
        for (int i = 0; i < 256; ++i) {
            const double c = table["red"_l][i].toDouble() / 255;
            const double l = presets::lab_of({c, c, c})[0];
            QVERIFY2(l >= lightness, qPrintable(QString::number(i)));
            lightness = l;
        }
        QCOMPARE(entry(table, 0), "0 0 0"_l);
        QCOMPARE(entry(table, 255), "255 255 255"_l);
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

    // Written with single quotes for double ones: brackets inside raw strings confuse moc.
    void colour_map_files_may_end_lists_with_a_comma_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("outcome");
        const auto json = [](const char *text) {
            return QByteArray(text).replace('\'', '"');
        };
        QTest::newRow("a comma before the closing bracket and brace is accepted")
            << json("[{'Name': 'a,]', 'RGBPoints': [0, 0, 0, 0, 1, 1, 1, 1,],},]") << "a,]";
        QTest::newRow("a comma inside a string stays")
            << json("{'Name': 'b, }', 'IndexedColors': [1, 1, 1]}") << "b, }";
        const QByteArray missing = json("[{'Name': 'c', 'RGBPoints': [0, 0, 0, 0, 1, 1, 1, 1}");
        QJsonParseError error{};
        QJsonDocument::fromJson(missing, &error);
        QTest::newRow("a missing bracket is refused with its offset")
            << missing
            << QStringLiteral("invalid JSON at offset %1: %2")
                   .arg(error.offset)
                   .arg(error.errorString());
        const QByteArray garbage = json("[{'Name': 'd', 'IndexedColors': [1, 1, 1]}],");
        QJsonDocument::fromJson(garbage, &error);
        QTest::newRow("a comma before nothing is refused")
            << garbage
            << QStringLiteral("invalid JSON at offset %1: %2")
                   .arg(error.offset)
                   .arg(error.errorString());
    }
    void colour_map_files_may_end_lists_with_a_comma()
    {
        QFETCH(QByteArray, file);
        presets::ReadMaps read;
        QString error;
        const bool parsed = presets::read_colour_maps(file, read, error);
        QTEST(parsed ? read.maps.front().name : error, "outcome");
    }

    void maps_that_cannot_be_read_are_named_data()
    {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<QString>("problem");
        QTest::newRow("no name") << QByteArray(R"({"IndexedColors": [1, 1, 1]})")
                                 << "colour map 1: no \"Name\"";
        QTest::newRow("an unknown colour space")
            << QByteArray(R"({"Name": "n", "ColorSpace": "XYZ", "IndexedColors": [1, 1, 1]})")
            << "colour map 1 \"n\": unknown \"ColorSpace\" \"XYZ\"";
        QTest::newRow("points not in fours")
            << QByteArray(R"({"Name": "n", "RGBPoints": [0, 0, 0, 0, 1]})")
            << "colour map 1 \"n\": \"RGBPoints\" holds 5 numbers, not groups of 4";
        QTest::newRow("x going back")
            << QByteArray(R"({"Name": "n", "RGBPoints": [1, 0, 0, 0, 0, 1, 1, 1]})")
            << "colour map 1 \"n\": \"RGBPoints\": x of point 1 is below the one before";
        QTest::newRow("text among the colours")
            << QByteArray(R"({"Name": "n", "IndexedColors": [1, "1", 1]})")
            << "colour map 1 \"n\": \"IndexedColors\": entry 1 is not a number";
        QTest::newRow("no colours at all")
            << QByteArray(R"({"Name": "n", "Points": [0, 1, 0.5, 0]})")
            << "colour map 1 \"n\": neither \"RGBPoints\" nor \"IndexedColors\"";
    }
    void maps_that_cannot_be_read_are_named()
    {
        QFETCH(QByteArray, map);
        presets::ReadMaps read;
        QString error;
        QVERIFY(presets::read_colour_maps(map, read, error));
        QCOMPARE(read.maps.size(), std::size_t(0));
        QTEST(read.problems.join("; "_l), "problem");
    }

    void volume_properties_become_presets_with_points_of_their_own()
    {
        // Colour at 0 and 100, opacity at 50 and 200.
        const presets::ReadProperties read = read_element(
            R"(name="CT-Bone" colorTransfer="8 0 1 0 0 100 0 0 1" scalarOpacity="4 50 0.2 200 1"
            ambient="5" diffuse="0.5" specular="-1" specularPower="300" shade="0")"_l);
        QCOMPARE(read.problems, QStringList());
        QCOMPARE(
            read.warnings,
            (QStringList{"VolumeProperty \"CT-Bone\": \"ambient\" 5 clamped to 4"_l,
                         "VolumeProperty \"CT-Bone\": \"specular\" -1 clamped to 0"_l,
                         "VolumeProperty \"CT-Bone\": \"specularPower\" 300 clamped to 256"_l}));
        QCOMPARE(read.presets.size(), std::size_t(1));
        const QJsonObject preset = read.presets.front().second;
        QStringList points;
        for (const QJsonValue &p : preset["points"_l].toArray())
            points << QStringLiteral("%1 %2 %3 %4 %5")
                          .arg(p["x"_l].toDouble())
                          .arg(QString::number(p["y"_l].toDouble(), 'g', 10))
                          .arg(p["r"_l].toDouble())
                          .arg(p["g"_l].toDouble())
                          .arg(p["b"_l].toDouble());
        // The union of both functions' places; each value from its own function, held beyond
        // its ends.
        QCOMPARE(points,
                 (QStringList{"0 0.2 1 0 0"_l, "50 0.2 0.5 0 0.5"_l, "100 0.4666666667 0 0 1"_l,
                              "200 1 0 0 1"_l}));
        QCOMPARE(preset["window"_l].toArray(), (QJsonArray{200, 100}));
        QCOMPARE(preset["group"_l].toString(), "CT"_l);
        QCOMPARE(preset["clut"_l].toString(), "No CLUT"_l);
        QCOMPARE(preset["read_only"_l].toBool(true), false);
        QCOMPARE(preset["shade"_l].toBool(true), false);
        QCOMPARE(preset["ambient"_l].toDouble(), 4.0);
        QCOMPARE(preset["points"_l][0]["midpoint"_l].toDouble(), 0.5);
    }

    void volume_properties_that_cannot_be_read_are_named_data()
    {
        QTest::addColumn<QString>("attributes");
        QTest::addColumn<QString>("problem");
        const QString functions = R"(colorTransfer="4 0 1 1 1" scalarOpacity="2 0 1")"_l;
        QTest::newRow("a count that does not match the values")
            << R"(name="A" colorTransfer="8 0 1 1 1" scalarOpacity="2 0 1")"
            << "VolumeProperty \"A\": \"colorTransfer\": the count 8 does not match the 4 values "
               "that follow in nodes of 4";
        QTest::newRow("values that do not make whole nodes")
            << R"(name="A" colorTransfer="4 0 1 1 1" scalarOpacity="3 0 1 2")"
            << "VolumeProperty \"A\": \"scalarOpacity\": the count 3 does not match the 3 values "
               "that follow in nodes of 2";
        QTest::newRow("a word that is not a number")
            << R"(name="A" colorTransfer="4 0 1 one 1" scalarOpacity="2 0 1")"
            << "VolumeProperty \"A\": \"colorTransfer\": \"one\" is not a number";
        QTest::newRow("a missing function") << R"(name="A" colorTransfer="4 0 1 1 1")"
                                            << "VolumeProperty \"A\": \"scalarOpacity\" is missing";
        QTest::newRow("an empty name, named by its place")
            << "name=\"\" "_l + functions << "VolumeProperty 1: \"name\" is empty";
        QTest::newRow("a shading value that is not a number") << "name=\"A\" diffuse=\"much\" "_l
                + functions << "VolumeProperty \"A\": \"diffuse\": \"much\" is not a number";
        QTest::newRow("a colour beyond 1")
            << R"(name="A" colorTransfer="4 0 2 1 1" scalarOpacity="2 0 1")"
            << "VolumeProperty \"A\": \"colorTransfer\": 2 at x 0 is outside 0..1";
    }
    void volume_properties_that_cannot_be_read_are_named()
    {
        QFETCH(QString, attributes);
        const presets::ReadProperties read = read_element(attributes);
        QCOMPARE(read.presets.size(), std::size_t(0));
        QTEST(read.problems.join("; "_l), "problem");
    }

    void a_volume_property_without_a_dash_is_imported_as_such()
    {
        const presets::ReadProperties read = read_element(
            R"(name="Soft tissue" colorTransfer="4 10 1 1 1" scalarOpacity="2 10 1")"_l);
        const QJsonObject preset = read.presets.front().second;
        QCOMPARE(preset["group"_l].toString(), "Imported"_l);
        QCOMPARE(preset["window"_l].toArray(), (QJsonArray{0, 10}));
        // The model's cleared shading where the element gives none.
        QCOMPARE(preset["specular_power"_l].toDouble(), 15.0);
        QCOMPARE(preset["shade"_l].toBool(false), true);
    }
};

KESU_TEST_CLASS(TestImporters)
#include "tst_importers.moc"
