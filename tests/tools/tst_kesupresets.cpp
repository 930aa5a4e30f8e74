#include "check.h"
#include "commandline.h"

#include <application/manager.h>
#include <transferfunction/model.h>

#include "testing.h"

#include <QColor>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QProcess>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/stat.h>

using kesu::test::operator""_l;
using kesu::test::TemporaryStore;
using korvel::transferfunction::Model;
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

QJsonArray channel(int size, int value = 0)
{
    QJsonArray entries;
    for (int i = 0; i < size; ++i)
        entries.append(value);
    return entries;
}

QJsonObject table(int size = 256)
{
    return {{"red"_l, channel(size)}, {"green"_l, channel(256)}, {"blue"_l, channel(256)}};
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

// A colour table from black to orange.
const QString warm = QString::fromUtf8(QJsonDocument(QJsonObject{{"red"_l, channel(256, 255)},
                                                                 {"green"_l, channel(256, 128)},
                                                                 {"blue"_l, channel(256, 0)}})
                                           .toJson(QJsonDocument::Compact));

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
                           "'Warm': "_l + warm));
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

    // Relative file names on the command line are in the temporary folder.
    QStringList arguments(const QString &line, const QString &user) const
    {
        QStringList arguments{"--global"_l, global_file(), "--user"_l,
                              user.isEmpty() ? user_file() : user};
        for (const QString &word : line.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            arguments << (word.contains(QLatin1Char('.')) && QDir::isRelativePath(word) ? path(word)
                                                                                        : word);
        return arguments;
    }
    void launch(QProcess &process, const QString &line, const QString &user = {}) const
    {
        launch(process, arguments(line, user), environment());
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
        launch(process, line, user);
        return finish(process);
    }
};

