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
    QString only;
    const int at = args.indexOf(QStringLiteral("-class"));
    if (at > 0 && at + 1 < args.size()) {
        only = args.at(at + 1);
        args.erase(args.begin() + at, args.begin() + at + 2);
    }

    int failures = 0;
    for (const auto &[name, make] : kesu::test::registry()) {
        if (!only.isEmpty() && only != QLatin1String(name))
            continue;
        std::unique_ptr<QObject> test(make());
        failures += QTest::qExec(test.get(), args);
    }
    return failures == 0 ? 0 : 1;
}
