// Notes of NoteStore.sqlite (iOS 9 on): compressed protobuf bodies, and the store's layouts of
// iOS 10 to 17, whose entity numbers and numbered columns differ.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "CNoteCollection.h"
#include "CollectionSample.h"
#include "NoteBodyWriter.h"
#include "NoteStoreBody.h"
#include "ibr/schemas.h"
#include "kddata/KdBackup.h"

using namespace sample::notebody;

namespace {

const char kStoreDomain[] = "AppDomainGroup-group.com.apple.notes";
const char kStorePath[] = "NoteStore.sqlite";

QByteArray testData(const char* name)
{
    QFile file(QStringLiteral(IBR_TEST_DATA_DIR "/notestore/") + QLatin1String(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return file.readAll();
}

} // namespace

TEST(NoteStoreBodyTest, RealBodiesReadAsTheirText)
{
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"simple_note_protobuf_gzipped.bin", "Title"},
        {"list_indents_gzipped.bin",
         "Indents in lists\n\n[ ] Checklist\n  [ ] Indented checklist 1\n    [ ] Indented checklist 2 checked\n"
         "  [ ] Indented 1\n\n\u2022 Dotted list\n  \u2022 Dotted list second indent\n\u2022 Dotted list\n\n"
         "  - Dashed list indent 2\n- Dashed list\n\n1. Numbered list\n  1. Numbers list indent 2\n"},
        // Runs count UTF-16 units: the emoji before the checklist-free text must not shift it.
        {"emoji_formatting_1_gzipped.bin", "Emojis and formatting\n\n\U0001F680" "1\U0001F680" "2"},
        {"wide_characters_gzipped.bin", "\u4F46\u4ED6\u9084\u662F\u5E0C\u671B\n"},
        {"url_gzipped.bin", "Link test\n\n.. that Jim Nettles"},
    };
    for (const auto& [name, start] : cases) {
        QString error;
        const QString text = notestore::bodyText(testData(name), &error);
        EXPECT_TRUE(error.isEmpty()) << name << ": " << error.toStdString();
        EXPECT_TRUE(text.startsWith(QString::fromUtf8(start))) << name << ": " << text.toStdString();
    }
    QString error;
    EXPECT_TRUE(notestore::bodyText(testData("wide_characters_gzipped.bin"), &error)
                    .contains(QStringLiteral("\n[attachment: com.apple.notes.inlinetextattachment.hashtag]\n")));
    // A table's data is kept by its attachment in a message of the same shape, with no text.
    EXPECT_TRUE(notestore::bodyText(testData("table_gzipped.bin"), &error).isEmpty());
}

TEST(NoteStoreBodyTest, ChecklistsAndAttachmentsReadAsPlainLines)
{
    const QString fish = QStringLiteral("\U0001F41F"); // two UTF-16 units
    const std::vector<std::tuple<const char*, QByteArray, QString>> cases = {
        {"checklist done and not",
         notePayload("List\nMilk\nEggs\nend", {plainRun(5), checklistRun(5, true), checklistRun(5, false), plainRun(3)}),
         "List\n[x] Milk\n[ ] Eggs\nend"},
        {"style type alone marks a checklist",
         notePayload("a\nb", {plainRun(2), field(1, 1) + field(2, field(1, 103))}), "a\n[ ] b"},
        {"attachment with and without its type",
         notePayload(QStringLiteral("x\uFFFCy\uFFFC"), {plainRun(1), attachmentRun(1, "6A1B-ID", "public.jpeg"), plainRun(2)}),
         "x[attachment: public.jpeg]y[attachment]"},
        {"lengths in UTF-16 units", notePayload(fish + "\nok\n", {plainRun(3), checklistRun(3, true)}),
         fish + "\n[x] ok\n"},
        {"runs longer than the text are cut", notePayload("a\nb", {plainRun(2), checklistRun(1000000, false)}), "a\n[ ] b"},
        {"no runs", notePayload("just text"), "just text"},
        // Numbers count one list at one indent, again after a deeper item or a plain line.
        {"numbered list", notePayload("a\nb\nc\nd\ne\nf", {listRun(2, 102, 0), listRun(2, 102, 1), listRun(2, 102, 0),
                                                           listRun(2, 102, 1), plainRun(2), listRun(1, 102, 0)}),
         "1. a\n  1. b\n2. c\n  1. d\ne\n1. f"},
        {"dotted and dashed, indent capped", notePayload("a\nb", {listRun(2, 100, 0), listRun(1, 101, 1000000)}),
         "\u2022 a\n                - b"},
    };
    for (const auto& [name, payload, text] : cases) {
        QString error;
        EXPECT_EQ(notestore::noteText(payload, &error), text) << name;
        EXPECT_TRUE(error.isEmpty()) << name;
        EXPECT_EQ(notestore::bodyText(gzip(payload), &error), text) << name;
    }
}

