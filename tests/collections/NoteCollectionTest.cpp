// Notes of both database generations read from a backup: columns, order, bodies as plain text.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include "CNoteCollection.h"
#include "CollectionSample.h"
#include "ibr/schemas.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdBackup.h"

namespace {

const char kCoreData[] = "Library/Notes/notes.sqlite";
const char kOld[] = "Library/Notes/notes.db";

// Core Data layout of a real device, or the layout of the first devices.
std::function<bool(sqlite3*)> notesDb(bool coreData, const char* rows)
{
    return [=](sqlite3* db) {
        QStringList statements = ibr::iosSchemaStatements(8, QStringLiteral("notes.sqlite")).filter(QStringLiteral("CREATE TABLE Z"));
        if (!coreData)
            statements = {"CREATE TABLE Note (creation_date INTEGER, title TEXT, summary TEXT, contains_cjk INTEGER, "
                          "modification_date INTEGER, ROWID INTEGER PRIMARY KEY AUTOINCREMENT)",
                          "CREATE TABLE note_bodies (note_id INTEGER UNIQUE, data, FOREIGN KEY (note_id) REFERENCES Note(ROWID))"};
        return collsample::execAll(db, statements << QString::fromUtf8(rows));
    };
}

class NoteCollectionTest : public ::testing::Test
{
protected:
    // "title | date | body" of every note, in container order; checks each sort value on the way.
    QStringList collect(const std::function<void(sample::SampleBackupWriter&)>& add)
    {
        sample::SampleBackupWriter w = collsample::phone(dir.filePath(QString::number(++backups)));
        w.addFile("HomeDomain", "Library/Preferences/com.example.plist", "x");
        add(w);
        EXPECT_TRUE(w.write());
        folder = w.folder();
        model.getNote()->clear();
        return collsample::rows(collsample::collect<CNoteCollection>(model.getNote(), folder, &progress), [](const KdAbstractItem* item) {
            EXPECT_EQ(CCommonUtils::datetimeToMinute(item->sortValue(1).toDateTime(), true), item->value(1));
            EXPECT_EQ(item->size(), 0u);
            return QStringList{item->value(0) + " | " + item->value(1) + " | " + item->value(2)};
        });
    }
    QString dataFile(const char* path) const
    {
        return QDir(folder).absoluteFilePath(sample::hashedName(QStringLiteral("HomeDomain"), QLatin1String(path)));
    }

    QTemporaryDir dir;
    int backups = 0;
    QString folder;
    KdBackup model;
    testsupport::ProgressRecorder progress{100};
};

} // namespace

TEST(NoteBodyTest, BecomesThePlainTextTheUserReads)
{
    const std::vector<std::pair<const char*, const char*>> cases = {
        // Blocks are lines; a block's own last break adds none, nor do the ends of the markup.
        {"<div>first</div><div>second<br></div>", "first\nsecond"},
        {"<div>a<br></div><div><br></div><div>b</div>", "a\n\nb"},
        {"<div>a</div><div><br></div>", "a"},
        {"<div>x</div>tail", "xtail"},
        {"lead<div>x</div>", "lead\nx"},
        {"no blocks<br>", "no blocks"},
        {"two breaks<br><br>", "two breaks\n"},
        {"<DIV>upper</DIV>", "upper"}, // not split: case matters
        {"<div>Fish &amp; chips &lt;3&nbsp;&#x263A; &eacute;</div>", "Fish & chips <3 \u263A \u00E9"},
        {"<ul><li><b>one</b></li><li>two</li></ul>", "one\ntwo"},
        {"a\n  b<img src=\"/etc/hostname\">", "a b\uFFFC"},
        // Markup the document cannot take without a GUI application (it crashed on these).
        {"<pre>a  b</pre><tt>mono</tt> <code>x</code>", "a  b\nmono x"},
        {"<span style=\"background-image: url(x.png)\">bg</span><h1>Head</h1>", "bg\nHead"},
        {"<script>x<b>y</b></script>z<style>p{}</style><title>t</title>", "z"},
        {"a < b <3 <!-- c --> d", "a < b <3 d"},
        {"", ""},
    };
    CNoteQuery query(nullptr);
    for (const auto& [html, text] : cases)
        EXPECT_EQ(query.bodyText(QString::fromUtf8(html)), QString::fromUtf8(text)) << html;
}

