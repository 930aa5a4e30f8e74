#include "check.h"
#include "commandline.h"

#include "testing.h"

#include <QColor>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QProcess>
#include <QSet>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include <sys/stat.h>

using kesu::test::operator""_l;
using kesu::test::TemporaryStore;
namespace presets = kesu::presets;

namespace {

struct Result
{
    int status = -1;
    QByteArray out;
    QString err;
    QJsonDocument json() const { return QJsonDocument::fromJson(out); }
    QString text() const { return QString::fromUtf8(out); }
};

// Fixtures are written as JSON with single quotes.
QByteArray text(const QString &fixture)
{
    return fixture.toUtf8().replace('\'', '"');
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

QJsonArray channel(int value, int size = 256)
{
    QJsonArray entries;
    for (int i = 0; i < size; ++i)
        entries.append(value);
    return entries;
}

// A colour table of one colour.
QJsonObject table(int red = 0, int green = 0, int blue = 0)
{
    return {{"red"_l, channel(red)}, {"green"_l, channel(green)}, {"blue"_l, channel(blue)}};
}

// The stored tables: "Grey", and "Short" with a red of 255 entries.
QJsonObject stored_table(const QString &name)
{
    QJsonObject short_red = table();
    short_red.insert("red"_l, channel(0, 255));
    return name == "Grey"_l ? table() : name == "Short"_l ? short_red : QJsonObject();
}

// The findings as the tool prints them, one after another.
QString lines(const std::vector<presets::Finding> &findings)
{
    QStringList all;
    for (const presets::Finding &finding : findings)
        all << finding.line();
    return all.join("; "_l);
}

// Red, transparent at 0; green, half opaque at 100; blue, opaque at 200.
const QString ramp = entry("Ramp", "200, 100",
                           point(0, 0, 1, 0, 0) + ", "_l + point(100, 0.5, 0, 1, 0) + ", "_l
                               + point(200, 1, 0, 0, 1));
const QString standard = entry("Standard", "400, 40");

// Shipped: "Standard", "Ramp" and "Shadowed", and the colour table "Warm"; the user's: "Mine",
// "Shadowed", a last-preset record and a member the tool knows nothing of. Beside them:
// "broken.json" with a preset the library cannot load ("Bad") and one whose table is missing
// ("Lost"), "warned.json" that passes with a warning, and "not.json", which is not JSON.
class Fixture : public TemporaryStore
{
public:
    Fixture()
    {
        write(global_file(),
              presets_file(standard + ", "_l + ramp + ", "_l + entry("Shadowed", "100, 50"),
                           "'Warm': "_l
                               + QString::fromUtf8(QJsonDocument(table(255, 128)).toJson())));
        write(user_file(),
              text("{'viewer': {'x': 1}, 'rendering': {'dvr': {'last': "
                   "{'preset': {'key': 'Mine'}}, 'preset': {%1, %2}}}}"_l.arg(
                       entry("Mine", "300, 0",
                             point(-150, 0, 1, 1, 1) + ", "_l + point(150, 1, 1, 1, 1), "false"),
                       entry("Shadowed", "10, 5", {}, "false"))));
        write(path("broken.json"_l),
              presets_file(standard + ", "_l + entry("Bad", "100, 0").replace("0.15"_l, "5"_l)
                           + ", "_l + entry("Lost", "100, 0").replace("No CLUT"_l, "Nope"_l)));
        write(path("warned.json"_l),
              presets_file(entry("Warned", "100, 0")
                               .replace("'description': 'Warned'"_l, "'description': 'Other'"_l)));
        write(path("not.json"_l), QByteArray("{\"rendering\": {\"dvr\": "));
    }

    QString path(const QString &name) const { return dir.filePath(name); }

    // The tool runs in the temporary folder, where relative file names are.
    QStringList arguments(const QString &line, const QString &user) const
    {
        return QStringList{"--global"_l, global_file(), "--user"_l,
                           user.isEmpty() ? user_file() : user}
        + line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    void launch(QProcess &process, const QStringList &arguments,
                const QProcessEnvironment &environment) const
    {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral(KESU_PRESETS_TOOL), arguments);
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME"_l, dir.path()); // nothing reaches the real home
        environment.insert("QT_QPA_PLATFORM"_l, "offscreen"_l);
        return environment;
    }
    static Result finish(QProcess &process)
    {
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), process.readAllStandardOutput(),
                QString::fromUtf8(process.readAllStandardError())};
    }
    Result run(const QString &line, const QString &user = {}) const
    {
        QProcess process;
        launch(process, arguments(line, user), environment());
        return finish(process);
    }
};

} // namespace

