// The report as a browser shows it: every page of a generated backup's report loads in headless
// Chromium without a script error, shows its texts and deleted marks, and keeps its layout.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "AppSample.h"

namespace {

struct Rendered {
    QByteArray dom;
    QByteArray log;
};

Rendered render(const QString& chromium, const QString& url, const QStringList& extra = {})
{
    QProcess p;
    p.start(chromium, QStringList{QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                                  QStringLiteral("--hide-scrollbars"), QStringLiteral("--enable-logging=stderr"), QStringLiteral("--v=0")}
                          + extra + QStringList{url});
    p.waitForFinished(60000);
    return {p.readAllStandardOutput(), p.readAllStandardError()};
}

// Mean x of the pixels close to `color`; -1 when there are none.
double meanX(const QImage& image, QRgb color)
{
    double sum = 0;
    qint64 n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAbs(qRed(p) - qRed(color)) < 6 && qAbs(qGreen(p) - qGreen(color)) < 6 && qAbs(qBlue(p) - qBlue(color)) < 6) {
                sum += x;
                ++n;
            }
        }
    return n ? sum / double(n) : -1;
}

} // namespace

TEST(Report, EveryPageLoadsShowsItsTextsAndKeepsItsLayout)
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    const appsample::Demo demo;
    const QString &backup = demo.backup, &out = demo.out;
    {
        // A text that ends a script block, or hides its end behind a comment, must not blank a page.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(demo.dataFile("HomeDomain", "Library/SMS/sms.db").toUtf8().constData(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "update message set text = text || ' <!--<script> </script> odd'", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    const auto r = appsample::extract(backup, out, {QStringLiteral("--format"), QStringLiteral("html"), QStringLiteral("--export-files")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QDir report(out + QStringLiteral("/report"));
    const QStringList pages = report.entryList({QStringLiteral("*.html")});
    ASSERT_EQ(pages.size(), 13);

    // What each page must show once its script ran; every page must run without an error.
    const QMap<QString, QByteArrayList> expected = {
        {QStringLiteral("index.html"), {"Demo iPhone", "iPhone 5S", "Call History", "8.4.1"}},
        {QStringLiteral("contacts.html"), {"Appleseed", "class=\"row deleted", ">deleted<", "<td dir=\"auto\">"}},
        {QStringLiteral("messages.html"), {"class=\"msg ", "2013-09-04", "Earlier messages"}},
        {QStringLiteral("calls.html"), {"class=\"row deleted", "page 1 of 1"}},
        {QStringLiteral("camera_roll.html"), {"<img class=\"thumb\"", "src=\"../camera_roll/"}},
    };
    for (const QString& page : pages) {
        const Rendered shown = render(chromium, QStringLiteral("file://") + report.filePath(page), {QStringLiteral("--dump-dom")});
        EXPECT_FALSE(shown.log.contains("Uncaught")) << page.toStdString() << ": " << shown.log.constData();
        EXPECT_FALSE(shown.dom.contains("id=\"report-error\"")) << page.toStdString();
        EXPECT_TRUE(shown.dom.contains("</table>")) << page.toStdString();
        EXPECT_FALSE(testsupport::readFile(report.filePath(page)).contains("<!--<script>")) << page.toStdString();
        for (const QByteArray& text : expected.value(page))
            EXPECT_TRUE(shown.dom.contains(text)) << page.toStdString() << " lacks " << text.constData();
    }
    // A deleted conversation is marked in its thread.
    const Rendered deleted = render(chromium, QStringLiteral("file://") + report.filePath(QStringLiteral("messages.html")) + QStringLiteral("#0"),
                                    {QStringLiteral("--dump-dom")});
    EXPECT_TRUE(deleted.dom.contains("class=\"row deleted")) << "the conversations' table marks the deleted ones";

    // The owner's messages on the right, the others' on the left.
    const QRgb mine = qRgb(0x0a, 0x7c, 0xff), theirs = qRgb(0xe9, 0xe9, 0xeb);
    const QString shot = demo.dir.filePath(QStringLiteral("thread.png"));
    for (const QString& conversation : {QStringLiteral("#0"), QStringLiteral("#3")}) {
        QFile::remove(shot);
        render(chromium, QStringLiteral("file://") + report.filePath(QStringLiteral("messages.html")) + conversation,
               {QStringLiteral("--window-size=1200,1400"), QStringLiteral("--screenshot=") + shot});
        const QImage image(shot);
        ASSERT_FALSE(image.isNull()) << conversation.toStdString();
        const double me = meanX(image, mine), them = meanX(image, theirs);
        if (me >= 0) {
            EXPECT_GT(me, 450) << "own messages sit right";
        }
        if (them >= 0) {
            EXPECT_LT(them, 400) << "others' messages sit left";
        }
        EXPECT_TRUE(me >= 0 || them >= 0) << "no message bubble drawn";
    }
}
