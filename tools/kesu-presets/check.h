#pragma once

// Checking a presets file: every preset and colour table read as the library reads them, each
// problem tied to its preset or table and member.

#include <QJsonObject>
#include <QString>

#include <vector>

namespace kesu::presets {

struct Problem
{
    // preset "CT Bone" or colour table "Grey".
    QString where;
    // The member, e.g. "ambient" or "background/color"; empty for the object as a whole.
    QString member;
    // The library's warning text, or a short one of the tool's own.
    QString text;
    QString detail;

    QString line() const;
};

// The presets and colour tables of document, read by the library. Colour tables are looked up
// in colour_tables when it is given (and those are not checked themselves), else in document.
// Must be called while no other manager exists.
std::vector<Problem> check_presets_file(const QJsonObject &document,
                                        const QJsonObject *colour_tables = nullptr);

} // namespace kesu::presets
