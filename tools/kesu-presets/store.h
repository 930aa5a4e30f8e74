#pragma once

// The library's store opened on the tool's files, the presets found in it, and presets read into
// a model as the viewer reads them.

#include "check.h"
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
namespace point {
struct Point;
}
} // namespace korvel::transferfunction

namespace kesu::presets {

struct PresetEntry
{
    QString name;
    bool user = false;
    bool shipped = false;
    // What loading the name reads: the user's copy first, then the shipped one.
    QJsonValue value;

    QString source() const;
    // The group the preset is in, as the library reads it.
    QString group() const;
};

struct TableEntry
{
    QString name;
    bool built_in = false;
    bool user = false;
    bool shipped = false;
    // What the library reads for the name: the user's table first, then the shipped one.
    QJsonValue value;

    QString source() const;
};

// Which presets a command works on: all, or those of one group, or those whose name contains a
// text; both compared without letter case.
struct Selection
{
    QString group;
    QString match;

    static Selection of(const QCommandLineParser &parser);
    static void add_options(QCommandLineParser &parser);
    std::vector<PresetEntry> from(std::vector<PresetEntry> entries) const;
};

// A preset object read into a model as the viewer reads it.
struct Reading
{
    // Null when the library cannot load the preset at all.
    std::unique_ptr<korvel::transferfunction::Model> model;
    // What the library reports about it, with the member each concerns.
    std::vector<Finding> findings;
    // The library loads it and generates its points as the preset intends; a missing member
    // alone leaves it usable.
    bool usable = false;
};

// What loading a name reads, and from where.
struct Found
{
    QJsonValue value;
    // The store path; empty when not even the standard preset exists.
    QString path;
    // The standard preset stands in for the name.
    bool fallback = false;
};

class Store
{
public:
    enum class Access {
        // Works on a temporary copy of the user's file, which stays byte for byte as it was.
        read,
        // Works on the user's file itself.
        write,
    };

    // Null after an error, which is reported, with its exit status in status.
    static std::unique_ptr<Store> open(const Files &files, Access access, int &status);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Every preset of both files, by name.
    std::vector<PresetEntry> presets() const;
    // Every colour table, built in and stored, by name.
    std::vector<TableEntry> tables() const;
    // The colours of a table as the library generates points from it: 256 of them, or none when
    // the table cannot be used.
    std::vector<korvel::transferfunction::point::Point> table_colours(const QString &name) const;
    // What loading name reads: the user's copy, the shipped preset, or "Standard" in its stead.
    Found find(const QString &name) const;
    // The preset read into a model; the colour table it names is read from the store.
    Reading read(const QString &name, const QJsonValue &value) const;

    // Writes the pending changes to the user file now; false, with the reason among the
    // warnings, when the file does not hold them.
    bool sync(QStringList &warnings);
    // Destroys the manager and returns the warnings of that.
    QStringList close();

private:
    Store() = default;

    QTemporaryDir temporary;
    std::unique_ptr<korvel::application::impl::Manager> manager;
};

// The stored colour tables as the library looks them up, while a store is open.
TableLookup stored_tables();

// Reports the findings of a reading on stderr: warnings as such, problems as errors when the
// preset is not usable.
void report_findings(const Reading &reading);

} // namespace kesu::presets
