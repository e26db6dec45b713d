#include "workfolder.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "Log.h"
#include "SafeIo.h"

namespace cli {

namespace {

// The run's process id is part of the name, so a later run can tell whether its owner is gone.
const char kPrefix[] = "ibreader-work-";

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

WorkFolder::WorkFolder()
{
    const QByteArray pattern = QFile::encodeName(
        QDir(QDir::tempPath()).filePath(QStringLiteral("%1%2-XXXXXX").arg(QLatin1String(kPrefix)).arg(::getpid())));
    QByteArray buffer = pattern;
    if (::mkdtemp(buffer.data())) {
        m_path = QFile::decodeName(buffer);
        return;
    }
    m_error = QStringLiteral("cannot create a working folder in %1: %2")
                  .arg(QDir::tempPath(), QString::fromLocal8Bit(std::strerror(errno)));
}

WorkFolder::~WorkFolder()
{
    if (!m_path.isEmpty() && !QDir(m_path).removeRecursively())
        Log("ibreader", 0, "The working folder %s could not be removed", QFile::encodeName(m_path).constData());
}

void removeStaleWorkFolders(const QStringList& keep)
{
    static const QRegularExpression name(QStringLiteral("^%1(\\d+)-[A-Za-z0-9]{6}$").arg(QLatin1String(kPrefix)));
    const QDir temp(QDir::tempPath());
    const QStringList entries = temp.entryList({QLatin1String(kPrefix) + QLatin1Char('*')}, QDir::Dirs | QDir::NoSymLinks);
    for (const QString& entry : entries) {
        const QRegularExpressionMatch m = name.match(entry);
        if (!m.hasMatch() || processAlive(m.captured(1).toLongLong()))
            continue;
        const QString path = temp.filePath(entry);
        bool holdsEvidence = false;
        for (const QString& k : keep)
            holdsEvidence = holdsEvidence
                || ibrio::isSameOrInside(QFile::encodeName(k).toStdString(), QFile::encodeName(path).toStdString());
        if (holdsEvidence)
            continue;
        if (QDir(path).removeRecursively())
            Log("ibreader", 1, "Removed the working folder %s of an earlier run", QFile::encodeName(path).constData());
    }
}

} // namespace cli
