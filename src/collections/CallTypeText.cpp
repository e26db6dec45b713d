#include "CallTypeText.h"

#include <QCoreApplication>

QString callTypeText(int flags)
{
    static const char* const kTexts[2][4] = {
        {QT_TRANSLATE_NOOP("iTunesBackup", "Incoming Calls"), QT_TRANSLATE_NOOP("iTunesBackup", "Incoming FaceTime"),
         QT_TRANSLATE_NOOP("iTunesBackup", "Incoming FaceTime Audio"), QT_TRANSLATE_NOOP("iTunesBackup", "Incoming FaceTime Video")},
        {QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing Calls"), QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing FaceTime"),
         QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing FaceTime Audio"), QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing FaceTime Video")},
    };
    const int kind = !(flags & 0x10) ? 0 : (flags & 0x20) ? 2 : (flags & 0x40) ? 3 : 1;
    return QCoreApplication::translate("iTunesBackup", kTexts[flags & 0x1][kind]);
}
