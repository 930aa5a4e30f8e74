#pragma once

// Presets files as the tool reads and writes them whole, outside the store.

#include <QJsonObject>
#include <QString>

namespace kesu::presets {

// Reads a JSON file whose top level is an object; on failure returns false, sets error to one
// line and status to the exit status it calls for.
bool read_json(const QString &file, QJsonObject &object, QString &error, int &status);

// False when the file could not be written whole.
bool write_json(const QString &file, const QJsonObject &object);

} // namespace kesu::presets
