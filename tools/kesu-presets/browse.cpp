// The subcommands that read presets: list, show and export.

#include "colourmap.h"
#include "commandline.h"
#include "output.h"
#include "store.h"

#include <transferfunction/model.h>
#include <transferfunction/presetschema.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace kesu::presets {

namespace {

using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;

struct Listed
{
    QString name;
    QString group;
    QString source;
    bool read_only = false;
    bool custom = false;
    int points = 0;
    QString opacity;
    QString clut;
    // Why the library cannot load the preset or generate its points.
    QString problem;
};

Listed describe(const Store &store, const PresetEntry &entry)
{
    Listed listed{entry.name, {}, entry.source(), false, false, 0, {}, {}, {}};
    const Reading reading = store.read(entry.name, entry.value);
    const auto problem = std::find_if(reading.findings.begin(), reading.findings.end(),
                                      [](const Finding &f) { return f.is_problem(); });
    if (problem != reading.findings.end())
        listed.problem = problem->what();
    if (!reading.model)
        return listed;
    const Model &model = *reading.model;
    listed.group = QString::fromStdString(model.get_category());
    listed.read_only = model.is_read_only();
    listed.custom = model.is_custom_opacity();
    listed.points = int(model.get_points().size());
    listed.opacity = QString::fromStdString(model.get_opacity_table());
    listed.clut = QString::fromStdString(model.get_clut());
    return listed;
}

// A name as a table shows it: quoted and escaped when it would otherwise look like another, or
// not show at all.
QString shown(const QString &name)
{
    const bool plain = !name.isEmpty() && !name.front().isSpace() && !name.back().isSpace()
        && quoted(name) == QLatin1Char('"') + name + QLatin1Char('"');
    return plain ? name : quoted(name);
}

QString points_text(const Listed &listed)
{
    if (!listed.problem.isEmpty())
        return QStringLiteral("cannot be used: ") + listed.problem;
    if (listed.custom)
        return QStringLiteral("own points (%1)").arg(listed.points);
    // An empty opacity kind is the linear curve.
    return QStringLiteral("generated: %1, %2")
        .arg(listed.opacity.isEmpty() ? QStringLiteral("\"\" (linear)") : shown(listed.opacity),
             shown(listed.clut));
}

QJsonObject listed_json(const Listed &listed)
{
    QJsonObject object{{QStringLiteral("name"), listed.name},
                       {QStringLiteral("group"), listed.group},
                       {QStringLiteral("source"), listed.source},
                       {QStringLiteral("read_only"), listed.read_only},
                       {QStringLiteral("points"),
                        listed.custom ? QStringLiteral("custom") : QStringLiteral("generated")}};
    if (!listed.custom) {
        object.insert(QStringLiteral("opacity"), listed.opacity);
        object.insert(QStringLiteral("clut"), listed.clut);
    }
    if (!listed.problem.isEmpty())
        object.insert(QStringLiteral("problem"), listed.problem);
    return object;
}

QString padded(const QString &text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '));
}

void print_table(const std::vector<Listed> &rows)
{
    int name_width = 4;
    int group_width = 5;
    for (const Listed &row : rows) {
        name_width = std::max(name_width, int(shown(row.name).size()));
        group_width = std::max(group_width, int(shown(row.group).size()));
    }
    const auto line = [&](const QString &name, const QString &group, const QString &source,
                          const QString &read_only, const QString &points) {
        print(padded(name, name_width + 2) + padded(group, group_width + 2) + padded(source, 23)
              + padded(read_only, 11) + points + QLatin1Char('\n'));
    };
    line(QStringLiteral("NAME"), QStringLiteral("GROUP"), QStringLiteral("SOURCE"),
         QStringLiteral("READ-ONLY"), QStringLiteral("POINTS"));
    for (const Listed &row : rows)
        line(shown(row.name), row.group.isEmpty() ? QString() : shown(row.group), row.source,
             row.read_only ? QStringLiteral("yes") : QStringLiteral("no"), points_text(row));
}

// Every colour table with its source, and why a stored one cannot be used.
int list_tables(const Store &store, bool json)
{
    QJsonArray array;
    QString text =
        QStringLiteral("%1%2STATE\n")
            .arg(padded(QStringLiteral("NAME"), 32), padded(QStringLiteral("SOURCE"), 23));
    for (const TableEntry &table : store.tables()) {
        const std::vector<Finding> findings =
            table.built_in ? std::vector<Finding>() : check_table(table.name, table.value);
        const auto problem = std::find_if(findings.begin(), findings.end(),
                                          [](const Finding &f) { return f.is_problem(); });
        const QString state = problem == findings.end()
            ? QStringLiteral("usable")
            : QStringLiteral("cannot be used: ") + problem->what();
        QJsonObject row{{QStringLiteral("name"), table.name},
                        {QStringLiteral("source"), table.source()}};
        if (problem != findings.end())
            row.insert(QStringLiteral("problem"), problem->what());
        array.append(row);
        text +=
            padded(shown(table.name), 32) + padded(table.source(), 23) + state + QLatin1Char('\n');
    }
    print(json ? QString::fromUtf8(QJsonDocument(array).toJson()) : text);
    return success;
}

int run_list(const Invocation &invocation)
{
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    if (invocation.parser.isSet(QStringLiteral("tables")))
        return list_tables(*store, invocation.parser.isSet(QStringLiteral("json")));
    std::vector<Listed> rows;
    for (const PresetEntry &entry : Selection::of(invocation.parser).from(store->presets()))
        rows.push_back(describe(*store, entry));

    if (invocation.parser.isSet(QStringLiteral("json"))) {
        QJsonArray array;
        for (const Listed &row : rows)
            array.append(listed_json(row));
        print(QString::fromUtf8(QJsonDocument(array).toJson()));
    } else {
        print_table(rows);
    }
    return success;
}

// Every member of the preset format as the model holds it, the points always (also the
// generated ones, and in the model's order), and whether they are the preset's own.
QJsonObject model_json(const Model &model)
{
    const schema::Preset preset = schema::preset_of(model);
    QJsonObject object = schema::encode(preset);
    QJsonArray points;
    for (const Model::Point &point : preset.points)
        points.append(schema::encode_point(point));
    object.insert(QLatin1String(schema::member::points), points);
    object.insert(QStringLiteral("custom_opacity"), preset.custom_opacity);
    return object;
}

QString number(double value)
{
    return QString::number(value, 'g', 10);
}

QString points_table(const std::vector<Model::Point> &points)
{
    QString text =
        QStringLiteral("            x, opacity, red, green, blue, midpoint, sharpness\n");
    for (const Model::Point &p : points)
        text += QStringLiteral("            %1, %2, %3, %4, %5, %6, %7\n")
                    .arg(number(p.x), number(p.y), number(p.r), number(p.g), number(p.b),
                         number(p.midpoint), number(p.sharpness));
    return text;
}

// The preset as the viewer holds it after loading, one member a line.
QString described(const Model &model, const Found &found)
{
    const auto [width, level] = model.window_width_level();
    const auto background = model.get_background_color();
    const auto line = [](const char *label, const QString &value) {
        return QStringLiteral("%1%2\n").arg(padded(QLatin1String(label), 12), value);
    };
    QString text = line("preset", quoted(QString::fromStdString(model.get_description())))
        + line("stored at", found.path)
        + line("group", quoted(QString::fromStdString(model.get_category())))
        + line("read-only", model.is_read_only() ? QStringLiteral("yes") : QStringLiteral("no"))
        + line("window", QStringLiteral("width %1, level %2").arg(number(width), number(level)))
        + line("shading",
               QStringLiteral("%1; ambient %2, diffuse %3, specular %4, specular power %5")
                   .arg(model.is_shade() ? QStringLiteral("on") : QStringLiteral("off"),
                        number(model.get_ambient()), number(model.get_diffuse()),
                        number(model.get_specular()), number(model.get_specular_power())))
        + line("blend mode", QString::number(unsigned(model.get_blend_mode())))
        + line("background",
               QStringLiteral("%1, %2, %3")
                   .arg(number(background[0]), number(background[1]), number(background[2])))
        + line("filter", quoted(QString::fromStdString(model.get_convolution_filter())));
    const std::vector<Model::Point> points = model.get_points();
    if (model.is_custom_opacity())
        return text + line("points", QStringLiteral("%1 of its own").arg(points.size()))
            + points_table(points);
    return text
        + line("points",
               QStringLiteral("%1 generated: opacity %2, colour table %3")
                   .arg(points.size())
                   .arg(quoted(QString::fromStdString(model.get_opacity_table())),
                        quoted(QString::fromStdString(model.get_clut()))));
}

// The preset that loading name reads, or nothing after reporting that there is none.
bool find_for_show(const Store &store, const QString &name, bool fallback, Found &found)
{
    found = store.find(name);
    if (found.path.isEmpty()) {
        report_error(
            failure,
            QStringLiteral("no preset %1, and no \"Standard\" to fall back to").arg(quoted(name)));
        return false;
    }
    if (found.fallback && !fallback) {
        report_error(failure,
                     QStringLiteral("no preset %1; --fallback shows \"Standard\", which "
                                    "the viewer loads in its stead")
                         .arg(quoted(name)));
        return false;
    }
    if (found.fallback)
        report_warning(QStringLiteral("no preset %1; the viewer loads \"Standard\" in its stead")
                           .arg(quoted(name)));
    return true;
}

int run_show(const Invocation &invocation)
{
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    const QString name = invocation.arguments.first();
    const QCommandLineParser &parser = invocation.parser;
    Found found;
    if (!find_for_show(*store, name, parser.isSet(QStringLiteral("fallback")), found))
        return failure;
    const Reading reading =
        store->read(found.fallback ? QLatin1String(schema::standard_name) : name, found.value);
    report_findings(reading);
    if (parser.isSet(QStringLiteral("json")) && found.value.isObject())
        print(QString::fromUtf8(QJsonDocument(found.value.toObject()).toJson()));
    else if (parser.isSet(QStringLiteral("model")) && reading.model)
        print(QString::fromUtf8(QJsonDocument(model_json(*reading.model)).toJson()));
    else if (reading.model)
        print(described(*reading.model, found));
    return reading.usable ? success : failure;
}

QString output_of(const Invocation &invocation)
{
    const QString output = invocation.parser.value(QStringLiteral("output"));
    return output.isEmpty() ? QStringLiteral("-") : output;
}

// The stored tables as colour maps, the user's before the shipped ones, as the library reads
// them; a built-in table is computed, not stored, and has no entries to write.
int export_colour_maps(const Invocation &invocation)
{
    QJsonArray maps;
    for (const QString &name : invocation.arguments) {
        if (schema::is_built_in_clut(utf8(name)))
            return report_error(failure,
                                QStringLiteral("colour table %1 is built in; only "
                                               "stored tables are exported")
                                    .arg(quoted(name)));
        const QJsonObject table = schema::read_stored_clut(utf8(name));
        if (table.isEmpty())
            return report_error(failure, QStringLiteral("no colour table %1").arg(quoted(name)));
        const std::vector<Finding> findings = check_table(name, table);
        if (count_problems(findings) > 0)
            return report_error(failure, findings.front().line());
        maps.append(colour_map_of(name, table));
    }
    return write_output(output_of(invocation), QJsonDocument(maps).toJson());
}

int run_export(const Invocation &invocation)
{
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    if (invocation.parser.isSet(QStringLiteral("colormap")))
        return export_colour_maps(invocation);
    if (invocation.arguments.size() > 1)
        return report_error(usage_error,
                            QStringLiteral("export takes one NAME; several colour "
                                           "tables with --colormap"));
    const QString name = invocation.arguments.first();
    // Looked up among the stored presets, not loaded: a preset with "/" in its name, which the
    // library cannot load, is exported to be renamed.
    const auto entries = store->presets();
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [&](const PresetEntry &e) { return e.name == name; });
    if (entry == entries.end())
        return report_error(failure, QStringLiteral("no preset %1").arg(quoted(name)));
    if (!entry->value.isObject())
        return report_error(failure, QStringLiteral("%1 is not a preset object").arg(quoted(name)));
    const QJsonObject document = schema::document_with_preset(name, entry->value.toObject());
    return write_output(output_of(invocation), QJsonDocument(document).toJson());
}

