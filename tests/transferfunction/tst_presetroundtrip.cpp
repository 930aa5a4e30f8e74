#include <application/configuration.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QJsonArray>

#include <algorithm>
#include <array>
#include <random>
#include <string_view>

using kesu::test::operator""_l;
using korvel::transferfunction::Model;
using namespace std::literals;

namespace {

struct Random : std::mt19937
{
    using std::mt19937::mt19937;
    double real(double a, double b) { return std::uniform_real_distribution<>(a, b)(*this); }
    int pick(int count) { return std::uniform_int_distribution<>(0, count - 1)(*this); }
    // At one of its bounds or inside them.
    double coefficient(double top) { return std::array{0.0, top, real(0, top)}[pick(3)]; }
    float window() { return std::array{0.1f, 0.0f, -0.1f, 1e-7f, float(real(-5e3, 5e3))}[pick(5)]; }
    // With a NUL, separators, quotes and characters of two, three and four UTF-8 bytes.
    std::string odd()
    {
        std::u32string text;
        for (int length = pick(9); length > 0; --length)
            text += U"aZ /\"\\\0\n\u00e9\u6f22\U0001F600\U0010FFFF"sv[std::size_t(pick(12))];
        return QString::fromUcs4(text.data(), int(text.size())).toStdString();
    }
    QJsonValue odd_text() { return QString::fromStdString(odd()); }
};

// Half of the presets bring points, some sharing their x; the others have them generated from a
// colour table.
QJsonObject random_preset(Random &r)
{
    const bool custom = r.pick(2) == 0;
    const char *tables[] = {"No CLUT", "Endoscopy"};
    const char *kinds[] = {"Logarithmic Table", "Logarithmic Inverse Table", "Smooth Table", ""};
    QJsonObject object{
        {"blend_mode"_l, r.pick(65536)},
        {"group"_l, r.odd_text()},
        {"shade"_l, r.pick(2) == 0},
        {"ambient"_l, r.coefficient(4)},
        {"diffuse"_l, r.coefficient(4)},
        {"specular"_l, r.coefficient(4)},
        {"specular_power"_l, r.coefficient(256)},
        {"description"_l, r.odd_text()},
        {"window"_l, QJsonArray{double(r.window()), double(r.window())}},
        {"read_only"_l, r.pick(2) == 0},
        {"opacity"_l, custom ? r.odd_text() : QLatin1String(kinds[r.pick(4)])},
        {"clut"_l, custom ? r.odd_text() : QLatin1String(tables[r.pick(2)])},
        {"background"_l,
         kesu::test::nest({"color"_l}, QJsonArray{r.real(0, 255), r.real(0, 255), r.real(0, 255)})},
        {"filters"_l, kesu::test::nest({"convolution"_l}, QJsonArray{r.odd_text()})}};
    QJsonArray points;
    for (double x = r.real(-3e3, 3e3); custom && points.size() <= r.pick(12);
         x += r.pick(4) ? r.real(1e-3, 500) : 0) {
        QJsonObject point{{"x"_l, x}};
        for (const char *key : {"y", "r", "g", "b", "midpoint", "sharpness"})
            point.insert(QLatin1String(key), r.real(0, 1));
        points.append(point);
    }
    if (custom)
        object.insert("points"_l, points);
    return object;
}

QString exact(std::initializer_list<double> values)
{
    QStringList text;
    for (double value : values)
        text << QString::number(value, 'g', 17);
    return text.join(QLatin1Char(' '));
}

// Numbers with every bit, so that also the window compares bit for bit.
QStringList fields(const Model &m)
{
    QStringList all;
    for (auto text : {&Model::get_description, &Model::get_category, &Model::get_opacity_table,
                      &Model::get_clut, &Model::get_convolution_filter})
        all << QString::fromStdString((m.*text)());
    const auto [width, level] = m.window_width_level();
    const auto c = m.get_background_color();
    all << exact({double(int(m.get_blend_mode())), double(m.is_shade()),
                  double(m.is_custom_opacity()), double(m.is_read_only()), m.get_ambient(),
                  m.get_diffuse(), m.get_specular(), m.get_specular_power(), c[0], c[1], c[2],
                  width, level});
    for (const auto &p : m.get_points())
        all << exact({p.x, p.y, p.r, p.g, p.b, p.midpoint, p.sharpness});
    return all;
}

} // namespace

class TestPresetRoundTrip : public QObject
{
    Q_OBJECT

    kesu::test::TemporaryStore store;
    std::unique_ptr<korvel::application::impl::Manager> manager = store.start();

private Q_SLOTS:
    void saved_models_load_back_unchanged_data()
    {
        QTest::addColumn<unsigned>("seed");
        for (unsigned seed = 1; seed <= 300; ++seed)
            QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
    }
    void saved_models_load_back_unchanged()
    {
        QFETCH(unsigned, seed);
        kesu::test::WarningRecorder warnings;
        Random random(seed);
        Model model, by_name;
        model.load(random_preset(random));
        // A new name makes the preset the user's; one with "/" would be refused.
        std::string name = random.odd();
        std::replace(name.begin(), name.end(), '/', '|');
        model.set_description(std::move(name));
        const QStringList expected = fields(model);
        QVERIFY(model.save());
        by_name.load(model.get_description());
        QCOMPARE(fields(by_name), expected);
        QCOMPARE(warnings.warnings(), QStringList());
    }
};

KESU_TEST_CLASS(TestPresetRoundTrip)
#include "tst_presetroundtrip.moc"
