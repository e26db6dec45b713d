#pragma once

#include <QDateTime>
#include <QDir>
#include <QString>

#include "kddata/KdDataGlobal.h"

class QImage;

// Static helpers shared by every reader. All dates are UTC.
class KDDATA_API CCommonUtils
{
public:
    // s seconds after 2001-01-01 00:00 UTC / after 1970-01-01 00:00 UTC.
    static QDateTime buildDateTimeBase2001(qint64 s);
    static QDateTime buildDateTimeBaseUnix(qint64 s);

    // "yyyy-MM-dd hh:mm" (UTC) with time, "yyyy-MM-dd" without; empty for an invalid date.
    static QString datetimeToMinute(const QDateTime& dt, bool withTime);
    // "h:mm:ss" when withHour (or the duration reaches an hour), else "m:ss".
    static QString durationToString(int seconds, bool withHour);
    // "512 B", "1.5 KB", "2.0 MB", ... (1024-based).
    static QString sizeToString(qint64 bytes);

    // Copies source (a regular file) into target/name. Never overwrites: fails when target/name
    // exists. Creates the target folder when needed. *error says why a copy failed.
    static bool copyFile(const QString& source, const QDir& target, const QString& name, QString* error = nullptr);
    // Removes everything inside path (the folder itself stays; created when missing).
    static bool clearDir(const QString& path);
    // Loads an image without letting a damaged file abort the process; false when unreadable.
    static bool imageSafeLoad(QImage& image, const QString& path);
    // Whether a file in PNG's format ends before its chunks reach IEND. libpng reports such a file
    // on stderr itself, whatever message handler the application has: imageSafeLoad refuses it.
    static bool pngCutShort(const QString& path);
};
