#include <application/manager.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QColor>
#include <QImage>
#include <QJsonArray>
#include <QJsonParseError>
#include <QProcess>
#include <QSet>

#include <cmath>

using kesu::test::nest;
using kesu::test::TemporaryStore;
using korvel::transferfunction::Model;

namespace {

struct Result
{
    int status = -1;
    QString out;
    QString err;
};

QJsonObject point(double x, double y, double r, double g, double b)
{
    return {{QStringLiteral("x"), x},          {QStringLiteral("y"), y},
            {QStringLiteral("r"), r},          {QStringLiteral("g"), g},
            {QStringLiteral("b"), b},          {QStringLiteral("midpoint"), 0.5},
            {QStringLiteral("sharpness"), 0.0}};
}

// A preset object with every member, generated from "Linear Table" and "No CLUT" unless it
// brings points of its own.
QJsonObject complete(const QString &name, const QJsonArray &window, const QJsonArray &points = {},
                     bool read_only = true)
{
    QJsonObject preset{
        {QStringLiteral("description"), name},
        {QStringLiteral("group"), QStringLiteral("Test")},
        {QStringLiteral("window"), window},
        {QStringLiteral("read_only"), read_only},
        {QStringLiteral("shade"), true},
        {QStringLiteral("ambient"), 0.15},
        {QStringLiteral("diffuse"), 0.3},
        {QStringLiteral("specular"), 0.9},
        {QStringLiteral("specular_power"), 15},
        {QStringLiteral("blend_mode"), 0},
        {QStringLiteral("background"), nest({QStringLiteral("color")}, QJsonArray{0, 0, 0})},
        {QStringLiteral("filters"), nest({QStringLiteral("convolution")}, QJsonArray{QString()})},
        {QStringLiteral("opacity"), QStringLiteral("Linear Table")},
        {QStringLiteral("clut"), QStringLiteral("No CLUT")}};
    if (!points.isEmpty())
        preset.insert(QStringLiteral("points"), points);
    return preset;
}

// Red, transparent at 0; green, half opaque at 100; blue, opaque at 200.
const QJsonObject ramp =
    complete(QStringLiteral("Ramp"), {200, 100},
             {point(0, 0, 1, 0, 0), point(100, 0.5, 0, 1, 0), point(200, 1, 0, 0, 1)});
const QJsonObject standard = complete(QStringLiteral("Standard"), {400, 40});

QJsonObject presets_file(const QJsonObject &presets, const QJsonObject &tables = {})
{
    QJsonObject rendering{{QStringLiteral("dvr"), nest({QStringLiteral("preset")}, presets)}};
    if (!tables.isEmpty())
        rendering.insert(QStringLiteral("clut"), nest({QStringLiteral("preset")}, tables));
    return {{QStringLiteral("rendering"), rendering}};
}

QJsonObject stored_preset(const QJsonObject &document, const QString &name)
{
    return document[QStringLiteral("rendering")][QStringLiteral("dvr")][QStringLiteral("preset")]
                   [name]
                       .toObject();
}

QString last_preset(const QJsonObject &document)
{
    return document[QStringLiteral("rendering")][QStringLiteral("dvr")][QStringLiteral("last")]
                   [QStringLiteral("preset")][QStringLiteral("key")]
                       .toString();
}

// Shipped: "Standard", "Ramp" and "Shadowed"; the user's: "Mine", "Shadowed", a last-preset
// record and a member the tool knows nothing of.
class Fixture : public TemporaryStore
{
public:
    Fixture()
    {
        QJsonObject shipped{
            {QStringLiteral("Standard"), standard},
            {QStringLiteral("Ramp"), ramp},
            {QStringLiteral("Shadowed"), complete(QStringLiteral("Shadowed"), {100, 50})}};
        write_global(presets_file(shipped));
        QJsonObject own{
            {QStringLiteral("Mine"),
             complete(QStringLiteral("Mine"), {300, 0},
                      {point(-150, 0, 1, 1, 1), point(150, 1, 1, 1, 1)}, false)},
            {QStringLiteral("Shadowed"), complete(QStringLiteral("Shadowed"), {10, 5}, {}, false)}};
        QJsonObject user = presets_file(own);
        QJsonObject rendering = user[QStringLiteral("rendering")].toObject();
        QJsonObject dvr = rendering[QStringLiteral("dvr")].toObject();
        dvr.insert(QStringLiteral("last"),
                   nest({QStringLiteral("preset"), QStringLiteral("key")}, QStringLiteral("Mine")));
        rendering.insert(QStringLiteral("dvr"), dvr);
        user.insert(QStringLiteral("rendering"), rendering);
        user.insert(QStringLiteral("viewer"), QJsonObject{{QStringLiteral("x"), 1}});
        write_user(user);
    }

