// Camera-roll pictures described from the photo library of each layout (ZGENERICASSET of iOS
// 9-13, ZASSET from iOS 14): when taken, where, and "Recently Deleted" marked deleted.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "CMediaCollections.h"
#include "CollectionSample.h"
#include "ibr/schemas.h"
#include "kddata/KdBackup.h"

namespace {

// Core Data's trigger helper, which the device's own SQLite provides.
void noop(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_null(context); }

QStringList pictures(int ios)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w = collsample::phone(dir.filePath(QStringLiteral("backup")), ios >= 10);
    for (const char* name : {"IMG_0001.JPG", "IMG_0002.HEIC", "IMG_0003.JPG", "IMG_0004.MOV"})
        w.addFile(QStringLiteral("CameraRollDomain"), QStringLiteral("Media/DCIM/100APPLE/") + QLatin1String(name), "bytes");
    EXPECT_FALSE(w.addDatabase(QStringLiteral("CameraRollDomain"), QStringLiteral("Media/PhotoData/Photos.sqlite"), [ios](sqlite3* db) {
        sqlite3_create_function_v2(db, "NSCoreDataTriggerUpdateAffectedObjectValue", -1, SQLITE_UTF8, nullptr, &noop, nullptr, nullptr, nullptr);
        QStringList sql = ibr::iosSchemaStatements(qMin(ios, 11), QStringLiteral("Photos.sqlite"));
        // folder, name, created, trashed, latitude, longitude; columns the layout lacks are left out.
        const char* const rows[][6] = {{"'DCIM/100APPLE'", "'IMG_0001.JPG'", "500000000.7", "0", "48.858370", "2.294481"},
                                       {"'DCIM/100APPLE'", "'IMG_0002.HEIC'", "500000100", "1", "-180", "-180"},
                                       {"'DCIM/100APPLE'", "'IMG_0003.JPG'", "NULL", "0", "NULL", "NULL"},
                                       {"'DCIM/101APPLE'", "'IMG_0004.MOV'", "1", "0", "0", "0"}};
        const int columns = ios >= 10 ? 6 : ios >= 9 ? 4 : 3;
        const QStringList names = QStringList{"ZDIRECTORY", "ZFILENAME", "ZDATECREATED", "ZTRASHEDSTATE", "ZLATITUDE", "ZLONGITUDE"}.mid(0, columns);
        for (const auto& row : rows) {
            QStringList values;
            for (int c = 0; c < columns; ++c)
                values << QLatin1String(row[c]);
            sql << QStringLiteral("INSERT INTO ZGENERICASSET (%1) VALUES (%2)").arg(names.join(QLatin1Char(',')), values.join(QLatin1Char(',')));
        }
        if (ios >= 14)
            sql << QStringLiteral("ALTER TABLE ZGENERICASSET RENAME TO ZASSET");
        return collsample::execAll(db, sql);
    }).isEmpty());
    EXPECT_TRUE(w.write());
    KdBackup model;
    return collsample::rows(collsample::collect<CPhotoCollection>(model.getCamareRoll(), w.folder()), [](const KdAbstractItem* item) {
        return QStringList{item->value(0), item->value(3), item->sortValue(3).toDateTime().toString(Qt::ISODate), item->value(4),
                           item->isDeleted() ? QStringLiteral("deleted") : QString()};
    });
}

} // namespace

TEST(PhotoLibrary, TakenLocatedAndRecentlyDeleted)
{
    for (int ios : {8, 9, 11, 14}) {
        SCOPED_TRACE(ios);
        const QString place = ios >= 10 ? QStringLiteral("48.858370, 2.294481") : QString();
        EXPECT_EQ(pictures(ios), (QStringList{
                                     "IMG_0001.JPG|2016-11-05 00:53|2016-11-05T00:53:20Z|" + place + "|",
                                     // Moved to "Recently Deleted"; no location recorded.
                                     QStringLiteral("IMG_0002.HEIC|2016-11-05 00:55|2016-11-05T00:55:00Z||") + (ios >= 9 ? "deleted" : ""),
                                     "IMG_0003.JPG||||",
                                     // The library names another folder: not this file.
                                     "IMG_0004.MOV||||",
                                 }));
    }
}
