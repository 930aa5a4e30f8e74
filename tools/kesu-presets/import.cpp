// The import subcommand: presets of another file stored as the user's own, exactly as read.

#include "check.h"
#include "commandline.h"
#include "jsonfile.h"
#include "store.h"

#include <application/configuration.h>
#include <transferfunction/presetschema.h>

#include <QSet>

namespace kesu::presets {

namespace {

namespace schema = korvel::transferfunction::schema;
using PresetMap = QMap<QString, QJsonValue>;

// The findings of the file, on stderr; the names of the presets that have problems go into bad.
int report_check(const QString &file, const std::vector<Finding> &findings, QSet<QString> &bad)
{
    for (const Finding &finding : findings) {
        report_error(failure, file + QStringLiteral(": ") + finding.line());
        if (finding.is_problem() && finding.subject == Finding::Subject::preset)
            bad.insert(finding.name);
    }
    return count_problems(findings);
}

// The colour tables of the file that its presets use in place of a shipped table of the same
// name; the user's file holds no colour tables the library would read.
QStringList own_tables_used(const QJsonObject &document, const PresetMap &presets,
                            const QJsonObject &shipped)
{
    const QJsonObject own = schema::colour_tables_of(document);
    const QJsonObject shipped_tables = schema::colour_tables_of(shipped);
    QStringList used;
    for (const QJsonValue &value : presets) {
        const schema::Preset preset = schema::decode(value.toObject()).preset;
        const QString clut = QString::fromStdString(preset.clut);
        if (!preset.custom_opacity && own.contains(clut)
            && own.value(clut) != shipped_tables.value(clut) && !used.contains(clut))
            used << clut;
    }
    return used;
}

// A shipped preset imported again is the user's own copy, which the viewer lets them change.
void store_preset(const QString &name, QJsonObject object)
{
    object.insert(QLatin1String(schema::member::read_only), false);
    korvel::application::preset(schema::preset_path(schema::Document::user, utf8(name)))
        .set(object);
}

QString replaced(const std::vector<PresetEntry> &before, const QString &name)
{
    for (const PresetEntry &entry : before)
        if (entry.name == name)
            return entry.user
                ? QStringLiteral(" (replaced the user's preset %1)").arg(quoted(name))
                : QStringLiteral(" (shadows the shipped preset %1)").arg(quoted(name));
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

int store_presets(const Files &files, const PresetMap &presets, const QSet<QString> &bad)
{
    int status = success;
    const auto store = Store::open(files, Store::Access::write, status);
    if (!store)
        return status;
    const std::vector<PresetEntry> before = store->presets();
    for (auto preset = presets.begin(); preset != presets.end(); ++preset) {
        if (bad.contains(preset.key()) || !preset.value().isObject()
            || schema::is_nested_name(utf8(preset.key()))) {
            status = report_error(
                failure,
                QStringLiteral("preset %1 fails the check; skipped").arg(quoted(preset.key())));
            continue;
        }
        store_preset(preset.key(), preset.value().toObject());
        print(QStringLiteral("imported %1%2\n")
                  .arg(quoted(preset.key()), replaced(before, preset.key())));
    }
    return save(*store, files.user, status);
}

int run_import(const Invocation &invocation)
{
    const Files &files = invocation.files;
    if (files.no_user)
        return report_error(usage_error,
                            QStringLiteral("import writes the user's file, which "
                                           "--no-user leaves out"));
    const QString file = invocation.arguments.first();
    QJsonObject document;
    QJsonObject shipped;
    QString error;
    if (!read_json(file, document, error))
        return report_error(usage_error, error);
    if (!read_json(files.global, shipped, error))
        return report_error(usage_error, QStringLiteral("shipped presets file: ") + error);
    QSet<QString> bad;
    const int problems = report_check(file, check_document(document, tables_of(shipped)), bad);
    const bool force = invocation.parser.isSet(QStringLiteral("force"));
    if (problems > 0 && !force)
        return report_error(failure,
                            QStringLiteral("%1 fails the check (%2 problem(s)); nothing "
                                           "imported; --force imports the presets that "
                                           "pass")
                                .arg(file)
                                .arg(problems));
    const PresetMap presets = schema::presets_by_name(schema::presets_of(document));
    const QStringList tables = own_tables_used(document, presets, shipped);
    if (!tables.isEmpty())
        return report_error(failure,
                            QStringLiteral("%1: its presets use its own colour tables "
                                           "(%2), which the user's file cannot hold; "
                                           "nothing imported")
                                .arg(file, tables.join(QStringLiteral(", "))));
    if (presets.isEmpty())
        return failure;
    return store_presets(files, presets, bad);
}

void import_options(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("force"),
                      QStringLiteral("Imports the presets of a file that fails the check that "
                                     "pass it, skipping the others.")});
}

} // namespace

const Command import_command{
    "import",
    "FILE [--force]",
    "Stores each preset of FILE (a presets file, e.g. one made by export or another machine's "
    "presets.json) as a user preset, exactly as read but no longer read-only, leaving the "
    "user's other presets and the last-preset record as they are. A file that fails check is "
    "refused unless --force.",
    import_options,
    run_import,
    1,
    true};

} // namespace kesu::presets
