#pragma once

#include <QJsonObject>

class CiTunesBackup;

// The description `ibreader info` prints, as JSON and as text lines.
QJsonObject backupInfoJson(const CiTunesBackup& backup);
void printBackupInfo(const CiTunesBackup& backup, bool json);
