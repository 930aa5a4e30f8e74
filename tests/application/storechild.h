#pragma once

#include <QJsonObject>

namespace kesu::test {

// The i-th value that the writer process name stores. Those of the save loop, which has no name,
// vary in size, so that a kill finds files of many lengths.
inline QJsonObject written_value(const QString &name, int i)
{
    const QString payload(name.isEmpty() ? (i * 7919) % 200000 : 0, QLatin1Char('a' + i % 26));
    return {{QStringLiteral("writer"), name},
            {QStringLiteral("i"), i},
            {QStringLiteral("payload"), payload}};
}

} // namespace kesu::test
