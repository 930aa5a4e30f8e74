// The subcommands that read presets: list, show and export.

#include "commandline.h"
#include "store.h"

#include <transferfunction/model.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>

namespace kesu::presets {

namespace {

using korvel::transferfunction::Model;

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

QJsonArray points_json(const std::vector<Model::Point> &points)
{
    QJsonArray array;
    for (const Model::Point &p : points)
        array.append(QJsonObject{{QStringLiteral("x"), p.x},
                                 {QStringLiteral("y"), p.y},
                                 {QStringLiteral("r"), p.r},
                                 {QStringLiteral("g"), p.g},
                                 {QStringLiteral("b"), p.b},
                                 {QStringLiteral("midpoint"), p.midpoint},
                                 {QStringLiteral("sharpness"), p.sharpness}});
    return array;
}

// Every member of the preset format as the model holds it, the points always (also the
// generated ones), and whether they are the preset's own.
QJsonObject model_json(const Model &model)
{
    const auto text = [](const std::string &s) {
        return QString::fromStdString(s);
    };
    const auto colour = model.get_background_color();
    const auto [width, level] = model.window_width_level();
    return {
        {QStringLiteral("description"), text(model.get_description())},
        {QStringLiteral("group"), text(model.get_category())},
        {QStringLiteral("read_only"), model.is_read_only()},
        {QStringLiteral("custom_opacity"), model.is_custom_opacity()},
        {QStringLiteral("opacity"), text(model.get_opacity_table())},
        {QStringLiteral("clut"), text(model.get_clut())},
        {QStringLiteral("window"), QJsonArray{double(width), double(level)}},
        {QStringLiteral("shade"), model.is_shade()},
        {QStringLiteral("ambient"), model.get_ambient()},
        {QStringLiteral("diffuse"), model.get_diffuse()},
        {QStringLiteral("specular"), model.get_specular()},
        {QStringLiteral("specular_power"), model.get_specular_power()},
        {QStringLiteral("blend_mode"), int(model.get_blend_mode())},
        {QStringLiteral("background"),
         QJsonObject{{QStringLiteral("color"), QJsonArray{colour[0], colour[1], colour[2]}}}},
        {QStringLiteral("filters"),
         QJsonObject{
             {QStringLiteral("convolution"), QJsonArray{text(model.get_convolution_filter())}}}},
        {QStringLiteral("points"), points_json(model.get_points())},
    };
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

// A document in the layout of the presets files, holding the one preset.
QJsonObject presets_document(const QString &name, const QJsonObject &object)
{
    QJsonValue inner = object;
    QStringList keys =
        QStringList{QStringLiteral("rendering"), QStringLiteral("dvr"), QStringLiteral("preset")}
        + name.split(QLatin1Char('/'));
    for (auto key = keys.crbegin(); key != keys.crend(); ++key)
        inner = QJsonObject{{*key, inner}};
    return inner.toObject();
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
    const LoadedFrom from = store->locate(name);
    if (from.fallback)
        return report_error(failure, QStringLiteral("no preset %1").arg(quoted(name)));
    const auto entries = store->presets();
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [&](const PresetEntry &e) { return e.name == name; });
    if (entry == entries.end() || !entry->value.isObject())
        return report_error(failure, QStringLiteral("%1 is not a preset object").arg(quoted(name)));
    const QJsonObject document = presets_document(name, entry->value.toObject());
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
