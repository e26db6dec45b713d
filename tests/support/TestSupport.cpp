#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "utility/Log.h"

namespace testsupport {

LogCapture::LogCapture()
{
    ibrlog::setSink([this](const char* module, int level, const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({module, level, text});
    });
}

LogCapture::~LogCapture()
{
    ibrlog::setSink(nullptr);
}

std::vector<LogCapture::Line> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

int LogCapture::count(const std::string& module, const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const Line& l : m_lines)
        if (l.module == module && l.text == text)
            ++n;
    return n;
}

bool LogCapture::contains(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Line& l : m_lines)
        if (l.text.find(text) != std::string::npos)
            return true;
    return false;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

QMap<QString, QByteArray> snapshotFolder(const QString& folder)
{
    QMap<QString, QByteArray> out;
    QDir root(folder);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        QByteArray digest;
        if (f.open(QIODevice::ReadOnly)) {
            QCryptographicHash h(QCryptographicHash::Sha1);
            h.addData(&f);
            digest = h.result().toHex();
        }
        out.insert(root.relativeFilePath(path), digest + ":" + QByteArray::number(QFileInfo(path).lastModified().toMSecsSinceEpoch()));
    }
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

} // namespace testsupport
