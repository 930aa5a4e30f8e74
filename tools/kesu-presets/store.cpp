#include "store.h"

#include "jsonfile.h"
#include "warnings.h"

#include <application/configuration.h>
#include <application/manager.h>
#include <transferfunction/model.h>
#include <transferfunction/presetschema.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMap>

#include <stdexcept>

namespace kesu::presets {

namespace {

using korvel::application::preset;
using korvel::application::impl::Manager;
using korvel::transferfunction::Model;
namespace schema = korvel::transferfunction::schema;

// Copies the user's file into the temporary folder; false when it exists but cannot be read.
bool copy_user_file(const QString &from, const QString &to, QString &error)
{
    if (!QFileInfo::exists(from))
        return true;
    QFile in(from);
    QFile out(to);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the user file %1: %2").arg(from, in.errorString());
        return false;
    }
    if (!out.open(QIODevice::WriteOnly) || out.write(in.readAll()) < 0) {
        error = QStringLiteral("cannot copy the user file: %1").arg(out.errorString());
        return false;
    }
    return true;
}

bool usable_user_file(const QString &file, Store::Access access, QString &error, int &status)
{
    if (!QFileInfo::exists(file))
        return true;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the user file %1: %2").arg(file, in.errorString());
        status = usage_error;
        return false;
    }
    const QByteArray bytes = in.readAll();
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (bytes.isEmpty() || document.isObject())
        return true;
    if (access == Store::Access::write) {
        error =
            QStringLiteral("the user file %1 is not a JSON object; fix or move it first").arg(file);
        status = failure;
        return false;
    }
    report_warning(QStringLiteral("the user file %1 is not a JSON object; its presets are left out")
                       .arg(file));
    return true;
}

} // namespace

QString PresetEntry::source() const
{
    if (user && shipped)
        return QStringLiteral("user, shadows shipped");
    return user ? QStringLiteral("user") : QStringLiteral("shipped");
}

std::unique_ptr<Store> Store::open(const Files &files, Access access, int &status)
{
    QJsonObject shipped;
    QString error;
    if (!read_json(files.global, shipped, error, status)) {
        report_error(usage_error, QStringLiteral("shipped presets file: ") + error);
        status = usage_error;
        return nullptr;
    }

    std::unique_ptr<Store> store(new Store);
    QString user_file = files.user;
    if (access == Access::read || files.no_user) {
        if (!store->temporary.isValid()) {
            status = report_error(failure, QStringLiteral("cannot make a temporary folder"));
            return nullptr;
        }
        user_file = store->temporary.filePath(QStringLiteral("presets.json"));
        if (!files.no_user && !usable_user_file(files.user, access, error, status)) {
            report_error(status, error);
            return nullptr;
        }
        if (!files.no_user && !copy_user_file(files.user, user_file, error)) {
            status = report_error(usage_error, error);
            return nullptr;
        }
    } else if (!usable_user_file(files.user, access, error, status)) {
        report_error(status, error);
        return nullptr;
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

LoadedFrom Store::locate(const QString &name) const
{
    const schema::Found found = schema::find_preset(utf8(name));
    return {QString::fromStdString(found.path), found.fallback};
}

std::unique_ptr<Model> Store::load(const QString &name, LoadedFrom *from) const
{
    const LoadedFrom found = locate(name);
    if (from)
        *from = found;
    if (found.fallback && found.path.isEmpty())
        report_warning(
            QStringLiteral("no preset %1 and no \"Standard\" to fall back to").arg(quoted(name)));
    else if (found.fallback)
        report_warning(QStringLiteral("no preset %1; the library falls back to \"Standard\"")
                           .arg(quoted(name)));
    auto model = std::make_unique<Model>();
    WarningContext context(QStringLiteral("preset ") + quoted(name));
    try {
        model->load(utf8(name));
    } catch (const std::out_of_range &error) {
        report_error(failure,
                     QStringLiteral("preset %1: %2 (run check for the member)")
                         .arg(quoted(name), QString::fromUtf8(error.what())));
        return nullptr;
    }
    return model;
}

} // namespace kesu::presets
