// The other processes of the store's multi-process tests.
// Usage: kesu_storechild USER_FILE GLOBAL_FILE MODE [ARGS]
//   loop                 saves "user/doc", a value without a writer's name, until killed
//   hold-lock            takes the user file's lock, prints "locked" and waits to be killed
//   write N PREFIX NAME  stores N values written by NAME at "user/PREFIX/<i>", saving after each
#include <application/configuration.h>
#include <application/manager.h>

#include "storechild.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using korvel::application::preset;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(3) == QLatin1String("hold-lock")) {
        const int lock = ::open(QFile::encodeName(args.at(1) + QStringLiteral(".lock")).constData(),
                                O_RDWR | O_CREAT, 0600);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0 || ::write(1, "locked\n", 7) != 7)
            return 1;
        return ::pause();
    }
    korvel::application::impl::Manager manager(args.value(1), args.value(2));
    for (int counter = 1; args.value(3) == QLatin1String("loop"); ++counter) {
        preset("user/doc").set(kesu::test::written_value(QString(), counter));
        manager.on_save();
    }
    for (int i = 0; i < args.at(4).toInt(); ++i) {
        const QString path = QStringLiteral("user/%1/%2").arg(args.at(5)).arg(i);
        preset(path.toStdString()).set(kesu::test::written_value(args.at(6), i));
        if (!manager.sync())
            return 1;
    }
    return 0;
}
