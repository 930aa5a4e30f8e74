#include <application/manager.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QColor>
#include <QImage>
#include <QJsonArray>
#include <QJsonParseError>
#include <QProcess>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

using kesu::test::operator""_l;
using kesu::test::TemporaryStore;
using korvel::transferfunction::Model;

namespace {

struct Result
{
    int status = -1;
    QString out, err;
    QJsonDocument json() const { return QJsonDocument::fromJson(out.toUtf8()); }
};

// Fixtures are written as JSON with single quotes.
QByteArray text(const QString &fixture)
{
    return fixture.toUtf8().replace('\'', '"');
}

QJsonDocument json(const QString &fixture)
{
    return QJsonDocument::fromJson(text(fixture));
}

QString point(double x, double y, double r, double g, double b)
{
    return QString::asprintf(
        "{'x': %g, 'y': %g, 'r': %g, 'g': %g, 'b': %g, 'midpoint': 0.5, 'sharpness': 0}", x, y, r,
        g, b);
}

// A preset entry with every member; without points of its own it is generated from its tables.
QString entry(const char *name, const char *window, const QString &points = {},
              const char *read_only = "true")
{
    return QStringLiteral(
               "'%1': {'description': '%1', 'group': 'Test', 'window': [%2], 'read_only': %3, "
               "'shade': true, 'ambient': 0.15, 'diffuse': 0.3, 'specular': 0.9, "
               "'specular_power': 15, 'blend_mode': 0, 'background': {'color': [0, 0, 0]}, "
               "'filters': {'convolution': ['']}, 'opacity': 'Linear Table', 'clut': 'No CLUT'%4}")
        .arg(QLatin1String(name), QLatin1String(window), QLatin1String(read_only),
             points.isEmpty() ? QString() : ", 'points': ["_l + points + "]"_l);
}

QByteArray presets_file(const QString &presets, const QString &tables = {})
{
    return text("{'rendering': {'dvr': {'preset': {%1}}%2}}"_l.arg(
        presets, tables.isEmpty() ? QString() : ", 'clut': {'preset': {"_l + tables + "}}"_l));
}

QJsonObject preset(const QByteArray &file, const QString &name)
{
    return QJsonDocument::fromJson(file)["rendering"_l]["dvr"_l]["preset"_l][name].toObject();
}

// Red, transparent at 0; green, half opaque at 100; blue, opaque at 200.
const QString ramp = entry("Ramp", "200, 100",
                           point(0, 0, 1, 0, 0) + ", "_l + point(100, 0.5, 0, 1, 0) + ", "_l
                               + point(200, 1, 0, 0, 1));
const QString standard = entry("Standard", "400, 40");

// Shipped: "Standard", "Ramp" and "Shadowed"; the user's: "Mine", "Shadowed", a last-preset
// record and a member the tool knows nothing of.
class Fixture : public TemporaryStore
{
public:
    Fixture()
    {
        write(global_file(),
              presets_file(standard + ", "_l + ramp + ", "_l + entry("Shadowed", "100, 50")));
        write(user_file(),
              text("{'viewer': {'x': 1}, 'rendering': {'dvr': {'last': "
                   "{'preset': {'key': 'Mine'}}, 'preset': {%1, %2}}}}"_l.arg(
                       entry("Mine", "300, 0",
                             point(-150, 0, 1, 1, 1) + ", "_l + point(150, 1, 1, 1, 1), "false"),
                       entry("Shadowed", "10, 5", {}, "false"))));
    }

    QString path(const QString &name) const { return dir.filePath(name); }

    // Relative file names on the command line are in the temporary folder.
    void launch(QProcess &process, const QString &line, const QString &user = {}) const
    {
        QStringList arguments{"--global"_l, global_file(), "--user"_l,
                              user.isEmpty() ? user_file() : user};
        for (const QString &word : line.split(QLatin1Char(' ')))
            arguments << (word.contains(QLatin1Char('.')) && QDir::isRelativePath(word) ? path(word)
                                                                                        : word);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME"_l, dir.path()); // nothing reaches the real home
        environment.insert("QT_QPA_PLATFORM"_l, "offscreen"_l);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(KESU_PRESETS_TOOL), arguments);
    }
    static Result finish(QProcess &process)
    {
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    Result run(const QString &line, const QString &user = {}) const
    {
        QProcess process;
        launch(process, line, user);
        return finish(process);
    }
};

} // namespace