    QString path(const QString &name) const { return dir.filePath(name); }

    Result run(const QStringList &arguments, const QString &user = {}) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Nothing may reach the real home folder.
        environment.insert(QStringLiteral("HOME"), dir.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(KESU_PRESETS_TOOL),
                      QStringList{QStringLiteral("--global"), global_file(),
                                  QStringLiteral("--user"), user.isEmpty() ? user_file() : user}
                          + arguments);
        Result result;
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return result;
        result.status = process.exitCode();
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    QJsonObject read_json(const QString &file) const
    {
        return QJsonDocument::fromJson(read(file)).object();
    }
};

QColor colour_at(const std::vector<Model::Point> &points, double value)
{
    auto after = points.begin();
    while (after != points.end() && after->x <= value)
        ++after;
    const Model::Point &left = *(after - 1);
    const Model::Point &right = *after;
    const double t = (value - left.x) / (right.x - left.x);
    const auto mix = [t](double a, double b) {
        return qRound((a + (b - a) * t) * 255);
    };
    return QColor(mix(left.r, right.r), mix(left.g, right.g), mix(left.b, right.b));
}

bool near(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3
        && std::abs(a.blue() - b.blue()) <= 3;
}

// Where the picture puts a value, from the layout the tool writes into the PNG.
struct Layout
{
    explicit Layout(const QImage &image)
    {
        const QStringList axis = image.text(QStringLiteral("value-axis")).split(QLatin1Char(' '));
        const QStringList colour =
            image.text(QStringLiteral("colour-band")).split(QLatin1Char(' '));
        const QStringList opacity =
            image.text(QStringLiteral("opacity-band")).split(QLatin1Char(' '));
        if (axis.size() != 4 || colour.size() != 2 || opacity.size() != 2)
            return;
        x0 = axis[0].toInt(), x1 = axis[1].toInt(), low = axis[2].toDouble(),
        high = axis[3].toDouble();
        colour_row = (colour[0].toInt() + colour[1].toInt()) / 2;
        opacity_top = opacity[0].toInt(), opacity_bottom = opacity[1].toInt();
    }
    int column(double value) const
    {
        return int(std::floor(x0 + (value - low) * (x1 - x0) / (high - low)));
    }
    int x0 = 0, x1 = 0, colour_row = -1, opacity_top = 0, opacity_bottom = 0;
    double low = 0, high = 0;
};

} // namespace

