// kesu-presets: the viewer's transfer-function presets from the command line.

#include "commandline.h"
#include "warnings.h"

#include <QGuiApplication>

#include <exception>
#include <memory>

int main(int argc, char **argv)
{
    // Pictures are drawn without a display; a desktop session keeps its own platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    kesu::presets::install_message_handler();
    // Qt's start-up notes about the session (no runtime folder and the like) are not the user's
    // concern here.
    auto start_up = std::make_unique<kesu::presets::WarningLog>();
    QGuiApplication application(argc, argv);
    start_up.reset();
    QGuiApplication::setApplicationName(QStringLiteral("kesu-presets"));
    QGuiApplication::setApplicationVersion(QStringLiteral(KESU_PRESETS_VERSION));
    int status = kesu::presets::failure;
    try {
        status = kesu::presets::run(QGuiApplication::arguments());
    } catch (const std::exception &error) {
        status =
            kesu::presets::report_error(kesu::presets::failure, QString::fromUtf8(error.what()));
    }
    return kesu::presets::finish_output(status);
}
