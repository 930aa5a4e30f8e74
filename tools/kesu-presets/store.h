#pragma once

// The library's store opened on the tool's files, and the presets found in it.

#include "commandline.h"

#include <QJsonValue>
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
    // Empty when not even the standard preset exists.
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
