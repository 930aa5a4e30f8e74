// The other processes of the store's multi-process tests.
// Usage: kesu_storechild USER_FILE GLOBAL_FILE MODE [ARGS]
//   loop               saves "user/doc" in a loop until killed
//   write N PREFIX NAME  stores N values written by NAME at "user/PREFIX/<i>", saving after each
//   hold-lock          takes the user file's lock, prints "locked" and waits to be killed
#include <application/configuration.h>
#include <application/manager.h>

#include "storechild.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>

using korvel::application::preset;
using korvel::application::impl::Manager;

namespace {

int save_in_a_loop(Manager &manager)
{
    for (int counter = 1;; ++counter) {
        preset("user/doc").set(kesu::test::saved_document(counter));
        manager.on_save();
    }
}

int write_values(Manager &manager, int count, const QString &prefix, const QString &name)
{
    for (int i = 0; i < count; ++i) {
        const std::string path = QStringLiteral("user/%1/%2").arg(prefix).arg(i).toStdString();
        preset(path).set(kesu::test::written_value(name, i));
        if (!manager.sync())
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4)
        return 2;
    const QString mode = args.at(3);
    if (mode == QLatin1String("hold-lock")) {
        const int lock = ::open(QFile::encodeName(args.at(1) + QStringLiteral(".lock")).constData(),
                                O_RDWR | O_CREAT, 0600);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
            return 1;
        std::puts("locked");
        std::fflush(stdout);
        QThread::sleep(3600);
        return 0;
    }
    Manager manager(args.at(1), args.at(2));
    if (mode == QLatin1String("loop"))
        return save_in_a_loop(manager);
    if (mode == QLatin1String("write") && args.size() == 7)
        return write_values(manager, args.at(4).toInt(), args.at(5), args.at(6));
    return 2;
}
