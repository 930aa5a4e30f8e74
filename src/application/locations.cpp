#include "application/locations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>
#include <pwd.h>
#include <unistd.h>

namespace korvel::application::impl {

namespace {

QString home_folder()
{
    QString home = QDir::homePath();
    if (qEnvironmentVariableIsEmpty("HOME")) {
        const passwd *entry = getpwuid(getuid());
        home = entry && entry->pw_dir ? QFile::decodeName(entry->pw_dir) : QString();
    }
    home = QDir::cleanPath(home);
    // A folder is never made directly under "/".
    return home == QDir::rootPath() ? QString() : home;
}

// The installed shipped file, found from the library's own place so that an installation can
// be moved as a whole.
QString installed_global_file()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&default_global_file), &info) == 0 || !info.dli_fname)
        return QString();
    const QDir library = QFileInfo(QFile::decodeName(info.dli_fname)).absoluteDir();
    return QDir::cleanPath(library.filePath(QStringLiteral(KESU_DATA_FROM_LIBRARY)
                                            + QStringLiteral("/3d_presets.json")));
}

} // namespace

QString default_user_file()
{
    const QString home = home_folder();
    if (home.isEmpty())
        return QString();
    return home + QDir::separator() + QStringLiteral(".kesu") + QDir::separator()
        + QStringLiteral("presets.json");
}

QString default_global_file()
{
    QDir dir(QCoreApplication::applicationDirPath());
    // Without "../Resources" the directory stays at the executable's folder.
    dir.cd(QStringLiteral("../Resources"));
    const QString beside = dir.absolutePath() + QStringLiteral("/3d_presets.json");
    const QString in_folder = QDir(QCoreApplication::applicationDirPath())
                                  .absoluteFilePath(QStringLiteral("3d_presets.json"));
    for (const QString &candidate : {beside, in_folder, installed_global_file()})
        if (!candidate.isEmpty() && QFileInfo::exists(candidate))
            return candidate;
    return beside;
}

} // namespace korvel::application::impl
