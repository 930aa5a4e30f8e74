#pragma once

// The library's store opened on the tool's files, the presets found in it, and the handling of
// the warnings the library issues meanwhile.

#include "commandline.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace korvel::application::impl {
class Manager;
}
namespace korvel::transferfunction {
class Model;
}

namespace kesu::presets {

// Routes the library's warnings to the innermost live WarningLog, or else to stderr with the
// current WarningContext.
void install_message_handler();

// Keeps the warnings issued while it lives instead of printing them.
class WarningLog
{
public:
    WarningLog();
    ~WarningLog();
    WarningLog(const WarningLog &) = delete;
    WarningLog &operator=(const WarningLog &) = delete;

    QStringList take();
    void add(const QString &text) { warnings.append(text); }

private:
    WarningLog *outer;
    QStringList warnings;
};

// Names what the warnings printed while it lives are about, e.g. preset "CT Bone".
class WarningContext
{
public:
    explicit WarningContext(const QString &what);
    ~WarningContext();
    WarningContext(const WarningContext &) = delete;
    WarningContext &operator=(const WarningContext &) = delete;

private:
    QString outer;
};

// True for an object with one of the members of a preset object.
bool is_preset_object(const QJsonObject &object);

// Preset objects by name under a "preset" folder. A name with "/" is stored as nested objects,
// since the library uses names unescaped as path segments.
QMap<QString, QJsonValue> collect_presets(const QJsonObject &folder);

// The object under "rendering/<kind>/preset" of a document: kind "dvr" holds the presets,
// "clut" the colour tables.
QJsonObject preset_folder(const QJsonObject &document, const char *kind);

// Reads a JSON file; on failure returns false and sets error to one line.
bool read_json(const QString &file, QJsonObject &object, QString &error, int &status);

struct PresetEntry
{
    QString name;
    bool user = false;
    bool shipped = false;
    // What loading the name reads: the user's copy first, then the shipped one.
    QJsonValue value;

    QString source() const;
};

// Where a preset loaded by name came from.
struct LoadedFrom
{
    QString path;
    bool fallback = false;
};

class Store
{
public:
    enum class Access {
        // Works on a temporary copy of the user's file, which stays byte for byte as it was:
        // loading a preset by name records it as the last preset.
        read,
        // Works on the user's file itself, written when the store is closed.
        write,
    };

    // Null after an error, which is reported, with its exit status in status.
    static std::unique_ptr<Store> open(const Files &files, Access access, int &status);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Every preset of both files, by name.
    std::vector<PresetEntry> presets() const;
    // The path load(name) will read.
    LoadedFrom locate(const QString &name) const;
    // The model after load(name), or null after reporting a preset the library refuses. A
    // fallback is reported as a warning.
    std::unique_ptr<korvel::transferfunction::Model> load(const QString &name,
                                                          LoadedFrom *from = nullptr) const;

    // Writes the pending changes to the user file now; false, with the reason among the
    // warnings, when the file does not hold them.
    bool sync(QStringList &warnings);
    // Destroys the manager, which writes a pending save, and returns the warnings of that.
    QStringList close();

private:
    Store() = default;

    QTemporaryDir temporary;
    std::unique_ptr<korvel::application::impl::Manager> manager;
};

} // namespace kesu::presets