// Every hostile input ends with an empty text and a reason, at once.
TEST(NoteStoreBodyTest, HostileBodiesGiveAReasonAndNoText)
{
    const QByteArray good = gzip(notePayload("Hello"));
    QByteArray deep = field(3, "x");
    for (int i = 0; i < 20000; ++i)
        deep = varint((2 << 3) | 2) + varint(quint64(deep.size())) + deep;
    const std::vector<std::pair<const char*, QByteArray>> compressed = {
        {"empty", QByteArray()},
        {"not gzip", QByteArray("plain text, not compressed")},
        {"truncated stream", good.left(good.size() - 12)},
        {"corrupt stream", good.left(10) + QByteArray(40, '\xFF')},
        {"inflates to no note", gzip("\x08\x01")},
        {"truncated varint", gzip(QByteArray("\x12\x85\x80\x80", 4))},
        {"absurd length", gzip(varint((2 << 3) | 2) + varint(0x7FFFFFFFFFFFull) + "abc")},
        {"ten-byte varint overflow", gzip(QByteArray("\x10") + QByteArray(11, '\xFF'))},
        {"group wire type", gzip(QByteArray("\x13\x14"))},
        {"field number zero", gzip(QByteArray("\x02\x00", 2))},
        {"deep nesting", gzip(deep)},
        {"note without text", gzip(field(2, field(3, field(5, plainRun(3)))))},
    };
    for (const auto& [name, bytes] : compressed) {
        QString error;
        EXPECT_TRUE(notestore::bodyText(bytes, &error).isEmpty()) << name;
        EXPECT_FALSE(error.isEmpty()) << name;
    }

    QString error;
    const QByteArray bomb = gzip(QByteArray(3 * 1024 * 1024, '\0'));
    EXPECT_TRUE(notestore::inflateBody(bomb, &error, 1024 * 1024).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("more than"))) << error.toStdString();
    EXPECT_EQ(notestore::inflateBody(bomb, &error, 3 * 1024 * 1024).size(), 3 * 1024 * 1024);

    // A malformed attribute run loses its attribute, not the text.
    EXPECT_EQ(notestore::noteText(notePayload("kept", {field(1, 4) + field(2, QByteArray("\x08"))}), &error),
              QStringLiteral("kept"));
}

