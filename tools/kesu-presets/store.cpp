#include "store.h"

#include "jsonfile.h"
#include "warnings.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>
#include <transferfunction/presetschema.h>

#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <algorithm>

namespace kesu::presets {

namespace {

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;

// The user's file as it is on disk, checked to be a presets file; an empty or missing file holds
// no presets. False, with the reason in error, when it cannot be read or parsed.
bool read_user_file(const QString &file, QByteArray &bytes, QString &error)
{
    if (!QFileInfo::exists(file))
        return true;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the user file %1: %2").arg(file, in.errorString());
        return false;
    }
    bytes = in.readAll();
    QJsonObject document;
    if (bytes.isEmpty() || parse_json(bytes, document, error))
        return true;
    error = QStringLiteral("the user file %1: %2; fix or move it, or leave it out with --no-user")
                .arg(file, error);
    return false;
}

bool write_copy(const QString &file, const QByteArray &bytes, QString &error)
{
    QFile out(file);
    if (out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size())
        return true;
    error = QStringLiteral("cannot copy the user file to %1: %2").arg(file, out.errorString());
    return false;
}

} // namespace

QString PresetEntry::source() const
{
    if (user && shipped)
        return QStringLiteral("user, shadows shipped");
    return user ? QStringLiteral("user") : QStringLiteral("shipped");
}

QString PresetEntry::group() const
{
    return QString::fromStdString(schema::decode(value.toObject()).preset.category);
}

QString TableEntry::source() const
{
    if (built_in)
        return QStringLiteral("built in");
    if (user && shipped)
        return QStringLiteral("user, shadows shipped");
    return user ? QStringLiteral("user") : QStringLiteral("shipped");
}

Selection Selection::of(const QCommandLineParser &parser)
{
    return {parser.value(QStringLiteral("group")), parser.value(QStringLiteral("match"))};
}

void Selection::add_options(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("group"),
                      QStringLiteral("Only the presets of this group (letter case ignored)."),
                      QStringLiteral("G")});
    parser.addOption({QStringLiteral("match"),
                      QStringLiteral("Only the presets whose name contains TEXT (letter case "
                                     "ignored)."),
                      QStringLiteral("TEXT")});
}

std::vector<PresetEntry> Selection::from(std::vector<PresetEntry> entries) const
{
    const auto left_out = [this](const PresetEntry &entry) {
        return (!match.isEmpty() && !entry.name.contains(match, Qt::CaseInsensitive))
            || (!group.isEmpty() && entry.group().compare(group, Qt::CaseInsensitive));
    };
    entries.erase(std::remove_if(entries.begin(), entries.end(), left_out), entries.end());
    return entries;
}

std::unique_ptr<Store> Store::open(const Files &files, Access access, int &status)
{
    QJsonObject shipped;
    QString error;
    if (!read_json(files.global, shipped, error)) {
        status = report_error(usage_error, QStringLiteral("shipped presets file: ") + error);
        return nullptr;
    }
    QByteArray user;
    if (!files.no_user && !read_user_file(files.user, user, error)) {
        status = report_error(usage_error, error);
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store);
    QString user_file = files.user;
    if (access == Access::read || files.no_user) {
        user_file = store->temporary.filePath(QStringLiteral("presets.json"));
        if (!store->temporary.isValid()) {
            status = report_error(failure,
                                  QStringLiteral("cannot make a temporary folder: %1")
                                      .arg(store->temporary.errorString()));
            return nullptr;
        }
        if (!user.isEmpty() && !write_copy(user_file, user, error)) {
            status = report_error(failure, error);
            return nullptr;
        }
    }
    store->manager = std::make_unique<Manager>(user_file, files.global);
    return store;
}

Store::~Store()
{
    WarningLog ignored;
    manager.reset();
}

bool Store::sync(QStringList &warnings)
{
    WarningLog log;
    const bool saved = manager->sync();
    warnings += log.take();
    return saved;
}

QStringList Store::close()
{
    WarningLog log;
    manager.reset();
    return log.take();
}

