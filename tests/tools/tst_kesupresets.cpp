#include "check.h"
#include "colourmap.h"
#include "colourspace.h"
#include "commandline.h"
#include "volumeproperty.h"

#include "testing.h"

#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QProcess>
#include <QSet>

#include <cmath>

#include <sys/stat.h>

using kesu::test::operator""_l;
using kesu::test::TemporaryStore;
namespace presets = kesu::presets;
using presets::Rgb;

namespace {

struct Result
{
    int status = -1;
    QByteArray out;
    QString err;
};

// Fixtures and expected texts are written with single quotes for double ones.
QByteArray text(const QString &fixture)
{
    return fixture.toUtf8().replace('\'', '"');
}

QString point(double x, double y, double r, double g, double b)
{
    return QString::asprintf("{'x': %.17g, 'y': %.17g, 'r': %.17g, 'g': %.17g, 'b': %.17g, "
                             "'midpoint': 0.5, 'sharpness': 0}",
                             x, y, r, g, b);
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

QByteArray presets_file(const QString &presets, const QJsonObject &tables = {})
{
    QJsonObject file =
        QJsonDocument::fromJson(text("{'dvr': {'preset': {%1}}}"_l.arg(presets))).object();
    if (!tables.isEmpty())
        file.insert("clut"_l, QJsonObject{{"preset"_l, tables}});
    return QJsonDocument(QJsonObject{{"rendering"_l, file}}).toJson();
}

QJsonObject preset(const QByteArray &file, const QString &name)
{
    return QJsonDocument::fromJson(file)["rendering"_l]["dvr"_l]["preset"_l][name].toObject();
}

// A colour table of one colour.
QJsonObject table(int red = 0, int green = 0, int blue = 0)
{
    const auto channel = [](int value) {
        return QJsonArray::fromVariantList(QVector<QVariant>(256, value).toList());
    };
    return {{"red"_l, channel(red)}, {"green"_l, channel(green)}, {"blue"_l, channel(blue)}};
}

// Red, transparent at 0; green, half opaque at 100; blue, opaque at 200.
const QString ramp = entry("Ramp", "200, 100",
                           point(0, 0, 1, 0, 0) + ", "_l + point(100, 0.5, 0, 1, 0) + ", "_l
                               + point(200, 1, 0, 0, 1));
const QString standard = entry("Standard", "400, 40");

// Shipped: "Standard", "Ramp", "Shadowed", table "Warm"; the user's: "Mine", "Shadowed", a last
// record, a member unknown to the tool. "broken.json": "Bad" cannot load, "Lost" lacks its table.
class Fixture : public TemporaryStore
{
public:
    Fixture()
    {
        write(global_file(),
              presets_file(standard + ", "_l + ramp + ", "_l + entry("Shadowed", "100, 50"),
                           {{"Warm"_l, table(255, 128)}}));
        write(user_file(),
              text("{'viewer': {'x': 1}, 'rendering': {'dvr': {'last': "
                   "{'preset': {'key': 'Mine'}}, 'preset': {%1, %2}}}}"_l.arg(
                       entry("Mine", "300, 0",
                             point(-150, 0, 1, 1, 1) + ", "_l + point(150, 1, 1, 1, 1), "false"),
                       entry("Shadowed", "10, 5", {}, "false"))));
        write(path("broken.json"_l),
              presets_file(standard + ", "_l + entry("Bad", "100, 0").replace("0.15"_l, "5"_l)
                           + ", "_l + entry("Lost", "100, 0").replace("No CLUT"_l, "Nope"_l)));
        write(path("warned.json"_l), presets_file(entry(" Warned", "100, 0")));
        write(path("not.json"_l), QByteArray("{\"rendering\": {\"dvr\": "));
    }

    QString path(const QString &name) const { return dir.filePath(name); }

    // The tool runs in the temporary folder, where relative file names are, and so does HOME.
    void start(QProcess &process, const QString &line, const QString &user = {}) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM"_l, "offscreen"_l);
        environment.insert("HOME"_l, dir.path());
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral(KESU_PRESETS_TOOL),
                      QStringList{"--global"_l, global_file(), "--user"_l,
                                  user.isEmpty() ? user_file() : user}
                          + line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    }
    static Result finish(QProcess &process)
    {
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), process.readAllStandardOutput(),
                QString::fromUtf8(process.readAllStandardError())};
    }
    // Runs a command and checks its status and that a text shows on either stream; JSON output
    // is compared in its compact form.
    void expect(const QString &line, int status, const QString &shown, const QString &user = {})
    {
        QProcess process;
        start(process, line, user);
        result = finish(process);
        const QJsonDocument json = QJsonDocument::fromJson(result.out);
        const QByteArray out = json.isNull() ? result.out : json.toJson(QJsonDocument::Compact);
        QVERIFY2(result.status == status
                     && QString(QString::fromUtf8(out) + result.err).contains(shown),
                 qPrintable(line + ": "_l + QString::number(result.status) + ": "_l
                            + QString::fromUtf8(out) + result.err));
    }
    Result result; // of the last expect
};

} // namespace