// Nesting thousands deep takes the rich-text parser minutes: such bodies are read linearly.
TEST(NoteBodyTest, CostlyMarkupIsReadAsPlainMarkupAtOnce)
{
    const std::vector<std::tuple<const char*, int, const char*, const char*, size_t>> cases = {
        // unit repeated, times, tail, text, log lines
        {"<ul><li>", 5000, "<div>Fish &amp; chips</div><div>1 &#60; 2 &bogus; <i>x</i>\n  y<br></div><div>a < b",
         "\nFish & chips\n1 < 2 &bogus; x y\na < b", 1},
        {"<ul><li></ol>", 5000, "x", "x", 1}, // closing tags that close nothing do not count
        {"<b>", 100000, "y", "y", 0},        // tags without bearing on the text cost nothing
    };
    CNoteQuery query(nullptr);
    for (const auto& [unit, times, tail, text, logLines] : cases) {
        const QString html = QString::fromLatin1(unit).repeated(times) + QString::fromUtf8(tail);
        testsupport::LogCapture log;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(query.bodyText(html).toStdString(), text);
        EXPECT_LT(timer.elapsed(), 5000);
        EXPECT_EQ(log.lines().size(), logLines);
    }
    EXPECT_EQ(query.bodyText(QStringLiteral("<div>a&nbsp;b</div>")), QStringLiteral("a b"));
}

TEST_F(NoteCollectionTest, CoreDataLayoutNewestFirst)
{
    const QStringList notes = collect([](sample::SampleBackupWriter& w) {
        w.addDatabase("HomeDomain", kCoreData, notesDb(true,
            "INSERT INTO ZNOTEBODY (Z_PK, ZOWNER, ZCONTENT) VALUES (11, 1, '<div>Milk &amp; eggs<br></div>'), "
            "(12, 2, 'plain<br>'), (15, 5, 'far'); INSERT INTO ZNOTE (Z_PK, ZBODY, ZCREATIONDATE, ZMODIFICATIONDATE, ZTITLE) "
            "VALUES (1, 11, 419999000, 420000000.5, 'Groceries'), (2, 12, 1, 400000000, 'Old'), "
            "(3, 99, 1, 410000000, 'No body'), (4, NULL, 1, NULL, 'Undated'), (5, 15, 1, 1e300, 'Far future')"));
    });
    EXPECT_EQ(notes, (QStringList{"Far future |  | far", // beyond any calendar: no date
                                  "Groceries | 2014-04-24 02:40 | Milk & eggs",
                                  "No body | 2013-12-29 08:53 | ",
                                  "Old | 2013-09-04 15:06 | plain",
                                  "Undated |  | "}));
    EXPECT_EQ(model.getNote()->at(1, false)->sortValue(1).toDateTime(), QDateTime(QDate(2014, 4, 24), QTime(2, 40), Qt::UTC));
    EXPECT_NEAR(progress.total, 100.0, 1e-9);
}

TEST_F(NoteCollectionTest, OldLayoutFileIsPreferredToTheCoreDataOne)
{
    EXPECT_EQ(collect([](sample::SampleBackupWriter& w) {
                  w.addDatabase("HomeDomain", kOld, notesDb(false,
                      "INSERT INTO Note (ROWID, title, modification_date) VALUES (7, 'First', 300000000), (8, 'Second', 300000100); "
                      "INSERT INTO note_bodies (note_id, data) VALUES (7, '<div>Line one</div><div>Line two</div>')"));
                  w.addDatabase("HomeDomain", kCoreData, notesDb(true, "INSERT INTO ZNOTE (ZTITLE) VALUES ('From notes.sqlite')"));
              }),
              (QStringList{"Second | 2010-07-05 05:21 | ", "First | 2010-07-05 05:20 | Line one\nLine two"}));
}

TEST_F(NoteCollectionTest, MissingCorruptOrForeignDatabasesAddNothing)
{
    testsupport::LogCapture log;
    EXPECT_TRUE(collect([](sample::SampleBackupWriter&) {}).isEmpty());
    EXPECT_EQ(log.count("iTunesBackup", "Not exists: " + dataFile(kOld).toStdString()), 1);
    EXPECT_EQ(log.count("iTunesBackup", "Not exists: " + dataFile(kCoreData).toStdString()), 1);

    EXPECT_TRUE(collect([](sample::SampleBackupWriter& w) { w.addFile("HomeDomain", kCoreData, QByteArray(8192, 'z')); }).isEmpty());
    EXPECT_TRUE(log.contains(dataFile(kCoreData).toStdString()));
    EXPECT_TRUE(collect([](sample::SampleBackupWriter& w) { w.addDatabase("HomeDomain", kOld, notesDb(false, "DROP TABLE note_bodies")); }).isEmpty());
    EXPECT_TRUE(log.contains("Fail to query sql \"select count(*) from note LEFT JOIN NOTE_BODIES ON NOTE.ROWID = "
                             "NOTE_BODIES.NOTE_ID\" for db " + dataFile(kOld).toStdString()));
}
