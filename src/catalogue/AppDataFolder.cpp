#include "AppDataFolder.h"

#include <QDir>
#include <QStandardPaths>

#ifdef _WIN32
#  include <windows.h>
#  include <shlobj.h>
#endif

bool roamingAppDataFolder(QString* folder)
{
#ifdef _WIN32
    enum { kPathUnits = 1024 };
    wchar_t buffer[kPathUnits] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_APPDATA, FALSE))
        return false;
    const QString path = QDir::fromNativeSeparators(QString::fromWCharArray(buffer));
#else
    QString path = qEnvironmentVariable("APPDATA");
    if (path.isEmpty())
        path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (path.isEmpty()) {
        const QString home = QDir::homePath();
        if (!home.isEmpty())
            path = home + QStringLiteral("/.local/share");
    }
#endif
    if (path.isEmpty())
        return false;
    if (folder)
        *folder = path;
    return true;
}

bool defaultBackupRoot(QString* root)
{
#if defined(Q_OS_MACOS)
    // The sync software of macOS keeps them in the user's own Library.
    if (root)
        *root = QDir::homePath() + QStringLiteral("/Library/Application Support/MobileSync/Backup");
    return true;
#endif
    QString appData;
    if (!roamingAppDataFolder(&appData))
        return false;
    if (root)
        *root = appData + QLatin1String(kBackupRootSuffix);
    return true;
}
