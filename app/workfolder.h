#pragma once

#include <QString>

namespace cli {

// A private working folder under the system's temporary folder for the copies a run scans.
// Removed when the object goes, which every way out of a command passes through (a stop signal
// only asks the work to stop; a second one removes the folders itself and ends the process);
// folders of runs that were killed outright are removed by the next run.
class WorkFolder
{
public:
    WorkFolder();
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    QString error() const { return m_error; }

private:
    QString m_path;
    QString m_error;
};

// Removes the working folders whose run is no longer alive; never one that holds `keep`.
void removeStaleWorkFolders(const QStringList& keep);

} // namespace cli