namespace {

// One release's NoteStore.sqlite layout, with the numbers its Z_PRIMARYKEY gives the entities
// and the columns its notes use. The numbers differ between rows on purpose: a reader that
// assumed one release's numbers would take another's attachments or folders for notes.
struct StoreLayout {
    int ios;
    int note, folder, account, attachment;
    const char* accountColumn; // the note's relationship to its account
    const char* createdColumn;
};
const StoreLayout kLayouts[] = {
    {10, 8, 11, 13, 5, "ZACCOUNT2", "ZCREATIONDATE1"}, // its folder join table is Z_11NOTES(Z_11FOLDERS, Z_8NOTES)
    {11, 9, 14, 13, 5, "ZACCOUNT2", "ZCREATIONDATE1"},
    {15, 12, 15, 14, 9, "ZACCOUNT4", "ZCREATIONDATE3"},
    {16, 11, 14, 12, 8, "ZACCOUNT7", "ZCREATIONDATE3"},
    {17, 12, 15, 14, 5, "ZACCOUNT7", "ZCREATIONDATE3"},
};

using collsample::exec;

// The same notes in every layout: a checklist with attachments (one whose type only its row
// knows) in a folder of an account, a locked note, one marked for deletion, one in Recently
// Deleted, one whose body is cut off.
std::function<bool(sqlite3*)> noteStore(const StoreLayout& l)
{
    return [l](sqlite3* db) {
        if (!collsample::execAll(db, ibr::iosSchemaStatements(l.ios, QLatin1String(kStorePath))))
            return false;
        QString sql = QStringLiteral(
            "INSERT INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) VALUES (%1, 'ICNote', 0, 9), (%2, 'ICFolder', 0, 2), "
            "(%3, 'ICAccount', 0, 1), (%4, 'ICAttachment', 0, 9);"
            "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, ZNAME) VALUES (1, %3, 'iCloud');"
            "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, ZTITLE2, ZOWNER) VALUES (2, %2, 'Recipes', 1);"
            "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, ZTITLE1, ZIDENTIFIER, ZTYPEUTI) "
            "VALUES (3, %4, 'an attachment', 'PDF-1', 'com.adobe.pdf');")
                          .arg(l.note).arg(l.folder).arg(l.account).arg(l.attachment);
        // The account relationships of other entities hold the folder: only the note's own
        // column points at an account.
        sql += QStringLiteral("INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, ZTITLE1, ZMODIFICATIONDATE1, %1, "
                              "ZISPASSWORDPROTECTED, ZMARKEDFORDELETION, %2, ZACCOUNT%3) VALUES "
                              "(4, %4, 'Groceries', 700000000, 690000000, 0, 0, 1, 2), "
                              "(5, %4, 'Secret', 600000000, 590000000, 1, 0, 1, 2), "
                              "(6, %4, 'Binned', 500000000, 490000000, 0, 1, NULL, NULL), "
                              "(7, %4, 'Cut off', 400000000, NULL, 0, 0, NULL, NULL);")
                   .arg(QLatin1String(l.createdColumn), QLatin1String(l.accountColumn),
                        QLatin1String(qstrcmp(l.accountColumn, "ZACCOUNT2") ? "2" : "3"))
                   .arg(l.note);
        // Recently Deleted is a folder of its own type (here, broken, its own parent); Recipes
        // sits in Home.
        sql += QStringLiteral("INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, ZTITLE2, ZFOLDERTYPE, ZPARENT) VALUES "
                              "(8, %1, 'Recently Deleted', 1, 8), (10, %1, 'Home', 0, NULL);"
                              "UPDATE ZICCLOUDSYNCINGOBJECT SET ZPARENT = 10 WHERE Z_PK = 2;"
                              "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, ZTITLE1, ZMODIFICATIONDATE1) VALUES (9, %2, 'Trashed', 450000000);")
                   .arg(l.folder)
                   .arg(l.note);
        sql += l.ios == 10 ? QStringLiteral("INSERT INTO Z_11NOTES (Z_11FOLDERS, Z_8NOTES) VALUES (2, 4), (2, 5), (8, 9);")
                           : QStringLiteral("UPDATE ZICCLOUDSYNCINGOBJECT SET ZFOLDER = 2 WHERE Z_PK IN (4, 5);"
                                            "UPDATE ZICCLOUDSYNCINGOBJECT SET ZFOLDER = 8 WHERE Z_PK = 9;");
        if (!exec(db, sql))
            return false;
        const QByteArray groceries =
            gzip(notePayload(QStringLiteral("Groceries\nMilk\nEggs\n\uFFFC\uFFFC"),
                             {plainRun(10), checklistRun(5, true), checklistRun(5, false), attachmentRun(1, "6A1B-ID", "public.jpeg"),
                              field(1, 1) + field(12, field(1, "PDF-1"))}));
        const QByteArray full = gzip(notePayload("Binned\nold text"));
        return exec(db, QStringLiteral("INSERT INTO ZICNOTEDATA (ZNOTE, ZDATA) VALUES (4, x'%1'), (5, x'%2'), (6, x'%3'), (7, x'%4')")
                            .arg(QLatin1String(groceries.toHex()), QLatin1String(QByteArray("\x1f\x8b encrypted bytes \x01\x02").toHex()),
                                 QLatin1String(full.toHex()), QLatin1String(full.left(full.size() / 2).toHex())));
    };
}

class NoteStoreCollectionTest : public ::testing::Test
{
protected:
    // "title | modified | body | created | folder | deleted" of every note, in container order.
    QStringList collect(const std::function<void(sample::SampleBackupWriter&)>& add)
    {
        sample::SampleBackupWriter w = collsample::phone(dir.filePath(QString::number(++backups)));
        w.addFile("HomeDomain", "Library/Preferences/com.example.plist", "x");
        add(w);
        EXPECT_TRUE(w.write());
        model.getNote()->clear();
        progress.total = 0.0;
        KdData* notes = collsample::collect<CNoteCollection>(model.getNote(), w.folder(), &progress, nullptr, &problems);
        return collsample::rows(notes, [](const KdAbstractItem* item) {
            QStringList values;
            for (int c = 0; c < 5; ++c)
                values << item->value(c);
            return QStringList{values.join(QStringLiteral(" | ")) + (item->isDeleted() ? " | deleted" : "")};
        });
    }

