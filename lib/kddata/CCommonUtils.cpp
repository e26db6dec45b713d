#include "kddata/CCommonUtils.h"

#include "utility/SafeIo.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QTimeZone>

QDateTime CCommonUtils::buildDateTimeBase2001(qint64 s)
{
    static const QDateTime base(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return base.addSecs(s);
}

QDateTime CCommonUtils::buildDateTimeBaseUnix(qint64 s)
{
    return QDateTime::fromSecsSinceEpoch(s, Qt::UTC);
}

QString CCommonUtils::datetimeToMinute(const QDateTime& dt, bool withTime)
{
    if (!dt.isValid())
        return QString();
    const QDateTime utc = dt.toUTC();
    return utc.toString(withTime ? QStringLiteral("yyyy-MM-dd hh:mm") : QStringLiteral("yyyy-MM-dd"));
}

QString CCommonUtils::durationToString(int seconds, bool withHour)
{
    const bool negative = seconds < 0;
    qint64 s = negative ? -qint64(seconds) : seconds;
    const qint64 h = s / 3600;
    const qint64 m = (s % 3600) / 60;
    const qint64 sec = s % 60;
    QString out;
    if (withHour || h > 0)
        out = QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(sec, 2, 10, QLatin1Char('0'));
    else
        out = QStringLiteral("%1:%2").arg(m).arg(sec, 2, 10, QLatin1Char('0'));
    return negative ? QStringLiteral("-") + out : out;
}

QString CCommonUtils::sizeToString(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char* units[] = {"KB", "MB", "GB", "TB", "PB"};
    double v = double(bytes);
    int u = -1;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    return QStringLiteral("%1 %2").arg(v, 0, 'f', 1).arg(QLatin1String(units[u]));
}

bool CCommonUtils::copyFile(const QString& source, const QDir& target, const QString& name, QString* error)
{
    if (name.isEmpty() || !QFileInfo(source).isFile())
        return false;
    if (!target.exists() && !QDir().mkpath(target.absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(target.absolutePath());
        return false;
    }
    // Written beside the target and linked into place, so a full disk leaves no partial copy and
    // an existing file, or one that appears meanwhile, is never replaced.
    std::string why;
    if (ibrio::copyFile(QFile::encodeName(source).toStdString(),
                        QFile::encodeName(target.absoluteFilePath(name)).toStdString(), &why))
        return true;
    if (error)
        *error = QString::fromLocal8Bit(why.c_str());
    return false;
}

bool CCommonUtils::clearDir(const QString& path)
{
    if (path.isEmpty())
        return false;
    QDir dir(path);
    if (!dir.exists())
        return QDir().mkpath(path);
    bool ok = true;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& e : entries) {
        if (e.isDir() && !e.isSymLink())
            ok = QDir(e.absoluteFilePath()).removeRecursively() && ok;
        else
            ok = QFile::remove(e.absoluteFilePath()) && ok;
    }
    return ok;
}

bool CCommonUtils::pngCutShort(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    static const QByteArray kSignature("\x89PNG\r\n\x1A\n", 8);
    if (!file.seek(0) || file.read(kSignature.size()) != kSignature)
        return false;
    const qint64 size = file.size();
    qint64 pos = kSignature.size();
    while (pos + 12 <= size) {
        if (!file.seek(pos))
            return true;
        const QByteArray head = file.read(8);
        if (head.size() != 8)
            return true;
        const qint64 length = (qint64(quint8(head[0])) << 24) | (quint8(head[1]) << 16) | (quint8(head[2]) << 8) | quint8(head[3]);
        // Length, type, data and CRC.
        const qint64 end = pos + 12 + length;
        if (end > size)
            return true;
        if (head.mid(4) == "IEND")
            return false;
        pos = end;
    }
    return true;
}

bool CCommonUtils::imageSafeLoad(QImage& image, const QString& path)
{
    if (pngCutShort(path))
        return false;
    QImageReader reader(path);
    reader.setAutoTransform(false);
    // A hostile header can claim gigapixels; refuse before allocating.
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > 100LL * 1000 * 1000)
        return false;
    QImage loaded;
    if (!reader.read(&loaded))
        return false;
    image = loaded;
    return true;
}
