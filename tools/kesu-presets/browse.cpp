// The subcommands that read presets: list, show and export.

#include "commandline.h"
#include "store.h"
#include "warnings.h"

#include <transferfunction/model.h>
#include <transferfunction/presetschema.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

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
    QString opacity;
    QString clut;
    // The library cannot read the preset: not an object, or a coefficient out of range.
    QString broken;
};

Listed describe(const PresetEntry &entry)
{
    Listed listed{entry.name, {}, entry.source(), false, false, {}, {}, {}};
    if (!entry.value.isObject() || entry.value.toObject().isEmpty()) {
        listed.broken = QStringLiteral("not a preset object");
        return listed;
    }
    Model model;
    WarningContext context(QStringLiteral("preset ") + quoted(entry.name));
    try {
        model.load(entry.value.toObject());
    } catch (const std::out_of_range &error) {
        listed.broken = QString::fromUtf8(error.what());
    }
    listed.group = QString::fromStdString(model.get_category());
    listed.read_only = model.is_read_only();
    listed.custom = model.is_custom_opacity();
    listed.opacity = QString::fromStdString(model.get_opacity_table());
    listed.clut = QString::fromStdString(model.get_clut());
    return listed;
}

QString points_text(const Listed &listed)
{
    if (!listed.broken.isEmpty())
        return QStringLiteral("unreadable: ") + listed.broken;
    return listed.custom ? QStringLiteral("custom points")
                         : QStringLiteral("generated: %1, %2").arg(listed.opacity, listed.clut);
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
    if (!listed.broken.isEmpty())
        object.insert(QStringLiteral("problem"), listed.broken);
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
        name_width = std::max(name_width, int(row.name.size()));
        group_width = std::max(group_width, int(row.group.size()));
    }
    const auto line = [&](const QString &name, const QString &group, const QString &source,
                          const QString &read_only, const QString &points) {
        print(padded(name, name_width + 2) + padded(group, group_width + 2) + padded(source, 23)
              + padded(read_only, 11) + points + QLatin1Char('\n'));
    };
    line(QStringLiteral("NAME"), QStringLiteral("GROUP"), QStringLiteral("SOURCE"),
         QStringLiteral("READ-ONLY"), QStringLiteral("POINTS"));
    for (const Listed &row : rows)
        line(row.name, row.group, row.source,
             row.read_only ? QStringLiteral("yes") : QStringLiteral("no"), points_text(row));
}

int run_list(const Invocation &invocation)
{
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    std::vector<Listed> rows;
    for (const PresetEntry &entry : store->presets())
        rows.push_back(describe(entry));

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

int run_show(const Invocation &invocation)
{
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
    const QString name = invocation.arguments.first();
    LoadedFrom from;
    const auto model = store->load(name, &from);
    if (!model)
        return failure;
    const QJsonObject shown{
        {QStringLiteral("asked"), name},
        {QStringLiteral("loaded"), QString::fromStdString(model->get_description())},
        {QStringLiteral("loaded_from"), from.path},
        {QStringLiteral("fallback"), from.fallback},
        {QStringLiteral("preset"), model_json(*model)},
    };
    print(QString::fromUtf8(QJsonDocument(shown).toJson()));
    return success;
}

int write_output(const QString &file, const QByteArray &bytes)
{
    if (file.isEmpty() || file == QLatin1String("-")) {
        print(QString::fromUtf8(bytes));
        return success;
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        return report_error(failure,
                            QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    return success;
}

int run_export(const Invocation &invocation)
{
    int status = success;
    const auto store = Store::open(invocation.files, Store::Access::read, status);
    if (!store)
        return status;
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
    return write_output(invocation.parser.value(QStringLiteral("output")),
                        QJsonDocument(document).toJson());
}

void list_options(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("json"), QStringLiteral("Machine-readable output.")});
}

void show_options(QCommandLineParser &) { }

void export_options(QCommandLineParser &parser)
{
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      QStringLiteral("The file to write (default: standard output)."),
                      QStringLiteral("FILE")});
}

} // namespace

const Command list_command{
    "list",
    "[--json]",
    "Lists every preset with its group, its source (user, shipped, or user shadowing shipped), "
    "whether it is read-only, and whether its points are its own or generated.",
    list_options,
    run_list,
    0};

const Command show_command{
    "show",
    "NAME",
    "Shows the preset as the model holds it after loading NAME, as JSON, with the name asked "
    "for and the preset actually loaded when the library falls back.",
    show_options,
    run_show,
    1};

const Command export_command{
    "export",
    "NAME [-o FILE]",
    "Writes the preset object, in a presets file of its own that import and check read.",
    export_options,
    run_export,
    1};

} // namespace kesu::presets