    QTemporaryDir dir;
    int backups = 0;
    QStringList problems;
    KdBackup model;
    testsupport::ProgressRecorder progress{100};
};

} // namespace

TEST_F(NoteStoreCollectionTest, EveryLayoutGivesTheSameNotes)
{
    const QStringList expected = {
        "Groceries | 2023-03-08 20:26 | Groceries\n[x] Milk\n[ ] Eggs\n[attachment: public.jpeg][attachment: com.adobe.pdf] | 2022-11-13 02:40 | iCloud / Home / Recipes",
        "Secret | 2020-01-06 10:40 | (locked) | 2019-09-12 16:53 | iCloud / Home / Recipes",
        "Binned | 2016-11-05 00:53 | Binned\nold text | 2016-07-12 07:06 |  | deleted",
        "Trashed | 2015-04-06 08:00 |  |  | Recently Deleted | deleted",
        "Cut off | 2013-09-04 15:06 |  |  | ",
    };
    for (const StoreLayout& layout : kLayouts) {
        testsupport::LogCapture log;
        const QStringList notes = collect([&](sample::SampleBackupWriter& w) {
            w.addDatabase(kStoreDomain, kStorePath, noteStore(layout));
        });
        EXPECT_EQ(notes, expected) << "iOS " << layout.ios;
        EXPECT_EQ(log.count("iTunesBackup", " Note 7 of NoteStore.sqlite: body not read: compressed stream truncated"), 1)
            << "iOS " << layout.ios;
        EXPECT_TRUE(problems.isEmpty());
        EXPECT_NEAR(progress.total, 100.0, 1e-9);
    }
}

TEST_F(NoteStoreCollectionTest, OlderNotesBesideTheStoreAreReadToo)
{
    const QStringList notes = collect([](sample::SampleBackupWriter& w) {
        w.addDatabase(kStoreDomain, kStorePath, noteStore(kLayouts[4]));
        w.addDatabase("HomeDomain", "Library/Notes/notes.sqlite", [](sqlite3* db) {
            return collsample::execAll(db, ibr::iosSchemaStatements(9, QStringLiteral("notes.sqlite")).filter(QStringLiteral("CREATE TABLE Z"))
                                                << "INSERT INTO ZNOTE (ZTITLE, ZMODIFICATIONDATE) VALUES ('Before the move', 300000000)");
        });
    });
    ASSERT_EQ(notes.size(), 6);
    EXPECT_EQ(notes.first(), QStringLiteral("Before the move | 2010-07-05 05:20 |  |  | "));
    EXPECT_TRUE(notes.at(1).startsWith(QLatin1String("Groceries | ")));
    EXPECT_NEAR(progress.total, 100.0, 1e-9);
}

TEST_F(NoteStoreCollectionTest, StoreWithoutANoteEntityIsOneProblemLine)
{
    const QStringList notes = collect([](sample::SampleBackupWriter& w) {
        w.addDatabase(kStoreDomain, kStorePath, [](sqlite3* db) {
            return exec(db, "CREATE TABLE ZICCLOUDSYNCINGOBJECT (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZTITLE1 VARCHAR);"
                            "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR);"
                            "INSERT INTO Z_PRIMARYKEY VALUES (1, 'ICFolder'); INSERT INTO ZICCLOUDSYNCINGOBJECT VALUES (1, 1, 'x')");
        });
    });
    EXPECT_TRUE(notes.isEmpty());
    EXPECT_EQ(problems, QStringList{"notes: NoteStore.sqlite: Z_PRIMARYKEY names no ICNote entity"});
}
