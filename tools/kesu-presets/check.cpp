// The check subcommand, and the checking that import runs first.

#include "check.h"

#include "commandline.h"
#include "jsonfile.h"
#include "store.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>

namespace kesu::presets {

namespace {

using korvel::transferfunction::point::Point;
namespace schema = korvel::transferfunction::schema;
using Kind = schema::Problem::Kind;
using Severity = Finding::Severity;
using Subject = Finding::Subject;

// The viewer addresses a preset by its name as a path: a name with "/" reaches inside another.
const QString not_loadable =
    QStringLiteral("the viewer cannot load it: export it, rename it and import it again");

QString key(const char *name)
{
    return QLatin1String(name);
}

Finding problem(Subject subject, const QString &name, const QString &member, const QString &text,
                const QString &detail = {})
{
    return {Severity::problem, subject, name, member, text, detail};
}

Finding warning(Subject subject, const QString &name, const QString &member, const QString &text,
                const QString &detail = {})
{
    return {Severity::warning, subject, name, member, text, detail};
}

const QChar *control_character(const QString &name)
{
    return std::find_if(name.begin(), name.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Presets that an earlier version stored inside another preset's object, when it saved a name
// with "/" such as "CT Bone/my variant" over an existing "CT Bone".
void check_nested(const QString &name, const QJsonObject &object, std::vector<Finding> &found)
{
    for (auto member = object.begin(); member != object.end(); ++member) {
        const QJsonObject inner = member.value().toObject();
        if (!schema::is_preset_object(inner))
            continue;
        const QString nested = name + QLatin1Char('/') + member.key();
        found.push_back(problem(Subject::preset, nested, {},
                                QStringLiteral("stored inside preset ") + quoted(name),
                                not_loadable));
        check_nested(nested, inner, found);
    }
}

// The opacity and the colour of a point are fractions; position, midpoint and sharpness have no
// such scale.
void check_point_values(const QString &name, const QJsonValue &points, std::vector<Finding> &found)
{
    const QJsonArray array = points.toArray();
    for (int i = 0; i < array.size(); ++i) {
        const Point point = schema::decode_point(array.at(i));
        for (const schema::PointMember &m : schema::point_members) {
            const bool fraction = m.field == &Point::y || m.field == &Point::r
                || m.field == &Point::g || m.field == &Point::b;
            const double value = point.*m.field;
            if (fraction && (value < 0.0 || value > 1.0))
                found.push_back(problem(Subject::preset, name,
                                        QStringLiteral("points/%1/%2").arg(i).arg(key(m.key)),
                                        QStringLiteral("outside 0..1"), QString::number(value)));
        }
    }
}

bool has_problem_with(const schema::Decoded &decoded, const char *member)
{
    return std::any_of(decoded.problems.begin(), decoded.problems.end(),
                       [&](const schema::Problem &p) { return p.member == key(member); });
}

// Generated points spread across the window; a preset's own points keep their places.
void check_width(const QString &name, const schema::Decoded &decoded, std::vector<Finding> &found)
{
    const float width = decoded.preset.window_width;
    if (width > 0.0f || has_problem_with(decoded, schema::member::window))
        return;
    const QString member = key(schema::member::window);
    const QString value = QStringLiteral("width %1").arg(double(width));
    if (!decoded.preset.custom_opacity)
        found.push_back(problem(Subject::preset, name, member, QStringLiteral("width 0 or less"),
                                value
                                    + QStringLiteral(": the generated points collapse or run "
                                                     "backwards")));
    else
        found.push_back(warning(Subject::preset, name, member, QStringLiteral("width 0 or less"),
                                value + QStringLiteral(": the window does not span the points")));
}

// Why the points of a preset without its own cannot be generated from its colour table.
void check_generation(const QString &name, const schema::Preset &preset, const TableLookup &tables,
                      std::vector<Finding> &found)
{
    if (preset.custom_opacity || schema::is_built_in_clut(preset.clut))
        return;
    const QString clut = QString::fromStdString(preset.clut);
    const std::vector<schema::Problem> problems = schema::table_problems(tables(clut));
    // The model reports the first only.
    if (!problems.empty())
        found.push_back(problem(Subject::preset, name, key(schema::member::clut),
                                schema::text(problems.front()), quoted(clut)));
}

// The first entry of a channel that is not a whole number from 0 to 255, and how many are not.
void check_entries(const QString &name, const char *channel, const QJsonArray &entries,
                   std::vector<Finding> &found)
{
    const auto bad = [](const QJsonValue &entry) {
        const double value = entry.toDouble(-1.0);
        return !entry.isDouble() || value < 0.0 || value > schema::highest_table_entry
            || std::floor(value) != value;
    };
    const auto first = std::find_if(entries.begin(), entries.end(), bad);
    if (first == entries.end())
        return;
    const auto more = std::count_if(first + 1, entries.end(), bad);
    QString detail = (*first).isDouble() ? QString::number((*first).toDouble()) : QString();
    if (more > 0)
        detail += QStringLiteral("%1and %2 more")
                      .arg(detail.isEmpty() ? QString() : QStringLiteral(", "))
                      .arg(more);
    found.push_back(
        problem(Subject::table, name,
                key(channel) + QLatin1Char('/') + QString::number(first - entries.begin()),
                QStringLiteral("not a whole number from 0 to %1").arg(schema::highest_table_entry),
                detail));
}

int run_check(const Invocation &invocation)
{
    const QString file = invocation.arguments.first();
    QJsonObject document;
    QString error;
    if (!read_json(file, document, error))
        return report_error(usage_error, error);
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    const std::vector<Finding> findings = check_document(document, stored_tables());
    for (const Finding &finding : findings)
        print(file + QStringLiteral(": ") + finding.line() + QLatin1Char('\n'));
    const QJsonObject folder = schema::presets_of(document);
    if (!folder.isEmpty() && !folder.contains(key(schema::standard_name)))
        print(file
              + QStringLiteral(": note: no \"Standard\" preset, which the viewer falls "
                               "back to; fine for a file to import, not for a shipped one\n"));
    const int problems = count_problems(findings);
    const int warnings = int(findings.size()) - problems;
    print(QStringLiteral("%1: %2 presets, %3 colour tables, %4 problem(s), %5 warning(s)\n")
              .arg(file)
              .arg(schema::presets_by_name(folder).size())
              .arg(schema::colour_tables_of(document).size())
              .arg(problems)
              .arg(warnings));
    const bool strict = invocation.parser.isSet(QStringLiteral("strict"));
    return problems > 0 || (strict && warnings > 0) ? failure : success;
}

void check_options(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("strict"), QStringLiteral("Warnings fail the check too.")});
}

} // namespace

QString Finding::line() const
{
    QString text = severity == Severity::warning ? QStringLiteral("warning: ") : QString();
    if (subject == Subject::preset)
        text += QStringLiteral("preset ") + quoted(name) + QStringLiteral(": ");
    else if (subject == Subject::table)
        text += QStringLiteral("colour table ") + quoted(name) + QStringLiteral(": ");
    return text + what();
}

QString Finding::what() const
{
    QString text = member.isEmpty() ? QString() : quoted(member) + QStringLiteral(": ");
    text += this->text;
    if (!detail.isEmpty())
        text += QStringLiteral(" (") + detail + QLatin1Char(')');
    return text;
}

Finding finding(Subject subject, const QString &name, const schema::Problem &p)
{
    switch (p.kind) {
    case Kind::missing_member:
        return problem(subject, name, p.member, schema::text(p), QStringLiteral("member missing"));
    case Kind::range_violation:
        return problem(subject, name, p.member, schema::text(p),
                       QStringLiteral("%1 is outside 0..%2").arg(p.value).arg(p.highest));
    case Kind::unsupported_table_size:
        return problem(
            subject, name, p.member, schema::text(p),
            p.value < 0
                ? QStringLiteral("missing")
                : QStringLiteral("%1 entries, not %2").arg(int(p.value)).arg(schema::table_size));
    default:
        return problem(subject, name, p.member, schema::text(p));
    }
}

std::vector<Finding> check_name(Subject subject, const QString &name)
{
    std::vector<Finding> found;
    if (schema::is_nested_name(utf8(name)))
        found.push_back(problem(subject, name, {}, QStringLiteral("name contains \"/\""),
                                subject == Subject::preset ? not_loadable : QString()));
    const QChar *control = control_character(name);
    if (control != name.end())
        found.push_back(
            problem(subject, name, {}, QStringLiteral("name contains a control character"),
                    QStringLiteral("U+%1").arg(control->unicode(), 4, 16, QLatin1Char('0'))));
    if (name.isEmpty())
        found.push_back(warning(subject, name, {}, QStringLiteral("empty name")));
    else if (name.front().isSpace() || name.back().isSpace())
        found.push_back(
            warning(subject, name, {}, QStringLiteral("name begins or ends with spaces")));
    return found;
}

std::vector<Finding> check_preset(const QString &name, const QJsonValue &value,
                                  const TableLookup &tables)
{
    std::vector<Finding> found = check_name(Subject::preset, name);
    const QJsonObject object = value.toObject();
    check_nested(name, object, found);
    if (object.isEmpty()) {
        found.push_back(problem(Subject::preset, name, {}, QStringLiteral("not a preset object"),
                                QStringLiteral("the library loads nothing from it")));
        return found;
    }
    const schema::Decoded decoded = schema::decode(object, schema::Reading::every_member);
    for (const schema::Problem &p : decoded.problems)
        found.push_back(finding(Subject::preset, name, p));
    check_point_values(name, object.value(key(schema::member::points)), found);
    if (object.contains(key(schema::member::window)))
        check_width(name, decoded, found);
    const QJsonValue description = object.value(key(schema::member::description));
    if (description.isString() && description.toString() != name)
        found.push_back(warning(Subject::preset, name, key(schema::member::description),
                                QStringLiteral("differs from the name it is stored under"),
                                quoted(description.toString())));
    check_generation(name, decoded.preset, tables, found);
    return found;
}

std::vector<Finding> check_table(const QString &name, const QJsonValue &value)
{
    std::vector<Finding> found = check_name(Subject::table, name);
    const QJsonObject table = value.toObject();
    const std::vector<schema::Problem> problems = schema::table_problems(table);
    if (table.isEmpty()) {
        found.push_back(problem(Subject::table, name, {}, schema::text(problems.front()),
                                QStringLiteral("not an object with \"red\", \"green\" and "
                                               "\"blue\"")));
        return found;
    }
    for (const char *channel : schema::channels) {
        for (const schema::Problem &p : problems)
            if (p.member == key(channel))
                found.push_back(finding(Subject::table, name, p));
        check_entries(name, channel, table.value(key(channel)).toArray(), found);
    }
    return found;
}

std::vector<Finding> check_names(const QStringList &names)
{
    std::vector<Finding> found;
    QMap<QString, QString> first_of;
    for (const QString &name : names) {
        const QString folded = name.toCaseFolded();
        const auto earlier = first_of.constFind(folded);
        if (earlier == first_of.constEnd())
            first_of.insert(folded, name);
        else
            found.push_back(warning(Subject::preset, name, {},
                                    QStringLiteral("name differs only in letter case from ")
                                        + quoted(*earlier)));
    }
    return found;
}

std::vector<Finding> check_document(const QJsonObject &document, const TableLookup &outside)
{
    std::vector<Finding> found;
    const auto presets = schema::presets_by_name(schema::presets_of(document));
    if (presets.isEmpty())
        found.push_back(problem(Subject::file, {}, {}, QStringLiteral("holds no presets")));
    const TableLookup tables = tables_of(document, outside);
    for (auto preset = presets.begin(); preset != presets.end(); ++preset) {
        const std::vector<Finding> more = check_preset(preset.key(), preset.value(), tables);
        found.insert(found.end(), more.begin(), more.end());
    }
    const QJsonObject stored = schema::colour_tables_of(document);
    for (auto table = stored.begin(); table != stored.end(); ++table) {
        const std::vector<Finding> more = check_table(table.key(), table.value());
        found.insert(found.end(), more.begin(), more.end());
    }
    const std::vector<Finding> names = check_names(presets.keys());
    found.insert(found.end(), names.begin(), names.end());
    return found;
}

TableLookup tables_of(const QJsonObject &document, const TableLookup &outside)
{
    return [own = schema::colour_tables_of(document), outside](const QString &name) {
        const auto table = own.constFind(name);
        if (table != own.constEnd())
            return table->toObject();
        return outside ? outside(name) : QJsonObject();
    };
}

int count_problems(const std::vector<Finding> &findings)
{
    return int(std::count_if(findings.begin(), findings.end(),
                             [](const Finding &f) { return f.is_problem(); }));
}

const Command check_command{
    "check",
    "FILE [--strict]",
    "Reads every preset and colour table of a presets file as the library does and reports "
    "each finding with its preset and member: problems, which the library cannot load or render "
    "as the preset intends, and warnings, which load but will surprise. Colour tables are looked "
    "up in the file, then among the user's and the shipped ones. Exit status 1 with problems (or "
    "with warnings and --strict).",
    check_options,
    run_check,
    1};

} // namespace kesu::presets
