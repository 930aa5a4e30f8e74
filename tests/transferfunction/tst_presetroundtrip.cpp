#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <random>

using kesu::test::TemporaryStore;
using kesu::test::operator""_l;
using kesu::test::WarningRecorder;
using korvel::application::preset;
using korvel::transferfunction::BlendMode;
using korvel::transferfunction::Model;

namespace {

double uniform(std::mt19937 &random, double low, double high)
{
    return std::uniform_real_distribution<double>(low, high)(random);
}

int pick(std::mt19937 &random, int count)
{
    return std::uniform_int_distribution<int>(0, count - 1)(random);
}

// Text with a NUL, separators, quotes and characters of two, three and four UTF-8 bytes.
std::string odd_string(std::mt19937 &random)
{
    static const uint characters[] = {'a',  'Z',  ' ',  '/',    '"',     '\\',
                                      '\0', '\n', 0xe9, 0x6f22, 0x1f600, 0x10ffff};
    QVector<uint> text;
    for (int length = pick(random, 9); length > 0; --length)
        text << characters[pick(random, int(std::size(characters)))];
    return QString::fromUcs4(text.constData(), text.size()).toStdString();
}

QJsonValue text(const std::string &value)
{
    return QString::fromStdString(value);
}

// A coefficient at one of its bounds or inside them.
double coefficient(std::mt19937 &random, double upper)
{
    const int at = pick(random, 3);
    return at == 0 ? 0.0 : at == 1 ? upper : uniform(random, 0.0, upper);
}

float window_value(std::mt19937 &random)
{
    const float values[] = {0.1f, 0.0f, -0.1f, 1e-7f, float(uniform(random, -5000, 5000))};
    return values[pick(random, int(std::size(values)))];
}

QJsonArray random_points(std::mt19937 &random)
{
    QJsonArray points;
    double x = uniform(random, -3000, 3000);
    for (int n = 1 + pick(random, 12); n > 0; --n) {
        // Some points share their x: a sharp edge must keep its side through a round trip.
        if (pick(random, 4) != 0)
            x += uniform(random, 1e-3, 500);
        points.append(QJsonObject{{"x"_l, x},
                                  {"y"_l, uniform(random, 0, 1)},
                                  {"r"_l, uniform(random, 0, 1)},
                                  {"g"_l, uniform(random, 0, 1)},
                                  {"b"_l, uniform(random, 0, 1)},
                                  {"midpoint"_l, uniform(random, 0, 1)},
                                  {"sharpness"_l, uniform(random, 0, 1)}});
    }
    return points;
}

// Half of the presets bring points of their own; the others have them generated from a colour
// table that needs no warning.
QJsonObject random_preset(std::mt19937 &random)
{
    const bool custom = pick(random, 2) == 0;
    const char *tables[] = {"No CLUT", "Endoscopy", "Grey"};
    const char *kinds[] = {"Logarithmic Table", "Logarithmic Inverse Table", "Smooth Table", ""};
    QJsonObject object{
        {"background"_l,
         QJsonObject{{"color"_l,
                      QJsonArray{uniform(random, 0, 255), uniform(random, 0, 255),
                                 uniform(random, 0, 255)}}}},
        {"blend_mode"_l, pick(random, 65536)},
        {"group"_l, text(odd_string(random))},
        {"shade"_l, pick(random, 2) == 0},
        {"ambient"_l, coefficient(random, 4)},
        {"diffuse"_l, coefficient(random, 4)},
        {"specular"_l, coefficient(random, 4)},
        {"specular_power"_l, coefficient(random, 256)},
        {"description"_l, text(odd_string(random))},
        {"window"_l, QJsonArray{double(window_value(random)), double(window_value(random))}},
        {"read_only"_l, pick(random, 2) == 0},
        {"opacity"_l, custom ? text(odd_string(random)) : QLatin1String(kinds[pick(random, 4)])},
        {"clut"_l, custom ? text(odd_string(random)) : QLatin1String(tables[pick(random, 3)])},
        {"filters"_l, QJsonObject{{"convolution"_l, QJsonArray{text(odd_string(random))}}}},
    };
    if (custom)
        object.insert("points"_l, random_points(random));
    return object;
}

// Some of the fields once more through the setters; a new description makes the preset the user's.
void edit(Model &model, std::mt19937 &random)
{
    if (pick(random, 2) == 0) {
        model.set_ambient(coefficient(random, 4));
        model.set_specular_power(coefficient(random, 256));
        model.set_blend_mode(BlendMode(pick(random, 65536)));
        model.set_background_color({uniform(random, 0, 255), 0.5, 255});
        model.set_category(odd_string(random));
        if (!model.is_custom_opacity())
            model.set_window(window_value(random), window_value(random));
    }
    model.set_description(odd_string(random));
}

QString exact(double value)
{
    return QString::number(value, 'g', 17);
}

QString bytes(const std::string &value)
{
    return QString::fromLatin1(QByteArray::fromStdString(value).toHex());
}

QStringList fields(const Model &model)
{
    const auto [width, level] = model.window_width_level();
    const auto color = model.get_background_color();
    QStringList all{
        bytes(model.get_description()),
        bytes(model.get_category()),
        bytes(model.get_opacity_table()),
        bytes(model.get_clut()),
        bytes(model.get_convolution_filter()),
        QString::number(int(model.get_blend_mode())),
        QString::number(model.is_shade()) + QString::number(model.is_custom_opacity())
            + QString::number(model.is_read_only()),
        exact(model.get_ambient()) + " "_l + exact(model.get_diffuse()) + " "_l
            + exact(model.get_specular()) + " "_l + exact(model.get_specular_power()),
        exact(color[0]) + " "_l + exact(color[1]) + " "_l + exact(color[2]),
        exact(double(width)) + " "_l + exact(double(level)),
    };
    for (const auto &p : model.get_points())
        all << exact(p.x) + " "_l + exact(p.y) + " "_l + exact(p.r) + " "_l + exact(p.g) + " "_l
                + exact(p.b) + " "_l + exact(p.midpoint) + " "_l + exact(p.sharpness);
    return all;
}

// Empty when equal, else where they first differ.
QString difference(const QStringList &expected, const QStringList &got)
{
    for (int i = 0; i < std::max(expected.size(), got.size()); ++i) {
        const QString want = expected.value(i, "<none>"_l), have = got.value(i, "<none>"_l);
        if (want != have)
            return QStringLiteral("field %1: expected %2, got %3").arg(i).arg(want, have);
    }
    return {};
}

QJsonObject through_text(const QJsonObject &object)
{
    return QJsonDocument::fromJson(QJsonDocument(object).toJson()).object();
}

QJsonObject shipped_document()
{
    QJsonArray ramp;
    for (int i = 0; i < 256; ++i)
        ramp.append(255 - i);
    const QJsonObject grey{{"red"_l, ramp}, {"green"_l, ramp}, {"blue"_l, ramp}};
    return {{"rendering"_l,
             QJsonObject{{"clut"_l, QJsonObject{{"preset"_l, QJsonObject{{"Grey"_l, grey}}}}}}}};
}

} // namespace