class TestKesuPresets : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void list_tells_where_each_preset_comes_from_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("read_only");
        QTest::addColumn<QString>("points");
        QTest::newRow("a user preset with its own points") << "Mine"
                                                           << "user" << false << "custom";
        QTest::newRow("a user copy shadows the shipped preset of its name")
            << "Shadowed"
            << "user, shadows shipped" << false << "generated";
        QTest::newRow("a shipped preset is read-only") << "Ramp"
                                                       << "shipped" << true << "custom";
        QTest::newRow("a generated shipped preset") << "Standard"
                                                    << "shipped" << true << "generated";
    }
    void list_tells_where_each_preset_comes_from()
    {
        QFETCH(QString, name);
        QFETCH(QString, source);
        QFETCH(bool, read_only);
        QFETCH(QString, points);
        Fixture fixture;
        const Result result = fixture.run({QStringLiteral("list"), QStringLiteral("--json")});
        QCOMPARE(result.status, 0);
        QJsonObject found;
        for (const QJsonValue &row : QJsonDocument::fromJson(result.out.toUtf8()).array())
            if (row[QStringLiteral("name")] == name)
                found = row.toObject();
        QCOMPARE(found[QStringLiteral("source")].toString(), source);
        QCOMPARE(found[QStringLiteral("read_only")].toBool(), read_only);
        QCOMPARE(found[QStringLiteral("points")].toString(), points);

        const Result table = fixture.run({QStringLiteral("list")});
        QCOMPARE(table.status, 0);
        QCOMPARE(table.out.count(QLatin1Char('\n')), 5);
        QVERIFY(table.out.contains(name));
    }

    void show_makes_the_fallback_visible()
    {
        Fixture fixture;
        const Result result = fixture.run({QStringLiteral("show"), QStringLiteral("Nowhere")});
        QCOMPARE(result.status, 0);
        const QJsonObject shown = QJsonDocument::fromJson(result.out.toUtf8()).object();
        QCOMPARE(shown[QStringLiteral("asked")].toString(), QStringLiteral("Nowhere"));
        QCOMPARE(shown[QStringLiteral("loaded")].toString(), QStringLiteral("Standard"));
        QCOMPARE(shown[QStringLiteral("loaded_from")].toString(),
                 QStringLiteral("global/rendering/dvr/preset/Standard"));
        QVERIFY(shown[QStringLiteral("fallback")].toBool());
        QCOMPARE(shown[QStringLiteral("preset")][QStringLiteral("points")].toArray().size(), 256);
        QVERIFY(result.err.contains(QStringLiteral("no preset \"Nowhere\"")));

        const Result own = fixture.run({QStringLiteral("show"), QStringLiteral("Shadowed")});
        const QJsonObject mine = QJsonDocument::fromJson(own.out.toUtf8()).object();
        QCOMPARE(mine[QStringLiteral("loaded_from")].toString(),
                 QStringLiteral("user/rendering/dvr/preset/Shadowed"));
        QCOMPARE(mine[QStringLiteral("preset")][QStringLiteral("window")].toArray(),
                 (QJsonArray{10, 5}));
    }

    void render_agrees_with_the_model_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("window");
        QTest::addColumn<double>("centre");
        QTest::addColumn<double>("transparent");
        QTest::newRow("a generated preset at its own window") << "Standard"
                                                              << "" << 40.0 << -175.0;
        QTest::newRow("a preset's own points spread over a shifted window")
            << "Ramp"
            << "400,300" << 300.0 << 60.0;
    }
    void render_agrees_with_the_model()
    {
        QFETCH(QString, name);
        QFETCH(QString, window);
        QFETCH(double, centre);
        QFETCH(double, transparent);
        Fixture fixture;
        const QString file = fixture.path(QStringLiteral("picture.png"));
        QStringList arguments{QStringLiteral("render"), name,
                              QStringLiteral("-o"),     file,
                              QStringLiteral("--size"), QStringLiteral("640x300")};
        if (!window.isEmpty())
            arguments << QStringLiteral("--window") << window;
        const Result result = fixture.run(arguments);
        QVERIFY2(result.status == 0, qPrintable(result.err));

        TemporaryStore own;
        std::vector<Model::Point> points;
        {
            korvel::application::impl::Manager manager(own.user_file(), fixture.global_file());
            Model model;
            model.load(name.toStdString());
            if (!window.isEmpty())
                model.set_window(400, 300);
            points = model.get_points();
        }
        const QImage image(file);
        QCOMPARE(image.size(), QSize(640, 300));
        const Layout layout(image);
        QVERIFY(layout.colour_row >= 0);
        const QColor expected = colour_at(points, centre);
        const QColor drawn = image.pixelColor(layout.column(centre), layout.colour_row);
        QVERIFY2(near(drawn, expected),
                 qPrintable(drawn.name() + QLatin1Char(' ') + expected.name()));
        // Where the preset is fully transparent only the checkerboard shows.
        QSet<QRgb> seen;
        for (int y = layout.opacity_top; y < layout.opacity_bottom; ++y) {
            const QColor c = image.pixelColor(layout.column(transparent), y);
            QVERIFY(c.red() == c.green() && c.green() == c.blue());
            seen.insert(c.rgb());
        }
        QCOMPARE(seen.size(), 2);
    }

    void check_reports_each_problem_with_its_member_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        const auto file = [](const QJsonObject &presets, const QJsonObject &tables = {}) {
            return QJsonDocument(presets_file(presets, tables)).toJson();
        };
        const auto changed = [](QString member, QJsonValue value) {
            QJsonObject preset = standard;
            if (value.isUndefined())
                preset.remove(member);
            else
                preset.insert(member, value);
            return QJsonObject{{QStringLiteral("Standard"), preset}};
        };
        QJsonArray full;
        for (int i = 0; i < 256; ++i)
            full.append(i);
        QJsonArray short_channel = full;
        short_channel.removeLast();

        QTest::newRow("a clean file passes")
            << file({{QStringLiteral("Standard"), standard}}) << 0 << "0 problem(s)";
        QTest::newRow("a missing window is an incomplete file")
            << file(changed(QStringLiteral("window"), QJsonValue::Undefined)) << 1
            << "preset \"Standard\": \"window\": incomplete file";
        QTest::newRow("a background without colour is an incomplete file")
            << file(changed(QStringLiteral("background"), QJsonObject())) << 1
            << "preset \"Standard\": \"background/color\": incomplete file";
        QTest::newRow("an ambient of 5 is a range violation")
            << file(changed(QStringLiteral("ambient"), 5)) << 1
            << "preset \"Standard\": \"ambient\": range violation";
        QTest::newRow("an unknown colour table is not found")
            << file(changed(QStringLiteral("clut"), QStringLiteral("Nope"))) << 1
            << "preset \"Standard\": \"clut\": clut preset not found";
        QTest::newRow("a channel of 255 entries has an unsupported size")
            << file(changed(QStringLiteral("clut"), QStringLiteral("Short")),
                    {{QStringLiteral("Short"),
                      QJsonObject{{QStringLiteral("red"), short_channel},
                                  {QStringLiteral("green"), full},
                                  {QStringLiteral("blue"), full}}}})
            << 1 << "colour table \"Short\": \"red\": unsuported table size";
        const QByteArray broken("{\"rendering\": }");
        QJsonParseError error{};
        QJsonDocument::fromJson(broken, &error);
        QTest::newRow("text that is not JSON gives the parser's offset and message")
            << broken << 1
            << QStringLiteral("not valid JSON at offset %1: %2")
                   .arg(error.offset)
                   .arg(error.errorString());
        QTest::newRow("a file that cannot be read is a usage error") << QByteArray() << 2 << "";
    }
    void check_reports_each_problem_with_its_member()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        QFETCH(QString, expected);
        Fixture fixture;
        const QString checked = fixture.path(QStringLiteral("checked.json"));
        if (!bytes.isEmpty())
            TemporaryStore::write(checked, bytes);
        const Result result = fixture.run({QStringLiteral("check"), checked});
        QCOMPARE(result.status, status);
        QVERIFY2(result.out.contains(expected), qPrintable(result.out));
        if (status == 2)
            QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
    }

    void check_passes_on_the_shipped_defaults()
    {
        Fixture fixture;
        const Result result =
            fixture.run({QStringLiteral("check"), QStringLiteral(KESU_SHIPPED_PRESETS)});
        QVERIFY2(result.status == 0, qPrintable(result.out + result.err));
        QVERIFY(result.out.endsWith(QStringLiteral("0 problem(s)\n")));
    }

    void export_then_import_gives_the_same_preset_back()
    {
        Fixture fixture;
        const QString exported = fixture.path(QStringLiteral("ramp.json"));
        QCOMPARE(fixture
                     .run({QStringLiteral("export"), QStringLiteral("Ramp"), QStringLiteral("-o"),
                           exported})
                     .status,
                 0);
        // A user file in a folder that does not exist yet.
        const QString empty = fixture.path(QStringLiteral("elsewhere/.kesu/presets.json"));
        const Result result = fixture.run({QStringLiteral("import"), exported}, empty);
        QVERIFY2(result.status == 0, qPrintable(result.err));

        QJsonObject expected = ramp;
        expected.insert(QStringLiteral("read_only"), false);
        const QJsonObject stored = fixture.read_json(empty);
        QCOMPARE(stored_preset(stored, QStringLiteral("Ramp")), expected);
        QCOMPARE(last_preset(stored), QStringLiteral("Ramp"));
    }

    void import_leaves_the_other_user_presets_untouched()
    {
        Fixture fixture;
        const QJsonObject before = fixture.read_json(fixture.user_file());
        const QString incoming = fixture.path(QStringLiteral("incoming.json"));
        TemporaryStore::write(
            incoming, QJsonDocument(presets_file({{QStringLiteral("Ramp"), ramp}})).toJson());
        QCOMPARE(fixture.run({QStringLiteral("import"), incoming}).status, 0);

        const QJsonObject after = fixture.read_json(fixture.user_file());
        for (const QString &name : {QStringLiteral("Mine"), QStringLiteral("Shadowed")})
            QCOMPARE(stored_preset(after, name), stored_preset(before, name));
        QCOMPARE(after[QStringLiteral("viewer")], before[QStringLiteral("viewer")]);
        QVERIFY(
            !stored_preset(after, QStringLiteral("Ramp"))[QStringLiteral("read_only")].toBool());
    }

    void import_refuses_a_file_that_fails_the_check()
    {
        Fixture fixture;
        QJsonObject bad = complete(QStringLiteral("Bad"), {100, 0});
        bad.insert(QStringLiteral("ambient"), 5);
        const QString incoming = fixture.path(QStringLiteral("incoming.json"));
        TemporaryStore::write(incoming,
                              QJsonDocument(presets_file({{QStringLiteral("Bad"), bad},
                                                          {QStringLiteral("Ramp"), ramp}}))
                                  .toJson());
        const QByteArray before = TemporaryStore::read(fixture.user_file());

        const Result refused = fixture.run({QStringLiteral("import"), incoming});
        QCOMPARE(refused.status, 1);
        QVERIFY(refused.err.contains(QStringLiteral("\"ambient\": range violation")));
        QCOMPARE(TemporaryStore::read(fixture.user_file()), before);

        // Forced, the preset the library refuses is skipped and the others go in.
        const Result forced =
            fixture.run({QStringLiteral("import"), incoming, QStringLiteral("--force")});
        QCOMPARE(forced.status, 1);
        const QJsonObject after = fixture.read_json(fixture.user_file());
        QVERIFY(!stored_preset(after, QStringLiteral("Ramp")).isEmpty());
        QVERIFY(stored_preset(after, QStringLiteral("Bad")).isEmpty());
        QCOMPARE(stored_preset(after, QStringLiteral("Mine")),
                 stored_preset(QJsonDocument::fromJson(before).object(), QStringLiteral("Mine")));
    }

    void reading_commands_leave_the_user_file_unchanged_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("list") << QStringList{QStringLiteral("list")};
        QTest::newRow("show of a preset that falls back")
            << QStringList{QStringLiteral("show"), QStringLiteral("Nowhere")};
        QTest::newRow("render with a window") << QStringList{
            QStringLiteral("render"),  QStringLiteral("Mine"),     QStringLiteral("-o"),
            QStringLiteral("out.png"), QStringLiteral("--window"), QStringLiteral("100,10")};
        QTest::newRow("gallery") << QStringList{QStringLiteral("gallery"), QStringLiteral("-o"),
                                                QStringLiteral("g.png")};
        QTest::newRow("export") << QStringList{QStringLiteral("export"), QStringLiteral("Mine")};
        QTest::newRow("check") << QStringList{QStringLiteral("check"),
                                              QStringLiteral("3d_presets.json")};
    }
    void reading_commands_leave_the_user_file_unchanged()
    {
        QFETCH(QStringList, arguments);
        Fixture fixture;
        for (QString &argument : arguments)
            if (argument.contains(QLatin1Char('.')))
                argument = fixture.path(argument);
        const QByteArray before = TemporaryStore::read(fixture.user_file());
        const Result result = fixture.run(arguments);
        QVERIFY2(result.status == 0, qPrintable(result.err));
        QCOMPARE(TemporaryStore::read(fixture.user_file()), before);
        QCOMPARE(QDir(fixture.path(QStringLiteral(".kesu"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("presets.json")});
    }

    void usage_errors_are_one_line_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("an unknown command") << QStringList{QStringLiteral("paint")};
        QTest::newRow("render without an output file")
            << QStringList{QStringLiteral("render"), QStringLiteral("Ramp")};
        QTest::newRow("a size too small to draw") << QStringList{
            QStringLiteral("render"), QStringLiteral("Ramp"),   QStringLiteral("-o"),
            QStringLiteral("x.png"),  QStringLiteral("--size"), QStringLiteral("10x10")};
        QTest::newRow("a window without a level") << QStringList{
            QStringLiteral("render"), QStringLiteral("Ramp"),     QStringLiteral("-o"),
            QStringLiteral("x.png"),  QStringLiteral("--window"), QStringLiteral("400")};
        QTest::newRow("show without a name") << QStringList{QStringLiteral("show")};
    }
    void usage_errors_are_one_line()
    {
        QFETCH(QStringList, arguments);
        Fixture fixture;
        const Result result = fixture.run(arguments);
        QCOMPARE(result.status, 2);
        QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
        QVERIFY(result.err.startsWith(QStringLiteral("kesu-presets: ")));
    }

    void every_command_has_help()
    {
        Fixture fixture;
        for (const char *command :
             {"list", "show", "render", "gallery", "check", "export", "import"}) {
            const Result result = fixture.run({QLatin1String(command), QStringLiteral("--help")});
            QCOMPARE(result.status, 0);
            QVERIFY2(result.out.contains(QLatin1String(command) + QLatin1Char(' ')), command);
        }
        const Result version = fixture.run({QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QVERIFY(version.out.startsWith(QStringLiteral("kesu-presets ")));
    }
};

KESU_TEST_CLASS(TestKesuPresets)
#include "tst_kesupresets.moc"
