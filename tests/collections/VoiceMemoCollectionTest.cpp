// Voice memos: the recordings the database lists, found by file name, with their durations
// and sizes; the cloud database of either place, named by title.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

#include "CVoiceMemoCollection.h"
#include "CollectionSample.h"
#include "ibr/schemas.h"
#include "kddata/KdBackup.h"
#include "kddata/KdItems.h"

using collsample::collect;

// Recordings are found by file name whatever folder the database stores; durations are whole
// seconds; sizes sort by bytes, not by their text.
TEST(VoiceMemoCollection, RecordingsFoundByNameWithTruncatedDurationsAndByteSizes)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w = collsample::phone(dir.filePath(QStringLiteral("backup")));
    const QString media = QStringLiteral("MediaDomain");
    ASSERT_FALSE(w.addDatabase(media, QStringLiteral("Media/Recordings/Recordings.db"), [](sqlite3* db) {
        return collsample::execAll(db, ibr::iosSchemaStatements(8, QStringLiteral("Recordings.db"))
                                           << "INSERT INTO ZRECORDING (Z_PK, ZDURATION, ZPATH) VALUES (1, 75.9, "
                                              "'/var/mobile/Media/Recordings/a.m4a'), (2, 4, '/private/var/mobile/Elsewhere/b.m4a'), "
                                              "(3, 9, '/var/mobile/Media/Recordings/gone.m4a'), (4, 1, NULL)");
    }).isEmpty());
    const QString a = w.addFile(media, QStringLiteral("Media/Recordings/a.m4a"), QByteArray(2048, 'a'));
    w.addFile(media, QStringLiteral("Media/Recordings/b.m4a"), QByteArray(900, 'b'));
    ASSERT_TRUE(w.write());

    KdBackup model;
    KdData* memos = collect<CVoiceMemoCollection>(model.getVoiceMemo(), w.folder());
    ASSERT_EQ(memos->count(), 2);
    const auto* first = dynamic_cast<const KdVoiceMemoItem*>(memos->at(0, false));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->value(0), QStringLiteral("a.m4a"));
    EXPECT_EQ(first->filePath(), a);
    EXPECT_EQ(first->size(), 2048u);
    EXPECT_EQ(first->sortValue(1).toLongLong(), 2048);
    EXPECT_EQ(first->value(2), QStringLiteral("1:15"));
    EXPECT_EQ(first->sortValue(2).toInt(), 75);
    EXPECT_EQ(first->modifiedTime(), 1400000000);
    EXPECT_EQ(memos->at(1, false)->value(0), QStringLiteral("b.m4a")); // stored elsewhere, found by name
    // 900 B sorts below 2.0 KB although its text sorts above.
    EXPECT_LT(memos->at(1, false)->sortValue(1).toLongLong(), first->sortValue(1).toLongLong());
}

TEST(VoiceMemoCollection, NoDatabaseMeansNoItemsAndOneLine)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w = collsample::phone(dir.filePath(QStringLiteral("backup")));
    w.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Media/Recordings/a.m4a"), QByteArray("x"));
    ASSERT_TRUE(w.write());
    KdBackup model;
    QStringList lines;
    EXPECT_EQ(collect<CVoiceMemoCollection>(model.getVoiceMemo(), w.folder(), nullptr, &lines)->count(), 0);
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^Not exists: "))).size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
}

// CloudRecordings.db of iOS 12-13 (Media/Recordings/) and of iOS 14 on (the app group, titles in
// ZENCRYPTEDTITLE): recordings in date order, named by their title, found beside the database.
TEST(VoiceMemoCollection, CloudRecordingsOfEitherPlaceNamedByTitle)
{
    const struct {
        const char* domain;
        const char* folder;
        bool encryptedTitle;
    } cases[] = {{"MediaDomain", "Media/Recordings/", false},
                 {"AppDomainGroup-group.com.apple.VoiceMemos.shared", "Recordings/", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.domain);
        QTemporaryDir dir;
        sample::SampleBackupWriter w = collsample::phone(dir.filePath(QStringLiteral("backup")), true);
        const QString domain = QLatin1String(c.domain), folder = QLatin1String(c.folder);
        ASSERT_FALSE(w.addDatabase(domain, folder + QStringLiteral("CloudRecordings.db"), [&](sqlite3* db) {
            const QString sql = QStringLiteral(
                "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZDATE TIMESTAMP, "
                "ZDURATION FLOAT, ZCUSTOMLABEL VARCHAR, ZPATH VARCHAR, ZUNIQUEID VARCHAR%1);"
                "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZDURATION, ZCUSTOMLABEL, ZPATH%2) VALUES "
                "(1, 600000200, 12.5, 'Label two', '20200106 110320-B.m4a'%3), (2, 600000100, 61, 'Label one', '20200106 110140-A.m4a'%4), "
                "(3, 600000300, 3, NULL, '20200106 110500-C.m4a'%5)")
                .arg(c.encryptedTitle ? ", ZENCRYPTEDTITLE VARCHAR" : "", c.encryptedTitle ? ", ZENCRYPTEDTITLE" : "",
                     c.encryptedTitle ? ", ''" : "", c.encryptedTitle ? ", 'Lecture'" : "", c.encryptedTitle ? ", NULL" : "");
            return collsample::exec(db, sql);
        }).isEmpty());
        for (const char* name : {"20200106 110140-A.m4a", "20200106 110320-B.m4a", "20200106 110500-C.m4a"})
            w.addFile(domain, folder + QLatin1String(name), QByteArray(100, 'x'));
        ASSERT_TRUE(w.write());
        KdBackup model;
        EXPECT_EQ(collsample::rows(collect<CVoiceMemoCollection>(model.getVoiceMemo(), w.folder()),
                                   [](const KdAbstractItem* m) { return QStringList{m->value(0), m->value(2)}; }),
                  (QStringList{c.encryptedTitle ? "Lecture|1:01" : "Label one|1:01", "Label two|0:12", "20200106 110500-C.m4a|0:03"}));
    }
}
