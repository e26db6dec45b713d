#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Captures every Log line while alive.
class LogCapture
{
public:
    struct Line {
        std::string module;
        int level;
        std::string text;
    };
    LogCapture();
    ~LogCapture();
    std::vector<Line> lines() const;
    // Lines of `module` whose text equals `text` exactly.
    int count(const std::string& module, const std::string& text) const;
    bool contains(const std::string& text) const; // any module, substring
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};

// SHA-1 of every file under `folder` by relative path, for proving a folder was not changed.
QMap<QString, QByteArray> snapshotFolder(const QString& folder);

// Writes bytes to a file, creating folders; false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);

} // namespace testsupport
