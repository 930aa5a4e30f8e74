// kesu-presets: the viewer's transfer-function presets from the command line.

#include "commandline.h"
#include "store.h"

#include <QGuiApplication>

#include <cstdio>
#include <exception>

int main(int argc, char **argv)
{
    // Pictures are drawn without a display; a desktop session keeps its own platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's start-up notes about the session (no runtime folder and the like) are not the user's
    // concern here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtFatalMsg || type == QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qUtf8Printable(text));
    });
    QGuiApplication application(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("kesu-presets"));
    QGuiApplication::setApplicationVersion(QStringLiteral(KESU_PRESETS_VERSION));
    kesu::presets::install_message_handler();
    try {
        return kesu::presets::run(QGuiApplication::arguments());
    } catch (const std::exception &error) {
        return kesu::presets::report_error(kesu::presets::failure, QString::fromUtf8(error.what()));
    }
}
