#include "CallTypeText.h"

#include <QCoreApplication>

QString callTypeText(int flags)
{
    const bool outgoing = flags & 0x1;
    const bool faceTime = flags & 0x10;
    if (outgoing)
        return QCoreApplication::translate("iTunesBackup", faceTime ? "Outgoing FaceTime" : "Outgoing Calls");
    return QCoreApplication::translate("iTunesBackup", faceTime ? "Incoming FaceTime" : "Incoming Calls");
}
