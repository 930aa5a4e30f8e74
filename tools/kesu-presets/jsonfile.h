#pragma once

// Presets files as the tool reads them whole, outside the store.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace kesu::presets {

// The document of JSON text whose top level is an object; false, with error set to one line
// ("invalid JSON at offset N: reason"), when it is not.
bool parse_json(const QByteArray &bytes, QJsonObject &object, QString &error);

// Reads a JSON file whose top level is an object; false, with error set to one line naming the
// file and the reason, when it cannot be read or parsed.
bool read_json(const QString &file, QJsonObject &object, QString &error);

} // namespace kesu::presets
