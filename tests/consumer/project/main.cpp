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
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <string>

// The README's snippet: a manager on the default places finds the installed shipped presets.
bool readme_snippet_loads_a_shipped_preset(const QString &home)
{
    qputenv("HOME", QFile::encodeName(home));
    korvel::application::impl::Manager manager;
    std::unique_ptr<korvel::transferfunction::Model> model(
        korvel::transferfunction::Model::create(true));
    model->load(std::string("CT Bone"));
    const bool loaded = model->get_description() == "CT Bone" && !model->get_points().empty();
    std::printf("consumer: \"CT Bone\" %s\n", loaded ? "loaded" : "missing");
    return loaded;
}

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
    return found && readme_snippet_loads_a_shipped_preset(dir.path()) ? 0 : 1;
}
