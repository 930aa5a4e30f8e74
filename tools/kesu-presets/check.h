#pragma once

// Checking presets files: every member the library reads, each finding tied to its preset or
// colour table and member. A problem is what the library cannot load or render as the preset
// intends; a warning is what loads but will surprise.

#include <transferfunction/presetschema.h>

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace kesu::presets {

struct Finding
{
    enum class Severity { problem, warning };
    enum class Subject { file, preset, table };

    Severity severity = Severity::problem;
    Subject subject = Subject::file;
    // The preset's or the table's name.
    QString name;
    // The member, e.g. "ambient" or "background/color"; empty for the object as a whole.
    QString member;
    // The library's warning text, or a short one of the tool's own.
    QString text;
    QString detail;

    // 'preset "CT Bone": "ambient": range violation (5 is outside 0..4)', warnings marked so.
    QString line() const;
    // The line without the preset or table and the mark: '"ambient": range violation (...)'.
    QString what() const;
    bool is_problem() const { return severity == Severity::problem; }
};

// A problem the library reports about a preset or a table, with what the tool adds to its text.
Finding finding(Finding::Subject subject, const QString &name,
                const korvel::transferfunction::schema::Problem &problem);

// The stored colour table of a name, or an empty object when there is none.
using TableLookup = std::function<QJsonObject(const QString &name)>;

// The rules for the name a preset or table is stored under.
std::vector<Finding> check_name(Finding::Subject subject, const QString &name);
// One preset; the colour table it is generated from is looked up in tables.
std::vector<Finding> check_preset(const QString &name, const QJsonValue &value,
                                  const TableLookup &tables);
// One stored colour table: three channels of 256 whole numbers from 0 to 255.
std::vector<Finding> check_table(const QString &name, const QJsonValue &value);
// Names that differ only in letter case, which a user cannot tell apart in a list.
std::vector<Finding> check_names(const QStringList &names);
// Every preset and colour table of a presets file; the tables its presets name are looked up in
// the file first, then in outside.
std::vector<Finding> check_document(const QJsonObject &document, const TableLookup &outside);

// The colour tables of a presets file, then those of outside.
TableLookup tables_of(const QJsonObject &document, const TableLookup &outside = {});

int count_problems(const std::vector<Finding> &findings);

} // namespace kesu::presets