void list_options(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("json"), QStringLiteral("Machine-readable output.")});
    parser.addOption({QStringLiteral("tables"),
                      QStringLiteral("Lists the colour tables instead: built in, shipped or the "
                                     "user's, and whether each can be used.")});
    Selection::add_options(parser);
}

void show_options(QCommandLineParser &parser)
{
    parser.addOption(
        {QStringLiteral("json"), QStringLiteral("Prints the preset object exactly as stored.")});
    parser.addOption({QStringLiteral("model"),
                      QStringLiteral("Prints the preset as the model holds it after loading, "
                                     "generated points included, as JSON.")});
    parser.addOption({QStringLiteral("fallback"),
                      QStringLiteral("For a name that no preset has, shows \"Standard\", which "
                                     "the viewer loads in its stead.")});
}

void export_options(QCommandLineParser &parser)
{
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      QStringLiteral("The file to write; \"-\" or none for standard output."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("colormap"),
                      QStringLiteral("Writes the colour tables NAME... (the user's or shipped) "
                                     "as a JSON colour-map file that import reads back.")});
}

} // namespace

const Command list_command{
    "list",
    "[--json] [--group G] [--match TEXT] [--tables]",
    "Lists every preset with its group, its source (user, shipped, or user shadowing shipped), "
    "whether it is read-only, and whether its points are its own or generated, or why it cannot "
    "be used.",
    list_options,
    run_list,
    0};

const Command show_command{
    "show",
    "NAME [--json | --model] [--fallback]",
    "Shows the preset NAME as the viewer loads it; --json prints it exactly as stored. A name "
    "that no preset has is a problem unless --fallback.",
    show_options,
    run_show,
    1};

const Command export_command{
    "export",
    "NAME [-o FILE] | --colormap NAME... [-o FILE]",
    "Writes the preset object, in a presets file of its own that import and check read; with "
    "--colormap, colour tables as a JSON colour-map file.",
    export_options,
    run_export,
    1,
    false,
    true};

} // namespace kesu::presets
