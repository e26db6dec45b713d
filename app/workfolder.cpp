#include "workfolder.h"

#include "cli.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace cli {

namespace {

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

WorkFolder::WorkFolder()
{
    std::string why;
    m_path = QFile::decodeName(ibrio::createWorkFolder(&why).c_str());
    if (m_path.isEmpty())
        m_error = QString::fromLocal8Bit(why.c_str());
}

WorkFolder::~WorkFolder()
{
    if (!m_path.isEmpty() && !QDir(m_path).removeRecursively())
        Log("ibreader", 0, "The working folder %s could not be removed", QFile::encodeName(m_path).constData());
    if (!m_path.isEmpty())
        ibrio::forgetWorkFolder(QFile::encodeName(m_path).toStdString());
}

void removeStaleWorkFolders(const QStringList& keep)
{
    const QString prefix = QLatin1String(ibrio::workFolderPrefix());
    static const QRegularExpression name(QStringLiteral("^%1(\\d+)-[A-Za-z0-9]{6}$").arg(prefix));
    const QDir temp(QDir::tempPath());
    const QStringList entries = temp.entryList({prefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoSymLinks);
    for (const QString& entry : entries) {
        const QRegularExpressionMatch m = name.match(entry);
        if (!m.hasMatch() || processAlive(m.captured(1).toLongLong()))
            continue;
        const QString path = temp.filePath(entry);
        bool holdsEvidence = false;
        for (const QString& k : keep)
            holdsEvidence = holdsEvidence || isInside(k, path);
        if (holdsEvidence)
            continue;
        if (QDir(path).removeRecursively())
            Log("ibreader", 1, "Removed the working folder %s of an earlier run", QFile::encodeName(path).constData());
    }
}

} // namespace cli
