// Saves the store in a loop until it is killed: the child of the crash-safety test.
// Usage: kesu_saveloop USER_FILE GLOBAL_FILE
#include <application/configuration.h>
#include <application/manager.h>

#include "saveloop.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return 2;
    korvel::application::impl::Manager manager(args.at(1), args.at(2));
    for (int counter = 1;; ++counter) {
        korvel::application::preset("user/doc").set(kesu::test::saved_document(counter));
        manager.on_save();
    }
}