class TestKesuPresets : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void list_tells_where_each_preset_comes_from()
    {
        Fixture fixture;
        const Result result = fixture.run("list --json"_l);
        QCOMPARE(result.status, 0);
        const QString generated = QStringLiteral(
            "'points': 'generated', 'opacity': 'Linear Table', 'clut': 'No CLUT', 'group': 'Test'");
        QCOMPARE(result.json(),
                 json(QStringLiteral(
                          "[{'name': 'Mine', 'source': 'user', 'read_only': false, 'points': "
                          "'custom', 'group': 'Test'}, {'name': 'Ramp', 'source': 'shipped', "
                          "'read_only': true, 'points': 'custom', 'group': 'Test'}, {'name': "
                          "'Shadowed', 'source': 'user, shadows shipped', 'read_only': false, %1}, "
                          "{'name': 'Standard', 'source': 'shipped', 'read_only': true, %1}]")
                          .arg(generated)));
        const Result table = fixture.run("list"_l);
        QCOMPARE(table.out.count(QLatin1Char('\n')), 5);
        QVERIFY(table.status == 0 && table.out.contains("user, shadows shipped"_l));
    }

    void show_makes_the_fallback_visible()
    {
        Fixture fixture;
        const Result result = fixture.run("show Nowhere"_l);
        QVERIFY(result.status == 0 && result.err.contains("no preset \"Nowhere\""_l));
        QJsonObject shown = result.json().object();
        QCOMPARE(shown.take("preset"_l)["points"_l].toArray().size(), 256);
        QCOMPARE(shown,
                 json("{'asked': 'Nowhere', 'fallback': true, 'loaded': 'Standard', "
                      "'loaded_from': 'global/rendering/dvr/preset/Standard'}"_l)
                     .object());
        QJsonObject own = fixture.run("show Shadowed"_l).json().object();
        QCOMPARE(own.take("preset"_l)["window"_l].toArray(), (QJsonArray{10, 5}));
        QCOMPARE(own["loaded_from"_l].toString(), "user/rendering/dvr/preset/Shadowed"_l);
    }

    void render_agrees_with_the_model_data()
    {
        QTest::addColumn<QString>("preset");
        QTest::addColumn<double>("centre");
        QTest::addColumn<double>("transparent");
        QTest::newRow("a generated preset at its own window") << "Standard" << 40.0 << -175.0;
        QTest::newRow("a preset's own points spread over a shifted window")
            << "Ramp --window 400,300" << 300.0 << 80.0;
    }
    void render_agrees_with_the_model()
    {
        QFETCH(QString, preset);
        QFETCH(double, centre);
        QFETCH(double, transparent);
        Fixture fixture;
        const Result result = fixture.run("render "_l + preset + " -o p.png --size 640x300"_l);
        QVERIFY2(result.status == 0, qPrintable(result.err));
        const auto manager = fixture.start();
        Model model;
        model.load(preset.section(QLatin1Char(' '), 0, 0).toStdString());
        if (preset.contains("--window"_l))
            model.set_window(400, 300);
        const std::vector<Model::Point> points = model.get_points();
        const auto right = std::find_if(points.begin(), points.end(),
                                        [=](const Model::Point &p) { return p.x > centre; });
        const auto left = right - 1;
        const double t = (centre - left->x) / (right->x - left->x);
        const QColor expected =
            QColor::fromRgbF(left->r + (right->r - left->r) * t, left->g + (right->g - left->g) * t,
                             left->b + (right->b - left->b) * t);
        const QImage image(fixture.path("p.png"_l));
        QCOMPARE(image.size(), QSize(640, 300));
        // The tool writes its layout into the PNG's text: value axis x0 x1 low high, colour band
        // top bottom, opacity band top bottom.
        std::vector<double> n;
        for (const char *key : {"value-axis", "colour-band", "opacity-band"})
            for (const QString &word : image.text(QLatin1String(key)).split(QLatin1Char(' ')))
                n.push_back(word.toDouble());
        QCOMPARE(n.size(), std::size_t(8));
        const auto column = [&n](double v) {
            return int(std::floor(n[0] + (v - n[2]) * (n[1] - n[0]) / (n[3] - n[2])));
        };
        const QColor drawn = image.pixelColor(column(centre), int(n[4] + n[5]) / 2);
        QVERIFY2(std::abs(drawn.red() - expected.red()) <= 3
                     && std::abs(drawn.green() - expected.green()) <= 3
                     && std::abs(drawn.blue() - expected.blue()) <= 3,
                 qPrintable(drawn.name() + QLatin1Char(' ') + expected.name()));
        // Where the preset is fully transparent only the two greys of the checkerboard show.
        QSet<QRgb> seen;
        for (int y = int(n[6]); y < int(n[7]); ++y) {
            const QColor c = image.pixelColor(column(transparent), y);
            QVERIFY(c.red() == c.green() && c.green() == c.blue());
            seen.insert(c.rgb());
        }
        QCOMPARE(seen.size(), 2);
    }

    void check_reports_each_problem_with_its_member_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const auto changed = [](const char *from, const char *to, const QString &tables = {}) {
            return presets_file(QString(standard).replace(QLatin1String(from), QLatin1String(to)),
                                tables);
        };
        const QString zeros = QString("0, "_l).repeated(254) + QLatin1Char('0');
        const QString in_standard = "preset \"Standard\": "_l;
        const QByteArray broken("{\"rendering\": }");
        QJsonParseError error{};
        QJsonDocument::fromJson(broken, &error);
        QTest::newRow("a clean file passes") << presets_file(standard) << "0 problem(s)";
        QTest::newRow("the shipped defaults pass")
            << TemporaryStore::read(QStringLiteral(KESU_SHIPPED_PRESETS)) << "0 problem(s)";
        QTest::newRow("a background without colour is an incomplete file")
            << changed("{'color': [0, 0, 0]}", "{}")
            << in_standard + "\"background/color\": incomplete file"_l;
        QTest::newRow("an ambient of 5 is a range violation")
            << changed("0.15", "5") << in_standard + "\"ambient\": range violation"_l;
        QTest::newRow("an unknown colour table is not found")
            << changed("No CLUT", "Nope") << in_standard + "\"clut\": clut preset not found"_l;
        QTest::newRow("a channel of 255 entries has an unsupported size")
            << changed("No CLUT", "Short",
                       "'Short': {'red': [%1], 'green': [%1, 0], 'blue': [%1, 0]}"_l.arg(zeros))
            << "colour table \"Short\": \"red\": unsuported table size";
        // As an earlier version stored "CT Bone/my variant", without and with a "CT Bone".
        QTest::newRow("a name with a slash cannot be loaded")
            << presets_file(standard + ", 'CT Bone': {"_l + entry("my variant", "1, 0") + "}"_l)
            << QString("preset \"CT Bone/my variant\": name contains \"/\" (the viewer cannot "
                       "load it: export it, rename it and import it again)"_l);
        QTest::newRow("a preset stored inside another cannot be loaded")
            << presets_file(QString(standard).replace("'No CLUT'"_l,
                                                      "'No CLUT', "_l + entry("variant", "1, 0")))
            << QString("preset \"Standard/variant\": stored inside preset \"Standard\""_l);
        QTest::newRow("text that is not JSON gives the parser's offset and message")
            << broken
            << "not valid JSON at offset %1: %2"_l.arg(QString::number(error.offset),
                                                       error.errorString());
    }
    void check_reports_each_problem_with_its_member()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        Fixture fixture;
        TemporaryStore::write(fixture.path("checked.json"_l), bytes);
        const Result result = fixture.run("check checked.json"_l);
        // Any problem makes the exit status 1.
        QCOMPARE(result.status, expected == "0 problem(s)"_l ? 0 : 1);
        QVERIFY2(result.out.contains(expected), qPrintable(result.out));
    }

    void import_leaves_the_other_user_presets_untouched_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<bool>("empty");
        QTest::addColumn<int>("status");
        QTest::newRow("an export imported into an empty user file gives the same preset back")
            << "import ramp.json" << true << 0;
        QTest::newRow("an import adds the preset") << "import ramp.json" << false << 0;
        QTest::newRow("a forced import skips the preset that fails the check")
            << "import bad.json --force" << false << 1;
        QTest::newRow("an import that fails the check changes nothing")
            << "import bad.json" << false << 1;
    }
    void import_leaves_the_other_user_presets_untouched()
    {
        QFETCH(QString, arguments);
        QFETCH(bool, empty);
        Fixture fixture;
        QCOMPARE(fixture.run("export Ramp -o ramp.json"_l).status, 0);
        TemporaryStore::write(
            fixture.path("bad.json"_l),
            presets_file(entry("Bad", "100, 0").replace("0.15"_l, "5"_l) + ", "_l + ramp));
        // The empty user file is in a folder that does not exist yet.
        const QString user = empty ? fixture.path("elsewhere/presets.json"_l) : fixture.user_file();
        const QByteArray before = TemporaryStore::read(user);
        const Result result = fixture.run(arguments, user);
        QTEST(result.status, "status");
        QCOMPARE(result.err.contains("\"ambient\": range violation"_l),
                 arguments.contains("bad"_l));
        const QByteArray after = TemporaryStore::read(user);
        QJsonObject expected = preset(presets_file(ramp), "Ramp"_l);
        expected.insert("read_only"_l, false);
        // Refused, the file stays as it was.
        if (arguments.endsWith("bad.json"_l))
            QCOMPARE(after, before);
        else
            QCOMPARE(preset(after, "Ramp"_l), expected);
        for (const char *name : {"Mine", "Shadowed", "Bad"})
            QCOMPARE(preset(after, QLatin1String(name)), preset(before, QLatin1String(name)));
        QCOMPARE(QJsonDocument::fromJson(after)["viewer"_l],
                 QJsonDocument::fromJson(before)["viewer"_l]);
    }

    void concurrent_imports_keep_every_preset()
    {
        constexpr int imports = 8;
        Fixture fixture;
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int i = 0; i < imports; ++i) {
            const QString name = QStringLiteral("P%1").arg(i);
            TemporaryStore::write(fixture.path(name + ".json"_l),
                                  presets_file(entry(qPrintable(name), "100, 50")));
            processes.push_back(std::make_unique<QProcess>());
            fixture.launch(*processes.back(), "import "_l + name + ".json"_l);
        }
        for (auto &process : processes)
            QCOMPARE(Fixture::finish(*process).status, 0);
        const QByteArray saved = TemporaryStore::read(fixture.user_file());
        for (int i = 0; i < imports; ++i)
            QVERIFY(!preset(saved, QStringLiteral("P%1").arg(i)).isEmpty());
        QVERIFY(!preset(saved, "Mine"_l).isEmpty());
    }

    void reading_commands_leave_the_user_file_unchanged_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::newRow("list") << "list" << 0 << "Mine";
        QTest::newRow("show of a preset that falls back") << "show Nowhere" << 0 << "Standard";
        QTest::newRow("render with a window") << "render Mine -o o.png --window 100,10" << 0 << "";
        QTest::newRow("gallery") << "gallery -o g.png" << 0 << "";
        QTest::newRow("export") << "export Mine" << 0 << "Mine";
        QTest::newRow("check") << "check 3d_presets.json" << 0 << "0 problem(s)";
        QTest::newRow("help of render") << "render --help" << 0 << "render ";
        QTest::newRow("the version") << "--version" << 0 << "kesu-presets ";
        QTest::newRow("a usage error: an unknown command") << "paint" << 2 << "";
        QTest::newRow("a usage error: a size too small to draw")
            << "render Ramp -o x.png --size 10x10" << 2 << "";
        QTest::newRow("a usage error: a window without a level")
            << "render Ramp -o x.png --window 400" << 2 << "";
        QTest::newRow("a usage error: a file that cannot be read") << "check no.json" << 2 << "";
    }
    void reading_commands_leave_the_user_file_unchanged()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        Fixture fixture;
        const QByteArray before = TemporaryStore::read(fixture.user_file());
        const Result result = fixture.run(arguments);
        QVERIFY2(result.status == status && result.out.contains(output), qPrintable(result.err));
        QCOMPARE(TemporaryStore::read(fixture.user_file()), before);
        QCOMPARE(QDir(fixture.path(".kesu"_l)).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"presets.json"_l});
        // Usage errors are one line on the error stream.
        if (status == 2)
            QVERIFY(result.err.startsWith("kesu-presets: "_l)
                    && result.err.count(QLatin1Char('\n')) == 1);
    }
};

KESU_TEST_CLASS(TestKesuPresets)
#include "tst_kesupresets.moc"
