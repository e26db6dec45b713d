#pragma once

#include <QString>

#include "ibreader_export.h"

// Folder under the roaming application-data folder where the desktop sync software keeps one
// sub-folder per device backup.
inline constexpr const char* kBackupRootSuffix = "/Apple Computer/MobileSync/Backup";

// The current user's roaming application-data folder: the shell's CSIDL_APPDATA on Windows;
// elsewhere $APPDATA when set, else the user's data folder (~/.local/share). False when none
// can be determined; `folder` is then left unchanged.
IBREADER_EXPORT bool roamingAppDataFolder(QString* folder);

// Where this system keeps backups: roamingAppDataFolder() followed by kBackupRootSuffix (Windows,
// and elsewhere $APPDATA or the user's data folder); ~/Library/Application Support/MobileSync/Backup
// on macOS.
IBREADER_EXPORT bool defaultBackupRoot(QString* root);
