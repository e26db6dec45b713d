#include "CallTypeText.h"

#include <QCoreApplication>

#include "contact/IBackupContact.h"

QString callTypeText(int flags)
{
    const bool outgoing = flags & CallOutgoing;
    if (flags & CallOtherApp) {
        if (const char* app = callAppName(flags))
            return outgoing ? QCoreApplication::translate("iTunesBackup", "Outgoing %1").arg(QLatin1String(app))
                            : QCoreApplication::translate("iTunesBackup", "Incoming %1").arg(QLatin1String(app));
        return QCoreApplication::translate("iTunesBackup", outgoing ? "Outgoing App Call" : "Incoming App Call");
    }
    static const char* const kTexts[2][4] = {
        {QT_TRANSLATE_NOOP("iTunesBackup", "Incoming Calls"), QT_TRANSLATE_NOOP("iTunesBackup", "Incoming FaceTime"),
         QT_TRANSLATE_NOOP("iTunesBackup", "Incoming FaceTime Audio"), QT_TRANSLATE_NOOP("iTunesBackup", "Incoming FaceTime Video")},
        {QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing Calls"), QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing FaceTime"),
         QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing FaceTime Audio"), QT_TRANSLATE_NOOP("iTunesBackup", "Outgoing FaceTime Video")},
    };
    const int kind = !(flags & CallFaceTime) ? 0 : (flags & CallFaceTimeAudio) ? 2 : (flags & CallFaceTimeVideo) ? 3 : 1;
    return QCoreApplication::translate("iTunesBackup", kTexts[outgoing ? 1 : 0][kind]);
}
