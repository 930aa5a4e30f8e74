// The check subcommand, and the checking that import runs first.

#include "check.h"

#include "commandline.h"
#include "jsonfile.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/presetschema.h>

#include <QJsonArray>
#include <QTemporaryDir>

#include <algorithm>

namespace kesu::presets {

namespace {

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::point::Point;
namespace schema = korvel::transferfunction::schema;
using Kind = schema::Problem::Kind;

// The viewer addresses a preset by its name as a path: a name with "/" reaches inside another.
const QString not_loadable =
    QStringLiteral("the viewer cannot load it: export it, rename it and import it again");

QString key(const char *name)
{
    return QLatin1String(name);
}

// A problem the library reports, with what the check adds to its text.
Problem reported(const QString &where, const schema::Problem &problem)
{
    switch (problem.kind) {
    case Kind::missing_member:
        return {where, problem.member, schema::text(problem), QStringLiteral("member missing")};
    case Kind::range_violation:
        return {where, problem.member, schema::text(problem),
                QStringLiteral("%1 is outside 0..%2").arg(problem.value).arg(problem.highest)};
    case Kind::unsupported_table_size:
        return {where, problem.member, schema::text(problem),
                problem.value < 0 ? QStringLiteral("missing")
                                  : QStringLiteral("%1 entries, not %2")
                                        .arg(int(problem.value))
                                        .arg(schema::table_size)};
    default:
        return {where, QString(), schema::text(problem), QString()};
    }
}

void check_points(const QString &where, const QJsonArray &points, std::vector<Problem> &problems)
{
    for (int i = 0; i < points.size(); ++i) {
        const QString member = key(schema::member::points) + QStringLiteral("/%1").arg(i);
        if (!points.at(i).isObject()) {
            problems.push_back({where, member, QStringLiteral("not a point object"),
                                QStringLiteral("read as a point with every member 0")});
            continue;
        }
        const Point point = schema::decode_point(points.at(i));
        for (const schema::PointMember &m : schema::point_members) {
            // The opacity and the colour; position, midpoint and sharpness have no such scale.
            const bool unit_scale = m.field == &Point::y || m.field == &Point::r
                || m.field == &Point::g || m.field == &Point::b;
            const double value = point.*m.field;
            if (unit_scale && (value < 0.0 || value > 1.0))
                problems.push_back({where, member + QLatin1Char('/') + key(m.key),
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
        if (!schema::is_preset_object(inner))
            continue;
        const QString nested = name + QLatin1Char('/') + member.key();
        problems.push_back({QStringLiteral("preset ") + quoted(nested), QString(),
                            QStringLiteral("stored inside preset ") + quoted(name), not_loadable});
        check_nested(nested, inner, problems);
    }
}

// Why the points of a preset without its own cannot be generated from its colour table.
void check_generation(const QString &where, const schema::Preset &preset,
                      std::vector<Problem> &problems)
{
    if (preset.custom_opacity || schema::is_built_in_clut(preset.clut))
        return;
    const std::vector<schema::Problem> found =
        schema::table_problems(schema::read_stored_clut(preset.clut));
    // The model reports the first only.
    if (!found.empty())
        problems.push_back({where, key(schema::member::clut), schema::text(found.front()),
                            quoted(QString::fromStdString(preset.clut))});
}

void check_preset(const QString &name, const QJsonValue &value, std::vector<Problem> &problems)
{
    const QString where = QStringLiteral("preset ") + quoted(name);
    if (schema::is_nested_name(utf8(name)))
        problems.push_back({where, QString(), QStringLiteral("name contains \"/\""), not_loadable});
    const QJsonObject object = value.toObject();
    check_nested(name, object, problems);
    if (object.isEmpty()) {
        problems.push_back({where, QString(), QStringLiteral("not a preset object"),
                            QStringLiteral("the library loads nothing from it")});
        return;
    }
    schema::Decoded decoded = schema::decode(object, schema::Reading::every_member);
    // Missing members first, then the coefficients out of range; the rest after the check's own.
    auto &found = decoded.problems;
    auto rest = std::stable_partition(found.begin(), found.end(), [](const schema::Problem &p) {
        return p.kind == Kind::missing_member;
    });
    rest = std::stable_partition(rest, found.end(), [](const schema::Problem &p) {
        return p.kind == Kind::range_violation;
    });
    std::for_each(found.begin(), rest,
                  [&](const auto &p) { problems.push_back(reported(where, p)); });
    check_points(where, object.value(key(schema::member::points)).toArray(), problems);
    const QJsonValue description = object.value(key(schema::member::description));
    if (description.isString() && description.toString() != name)
        problems.push_back({where, key(schema::member::description),
                            QStringLiteral("differs from the name it is stored under"),
                            quoted(description.toString())});
    check_generation(where, decoded.preset, problems);
    std::for_each(rest, found.end(),
                  [&](const auto &p) { problems.push_back(reported(where, p)); });
}

// The problems of a stored colour table by channel, each followed by the first entry that is not
// a number.
void check_table(const QString &name, const QJsonValue &value, std::vector<Problem> &problems)
{
    const QString where = QStringLiteral("colour table ") + quoted(name);
    const QJsonObject table = value.toObject();
    const std::vector<schema::Problem> found = schema::table_problems(table);
    if (table.isEmpty()) {
        problems.push_back({where, QString(), schema::text(found.front()),
                            QStringLiteral("not an object with \"red\", \"green\" and \"blue\"")});
        return;
    }
    for (const char *channel : schema::channels) {
        for (const schema::Problem &problem : found)
            if (problem.member == key(channel))
                problems.push_back(reported(where, problem));
        const QJsonArray array = table.value(key(channel)).toArray();
        const auto entry = std::find_if(array.begin(), array.end(),
                                        [](const QJsonValue &v) { return !v.isDouble(); });
        if (entry != array.end())
            problems.push_back({where,
                                key(channel) + QStringLiteral("/%1").arg(entry - array.begin()),
                                QStringLiteral("not a number"), QStringLiteral("read as 0")});
    }
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
    const QJsonObject folder = schema::presets_of(document);
    const int presets = schema::presets_by_name(folder).size();
    const int tables = schema::colour_tables_of(document).size();
    if (presets > 0 && !folder.contains(key(schema::standard_name)))
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
    const QJsonObject tables = colour_tables ? *colour_tables : schema::colour_tables_of(document);
    if (!temporary.isValid() || !write_json(global, schema::with_colour_tables(document, tables))) {
        problems.push_back({QStringLiteral("the check"), QString(),
                            QStringLiteral("cannot write a temporary file"), QString()});
        return problems;
    }

    // Colour tables are looked up as the model looks them up, through a store on the file.
    Manager manager(temporary.filePath(QStringLiteral("presets.json")), global);
    const auto presets = schema::presets_by_name(
        preset(schema::presets_path(schema::Document::shipped)).get().toObject());
    for (auto found = presets.begin(); found != presets.end(); ++found)
        check_preset(found.key(), found.value(), problems);
    if (!colour_tables) {
        const QJsonObject stored = schema::colour_tables_of(document);
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