const QString not_loadable =
    "the viewer cannot load it: export it, rename it and import it again"_l;

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
        const QByteArray own = R"({"points": [{"x": 0, "y": 0, "r": 0, "g": 0, "b": 0,
            "midpoint": 0.5, "sharpness": 0}, {"x": 10, "y": 1, "r": 1, "g": 1, "b": 1,
            "midpoint": 0.5, "sharpness": 0}]})";
        const auto with_own = [&own](const char *changes) {
            QJsonObject members = QJsonDocument::fromJson(own).object();
            const QJsonObject more = QJsonDocument::fromJson(changes).object();
            for (auto m = more.begin(); m != more.end(); ++m)
                members.insert(m.key(), m.value());
            return QJsonDocument(members).toJson();
        };
        const auto row = [](const char *what, const char *changes, const char *findings) {
            QTest::newRow(what) << "Bone" << QByteArray(changes) << QString::fromUtf8(findings);
        };
        const QString in_bone = "preset \"Bone\": "_l;
        row("a complete preset passes", "{}", "");
        QTest::newRow("a window that runs backwards is a problem")
            << "Bone" << QByteArray(R"({"window": [-500, 100]})")
            << in_bone
                + "\"window\": width 0 or less (width -500: the generated points collapse or run backwards)"_l;
        QTest::newRow("a window of no width is a problem")
            << "Bone" << QByteArray(R"({"window": [0, 100]})")
            << in_bone
                + "\"window\": width 0 or less (width 0: the generated points collapse or run backwards)"_l;
        row("a window of text is not two numbers", R"({"window": "wide"})",
            R"(preset "Bone": "window": not two numbers)");
        row("a window of one number is not two numbers", R"({"window": [100]})",
            R"(preset "Bone": "window": not two numbers)");
        QTest::newRow("no width over points of its own only warns")
            << "Bone" << with_own(R"({"window": [0, 100]})")
            << "warning: "_l + in_bone
                + "\"window\": width 0 or less (width 0: the window does not span the points)"_l;
        row("points of text are not an array", R"({"points": "nope"})",
            R"(preset "Bone": "points": not an array of point objects)");
        QTest::newRow("a colour beyond 1 is named by its point")
            << "Bone" << QByteArray(own).replace("\"r\": 1", "\"r\": 1.5")
            << in_bone + "\"points/1/r\": outside 0..1 (1.5)"_l;
        QTest::newRow("a negative opacity is named by its point")
            << "Bone" << QByteArray(own).replace("\"y\": 0,", "\"y\": -0.5,")
            << in_bone + "\"points/0/y\": outside 0..1 (-0.5)"_l;
        row("a blend mode beyond 16 bits is out of range", R"({"blend_mode": 70000})",
            R"(preset "Bone": "blend_mode": not a whole number from 0 to 65535)");
        row("any blend mode of 16 bits is the renderer's", R"({"blend_mode": 99})", "");
        row("a table named nowhere is not found", R"({"clut": "Nope"})",
            R"(preset "Bone": "clut": clut preset not found ("Nope"))");
        row("no table name is not found either", R"({"clut": ""})",
            R"(preset "Bone": "clut": clut preset not found (""))");
        row("a table of 255 entries has an unsupported size", R"({"clut": "Short"})",
            R"(preset "Bone": "clut": unsuported table size ("Short"))");
        row("a stored table is found", R"({"clut": "Grey"})", "");
        QTest::newRow("points of its own need no table")
            << "Bone" << with_own(R"({"clut": "Nope"})") << QString();
        row("an ambient of 5 is a range violation", R"({"ambient": 5})",
            R"(preset "Bone": "ambient": range violation (5 is outside 0..4))");
        row("a missing member is an incomplete file", R"({"group": null})",
            R"(preset "Bone": "group": incomplete file (member missing))");
        row("a member of another type is named", R"({"shade": "yes"})",
            R"(preset "Bone": "shade": not true or false)");
        row("a description unlike the name warns", R"({"description": "Other"})",
            R"(warning: preset "Bone": "description": differs from the name it is stored under ("Other"))");
        QTest::newRow("an empty name warns")
            << "" << QByteArray(R"({"description": ""})") << "warning: preset \"\": empty name";
        QTest::newRow("spaces around a name warn")
            << " Bone " << QByteArray(R"({"description": " Bone "})")
            << "warning: preset \" Bone \": name begins or ends with spaces";
        QTest::newRow("a newline in a name is a problem, shown escaped")
            << "Bo\nne" << QByteArray(R"({"description": "Bo\nne"})")
            << "preset \"Bo\\nne\": name contains a control character (U+000a)";
        QTest::newRow("a slash in a name is a problem")
            << "CT/Bone" << QByteArray(R"({"description": "CT/Bone"})")
            << "preset \"CT/Bone\": name contains \"/\" ("_l + not_loadable + ")"_l;
    }
    void each_preset_rule_names_the_preset_and_member()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, changes);
        QJsonObject object = kesu::test::with_members(changes);
        for (const QString &member : object.keys())
            if (object.value(member).isNull())
                object.remove(member);
        const QJsonObject tables{{"Grey"_l, table()}, {"Short"_l, table(255)}};
        const presets::TableLookup lookup = [&](const QString &clut) {
            return tables.value(clut).toObject();
        };
        QTEST(lines(presets::check_preset(name, object, lookup)), "findings");
    }

    void each_table_rule_names_the_channel_and_entry_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("findings");
        const auto with = [](const char *name, int at, const QJsonValue &entry, int size = 256) {
            QJsonObject changed = table();
            QJsonArray entries = channel(size);
            if (at >= 0)
                entries.replace(at, entry);
            changed.insert(QLatin1String(name), entries);
            return changed;
        };
        QJsonObject two_bad = with("green", 0, -50);
        QJsonArray green = two_bad.value("green"_l).toArray();
        green.replace(5, 300);
        two_bad.insert("green"_l, green);
        QJsonObject no_blue = table();
        no_blue.remove("blue"_l);
        const QString in_t = "colour table \"T\": "_l;
        QTest::newRow("a full table passes") << QJsonValue(table()) << QString();
        QTest::newRow("an entry of 1000 is out of range")
            << QJsonValue(with("red", 3, 1000))
            << in_t + "\"red/3\": not a whole number from 0 to 255 (1000)"_l;
        QTest::newRow("the first bad entry is named, and how many more there are")
            << QJsonValue(two_bad)
            << in_t + "\"green/0\": not a whole number from 0 to 255 (-50, and 1 more)"_l;
        QTest::newRow("a fraction is not a whole number")
            << QJsonValue(with("blue", 2, 1.5))
            << in_t + "\"blue/2\": not a whole number from 0 to 255 (1.5)"_l;
        QTest::newRow("text is not a number")
            << QJsonValue(with("red", 1, "x"_l))
            << in_t + "\"red/1\": not a whole number from 0 to 255"_l;
        QTest::newRow("255 entries are an unsupported size")
            << QJsonValue(with("red", -1, 0, 255))
            << in_t + "\"red\": unsuported table size (255 entries, not 256)"_l;
        QTest::newRow("a missing channel has an unsupported size")
            << QJsonValue(no_blue) << in_t + "\"blue\": unsuported table size (missing)"_l;
        QTest::newRow("a number is no table") << QJsonValue(5)
                                              << in_t
                + "clut preset not found (not an object with \"red\", \"green\" and \"blue\")"_l;
    }
    void each_table_rule_names_the_channel_and_entry()
    {
        QFETCH(QJsonValue, value);
        QTEST(lines(presets::check_table("T"_l, value)), "findings");
    }

    void a_file_is_checked_as_a_whole_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("findings");
        QTest::newRow("a file without presets is a problem")
            << QByteArray("{}") << "holds no presets";
        QTest::newRow("names that differ only in case warn")
            << presets_file(entry("Bone", "1, 0") + ", "_l + entry("bone", "1, 0"))
            << "warning: preset \"bone\": name differs only in letter case from \"Bone\"";
        QTest::newRow("a preset stored inside another is a problem")
            << presets_file(QString(standard).replace("'No CLUT'"_l,
                                                      "'No CLUT', "_l + entry("variant", "1, 0")))
            << "preset \"Standard/variant\": stored inside preset \"Standard\" ("_l + not_loadable
                + ")"_l;
        // The file's own "Grey" shadows the good one outside it.
        QTest::newRow("the file's own tables come first")
            << presets_file(QString(standard).replace("No CLUT"_l, "Grey"_l),
                            "'Grey': {'red': [], 'green': [], 'blue': []}"_l)
            << "preset \"Standard\": \"clut\": unsuported table size (\"Grey\"); colour table "
               "\"Grey\": \"red\": unsuported table size (0 entries, not 256); colour table "
               "\"Grey\": \"green\": unsuported table size (0 entries, not 256); colour table "
               "\"Grey\": \"blue\": unsuported table size (0 entries, not 256)";
        QTest::newRow("tables are looked up outside the file too")
            << presets_file(QString(standard).replace("No CLUT"_l, "Grey"_l)) << QString();
    }
    void a_file_is_checked_as_a_whole()
    {
        QFETCH(QByteArray, file);
        const presets::TableLookup outside = [](const QString &clut) {
            return clut == "Grey"_l ? table() : QJsonObject();
        };
        QTEST(lines(presets::check_document(QJsonDocument::fromJson(file).object(), outside)),
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
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        const auto row = [](const char *arguments, int status, const char *output = "") {
            QTest::newRow(*arguments ? arguments : "no command at all")
                << QString::fromUtf8(arguments) << status << QString::fromUtf8(output);
        };
        row("list", 0, "Mine");
        row("list --frob", 2);
        row("show Ramp", 0, "3 of its own");
        row("show Nowhere", 1);
        row("show Nowhere --fallback", 0, "\"Standard\"");
        row("show Bad --global broken.json", 1);
        row("render Ramp -o o.png --window 100,10", 0, "wrote");
        row("render Nowhere -o o.png", 1);
        row("render Lost -o o.png --global broken.json", 1);
        row("render Ramp -o o.nope", 2);
        row("render Ramp -o x.png --size 10x10", 2);
        row("render Ramp -o x.png --window 400", 2);
        row("render Ramp -o x.png --window -100,50", 2);
        row("render Ramp Standard -o x.png", 2);
        row("render --table Warm -o t.png", 0, "1 colour tables");
        row("render --table Nope -o t.png", 1);
        row("list --tables", 0, "Warm");
        row("export --colormap Warm", 0, "RGBPoints");
        row("export --colormap Nope", 1);
        row("gallery -o g.png", 0, "wrote");
        row("gallery -o g.png --global broken.json", 1, "wrote");
        row("gallery -o g.png --per-page 0", 2);
        row("gallery -o g.png --per-page 500", 2);
        row("export Mine", 0, "Mine");
        row("export Nowhere", 1);
        row("check 3d_presets.json", 0, "0 problem(s), 0 warning(s)");
        row("check broken.json", 1, "2 problem(s)");
        row("check warned.json", 0, "1 warning(s)");
        row("check warned.json --strict", 1);
        row("check not.json", 2);
        row("check no.json", 2);
        row("check 3d_presets.json --global not.json", 2);
        row("import not.json", 2);
        row("import warned.json --format pictures", 2);
        row("import broken.json", 1);
        row("import warned.json --help-all", 2);
        row("help", 0, "Exit status");
        row("help render", 0, "Usage: kesu-presets render NAME");
        row("help frob", 2);
        row("--version", 0, "kesu-presets ");
        row("paint", 2);
        row("", 2);
    }
    void every_command_keeps_the_exit_status_contract()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        Fixture fixture;
        const QByteArray before = TemporaryStore::read(fixture.user_file());
        const Result result = fixture.run(arguments);
        QVERIFY2(result.status == status && result.text().contains(output),
                 qPrintable(QString::number(result.status) + ": "_l + result.err));
        QCOMPARE(TemporaryStore::read(fixture.user_file()), before);
        QCOMPARE(QDir(fixture.path(".kesu"_l)).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"presets.json"_l});
        // Usage errors are one line on the error stream, naming the tool, not its path.
        if (status == 2 && !arguments.isEmpty())
            QVERIFY2(result.err.startsWith("kesu-presets: "_l)
                         && result.err.count(QLatin1Char('\n')) == 1,
                     qPrintable(result.err));
        QVERIFY(!result.text().contains(QStringLiteral(KESU_PRESETS_TOOL)));
    }

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
        QCOMPARE(table.text().count(QLatin1Char('\n')), 5);
        QVERIFY(table.status == 0 && table.text().contains("user, shadows shipped"_l));
        const Result selected = fixture.run("list --json --group test --match sha"_l);
        QCOMPARE(selected.json()[0]["name"_l].toString(), "Shadowed"_l);
        QCOMPARE(selected.json().array().size(), 1);
        // A preset that cannot be used says why, instead of "generated: , ".
        const Result broken = fixture.run("list --global broken.json"_l);
        QVERIFY(
            broken.text().contains("cannot be used: \"clut\": clut preset not found (\"Nope\")"_l));
    }

    void show_json_prints_the_preset_as_stored()
    {
        Fixture fixture;
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

    void output_goes_where_it_is_sent_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QByteArray>("start");
        QTest::newRow("a picture to standard output")
            << "render Ramp -o -" << QByteArray("\x89PNG");
        QTest::newRow("a preset to standard output") << "export Ramp -o -" << QByteArray("{");
        QTest::newRow("a picture in the format of its extension")
            << "render Ramp -o ramp.jpg" << QByteArray("\xff\xd8\xff");
    }
    void output_goes_where_it_is_sent()
    {
        QFETCH(QString, arguments);
        QFETCH(QByteArray, start);
        Fixture fixture;
        const Result result = fixture.run(arguments);
        QCOMPARE(result.status, 0);
        const QByteArray written = arguments.endsWith("-"_l)
            ? result.out
            : TemporaryStore::read(fixture.path("ramp.jpg"_l));
        QVERIFY(written.startsWith(start));
        QVERIFY(!QFileInfo::exists(fixture.path("-"_l)));
    }

    void devices_and_pipes_are_written_not_replaced()
    {
        Fixture fixture;
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
        struct stat device
        {
        };
        QVERIFY(stat("/dev/full", &device) == 0 && S_ISCHR(device.st_mode));
    }

    void without_home_the_library_s_place_is_used()
    {
        Fixture fixture;
        for (const char *home :
             {static_cast<const char *>(""), static_cast<const char *>(nullptr)}) {
            QProcessEnvironment environment = fixture.environment();
            if (home)
                environment.insert("HOME"_l, QString());
            else
                environment.remove("HOME"_l);
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
        QCOMPARE(
            QJsonDocument::fromJson(saved)["rendering"_l]["dvr"_l]["last"_l]["preset"_l]["key"_l]
                .toString(),
            "Mine"_l);
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

    void imports_bring_colour_tables_and_volume_properties()
    {
        Fixture fixture;
        QJsonObject sea = QJsonDocument::fromJson(text(warm)).object();
        sea.insert("blue"_l, channel(256, 200));
        const auto file = [&](const QJsonObject &table) {
            return presets_file(entry("Tinted", "100, 50").replace("No CLUT"_l, "Sea"_l),
                                "'Sea': "_l + QString::fromUtf8(QJsonDocument(table).toJson()));
        };
        TemporaryStore::write(fixture.path("sea.json"_l), file(sea));
        Result result = fixture.run("import sea.json"_l);
        QVERIFY2(result.status == 0, qPrintable(result.err));
        QCOMPARE(result.text(), "imported colour table \"Sea\"\nimported \"Tinted\"\n"_l);
        QCOMPARE(fixture.run("render Tinted -o t.png"_l).status, 0);
        QCOMPARE(fixture.run("import sea.json"_l).text(),
                 "unchanged colour table \"Sea\": the same is stored already\n"
                 "unchanged \"Tinted\": the same is stored already\n"_l);
        sea.insert("red"_l, channel(256, 0));
        TemporaryStore::write(fixture.path("sea.json"_l), file(sea));
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
        QStringList pages = QDir(fixture.dir.path()).entryList({"g*.png"_l});
        QCOMPARE(pages,
                 (QStringList{"g-001.png"_l, "g-002.png"_l, "g-003.png"_l, "g-004.png"_l,
                              "g-005.png"_l}));
        QCOMPARE(result.text().count("wrote "_l), 5);
        QVERIFY(result.text().contains("g-005.png: 20 presets"_l));
    }
};

KESU_TEST_CLASS(TestKesuPresets)
#include "tst_kesupresets.moc"
