// The import subcommand: presets files, colour-map collections and volume-property files, stored
// as the user's own presets and colour tables.

#include "check.h"
#include "colourmap.h"
#include "commandline.h"
#include "jsonfile.h"
#include "store.h"
#include "volumeproperty.h"

#include <application/configuration.h>
#include <transferfunction/presetschema.h>

#include <QFile>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>

namespace kesu::presets {

namespace {

namespace schema = korvel::transferfunction::schema;
using korvel::application::preset;
using Named = std::vector<std::pair<QString, QJsonObject>>;

// What an import brings, read and checked, before anything is stored.
struct Batch
{
    QString file;
    Named tables;
    Named presets;
    // Problems found and reported: the file is refused unless --force, which leaves out what
    // they concern.
    int problems = 0;

    void problem(const QString &line)
    {
        report_error(failure, file + QStringLiteral(": ") + line);
        ++problems;
    }
    void warning(const QString &line) { report_warning(file + QStringLiteral(": ") + line); }
    // A finding's line says whether it is a warning.
    void report(const Finding &finding)
    {
        report_error(failure, file + QStringLiteral(": ") + finding.line());
        problems += finding.is_problem() ? 1 : 0;
    }
    // The findings about one item; true when none is a problem.
    bool passes(const std::vector<Finding> &findings)
    {
        for (const Finding &finding : findings)
            report(finding);
        return count_problems(findings) == 0;
    }
    // The first of two items of one name is kept, the second reported.
    void add(Named &named, const char *what, const QString &name, const QJsonObject &object)
    {
        for (const auto &[kept, unused] : named)
            if (kept == name)
                return warning(QStringLiteral("a second %1 %2 left out; the first is kept")
                                   .arg(QLatin1String(what), quoted(name)));
        named.emplace_back(name, object);
    }
};

enum class Format { presets, colour_maps, volume_properties };

// By content: XML is volume properties, a JSON array or an object with a "Name" colour maps, any
// other text a presets file.
Format format_of(const QByteArray &bytes)
{
    const QByteArray text =
        bytes.startsWith("\xef\xbb\xbf") ? bytes.mid(3).trimmed() : bytes.trimmed();
    if (text.startsWith('<'))
        return Format::volume_properties;
    const QJsonDocument json = QJsonDocument::fromJson(without_trailing_commas(text));
    return json.isArray() || json.object().contains(QStringLiteral("Name")) ? Format::colour_maps
                                                                            : Format::presets;
}

bool forced_format(const QString &name, Format &format)
{
    const struct
    {
        const char *name;
        Format format;
    } formats[] = {{"presets", Format::presets},
                   {"colormap", Format::colour_maps},
                   {"volume", Format::volume_properties}};
    for (const auto &known : formats)
        if (name == QLatin1String(known.name)) {
            format = known.format;
            return true;
        }
    return false;
}

int read_colour_maps(const QByteArray &bytes, Batch &batch)
{
    ReadMaps read;
    QString error;
    if (!read_colour_maps(bytes, read, error))
        return report_error(usage_error, batch.file + QStringLiteral(": ") + error);
    for (const QString &problem : read.problems)
        batch.problem(problem);
    for (const ColourMap &map : read.maps) {
        if (schema::is_built_in_clut(utf8(map.name)))
            batch.problem(QStringLiteral("colour map %1 is built in; a stored table of that name "
                                         "is never read")
                              .arg(quoted(map.name)));
        else if (batch.passes(check_name(Finding::Subject::table, map.name)))
            batch.add(batch.tables, "colour map", map.name, colour_table(map));
    }
    if (read.maps.empty() && read.problems.isEmpty())
        batch.problem(QStringLiteral("holds no colour maps"));
    return success;
}

int read_volume_properties(const QByteArray &bytes, Batch &batch)
{
    ReadProperties read;
    QString error;
    if (!read_volume_properties(bytes, read, error))
        return report_error(usage_error, batch.file + QStringLiteral(": ") + error);
    for (const QString &problem : read.problems)
        batch.problem(problem);
    for (const QString &warning : read.warnings)
        batch.warning(warning);
    // Their points are their own, so no colour table is looked up.
    for (const auto &[name, object] : read.presets)
        if (batch.passes(check_preset(name, object, {})))
            batch.add(batch.presets, "VolumeProperty", name, object);
    if (read.presets.empty() && read.problems.isEmpty())
        batch.problem(QStringLiteral("holds no VolumeProperty elements"));
    return success;
}

// The presets that pass the check, and the file's own colour tables that they name. A preset
// whose table of the file fails the check is left out with it.
int read_presets_file(const QByteArray &bytes, const TableLookup &stored, Batch &batch)
{
    QJsonObject document;
    QString error;
    if (!parse_json(bytes, document, error))
        return report_error(usage_error, batch.file + QStringLiteral(": ") + error);
    QSet<QString> failing_presets;
    QSet<QString> failing_tables;
    for (const Finding &finding : check_document(document, stored)) {
        batch.report(finding);
        if (finding.is_problem() && finding.subject == Finding::Subject::preset)
            failing_presets.insert(finding.name);
        else if (finding.is_problem() && finding.subject == Finding::Subject::table)
            failing_tables.insert(finding.name);
    }
    const QJsonObject own = schema::colour_tables_of(document);
    const auto presets = schema::presets_by_name(schema::presets_of(document));
    for (auto preset = presets.begin(); preset != presets.end(); ++preset) {
        const schema::Preset read = schema::decode(preset.value().toObject()).preset;
        const QString clut = QString::fromStdString(read.clut);
        const bool own_table = !read.custom_opacity && own.contains(clut);
        if (failing_presets.contains(preset.key()) || !preset.value().isObject()
            || (own_table && failing_tables.contains(clut)))
            continue;
        batch.presets.emplace_back(preset.key(), preset.value().toObject());
        const bool taken = std::any_of(batch.tables.begin(), batch.tables.end(),
                                       [&](const auto &table) { return table.first == clut; });
        if (own_table && !taken)
            batch.tables.emplace_back(clut, own.value(clut).toObject());
    }
    return success;
}

// How an item of the batch meets what the store holds under its name: the library reads the
// same already, or the user has another, or it shadows a shipped one, or nothing.
enum class Meets { same, user, shipped, nothing };

Meets meets(const std::string &user_path, const std::string &shipped_path, bool same)
{
    if (same)
        return Meets::same;
    if (preset(user_path))
        return Meets::user;
    return preset(shipped_path) ? Meets::shipped : Meets::nothing;
}

struct Item
{
    QString kind;
    QString name;
    QJsonObject object;
    std::string path;
    Meets meeting;
};

// The batch as the store will take it: tables first, so that the presets find them.
std::vector<Item> items_of(const Batch &batch)
{
    using schema::Document;
    std::vector<Item> items;
    for (const auto &[name, table] : batch.tables) {
        const std::string key = utf8(name);
        const std::string path = schema::colour_table_path(Document::user, key);
        items.push_back({QStringLiteral("colour table"), name, table, path,
                         meets(path, schema::colour_table_path(Document::shipped, key),
                               schema::read_stored_clut(key) == table)});
    }
    for (auto [name, object] : batch.presets) {
        // A shipped preset imported again is the user's own copy, which they may change.
        object.insert(QLatin1String(schema::member::read_only), false);
        const std::string key = utf8(name);
        const std::string path = schema::preset_path(Document::user, key);
        items.push_back({QStringLiteral("preset"), name, object, path,
                         meets(path, schema::preset_path(Document::shipped, key),
                               preset(path).get() == object)});
    }
    return items;
}

QString note(const Item &item)
{
    if (item.meeting == Meets::user)
        return QStringLiteral(" (replaced the user's %1 %2)").arg(item.kind, quoted(item.name));
    if (item.meeting == Meets::shipped)
        return QStringLiteral(" (shadows the shipped %1 %2)").arg(item.kind, quoted(item.name));
    return {};
}

// Written now, under the user file's lock and merged with what other processes stored.
int save(Store &store, const QString &user_file, int status)
{
    QStringList warnings;
    const bool saved = store.sync(warnings);
    warnings += store.close();
    if (!saved)
        return report_error(failure,
                            QStringLiteral("the user file %1 was not written: %2")
                                .arg(user_file, warnings.join(QStringLiteral("; "))));
    for (const QString &warning : warnings)
        report_warning(warning);
    return status;
}

int store_batch(Store &store, const Batch &batch, const Files &files, bool force)
{
    const std::vector<Item> items = items_of(batch);
    int collisions = 0;
    for (const Item &item : items) {
        if (item.meeting != Meets::user || force)
            continue;
        report_error(failure,
                     QStringLiteral("the user already has a %1 %2; --force replaces it")
                         .arg(item.kind, quoted(item.name)));
        ++collisions;
    }
    if (collisions > 0)
        return report_error(failure, QStringLiteral("%1: nothing imported").arg(batch.file));
    for (const Item &item : items) {
        const QString what =
            item.kind == QLatin1String("preset") ? QString() : item.kind + QLatin1Char(' ');
        if (item.meeting == Meets::same) {
            print(QStringLiteral("unchanged %1%2: the same is stored already\n")
                      .arg(what, quoted(item.name)));
            continue;
        }
        preset(item.path).set(item.object);
        print(QStringLiteral("imported %1%2%3\n").arg(what, quoted(item.name), note(item)));
    }
    return save(store, files.user, batch.problems > 0 ? failure : success);
}

int read_batch(const Invocation &invocation, const QByteArray &bytes, Batch &batch)
{
    Format format = format_of(bytes);
    const QString forced = invocation.parser.value(QStringLiteral("format"));
    if (!forced.isEmpty() && !forced_format(forced, format))
        return report_error(usage_error,
                            QStringLiteral("--format takes presets, colormap or "
                                           "volume, not %1")
                                .arg(quoted(forced)));
    if (format == Format::colour_maps)
        return read_colour_maps(bytes, batch);
    if (format == Format::volume_properties)
        return read_volume_properties(bytes, batch);
    return read_presets_file(
        bytes, [](const QString &name) { return schema::read_stored_clut(utf8(name)); }, batch);
}

int run_import(const Invocation &invocation)
{
    const Files &files = invocation.files;
    if (files.no_user)
        return report_error(usage_error,
                            QStringLiteral("import writes the user's file, which "
                                           "--no-user leaves out"));
    Batch batch;
    batch.file = invocation.arguments.first();
    QFile in(batch.file);
    if (!in.open(QIODevice::ReadOnly))
        return report_error(usage_error,
                            QStringLiteral("cannot read %1: %2").arg(batch.file, in.errorString()));
    int status = success;
    const auto store = Store::open(files, Store::Access::write, status);
    if (!store)
        return status;
    status = read_batch(invocation, in.readAll(), batch);
    if (status != success)
        return status;
    if (batch.problems > 0 && !invocation.parser.isSet(QStringLiteral("force")))
        return report_error(failure,
                            QStringLiteral("%1 fails the check (%2 problem(s)); nothing "
                                           "imported; --force imports what passes")
                                .arg(batch.file)
                                .arg(batch.problems));
    return store_batch(*store, batch, files, invocation.parser.isSet(QStringLiteral("force")));
}

void import_options(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("force"),
                      QStringLiteral("Imports what passes the check, leaving out the rest, and "
                                     "replaces the user's presets and colour tables of the same "
                                     "names.")});
    parser.addOption({QStringLiteral("format"),
                      QStringLiteral("The kind of FILE, when its content should not decide: "
                                     "presets, colormap or volume."),
                      QStringLiteral("KIND")});
}

} // namespace

const Command import_command{
    "import",
    "FILE [--force] [--format KIND]",
    "Stores what FILE holds as the user's own, leaving their other presets, their colour tables "
    "and the last-preset record as they are: the presets of a presets file (one made by export, "
    "or another machine's presets.json) exactly as read but no longer read-only, with the colour "
    "tables of the file they use; colour maps of a JSON colour-map file as colour tables; the "
    "VolumeProperty elements of an XML file as presets with points of their own. A file that "
    "fails the check, or names that the user already has, are refused unless --force.",
    import_options,
    run_import,
    1,
    true};

} // namespace kesu::presets
