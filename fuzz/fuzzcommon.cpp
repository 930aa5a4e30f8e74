#include "fuzzcommon.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace kesu::fuzz {

namespace {

void drop_messages(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

void prepare()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        new QCoreApplication(argc, argv);
        qInstallMessageHandler(drop_messages);
    }
}

void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

} // namespace kesu::fuzz
