// Writes a backup of the size a full extraction is measured on: 100,000 messages, 10,000
// contacts, 50,000 calls, 5,000 events, 5,000 notes, 2,000 pictures (and the deleted rows the
// generators leave). Usage: make_large_backup FOLDER [IOS_MAJOR] (8 unless given; 10 on writes
// the Manifest.db index with data files in sub-folders).
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <sqlite3.h>

#include "BulkMessages.h"
#include "SampleBackup.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_large_backup FOLDER [IOS_MAJOR]\n");
        return 2;
    }
    sample::DemoOptions o;
    if (argc == 3)
        o.iosMajor = std::clamp(std::atoi(argv[2]), 5, 18);
    // The database generators write 24 rows per unit and delete one in four; messages come
    // from the bulk writer instead (the generator's per-row deletes do not scale).
    o.categoryScale = {{QStringLiteral("messages"), 0},   {QStringLiteral("contacts"), 585}, {QStringLiteral("calls"), 2800},
                       {QStringLiteral("calendar"), 360}, {QStringLiteral("notes"), 280},      {QStringLiteral("safari"), 100},
                       {QStringLiteral("media"), 670}};
    o.extra = [](sample::SampleBackupWriter& w) {
        sample::BulkMessages bulk;
        bulk.messages = 100000;
        bulk.chats = 2000;
        const bool ok = !w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
                                       [&](sqlite3* db) { return sample::writeBulkMessages(db, bulk); }).isEmpty();
        for (const QString& path : bulk.attachmentPaths)
            w.addFile(QStringLiteral("MediaDomain"), path, QByteArray(2048, 'j'));
        return ok;
    };
    QString error;
    if (!sample::writeDemoBackup(QString::fromLocal8Bit(argv[1]), o, &error)) {
        std::fprintf(stderr, "%s\n", error.toUtf8().constData());
        return 1;
    }
    return 0;
}
