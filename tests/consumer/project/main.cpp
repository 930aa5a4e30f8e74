// A plug-in's view of the installed package: every public header, a manager and a handle.
#include <application/configuration.h>
#include <application/manager.h>
#include <kineticcurve/abstractactions.h>
#include <models/circleprobemodel.h>
#include <orvane/datasourcewrapper.h>
#include <transferfunction/model.h>
#include <video/dockplayer.h>
#include <video/dockscreencapture.h>

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString user = dir.filePath(QStringLiteral("presets.json"));
    const QString global = dir.filePath(QStringLiteral("3d_presets.json"));
    korvel::application::impl::Manager manager(user, global);

    korvel::application::preset("user/consumer/value").set(QJsonObject{{QStringLiteral("x"), 1}});
    const bool found = bool(korvel::application::preset("user/consumer/value"));

#ifndef QT_NO_CAST_FROM_ASCII
    // Without the strict defines a consumer keeps Qt's implicit conversions and keywords.
    QString text = "implicit";
    Q_UNUSED(text)
#endif
    std::printf("consumer: manager %s, handle %s\n", manager.instance() ? "live" : "missing",
                found ? "found" : "missing");
    return found ? 0 : 1;
}