class TestKesuPresets : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void each_preset_rule_names_the_preset_and_member_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("changes");
        QTest::addColumn<QString>("findings");
        const auto rule = [](const char *name, const QByteArray &changes, const char *findings) {
            QTest::newRow(QByteArray(name).append(changes).simplified().constData())
                << QString::fromUtf8(name) << changes << QString::fromUtf8(findings);
        };
        // Points of its own: the window need not span anything and no table is looked up.
        const QByteArray own = R"("points": [{"x": 0, "y": 0, "r": 0, "g": 0, "b": 0,
            "midpoint": 0.5, "sharpness": 0}, {"x": 10, "y": 1, "r": 1, "g": 1, "b": 1,
            "midpoint": 0.5, "sharpness": 0}])";
        rule("Bone", "{}", "");
        rule(
            "Bone", R"({"window": [-500, 100]})",
            R"("window": width 0 or less (width -500: the generated points collapse or run backwards))");
        rule(
            "Bone", R"({"window": [0, 100]})",
            R"("window": width 0 or less (width 0: the generated points collapse or run backwards))");
        rule("Bone", R"({"window": "wide"})", R"("window": not two numbers)");
        rule("Bone", R"({"window": [100]})", R"("window": not two numbers)");
        rule(
            "Bone", "{" + own + R"(, "window": [0, 100]})",
            R"(warning: "window": width 0 or less (width 0: the window does not span the points))");
        rule("Bone", R"({"points": "nope"})", R"("points": not an array of point objects)");
        rule("Bone", "{" + QByteArray(own).replace(R"("r": 1)", R"("r": 1.5)") + "}",
             R"("points/1/r": outside 0..1 (1.5))");
        rule("Bone", "{" + QByteArray(own).replace(R"("y": 0,)", R"("y": -0.5,)") + "}",
             R"("points/0/y": outside 0..1 (-0.5))");
        rule("Bone", R"({"blend_mode": 70000})",
             R"("blend_mode": not a whole number from 0 to 65535)");
        rule("Bone", R"({"blend_mode": 99})", "");
        rule("Bone", R"({"clut": "Nope"})", R"("clut": clut preset not found ("Nope"))");
        rule("Bone", R"({"clut": ""})", R"("clut": clut preset not found (""))");
        rule("Bone", R"({"clut": "Short"})", R"("clut": unsuported table size ("Short"))");
        rule("Bone", R"({"clut": "Grey"})", "");
        rule("Bone", "{" + own + R"(, "clut": "Nope"})", "");
        rule("Bone", R"({"ambient": 5})", R"("ambient": range violation (5 is outside 0..4))");
        rule("Bone", R"({"group": null})", R"("group": incomplete file (member missing))");
        rule("Bone", R"({"shade": "yes"})", R"("shade": not true or false)");
        rule("Bone", R"({"description": "Other"})",
             R"(warning: "description": differs from the name it is stored under ("Other"))");
        rule("", "{}", R"(warning: preset "": empty name)");
        rule(" Bone ", "{}", R"(warning: preset " Bone ": name begins or ends with spaces)");
        // A control character is shown escaped, so that the name stays on one line.
        rule("Bo\nne", "{}", R"(preset "Bo\nne": name contains a control character (U+000a))");
        rule(
            "CT/Bone", "{}",
            R"(preset "CT/Bone": name contains "/" (the viewer cannot load it: export it, rename it and import it again))");
    }
    // The preset is described by its name; what is said about "Bone" is shown without the name.
    void each_preset_rule_names_the_preset_and_member()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, changes);
        QJsonObject described = kesu::test::complete_preset();
        described.insert("description"_l, name);
        QJsonObject object = kesu::test::with_members(changes, described);
        for (const QString &member : object.keys())
            if (object.value(member).isNull())
                object.remove(member);
        const QString findings = lines(presets::check_preset(name, object, stored_table));
        QTEST(QString(findings).remove(R"(preset "Bone": )"_l), "findings");
    }

    void each_table_rule_names_the_channel_and_entry_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("findings");
        // A table whose channel starts with the entries given, the rest 0.
        const auto with = [](const char *name, QJsonArray entries, int size = 256) {
            QJsonObject changed = table();
            while (entries.size() < size)
                entries.append(0);
            changed.insert(QLatin1String(name), entries);
            return changed;
        };
        const auto rule = [](const QJsonValue &value, const char *findings) {
            QTest::newRow(*findings ? findings : "a full table passes")
                << value << QString::fromUtf8(findings);
        };
        QJsonObject no_blue = table();
        no_blue.remove("blue"_l);
        rule(table(), "");
        rule(with("red", {0, 0, 0, 1000}), R"("red/3": not a whole number from 0 to 255 (1000))");
        // The first bad entry is named, and how many more there are.
        rule(with("green", {-50, 0, 0, 0, 0, 300}),
             R"("green/0": not a whole number from 0 to 255 (-50, and 1 more))");
        rule(with("blue", {0, 0, 1.5}), R"("blue/2": not a whole number from 0 to 255 (1.5))");
        rule(with("red", {0, "x"_l}), R"("red/1": not a whole number from 0 to 255)");
        rule(with("red", {}, 255), R"("red": unsuported table size (255 entries, not 256))");
        rule(no_blue, R"("blue": unsuported table size (missing))");
        rule(5, R"(clut preset not found (not an object with "red", "green" and "blue"))");
    }
    // What is said about the table "T" is shown without its name.
    void each_table_rule_names_the_channel_and_entry()
    {
        QFETCH(QJsonValue, value);
        const QString findings = lines(presets::check_table("T"_l, value));
        QTEST(QString(findings).remove(R"(colour table "T": )"_l), "findings");
    }

    void a_file_is_checked_as_a_whole_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("findings");
        const auto rule = [](const QByteArray &file, const char *findings) {
            QTest::newRow(*findings ? findings : "tables are looked up outside the file too")
                << file << QString::fromUtf8(findings);
        };
        const QString grey = QString(standard).replace("No CLUT"_l, "Grey"_l);
        rule("{}", "holds no presets");
        rule(presets_file(entry("Bone", "1, 0") + ", "_l + entry("bone", "1, 0")),
             R"(warning: preset "bone": name differs only in letter case from "Bone")");
        rule(
            presets_file(QString(standard).replace("'No CLUT'"_l,
                                                   "'No CLUT', "_l + entry("variant", "1, 0"))),
            R"(preset "Standard/variant": stored inside preset "Standard" (the viewer cannot load it: export it, rename it and import it again))");
        // The file's own "Grey" shadows the good one outside it.
        rule(presets_file(grey, "'Grey': {'red': [], 'green': [], 'blue': []}"_l),
             R"(preset "Standard": "clut": unsuported table size ("Grey"); )"
             R"(colour table "Grey": "red": unsuported table size (0 entries, not 256); )"
             R"(colour table "Grey": "green": unsuported table size (0 entries, not 256); )"
             R"(colour table "Grey": "blue": unsuported table size (0 entries, not 256))");
        rule(presets_file(grey), "");
    }
    void a_file_is_checked_as_a_whole()
    {
        QFETCH(QByteArray, file);
        QTEST(lines(presets::check_document(QJsonDocument::fromJson(file).object(), stored_table)),
              "findings");
    }

    void without_a_home_only_what_writes_the_user_file_is_refused()
    {
        QCommandLineParser parser;
        presets::add_common_options(parser);
        QVERIFY(parser.parse({"kesu-presets"_l, "--global"_l, "elsewhere.json"_l}));
        presets::Files files;
        QVERIFY(!presets::resolve_files(parser, presets::import_command, QString(), files));
        QVERIFY(presets::resolve_files(parser, presets::list_command, QString(), files));
        QVERIFY(files.no_user && files.user.isEmpty());
        QVERIFY(
            presets::resolve_files(parser, presets::import_command, "/h/presets.json"_l, files));
        QCOMPARE(files.user, "/h/presets.json"_l);
    }

    void every_command_keeps_the_exit_status_contract_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("commands");
        const auto row = [](int status, const char *output,
                            std::initializer_list<const char *> commands) {
            QStringList all;
            for (const char *command : commands)
                all << QString::fromUtf8(command);
            QTest::newRow(qPrintable(all.join(" | "_l)))
                << status << QString::fromUtf8(output) << all;
        };
        row(0, "user, shadows shipped", {"list"});
        // A preset that cannot be used says why, instead of "generated: , ".
        row(0, R"(cannot be used: "clut": clut preset not found ("Nope"))",
            {"list --global broken.json"});
        row(0, "3 of its own", {"show Ramp"});
        row(0, "\"Standard\"", {"show Nowhere --fallback"});
        row(0, "wrote", {"render Ramp -o o.png --window 100,10"});
        row(0, "1 colour tables", {"render --table Warm -o t.png"});
        row(0, "Warm", {"list --tables"});
        row(0, "RGBPoints", {"export --colormap Warm"});
        row(0, "wrote", {"gallery -o g.png"});
        row(1, "wrote", {"gallery -o g.png --global broken.json"});
        row(0, "Mine", {"export Mine"});
        row(0, "0 problem(s), 0 warning(s)", {"check 3d_presets.json"});
        row(1, "2 problem(s)", {"check broken.json"});
        row(0, "1 warning(s)", {"check warned.json"});
        row(0, "Exit status", {"help"});
        row(0, "Usage: kesu-presets render NAME", {"help render"});
        row(0, "kesu-presets ", {"--version"});
        row(1, "", {"show Nowhere", "show Bad --global broken.json", "render Nowhere -o o.png"});
        row(1, "", {"render Lost -o o.png --global broken.json", "render --table Nope -o t.png"});
        row(1, "", {"export --colormap Nope", "export Nowhere", "check warned.json --strict"});
        row(1, "", {"import broken.json"});
        row(2, "", {"list --frob", "render Ramp -o o.nope", "render Ramp -o x.png --size 10x10"});
        row(2, "", {"render Ramp -o x.png --window 400", "render Ramp -o x.png --window -100,50"});
        row(2, "", {"render Ramp Standard -o x.png", "gallery -o g.png --per-page 0"});
        row(2, "", {"gallery -o g.png --per-page 500", "check not.json", "check no.json"});
        row(2, "", {"check 3d_presets.json --global not.json", "import not.json"});
        row(2, "", {"import warned.json --format pictures", "import warned.json --help-all"});
        row(2, "", {"help frob", "paint", ""});
    }
    void every_command_keeps_the_exit_status_contract()
    {
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(QStringList, commands);
        Fixture fixture;
        const QByteArray before = TemporaryStore::read(fixture.user_file());
        for (const QString &command : commands) {
            const Result result = fixture.run(command);
            QVERIFY2(result.status == status && result.text().contains(output),
                     qPrintable(command + ": "_l + QString::number(result.status) + ": "_l
                                + result.err));
            QCOMPARE(TemporaryStore::read(fixture.user_file()), before);
            QCOMPARE(QDir(fixture.path(".kesu"_l)).entryList(QDir::Files | QDir::Hidden),
                     QStringList{"presets.json"_l});
            // Usage errors are one line on the error stream, naming the tool, not its path.
            if (status == 2 && !command.isEmpty())
                QVERIFY2(result.err.startsWith("kesu-presets: "_l)
                             && result.err.count(QLatin1Char('\n')) == 1,
                         qPrintable(result.err));
            QVERIFY(!result.text().contains(QStringLiteral(KESU_PRESETS_TOOL)));
        }
    }

    void list_and_show_tell_where_each_preset_comes_from()
    {
        Fixture fixture;
        const Result result = fixture.run("list --json"_l);
        QCOMPARE(result.status, 0);
        const QString generated = QStringLiteral(
            "'points': 'generated', 'opacity': 'Linear Table', 'clut': 'No CLUT', 'group': 'Test'");
        QCOMPARE(result.json(),
                 QJsonDocument::fromJson(text(
                     QStringLiteral(
                         "[{'name': 'Mine', 'source': 'user', 'read_only': false, 'points': "
                         "'custom', 'group': 'Test'}, {'name': 'Ramp', 'source': 'shipped', "
                         "'read_only': true, 'points': 'custom', 'group': 'Test'}, {'name': "
                         "'Shadowed', 'source': 'user, shadows shipped', 'read_only': false, %1}, "
                         "{'name': 'Standard', 'source': 'shipped', 'read_only': true, %1}]")
                         .arg(generated))));
        QCOMPARE(fixture.run("list"_l).text().count(QLatin1Char('\n')), 5);
        const Result selected = fixture.run("list --json --group test --match sha"_l);
        QCOMPARE(selected.json()[0]["name"_l].toString(), "Shadowed"_l);
        QCOMPARE(selected.json().array().size(), 1);
        const Result stored = fixture.run("show Shadowed --json"_l);
        QCOMPARE(stored.status, 0);
        QCOMPARE(stored.json().object(),
                 preset(TemporaryStore::read(fixture.user_file()), "Shadowed"_l));
        const Result fallback = fixture.run("show Nowhere --fallback --model"_l);
        QVERIFY(fallback.status == 0 && fallback.err.contains("no preset \"Nowhere\""_l));
        QCOMPARE(fallback.json()["points"_l].toArray().size(), 256);
    }

    void render_agrees_with_the_model_data()
    {
        QTest::addColumn<QString>("preset");
        QTest::addColumn<double>("centre");
        QTest::addColumn<QColor>("expected");
        QTest::addColumn<double>("transparent");
        QTest::newRow("a generated grey ramp is mid grey at its level")
            << "Standard" << 40.0 << QColor(128, 128, 128) << -175.0;
        QTest::newRow("a preset's own points spread over a shifted window, green in its middle")
            << "Ramp --window 400,300" << 300.0 << QColor(0, 255, 0) << 80.0;
    }
    void render_agrees_with_the_model()
    {
        QFETCH(QString, preset);
        QFETCH(double, centre);
        QFETCH(QColor, expected);
        QFETCH(double, transparent);
        Fixture fixture;
        const Result result = fixture.run("render "_l + preset + " -o p.png --size 640x300"_l);
        QVERIFY2(result.status == 0, qPrintable(result.err));
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

    void output_goes_where_it_is_sent()
    {
        Fixture fixture;
        const Result picture = fixture.run("render Ramp -o -"_l);
        QVERIFY(picture.status == 0 && picture.out.startsWith("\x89PNG"));
        const Result exported = fixture.run("export Ramp -o -"_l);
        QVERIFY(exported.status == 0 && exported.out.startsWith("{"));
        // The format is that of the extension.
        QCOMPARE(fixture.run("render Ramp -o ramp.jpg"_l).status, 0);
        QVERIFY(TemporaryStore::read(fixture.path("ramp.jpg"_l)).startsWith("\xff\xd8\xff"));
        QVERIFY(!QFileInfo::exists(fixture.path("-"_l)));
        // Devices and pipes are written, never replaced.
        const QString pipe = fixture.path("pipe"_l);
        QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QProcess process;
        fixture.launch(process, fixture.arguments("export Ramp -o "_l + pipe, {}),
                       fixture.environment());
        const QByteArray read = kesu::test::finishes("reading the pipe", [&pipe] {
            QFile in(pipe);
            return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
        });
        QCOMPARE(Fixture::finish(process).status, 0);
        QCOMPARE(preset(read, "Ramp"_l)["description"_l].toString(), "Ramp"_l);
        QVERIFY(QFileInfo(pipe).exists() && !QFileInfo(pipe).isFile());

        const Result full = fixture.run("export Ramp -o /dev/full"_l);
        QCOMPARE(full.status, 1);
        QVERIFY2(full.err.contains(QString::fromLocal8Bit(strerror(ENOSPC))), qPrintable(full.err));
        struct stat device = {};
        QVERIFY(stat("/dev/full", &device) == 0 && S_ISCHR(device.st_mode));
    }

    void without_home_the_library_s_place_is_used()
    {
        Fixture fixture;
        for (const bool empty : {true, false}) {
            QProcessEnvironment environment = fixture.environment();
            environment.remove("HOME"_l);
            if (empty)
                environment.insert("HOME"_l, QString());
            QProcess process;
            fixture.launch(process, {"--global"_l, fixture.global_file(), "list"_l}, environment);
            const Result result = Fixture::finish(process);
            QVERIFY2(result.status == 0 && !result.err.contains("//"_l), qPrintable(result.err));
        }
        QVERIFY(!QFileInfo::exists("/.kesu"_l));
    }

    void import_stores_the_json_it_read()
    {
        Fixture fixture;
        const QByteArray file = text("{'rendering': {'dvr': {'preset': {%1, %2}}}}"_l.arg(
            entry("Precise", "1234.567, 0.1")
                .replace("'group'"_l, "'extra': {'kept': [1]}, 'group'"_l),
            entry("Shadowed", "20, 10")));
        TemporaryStore::write(fixture.path("precise.json"_l), file);
        // A name the user has already is refused, and nothing of the file is imported.
        const QByteArray before = TemporaryStore::read(fixture.user_file());
        const Result refused = fixture.run("import precise.json"_l);
        QCOMPARE(refused.status, 1);
        QVERIFY(refused.err.contains(
            "the user already has a preset \"Shadowed\"; --force replaces it"_l));
        QCOMPARE(TemporaryStore::read(fixture.user_file()), before);
        const Result result = fixture.run("import precise.json --force"_l);
        QVERIFY2(result.status == 0, qPrintable(result.err));
        QVERIFY(result.text().contains(
            "imported \"Shadowed\" (replaced the user's preset \"Shadowed\")"_l));
        const QByteArray saved = TemporaryStore::read(fixture.user_file());
        QJsonObject expected = preset(file, "Precise"_l);
        expected.insert("read_only"_l, false);
        QCOMPARE(preset(saved, "Precise"_l), expected);
        QVERIFY(saved.contains("1234.567,") && saved.contains("0.1\n"));
        QCOMPARE(QJsonDocument(
                     fixture.user_on_disk())["rendering"_l]["dvr"_l]["last"_l]["preset"_l]["key"_l],
                 QJsonValue("Mine"_l));
    }

    void import_leaves_the_other_user_presets_untouched()
    {
        Fixture fixture;
        QCOMPARE(fixture.run("export Ramp -o ramp.json"_l).status, 0);
        TemporaryStore::write(
            fixture.path("bad.json"_l),
            presets_file(entry("Bad", "100, 0").replace("0.15"_l, "5"_l) + ", "_l + ramp));
        QJsonObject expected = preset(presets_file(ramp), "Ramp"_l);
        expected.insert("read_only"_l, false);
        const QByteArray before = TemporaryStore::read(fixture.user_file());
        QVERIFY(QFile::copy(fixture.user_file(), fixture.path("copy.json"_l)));
        // Ramp is imported, and nothing else of the user's file changes.
        const auto import = [&](const QString &arguments, const QString &user, int status) {
            const Result result = fixture.run(arguments, user);
            QCOMPARE(result.status, status);
            QCOMPARE(result.err.contains("\"ambient\": range violation"_l), status == 1);
            const QByteArray after = TemporaryStore::read(user);
            QCOMPARE(preset(after, "Ramp"_l), expected);
            for (const char *name : {"Mine", "Shadowed", "Bad"})
                QCOMPARE(preset(after, QLatin1String(name)), preset(before, QLatin1String(name)));
            QCOMPARE(QJsonDocument::fromJson(after)["viewer"_l],
                     QJsonDocument::fromJson(before)["viewer"_l]);
        };
        // A file that fails the check is refused as a whole; forced, only the failing preset is
        // skipped.
        const Result refused = fixture.run("import bad.json"_l);
        QVERIFY(refused.status == 1 && refused.err.contains("\"ambient\": range violation"_l));
        QCOMPARE(TemporaryStore::read(fixture.user_file()), before);
        import("import bad.json --force"_l, fixture.user_file(), 1);
        import("import ramp.json"_l, fixture.path("copy.json"_l), 0);
        // An export imported into an empty user file, in a folder not there yet, comes back the
        // same.
        const QString elsewhere = fixture.path("elsewhere/presets.json"_l);
        QCOMPARE(fixture.run("import ramp.json"_l, elsewhere).status, 0);
        QCOMPARE(preset(TemporaryStore::read(elsewhere), "Ramp"_l), expected);
    }

    void concurrent_imports_keep_every_preset()
    {
        Fixture fixture;
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int i = 0; i < 8; ++i) {
            const QString name = QStringLiteral("P%1").arg(i);
            TemporaryStore::write(fixture.path(name + ".json"_l),
                                  presets_file(entry(qPrintable(name), "100, 50")));
            processes.push_back(std::make_unique<QProcess>());
            fixture.launch(*processes.back(), fixture.arguments("import "_l + name + ".json"_l, {}),
                           fixture.environment());
        }
        for (auto &process : processes)
            QCOMPARE(Fixture::finish(*process).status, 0);
        const QByteArray saved = TemporaryStore::read(fixture.user_file());
        for (int i = 0; i < 8; ++i)
            QVERIFY(!preset(saved, QStringLiteral("P%1").arg(i)).isEmpty());
        QVERIFY(!preset(saved, "Mine"_l).isEmpty());
    }

    void imports_bring_colour_tables_and_volume_properties()
    {
        Fixture fixture;
        QJsonObject sea = table(255, 128, 200);
        const auto write = [&] {
            TemporaryStore::write(
                fixture.path("sea.json"_l),
                presets_file(entry("Tinted", "100, 50").replace("No CLUT"_l, "Sea"_l),
                             "'Sea': "_l + QString::fromUtf8(QJsonDocument(sea).toJson())));
        };
        write();
        Result result = fixture.run("import sea.json"_l);
        QVERIFY2(result.status == 0, qPrintable(result.err));
        QCOMPARE(result.text(), "imported colour table \"Sea\"\nimported \"Tinted\"\n"_l);
        QCOMPARE(fixture.run("render Tinted -o t.png"_l).status, 0);
        QCOMPARE(fixture.run("import sea.json"_l).text(),
                 "unchanged colour table \"Sea\": the same is stored already\n"
                 "unchanged \"Tinted\": the same is stored already\n"_l);
        sea.insert("red"_l, channel(0));
        write();
        QCOMPARE(fixture.run("import sea.json"_l).status, 1);
        result = fixture.run("import sea.json --force"_l);
        QVERIFY(result.text().contains(
            "imported colour table \"Sea\" (replaced the user's colour table \"Sea\")"_l));
        QCOMPARE(QJsonDocument(fixture.user_on_disk())["rendering"_l]["clut"_l]["preset"_l]["Sea"_l]
                     .toObject(),
                 sea);

        TemporaryStore::write(
            fixture.path("volume.xml"_l),
            "<Presets><VolumeProperty name=\"CT-Air\" colorTransfer=\"8 -1000 0 0 0 0 1 1 1\" "
            "scalarOpacity=\"4 -1000 0 0 1\" shade=\"1\"/></Presets>");
        result = fixture.run("import volume.xml"_l);
        QVERIFY2(result.status == 0 && result.text() == "imported \"CT-Air\"\n"_l,
                 qPrintable(result.err));
        QCOMPARE(fixture.run("check .kesu/presets.json"_l).status, 0);
        QCOMPARE(fixture.run("render CT-Air -o air.png"_l).status, 0);
    }

    void a_large_gallery_is_drawn_in_pages()
    {
        Fixture fixture;
        QStringList many;
        for (int i = 0; i < 500; ++i)
            many << entry(qPrintable(QStringLiteral("P%1").arg(i, 3, 10, QLatin1Char('0'))),
                          "100, 50", point(0, 0, 0, 0, 0) + ", "_l + point(100, 1, 1, 1, 1));
        TemporaryStore::write(fixture.path("many.json"_l), presets_file(many.join(", "_l)));
        const Result result = fixture.run(
            "gallery --global many.json --no-user -o g.png --per-page 120 --width 400"_l);
        QCOMPARE(result.status, 0);
        QCOMPARE(QDir(fixture.dir.path()).entryList({"g*.png"_l}),
                 (QStringList{"g-001.png"_l, "g-002.png"_l, "g-003.png"_l, "g-004.png"_l,
                              "g-005.png"_l}));
        QCOMPARE(result.text().count("wrote "_l), 5);
        QVERIFY(result.text().contains("g-005.png: 20 presets"_l));
    }
};

KESU_TEST_CLASS(TestKesuPresets)
#include "tst_kesupresets.moc"
