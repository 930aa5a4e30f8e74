#include "jsonfile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace kesu::presets {

bool parse_json(const QByteArray &bytes, QJsonObject &object, QString &error)
{
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("invalid JSON at offset %1: %2")
                    .arg(parse.offset)
                    .arg(parse.errorString());
        return false;
    }
    if (!document.isObject()) {
        error = QStringLiteral("the top level is not a JSON object");
        return false;
    }
    object = document.object();
    return true;
}

bool read_json(const QString &file, QJsonObject &object, QString &error)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(file, in.errorString());
        return false;
    }
    if (parse_json(in.readAll(), object, error))
        return true;
    error = file + QStringLiteral(": ") + error;
    return false;
}

} // namespace kesu::presets
