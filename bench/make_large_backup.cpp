// Writes a backup of the size a full extraction is measured on: 100,000 messages, 10,000
// contacts, 50,000 calls, 5,000 events, 5,000 notes, 2,000 pictures (and the deleted rows the
// generators leave). Usage: make_large_backup FOLDER [IOS_MAJOR] (8 unless given; 10 on writes
// the Manifest.db index with data files in sub-folders).
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <sqlite3.h>

#include "BulkMessages.h"
#include "SampleBackup.h"
#include "demo_newer.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // An option such as --help is not a folder to fill.
    if ((argc != 2 && argc != 3) || argv[1][0] == '-') {
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
    o.extra = [&o](sample::SampleBackupWriter& w) {
        sample::BulkMessages bulk;
        bulk.messages = 100000;
        // IBR_LARGE_CHATS=1 puts every message in one conversation (the report's worst case).
        bulk.chats = qEnvironmentVariableIsSet("IBR_LARGE_CHATS") ? std::max(1, qEnvironmentVariableIntValue("IBR_LARGE_CHATS")) : 2000;
        QTemporaryDir tmp;
        const QString path = tmp.filePath(QStringLiteral("sms.db"));
        {
            sqlite3* raw = nullptr;
            sqlite3_open(QFile::encodeName(path).constData(), &raw);
            const bool written = sample::writeBulkMessages(raw, bulk);
            sqlite3_close(raw);
            if (!written)
                return false;
        }
        // Newer systems: nanosecond dates, texts only in attributedBody, reactions.
        if (o.iosMajor >= 11 && !sample::upgradeMessages(path, o.iosMajor))
            return false;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), f.readAll());
        for (const QString& attachment : bulk.attachmentPaths)
            w.addFile(QStringLiteral("MediaDomain"), attachment, QByteArray(2048, 'j'));
        return true;
    };
    QString error;
    if (!sample::writeDemoBackup(QString::fromLocal8Bit(argv[1]), o, &error)) {
        std::fprintf(stderr, "%s\n", error.toUtf8().constData());
        return 1;
    }
    return 0;
}
