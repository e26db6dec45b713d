// Prints, for every backup in a folder of backups, the device's name, model and iOS version and
// how many contacts and conversations it holds.
#include <cstdio>

#include "CiTunesBackup.h"
#include "CiTunesBackupManager.h"
#include "kddata/KdBackup.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: backup_summary FOLDER-OF-BACKUPS\n");
        return 2;
    }
    CiTunesBackupManager* manager = CiTunesBackupManager::getInstance();
    manager->searchBackups(QString::fromLocal8Bit(argv[1]));
    for (unsigned i = 0; i < manager->numberOfBackups(); ++i) {
        const CiTunesBackup* backup = manager->backupByIndex(i);
        KdBackup model;
        backup->collectDatas(&model, nullptr);
        std::printf("%s\t%s\tiOS %s\t%d contacts\t%d conversations\n", qPrintable(backup->deviceName()),
                    qPrintable(backup->modelName()), qPrintable(backup->productVersion()), model.getContact()->count(),
                    model.getMessage()->count());
    }
    CiTunesBackupManager::releaseInstance();
    return 0;
}