class TestKesuPresets : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What is said about the preset "Bone" and the colour table "T" is shown without the name.
    void each_rule_names_the_preset_or_table_and_member()
    {
        const auto rule = [](const QByteArray &file, const char *findings) {
            QStringList lines;
            // The one stored table is "Grey".
            for (const auto &finding : presets::check_document(
                     QJsonDocument::fromJson(file).object(), [](const QString &name) {
                         return name == "Grey"_l ? table() : QJsonObject();
                     }))
                lines << finding.line();
            QCOMPARE(
                lines.join("; "_l).remove(R"(preset "Bone": )"_l).remove(R"(colour table "T": )"_l),
                QString::fromUtf8(text(QLatin1String(findings))));
        };
        // A file of one preset: a complete one with the changes, null removing a member.
        const auto bone = [](const QString &changes, const QString &name = "Bone"_l) {
            QJsonObject object = kesu::test::complete_preset();
            object.insert("description"_l, name);
            object = kesu::test::with_members(text(changes), object);
            for (const QString &member : object.keys())
                if (object.value(member).isNull())
                    object.remove(member);
            return QJsonDocument(
                       kesu::test::nest({"rendering"_l, "dvr"_l, "preset"_l, name}, object))
                .toJson();
        };
        // A file of the table "T" with the channels given, each filled up with 0 to its size.
        const auto tabled = [](const char *channels, int size = 256) {
            QJsonObject changed = QJsonDocument::fromJson(text(QLatin1String(channels))).object();
            for (const QString &name : changed.keys()) {
                QJsonArray entries = changed[name].toArray();
                while (entries.size() < size)
                    entries.append(0);
                changed[name] = entries;
            }
            return presets_file(standard, {{"T"_l, changed}});
        };
        // Points of their own, with a colour and an opacity out of range: the window need not
        // span anything and no table is looked up.
        rule(bone("{'points': [%1, %2], 'window': [0, 100], 'clut': 'Nope'}"_l.arg(
                 point(0, -0.5, 0, 0, 0), point(10, 1, 1.5, 1, 1))),
             "'points/0/y': outside 0..1 (-0.5); 'points/1/r': outside 0..1 (1.5); warning: "
             "'window': width 0 or less (width 0: the window does not span the points)");
        rule(bone("{'window': [0, 100], 'clut': 'Nope', 'ambient': 5, 'group': null}"_l),
             "'group': incomplete file (member missing); 'ambient': range violation (5 is outside "
             "0..4); 'window': width 0 or less (width 0: the generated points collapse or run "
             "backwards); 'clut': clut preset not found ('Nope')");
        rule(bone("{'window': 'wide', 'description': 'Other'}"_l),
             "'window': not two numbers; warning: 'description': differs from the name it is "
             "stored under ('Other')");
        rule(bone("{}"_l, ""_l), "warning: preset '': empty name");
        // A control character is shown escaped, so that the name stays on one line.
        rule(
            bone("{}"_l, " CT/Bo\nne"_l),
            "preset ' CT/Bo\\nne': name contains '/' (the viewer cannot load it: export it, rename "
            "it and import it again); preset ' CT/Bo\\nne': name contains a control character "
            "(U+000a); warning: preset ' CT/Bo\\nne': name begins or ends with spaces");
        // The first bad entry of a channel is named, and how many more there are.
        rule(tabled("{'red': [0,0,0,1000], 'green': [-50,0,0,0,0,300], 'blue': [0,0,1.5]}"),
             "'red/3': not a whole number from 0 to 255 (1000); 'green/0': not a whole number "
             "from 0 to 255 (-50, and 1 more); 'blue/2': not a whole number from 0 to 255 (1.5)");
        rule(tabled("{'red': [0, 'x']}", 255),
             "'red': unsuported table size (255 entries, not 256); 'red/1': not a whole number "
             "from 0 to 255; 'green': unsuported table size (missing); 'blue': unsuported table "
             "size (missing)");
        rule(presets_file(standard, {{"T"_l, 5}}),
             "clut preset not found (not an object with 'red', 'green' and 'blue')");
        const QString grey = QString(standard).replace("No CLUT"_l, "Grey"_l);
        rule("{}", "holds no presets");
        rule(presets_file(entry("Bone", "1, 0") + ", "_l + entry("bone", "1, 0")),
             "warning: preset 'bone': name differs only in letter case from 'Bone'");
        rule(presets_file(QString(standard).replace("'No CLUT'"_l,
                                                    "'No CLUT', "_l + entry("variant", "1, 0"))),
             "preset 'Standard/variant': stored inside preset 'Standard' (the viewer cannot load "
             "it: export it, rename it and import it again)");
        // The file's own "Grey" shadows the good one outside it; that one is looked up alone.
        rule(presets_file(grey, {{"Grey"_l, QJsonObject{{"red"_l, QJsonArray()}}}}),
             "preset 'Standard': 'clut': unsuported table size ('Grey'); colour table 'Grey': "
             "'red': unsuported table size (0 entries, not 256); colour table 'Grey': 'green': "
             "unsuported table size (missing); colour table 'Grey': 'blue': unsuported table size "
             "(missing)");
        rule(presets_file(grey), "");
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
        QVERIFY(presets::resolve_files(parser, presets::import_command, "/h/p.json"_l, files));
        QCOMPARE(files.user, "/h/p.json"_l);
    }

    void every_command_keeps_the_exit_status_contract()
    {
        const auto add = [](const char *commands, int status, const char *shown = "") {
            Fixture fixture;
            const QByteArray before = TemporaryStore::read(fixture.user_file());
            for (const QString &command : QString::fromUtf8(commands).split(" | "_l)) {
                fixture.expect(command, status, QString::fromUtf8(text(QString::fromUtf8(shown))));
                QCOMPARE(TemporaryStore::read(fixture.user_file()), before);
                QCOMPARE(QDir(fixture.path(".kesu"_l)).entryList(QDir::Files | QDir::Hidden),
                         QStringList{"presets.json"_l});
                // Usage errors are one line on the error stream, naming the tool, not its path.
                if (status == 2 && !command.isEmpty())
                    QVERIFY(fixture.result.err.startsWith("kesu-presets: "_l)
                            && fixture.result.err.count(QLatin1Char('\n')) == 1);
                QVERIFY(!fixture.result.out.contains(KESU_PRESETS_TOOL));
            }
        };
        // A command that does not import leaves the user's file as it was, and no file beside it.
        add("list", 0,
            "Shadowed  Test   user, shadows shipped  no         generated: Linear Table, No CLUT");
        add("list --json --match mi", 0,
            "[{'group':'Test','name':'Mine','points':'custom','read_only':false,'source':'user'}]");
        add("list --json --group test --match sha", 0,
            "[{'clut':'No CLUT','group':'Test','name':'Shadowed','opacity':'Linear Table','points':"
            "'generated','read_only':false,'source':'user, shadows shipped'}]");
        add("list --json --match standard", 0, "'read_only':true,'source':'shipped'}]");
        // A preset that cannot be used says why, instead of "generated: , ".
        add("list --global broken.json", 0,
            "cannot be used: 'clut': clut preset not found ('Nope')");
        add("show Ramp", 0, "3 of its own");
        add("show Shadowed --json", 0, "'window':[10,5]");
        add("show Nowhere --fallback", 0, "no preset 'Nowhere'");
        // The model's 256 points spread evenly over the window 400 at 40.
        add("show Nowhere --fallback --model", 0, "'x':-158.43137254901");
        add("render --table Warm -o t.png", 0, "1 colour tables");
        add("list --tables | list --tables --json", 0, "Warm");
        // The last of the 256 points is at 1.
        add("export --colormap Warm", 0, "1,1,0.5019607843137255,0]}]");
        add("export Mine", 0, "Mine");
        // "-" is standard output, never a file of that name.
        add("render Ramp -o -", 0, "PNG");
        add("gallery --no-user -o g.png --per-page 2 --width 400", 0, "g-002.png: 1 presets");
        add("gallery -o g.png --global broken.json", 1, "wrote");
        add("check broken.json", 1, "2 problem(s)");
        add("check warned.json", 0, "0 problem(s), 1 warning(s)");
        add("check warned.json --strict", 1, "note: no 'Standard' preset");
        add("help", 0, "Exit status");
        add("help render", 0, "Usage: kesu-presets render NAME");
        add("--version", 0, "kesu-presets ");
        add("import broken.json", 1,
            "broken.json fails the check (2 problem(s)); nothing imported; --force imports");
        add("show Nowhere | show Bad --global broken.json | render Nowhere -o o.png | render Lost "
            "-o o.png --global broken.json | render --table Nope -o t.png | export --colormap Nope "
            "| export Nowhere",
            1);
        // The last is no command at all.
        add("list --frob | render Ramp -o o.nope | render Ramp -o x.png --size 10x10 | render Ramp "
            "-o x.png --window 400 | render Ramp -o x.png --window -100,50 | render Ramp Standard "
            "-o x.png | gallery -o g.png --per-page 0 | gallery -o g.png --per-page 500 | check "
            "not.json | check no.json | check 3d_presets.json --global not.json | import not.json "
            "| import warned.json --format pictures | import warned.json --help-all | help frob | "
            "paint | ",
            2);
    }

    void render_agrees_with_the_model()
    {
        Fixture fixture;
        const auto render = [&](const char *line, double centre, QColor expected, double clear) {
            fixture.expect("render "_l + QLatin1String(line), 0, "wrote"_l);
            const QImage image(fixture.path("p.png"_l));
            QCOMPARE(image.size(), QSize(640, 300));
            // The layout in the PNG's text: value axis x0 x1 low high, colour band top bottom,
            // opacity band top bottom.
            std::vector<double> n;
            for (const char *key : {"value-axis", "colour-band", "opacity-band"})
                for (const QString &word : image.text(QLatin1String(key)).split(QLatin1Char(' ')))
                    n.push_back(word.toDouble());
            const auto column = [&n](double v) {
                return int(std::floor(n[0] + (v - n[2]) * (n[1] - n[0]) / (n[3] - n[2])));
            };
            const QColor drawn = image.pixelColor(column(centre), int(n[4] + n[5]) / 2);
            for (const auto part : {&QColor::red, &QColor::green, &QColor::blue})
                QVERIFY2(std::abs((drawn.*part)() - (expected.*part)()) <= 3,
                         qPrintable(drawn.name()));
            // Where the preset is fully transparent only the two greys of the checkerboard show.
            QSet<QRgb> seen;
            for (int y = int(n[6]); y < int(n[7]); ++y) {
                const QColor c = image.pixelColor(column(clear), y);
                QVERIFY(c.red() == c.green() && c.green() == c.blue());
                seen.insert(c.rgb());
            }
            QCOMPARE(seen.size(), 2);
        };
        // Generated points are mid grey at the level; a preset's own spread over another window.
        render("Standard -o p.png --size 640x300", 40, QColor(128, 128, 128), -175);
        render("Ramp --window 400,300 -o p.png --size 640x300", 300, QColor(0, 255, 0), 80);
    }

    // The picture format is that of the extension; pipes and devices are written, not replaced.
    void output_goes_where_it_is_sent()
    {
        Fixture fixture;
        fixture.expect("render Ramp -o ramp.jpg"_l, 0, "wrote"_l);
        QVERIFY(TemporaryStore::read(fixture.path("ramp.jpg"_l)).startsWith("\xff\xd8\xff"));
        const QString pipe = fixture.path("pipe"_l);
        QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QProcess process;
        fixture.start(process, "export Ramp -o "_l + pipe);
        const QByteArray read = kesu::test::finishes("reading the pipe", [&pipe] {
            QFile in(pipe);
            return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
        });
        QCOMPARE(Fixture::finish(process).status, 0);
        QCOMPARE(preset(read, "Ramp"_l)["description"_l].toString(), "Ramp"_l);
        QVERIFY(QFileInfo(pipe).exists() && !QFileInfo(pipe).isFile());
        fixture.expect("export Ramp -o /dev/full"_l, 1, "No space left on device"_l);
        QVERIFY(QFileInfo("/dev/full"_l).exists() && !QFileInfo("/dev/full"_l).isFile());
    }

    // Each import in turn on one user file: whether it changes the file, its status, its report.
    void imports_keep_what_they_do_not_replace()
    {
        Fixture fixture;
        const QJsonObject sea = table(255, 128, 200);
        const QByteArray precise =
            presets_file(entry("Precise", "1234.567, 0.1")
                                 .replace("'group'"_l, "'extra': {'kept': [1]}, 'group'"_l)
                             + ", "_l + entry("Shadowed", "20, 10") + ", "_l
                             + entry("Tinted", "100, 50").replace("No CLUT"_l, "Sea"_l),
                         {{"Sea"_l, sea}});
        TemporaryStore::write(fixture.path("precise.json"_l), precise);
        TemporaryStore::write(
            fixture.path("volume.xml"_l),
            R"(<Presets><VolumeProperty name="CT-Air" shade="1" )"
            R"(colorTransfer="8 -1000 0 0 0 0 1 1 1" scalarOpacity="4 -1000 0 0 1"/></Presets>)");
        const QByteArray before = TemporaryStore::read(fixture.user_file());
        const auto step = [&](const char *line, bool changes, int status, const char *shown) {
            const QByteArray was = TemporaryStore::read(fixture.user_file());
            fixture.expect(QLatin1String(line), status, QString::fromUtf8(shown));
            QCOMPARE(TemporaryStore::read(fixture.user_file()) != was, changes);
        };
        step("import precise.json", false, 1,
             R"(the user already has a preset "Shadowed"; --force replaces it)");
        // Colour tables go first, so that the presets find them.
        step("import precise.json --force", true, 0,
             "imported colour table \"Sea\"\nimported \"Precise\"\n"
             "imported \"Shadowed\" (replaced the user's preset \"Shadowed\")\nimported "
             "\"Tinted\"\n");
        step("import precise.json", false, 0,
             "unchanged colour table \"Sea\": the same is stored already\n"
             "unchanged \"Precise\": the same is stored already\n");
        // Forced, only the failing presets are left out.
        step("import broken.json --force", true, 1,
             R"(imported "Standard" (shadows the shipped preset "Standard"))");
        step("import volume.xml", true, 0, "imported \"CT-Air\"\n");
        step("check .kesu/presets.json", false, 0, "0 problem(s)");
        step("list --tables --json", false, 0, R"({"name":"Sea","source":"user"})");
        const QByteArray saved = TemporaryStore::read(fixture.user_file());
        QJsonObject expected = preset(precise, "Precise"_l);
        expected.insert("read_only"_l, false);
        QCOMPARE(preset(saved, "Precise"_l), expected);
        QVERIFY(saved.contains("1234.567,") && saved.contains("0.1\n"));
        const QJsonDocument was = QJsonDocument::fromJson(before);
        const QJsonDocument now = QJsonDocument::fromJson(saved);
        QCOMPARE(now["rendering"_l]["clut"_l]["preset"_l]["Sea"_l].toObject(), sea);
        QCOMPARE(preset(saved, "Mine"_l), preset(before, "Mine"_l));
        QCOMPARE(now["viewer"_l], was["viewer"_l]);
        QCOMPARE(now["rendering"_l]["dvr"_l]["last"_l], was["rendering"_l]["dvr"_l]["last"_l]);
        // An export imported into an empty user file in a folder not there yet comes back.
        fixture.expect("export Precise -o precise2.json"_l, 0, {});
        const QString elsewhere = fixture.path("elsewhere/presets.json"_l);
        fixture.expect("import precise2.json"_l, 0, {}, elsewhere);
        QCOMPARE(preset(TemporaryStore::read(elsewhere), "Precise"_l), expected);
    }

    void colours_mix_in_their_space()
    {
        const auto halfway = [](auto mix, Rgb a, Rgb b, Rgb middle, double tolerance) {
            const Rgb mixed = mix(a, b, 0.5);
            for (int c = 0; c < 3; ++c)
                QVERIFY(std::fabs(mixed[c] - middle[c]) <= tolerance);
        };
        // HSV turns the short way from red to magenta, and a grey takes the other end's hue.
        halfway(presets::mix_hsv, {1, 0, 0}, {1, 0, 1}, {1, 0, 0.5}, 1e-12);
        halfway(presets::mix_hsv, {0.5, 0.5, 0.5}, {0, 0, 1}, {0.375, 0.375, 0.75}, 1e-12);
        // Far apart in hue, a blue and a red meet in a light grey of L* 88; close hues do not.
        halfway(presets::mix_diverging, {0.230, 0.299, 0.754}, {0.706, 0.016, 0.150},
                {0.865, 0.865, 0.865}, 0.02);
        halfway(presets::mix_diverging, {0.2, 0.2, 0.8}, {0.3, 0.1, 0.9}, {0.25, 0.15, 0.85}, 0.03);
    }

    // A map that cannot be read is left out and named; a file that does not parse is refused.
    void colour_map_files_are_read_or_named()
    {
        // The names of the maps read, the problems, then entries of the first map's table as
        // "i: r g b"; or why the file does not parse.
        const auto add = [](const char *file, const char *outcome,
                            std::initializer_list<int> at = {}) {
            presets::ReadMaps read;
            QString error;
            const bool parsed =
                presets::read_colour_maps(text(QString::fromUtf8(file)), read, error);
            QStringList found = read.problems;
            for (auto map = read.maps.crbegin(); map != read.maps.crend(); ++map)
                found.prepend(map->name);
            for (const int i : at) {
                const QJsonObject table = presets::colour_table(read.maps.front());
                found << QString::asprintf("%d: %d %d %d", i, table["red"_l][i].toInt(),
                                           table["green"_l][i].toInt(), table["blue"_l][i].toInt());
            }
            QCOMPARE(parsed ? found.join("; "_l) : error,
                     QString::fromUtf8(text(QString::fromUtf8(outcome))));
        };
        // 1 lands on entry 51 of 0..5: the point's own colour, though Lab would not give it back.
        add("{'Name': 'L', 'ColorSpace': 'Lab', 'RGBPoints': [0,0,0,0.1, 1,0.8,0.3,0.1, 5,1,1,1]}",
            "L; 5: 27 13 27; 51: 204 77 26; 255: 255 255 255", {5, 51, 255});
        add("{'Name': 'L', 'ColorSpace': 'CIELAB', 'RGBPoints': [-3,0,0,0, 7,1,1,1]}",
            "L; 0: 0 0 0; 128: 119 119 119; 255: 255 255 255", {0, 128, 255});
        // Entry 128 of 0..2 lies at t = 128 / 255 between the points at 0 and 2.
        add("{'Name': 'R', 'RGBPoints': [0,0,0,0, 2,1,0.5,0.2, 2,1,0.5,0.2]}", "R; 128: 128 64 26",
            {128});
        add("{'Name': 'S', 'ColorSpace': 'Step', 'RGBPoints': [0,1,0,0, 1,0,1,0, 3,0,0,1]}",
            "S; 84: 255 0 0; 85: 0 255 0; 255: 0 0 255", {84, 85, 255});
        add("{'Name': 'I', 'IndexedColors': [1,0,0, 0,1,0, 0,0,1]}",
            "I; 85: 255 0 0; 86: 0 255 0; 170: 0 255 0; 171: 0 0 255", {85, 86, 170, 171});
        // Maps that cannot be read among one that can, with commas before closing brackets.
        add("[{'Name': 'a,]', 'RGBPoints': [0,0,0,0, 1,1,1,1,],}, {'IndexedColors': [1,1,1]}, "
            "{'Name': 'n', 'ColorSpace': 'XYZ', 'IndexedColors': [1,1,1]}, "
            "{'Name': 'n', 'RGBPoints': [0,0,0,0, 1]}, {'Name': 'n', 'RGBPoints': [1,0,0,0, "
            "0,1,1,1]}, "
            "{'Name': 'n', 'IndexedColors': [1,'1',1]}, {'Name': 'n', 'Points': [0,1]},]",
            "a,]; colour map 2: no 'Name'; colour map 3 'n': unknown 'ColorSpace' 'XYZ'; "
            "colour map 4 'n': 'RGBPoints' holds 5 numbers, not groups of 4; "
            "colour map 5 'n': 'RGBPoints': x of point 1 is below the one before; "
            "colour map 6 'n': 'IndexedColors': entry 1 is not a number; "
            "colour map 7 'n': neither 'RGBPoints' nor 'IndexedColors'");
        add("{'Name': 'b, }', 'IndexedColors': [1, 1, 1]}", "b, }");
        add("[{'Name': 'c', 'RGBPoints': [0,0,0,0, 1,1,1,1}",
            "invalid JSON at offset 46: unterminated array");
        add("[{'Name': 'd', 'IndexedColors': [1,1,1]}],",
            "invalid JSON at offset 41: garbage at the end of the document");
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
        const QJsonObject bone = kesu::test::with_members(text(
            "{'ambient': 4, 'diffuse': 0.5, 'specular': 0, 'specular_power': 256, 'shade': false, "
            "'blend_mode': 0, 'background': {'color': [0, 249, 255]}, 'clut': 'No CLUT', "
            "'description': 'CT-Bone', 'opacity': '', 'filters': {'convolution': ['']}, "
            "'window': [200, 100], 'points': [%1, %2, %3, %4]}"_l.arg(
                point(0, 0.2, 1, 0, 0), point(50, 0.2, 0.5, 0, 0.5),
                point(100, 0.4666666666666667, 0, 0, 1), point(200, 1, 0, 0, 1))));
        QCOMPARE(read.presets.front().second, bone);
        const QJsonObject soft = kesu::test::with_members(
            text("{'ambient': 0.15, 'diffuse': 0.3, 'specular': 0.9, 'specular_power': 15, "
                 "'shade': true, 'description': 'Soft tissue', 'group': 'Imported', "
                 "'window': [0, 10], 'points': [%1]}"_l.arg(point(10, 1, 1, 1, 1))),
            bone);
        QCOMPARE(read.presets.back().second, soft);
        // The place of a fault in XML that is not well formed; the parser's reason is its own.
        QVERIFY(
            !presets::read_volume_properties("<Presets>\n<VolumeProperty name=/>", read, error));
        QCOMPARE(error.section(QLatin1Char(':'), 0, 0), "invalid XML at line 2, column 22"_l);
    }

    void concurrent_imports_keep_every_preset()
    {
        Fixture fixture;
        QProcess processes[8];
        QStringList names{"Mine"_l};
        for (int i = 0; i < 8; ++i) {
            names << QStringLiteral("P%1").arg(i);
            TemporaryStore::write(fixture.path(names.last()),
                                  presets_file(entry(qPrintable(names.last()), "100, 50")));
            fixture.start(processes[i], "import "_l + names.last());
        }
        for (QProcess &process : processes)
            QCOMPARE(Fixture::finish(process).status, 0);
        for (const QString &name : names)
            QVERIFY(!preset(TemporaryStore::read(fixture.user_file()), name).isEmpty());
    }
};

KESU_TEST_CLASS(TestKesuPresets)
#include "tst_kesupresets.moc"
