// The check subcommand, and the checking that import runs first.

#include "checking.h"

#include "commandline.h"
#include "store.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <array>
#include <stdexcept>

namespace kesu::presets {

namespace {

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::Model;

const QString incomplete = QStringLiteral("incomplete file");
const QString range_violation = QStringLiteral("range violation");
const QString clut_not_found = QStringLiteral("clut preset not found");
const QString table_size = QStringLiteral("unsuported table size");
// The viewer addresses a preset by its name as a path: a name with "/" reaches inside another.
const QString not_loadable =
    QStringLiteral("the viewer cannot load it: export it, rename it and import it again");

struct Coefficient
{
    const char *member;
    double highest;
};
const std::array<Coefficient, 4> coefficients{
    {{"ambient", 4.0}, {"diffuse", 4.0}, {"specular", 4.0}, {"specular_power", 256.0}}};

QString member_of(const char *name)
{
    return QString::fromLatin1(name);
}

// The members whose absence the library reports, in the order it reads them.
QStringList missing_members(const QJsonObject &preset)
{
    QStringList missing;
    const auto nested = [&](const char *outer, const char *inner) {
        if (!preset.contains(member_of(outer)))
            missing << member_of(outer);
        else if (!preset.value(member_of(outer)).toObject().contains(member_of(inner)))
            missing << member_of(outer) + QLatin1Char('/') + member_of(inner);
    };
    nested("background", "color");
    for (const char *member :
         {"blend_mode", "group", "shade", "ambient", "diffuse", "specular", "specular_power",
          "description", "window", "read_only", "opacity", "clut"})
        if (!preset.contains(member_of(member)))
            missing << member_of(member);
    nested("filters", "convolution");
    return missing;
}

QJsonObject complete_preset(const QJsonObject &from)
{
    return {
        {QStringLiteral("background"), QJsonObject{{QStringLiteral("color"), QJsonArray{0, 0, 0}}}},
        {QStringLiteral("blend_mode"), 0},
        {QStringLiteral("group"), QString()},
        {QStringLiteral("shade"), true},
        {QStringLiteral("ambient"), 0.15},
        {QStringLiteral("diffuse"), 0.3},
        {QStringLiteral("specular"), 0.9},
        {QStringLiteral("specular_power"), 15},
        {QStringLiteral("description"), QString()},
        {QStringLiteral("window"), from.value(QStringLiteral("window"))},
        {QStringLiteral("read_only"), false},
        {QStringLiteral("opacity"), from.value(QStringLiteral("opacity"))},
        {QStringLiteral("clut"), from.value(QStringLiteral("clut"))},
        {QStringLiteral("filters"),
         QJsonObject{{QStringLiteral("convolution"), QJsonArray{QString()}}}}};
}

// The warnings the library issues while loading object; a range violation is recorded as the
// text of its exception.
QStringList library_load(const QJsonObject &object)
{
    WarningLog log;
    Model model;
    try {
        model.load(object);
    } catch (const std::out_of_range &error) {
        log.add(QString::fromUtf8(error.what()));
    }
    return log.take();
}

// Adds the warnings of the library that the member-by-member look did not foresee.
void reconcile(const QString &where, const QStringList &said, std::vector<Problem> &problems,
               std::size_t first)
{
    QStringList seen;
    for (const QString &text : said) {
        if (seen.contains(text))
            continue;
        seen << text;
        int foreseen = 0;
        for (std::size_t i = first; i < problems.size(); ++i)
            foreseen += problems[i].text == text;
        for (int extra = said.count(text) - foreseen; extra > 0; --extra)
            problems.push_back({where, QString(), text, QString()});
    }
}

void check_points(const QString &where, const QJsonArray &points, std::vector<Problem> &problems)
{
    for (int i = 0; i < points.size(); ++i) {
        const QString member = QStringLiteral("points/%1").arg(i);
        if (!points.at(i).isObject()) {
            problems.push_back({where, member, QStringLiteral("not a point object"),
                                QStringLiteral("read as a point with every member 0")});
            continue;
        }
        const QJsonObject point = points.at(i).toObject();
        for (const char *key : {"y", "r", "g", "b"}) {
            const double value = point.value(member_of(key)).toDouble();
            if (value < 0.0 || value > 1.0)
                problems.push_back({where, member + QLatin1Char('/') + member_of(key),
                                    QStringLiteral("outside 0..1"), QString::number(value)});
        }
    }
}

// Presets that an earlier version stored inside another preset's object, when it saved a name
// with "/" such as "CT Bone/my variant" over an existing "CT Bone".
void check_nested(const QString &name, const QJsonObject &object, std::vector<Problem> &problems)
{
    for (auto member = object.begin(); member != object.end(); ++member) {
        const QJsonObject inner = member.value().toObject();
        if (!is_preset_object(inner))
            continue;
        const QString nested = name + QLatin1Char('/') + member.key();
        problems.push_back({QStringLiteral("preset ") + quoted(nested), QString(),
                            QStringLiteral("stored inside preset ") + quoted(name), not_loadable});
        check_nested(nested, inner, problems);
    }
}

void check_preset(const QString &name, const QJsonValue &value, std::vector<Problem> &problems)
{
    const QString where = QStringLiteral("preset ") + quoted(name);
    if (name.contains(QLatin1Char('/')))
        problems.push_back({where, QString(), QStringLiteral("name contains \"/\""), not_loadable});
    const QJsonObject object = value.toObject();
    check_nested(name, object, problems);
    if (object.isEmpty()) {
        problems.push_back({where, QString(), QStringLiteral("not a preset object"),
                            QStringLiteral("the library loads nothing from it")});
        return;
    }
    const std::size_t first = problems.size();
    for (const QString &member : missing_members(object))
        problems.push_back({where, member, incomplete, QStringLiteral("member missing")});
    for (const Coefficient &c : coefficients) {
        const QJsonValue v = object.value(member_of(c.member));
        const double number = v.toDouble();
        if (!v.isUndefined() && (number < 0.0 || number > c.highest))
            problems.push_back({where, member_of(c.member), range_violation,
                                QStringLiteral("%1 is outside 0..%2").arg(number).arg(c.highest)});
    }
    const QJsonArray points = object.value(QStringLiteral("points")).toArray();
    check_points(where, points, problems);
    const QJsonValue description = object.value(QStringLiteral("description"));
    if (description.isString() && description.toString() != name)
        problems.push_back({where, QStringLiteral("description"),
                            QStringLiteral("differs from the name it is stored under"),
                            quoted(description.toString())});

    QStringList said = library_load(object);
    // A preset without points of its own is drawn from its colour table; when a range violation
    // stopped the load before that, the table is tried on its own.
    if (points.isEmpty() && said.contains(range_violation))
        said += library_load(complete_preset(object));
    const QString clut = quoted(object.value(QStringLiteral("clut")).toString());
    for (const QString &text : {clut_not_found, table_size})
        if (said.contains(text))
            problems.push_back({where, QStringLiteral("clut"), text, clut});
    reconcile(where, said, problems, first);
}

void check_table(const QString &name, const QJsonValue &value, std::vector<Problem> &problems)
{
    const QString where = QStringLiteral("colour table ") + quoted(name);
    const QJsonObject table = value.toObject();
    const std::size_t first = problems.size();
    if (table.isEmpty())
        problems.push_back({where, QString(), clut_not_found,
                            QStringLiteral("not an object with \"red\", \"green\" and \"blue\"")});
    for (const char *channel : {"red", "green", "blue"}) {
        if (table.isEmpty())
            break;
        const QJsonValue entries = table.value(member_of(channel));
        if (!entries.isArray() || entries.toArray().size() != 256)
            problems.push_back(
                {where, member_of(channel), table_size,
                 entries.isUndefined()
                     ? QStringLiteral("missing")
                     : QStringLiteral("%1 entries, not 256").arg(entries.toArray().size())});
        const QJsonArray array = entries.toArray();
        for (int i = 0; i < array.size(); ++i)
            if (!array.at(i).isDouble()) {
                problems.push_back({where, QStringLiteral("%1/%2").arg(member_of(channel)).arg(i),
                                    QStringLiteral("not a number"), QStringLiteral("read as 0")});
                break;
            }
    }
    const QJsonObject probe{{QStringLiteral("clut"), name},
                            {QStringLiteral("opacity"), QStringLiteral("Linear Table")},
                            {QStringLiteral("window"), QJsonArray{256, 128}}};
    reconcile(where, library_load(complete_preset(probe)), problems, first);
}

QJsonObject with_colour_tables(QJsonObject document, const QJsonObject &tables)
{
    QJsonObject rendering = document.value(QStringLiteral("rendering")).toObject();
    rendering.insert(QStringLiteral("clut"), QJsonObject{{QStringLiteral("preset"), tables}});
    document.insert(QStringLiteral("rendering"), rendering);
    return document;
}

bool write_file(const QString &file, const QJsonObject &object)
{
    QFile out(file);
    const QByteArray bytes = QJsonDocument(object).toJson();
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

int run_check(const Invocation &invocation)
{
    const QString file = invocation.arguments.first();
    QJsonObject document;
    QString error;
    int status = success;
    if (!read_json(file, document, error, status)) {
        if (status == usage_error)
            return report_error(status, error);
        print(error + QLatin1Char('\n'));
        return failure;
    }
    const std::vector<Problem> problems = check_presets_file(document);
    for (const Problem &problem : problems)
        print(file + QStringLiteral(": ") + problem.line() + QLatin1Char('\n'));
    const int presets = collect_presets(preset_folder(document, "dvr")).size();
    const int tables = preset_folder(document, "clut").size();
    if (presets > 0 && !preset_folder(document, "dvr").contains(QStringLiteral("Standard")))
        print(file
              + QStringLiteral(": note: no \"Standard\" preset, which the viewer falls "
                               "back to; fine for a file to import, not for a shipped one\n"));
    print(QStringLiteral("%1: %2 presets, %3 colour tables, %4 problem(s)\n")
              .arg(file)
              .arg(presets)
              .arg(tables)
              .arg(problems.size()));
    return problems.empty() ? success : failure;
}

void check_options(QCommandLineParser &) { }

} // namespace

QString Problem::line() const
{
    QString text = where + QStringLiteral(": ");
    if (!member.isEmpty())
        text += quoted(member) + QStringLiteral(": ");
    text += this->text;
    if (!detail.isEmpty())
        text += QStringLiteral(" (") + detail + QLatin1Char(')');
    return text;
}

std::vector<Problem> check_presets_file(const QJsonObject &document,
                                        const QJsonObject *colour_tables)
{
    std::vector<Problem> problems;
    QTemporaryDir temporary;
    const QString global = temporary.filePath(QStringLiteral("3d_presets.json"));
    const QJsonObject tables = colour_tables ? *colour_tables : preset_folder(document, "clut");
    if (!temporary.isValid() || !write_file(global, with_colour_tables(document, tables))) {
        problems.push_back({QStringLiteral("the check"), QString(),
                            QStringLiteral("cannot write a temporary file"), QString()});
        return problems;
    }

    WarningLog log;
    Manager manager(temporary.filePath(QStringLiteral("presets.json")), global);
    const auto presets = collect_presets(preset("global/rendering/dvr/preset").get().toObject());
    for (auto found = presets.begin(); found != presets.end(); ++found)
        check_preset(found.key(), found.value(), problems);
    if (!colour_tables) {
        const QJsonObject stored = preset("global/rendering/clut/preset").get().toObject();
        for (auto table = stored.begin(); table != stored.end(); ++table)
            check_table(table.key(), table.value(), problems);
    }
    return problems;
}

const Command check_command{
    "check",
    "FILE",
    "Loads every preset and colour table of a presets file as the library does and reports each "
    "problem with its preset and member. Exit status 0 when clean, 1 with problems, 2 when the "
    "file cannot be read.",
    check_options,
    run_check,
    1};

} // namespace kesu::presets
