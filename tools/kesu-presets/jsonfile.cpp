#include "jsonfile.h"

#include "commandline.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace kesu::presets {

bool read_json(const QString &file, QJsonObject &object, QString &error, int &status)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(file, in.errorString());
        status = usage_error;
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(in.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("%1: not valid JSON at offset %2: %3")
                    .arg(file)
                    .arg(parse.offset)
                    .arg(parse.errorString());
        status = failure;
        return false;
    }
    if (!document.isObject()) {
        error = QStringLiteral("%1: the top level is not a JSON object").arg(file);
        status = failure;
        return false;
    }
    object = document.object();
    return true;
}

bool write_json(const QString &file, const QJsonObject &object)
{
    QFile out(file);
    const QByteArray bytes = QJsonDocument(object).toJson();
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

} // namespace kesu::presets