class TestPresetRoundTrip : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void saved_models_load_back_unchanged()
    {
        TemporaryStore store;
        store.write_global(shipped_document());
        auto manager = store.start();
        WarningRecorder warnings;
        for (unsigned seed = 1; seed <= 300; ++seed) {
            std::mt19937 random(seed);
            Model model;
            model.load(random_preset(random));
            edit(model, random);
            const QStringList expected = fields(model);
            QVERIFY2(model.save(), qPrintable(QStringLiteral("seed %1").arg(seed)));

            Model by_name;
            by_name.load(model.get_description());
            const QString stored = difference(expected, fields(by_name));
            QVERIFY2(stored.isEmpty(),
                     qPrintable(QStringLiteral("seed %1, %2").arg(seed).arg(stored)));

            Model from_file;
            from_file.load(through_text(
                preset("user/rendering/dvr/preset/" + model.get_description()).get().toObject()));
            const QString written = difference(expected, fields(from_file));
            QVERIFY2(written.isEmpty(),
                     qPrintable(QStringLiteral("seed %1 as text, %2").arg(seed).arg(written)));
        }
        QCOMPARE(warnings.warnings(), QStringList());
    }
};

KESU_TEST_CLASS(TestPresetRoundTrip)
#include "tst_presetroundtrip.moc"