std::vector<PresetEntry> Store::presets() const
{
    const auto in = [](schema::Document document) {
        return schema::presets_by_name(preset(schema::presets_path(document)).get().toObject());
    };
    const QMap<QString, QJsonValue> user = in(schema::Document::user);
    const QMap<QString, QJsonValue> shipped = in(schema::Document::shipped);

    QMap<QString, PresetEntry> entries;
    for (auto found = shipped.begin(); found != shipped.end(); ++found)
        entries[found.key()] = {found.key(), false, true, found.value()};
    for (auto found = user.begin(); found != user.end(); ++found) {
        PresetEntry &entry = entries[found.key()];
        entry.name = found.key();
        entry.user = true;
        entry.value = found.value();
    }
    return {entries.begin(), entries.end()};
}

std::vector<TableEntry> Store::tables() const
{
    const auto in = [](schema::Document document) {
        return preset(schema::colour_tables_path(document)).get().toObject();
    };
    QMap<QString, TableEntry> entries;
    for (const char *name : {schema::grey_clut, schema::endoscopy_clut})
        entries[QLatin1String(name)] = {QLatin1String(name), true, false, false, {}};
    const QJsonObject shipped = in(schema::Document::shipped);
    for (auto table = shipped.begin(); table != shipped.end(); ++table)
        entries[table.key()] = {table.key(), false, false, true, table.value()};
    const QJsonObject user = in(schema::Document::user);
    for (auto table = user.begin(); table != user.end(); ++table) {
        TableEntry &entry = entries[table.key()];
        entry.name = table.key();
        entry.user = true;
        entry.value = table.value();
    }
    return {entries.begin(), entries.end()};
}

// A preset generated from the table across a window of 0 to 255 has the table's colours, the
// built-in ones included, as its points.
std::vector<Model::Point> Store::table_colours(const QString &name) const
{
    schema::Preset preset;
    preset.clut = utf8(name);
    preset.window_width = 255.0f;
    preset.window_level = 127.5f;
    Model model;
    WarningLog reported_by_the_caller;
    model.load(schema::encode(preset));
    return model.get_points();
}

Found Store::find(const QString &name) const
{
    const schema::Found found = schema::find_preset(utf8(name));
    return {found.value, QString::fromStdString(found.path), found.fallback};
}

// The library's own warnings about the preset are left out: the findings name their members.
Reading Store::read(const QString &name, const QJsonValue &value) const
{
    using Subject = Finding::Subject;
    Reading reading;
    const QJsonObject object = value.toObject();
    if (object.isEmpty()) {
        reading.findings = check_preset(name, value, {});
        return reading;
    }
    const schema::Decoded decoded = schema::decode(object);
    for (const schema::Problem &problem : decoded.problems) {
        reading.findings.push_back(finding(Subject::preset, name, problem));
        if (problem.kind == schema::Problem::Kind::missing_member)
            reading.findings.back().severity = Finding::Severity::warning;
    }
    if (!decoded.problems.empty()
        && decoded.problems.back().kind == schema::Problem::Kind::range_violation)
        return reading;
    reading.model = std::make_unique<Model>();
    {
        WarningLog reported_above;
        reading.model->load(object);
    }
    const schema::Preset &preset = decoded.preset;
    if (!preset.custom_opacity && !schema::is_built_in_clut(preset.clut)) {
        const auto problems = schema::table_problems(schema::read_stored_clut(preset.clut));
        if (!problems.empty()) {
            reading.findings.push_back(finding(Subject::preset, name, problems.front()));
            reading.findings.back().member = QLatin1String(schema::member::clut);
            reading.findings.back().detail = quoted(QString::fromStdString(preset.clut));
        }
    }
    reading.usable = count_problems(reading.findings) == 0;
    return reading;
}

TableLookup stored_tables()
{
    return [](const QString &name) {
        return schema::read_stored_clut(utf8(name));
    };
}

void report_findings(const Reading &reading)
{
    for (const Finding &finding : reading.findings)
        report_error(failure, finding.line());
}

} // namespace kesu::presets
