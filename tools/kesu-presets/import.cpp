// The import subcommand: presets of another file stored as the user's own, through the model.

#include "check.h"
#include "commandline.h"
#include "jsonfile.h"
#include "store.h"
#include "warnings.h"

#include <transferfunction/model.h>
#include <transferfunction/presetschema.h>

#include <stdexcept>

namespace kesu::presets {

namespace {

using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;

// Stores one preset as the user's: loaded by the model, named (which clears "read_only") and
// saved, which also records it as the last preset.
bool store_preset(const QString &name, const QJsonValue &value)
{
    if (!value.isObject() || value.toObject().isEmpty()) {
        report_error(failure,
                     QStringLiteral("preset %1 is not a preset object; skipped").arg(quoted(name)));
        return false;
    }
    Model model;
    WarningContext context(QStringLiteral("preset ") + quoted(name));
    try {
        model.load(value.toObject());
    } catch (const std::out_of_range &error) {
        report_error(failure,
                     QStringLiteral("preset %1: %2; skipped")
                         .arg(quoted(name), QString::fromUtf8(error.what())));
        return false;
    }
    model.set_description(utf8(name));
    return model.save();
}

// Refuses a file that fails the check, unless forced; the problems go to stderr.
bool passes_check(const QString &file, const QJsonObject &document, const QJsonObject &shipped,
                  bool force)
{
    const QJsonObject tables = schema::colour_tables_of(shipped);
    const std::vector<Problem> problems = check_presets_file(document, &tables);
    for (const Problem &problem : problems)
        report_warning(file + QStringLiteral(": ") + problem.line());
    if (!schema::colour_tables_of(document).isEmpty())
        report_warning(QStringLiteral("%1: its colour tables are not imported; the presets use "
                                      "the shipped ones")
                           .arg(file));
    if (problems.empty() || force)
        return true;
    report_error(failure,
                 QStringLiteral("%1 fails the check (%2 problem(s)); nothing imported, --force "
                                "imports it anyway")
                     .arg(file)
                     .arg(problems.size()));
    return false;
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
    int status = success;
    if (!read_json(file, document, error, status)
        || !read_json(files.global, shipped, error, status))
        return report_error(status, error);
    if (!passes_check(file, document, shipped, invocation.parser.isSet(QStringLiteral("force"))))
        return failure;
    const auto presets = schema::presets_by_name(schema::presets_of(document));
    if (presets.isEmpty())
        return report_error(failure, QStringLiteral("%1 holds no presets").arg(file));

    const auto store = Store::open(files, Store::Access::write, status);
    if (!store)
        return status;
    std::vector<PresetEntry> before = store->presets();
    for (auto preset = presets.begin(); preset != presets.end(); ++preset) {
        if (schema::is_nested_name(utf8(preset.key()))) {
            status = report_error(failure,
                                  QStringLiteral("preset %1: a name with \"/\" cannot be "
                                                 "stored; skipped")
                                      .arg(quoted(preset.key())));
            continue;
        }
        if (!store_preset(preset.key(), preset.value())) {
            status = failure;
            continue;
        }
        QString note;
        for (const PresetEntry &entry : before)
            if (entry.name == preset.key())
                note = entry.user ? QStringLiteral(", replacing the user's preset")
                                  : QStringLiteral(", shadowing the shipped preset");
        print(QStringLiteral("imported %1%2\n").arg(quoted(preset.key()), note));
    }
    // Written now, under the user file's lock and merged with what other processes stored.
    QStringList warnings;
    const bool saved = store->sync(warnings);
    warnings += store->close();
    if (!saved)
        return report_error(failure,
                            QStringLiteral("the user file %1 was not written: %2")
                                .arg(files.user, warnings.join(QStringLiteral("; "))));
    for (const QString &warning : warnings)
        report_warning(warning);
    return status;
}

void import_options(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("force"),
                      QStringLiteral("Imports a file that fails the check, skipping the presets "
                                     "the library cannot load.")});
}

} // namespace

const Command import_command{
    "import",
    "FILE [--force]",
    "Stores each preset of FILE (a presets file, e.g. one made by export or another machine's "
    "presets.json) as a user preset, leaving the user's other presets as they are. A file that "
    "fails check is refused unless --force.",
    import_options,
    run_import,
    1};

} // namespace kesu::presets
