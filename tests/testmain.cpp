#include "testing.h"

#include <QApplication>

#include <memory>

namespace kesu::test {

std::vector<std::pair<const char *, std::function<QObject *()>>> &registry()
{
    static std::vector<std::pair<const char *, std::function<QObject *()>>> classes;
    return classes;
}

bool add(const char *name, std::function<QObject *()> make)
{
    registry().emplace_back(name, std::move(make));
    return true;
}

} // namespace kesu::test

// Runs every registered test class; "-class Name" runs one of them, other arguments go to QTest.
int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QStringList args = app.arguments();
    const int at = args.indexOf(QStringLiteral("-class"));
    const QString only = at > 0 && at + 1 < args.size() ? args.takeAt(at + 1) : QString();
    if (!only.isEmpty())
        args.removeAt(at);

    int failures = 0;
    for (const auto &[name, make] : kesu::test::registry()) {
        if (!only.isEmpty() && only != QLatin1String(name))
            continue;
        std::unique_ptr<QObject> test(make());
        failures += QTest::qExec(test.get(), args);
    }
    return failures == 0 ? 0 : 1;
}
