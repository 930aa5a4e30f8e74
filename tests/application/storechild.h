#pragma once

#include <QJsonObject>
#include <QString>

namespace kesu::test {

// The document that the save loop stores at "user/doc" in its round counter; sizes vary so that
// a kill finds files of many lengths.
inline QJsonObject saved_document(int counter)
{
    const int length = (counter * 7919) % 200000;
    return QJsonObject{
        {QStringLiteral("counter"), counter},
        {QStringLiteral("payload"), QString(length, QLatin1Char('a' + counter % 26))}};
}

// The i-th value that the writer process name stores.
inline QJsonObject written_value(const QString &name, int i)
{
    return QJsonObject{{QStringLiteral("writer"), name}, {QStringLiteral("i"), i}};
}

} // namespace kesu::test
