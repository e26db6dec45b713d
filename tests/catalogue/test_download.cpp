// The device type list download against a server on loopback: what is accepted, installed and
// saved, and that a stop ends the transfer promptly even when the server stalls.

#include <QElapsedTimer>

#include "CatalogueFixture.h"
#include "LoopbackHttpServer.h"
#include "TestSupport.h"
#include "ThreadDownload.h"

namespace {

// Generous bounds: the point is that the thread ends, not how fast.
constexpr int kFinishMs = 5000;

const QString kUnknownModel = QStringLiteral("iPhone9,1");

// True when the thread ends within the bound; otherwise it is stopped and joined anyway, so a
// failing test reports instead of destroying a running thread.
bool finishes(ThreadDownload& thread)
{
    if (thread.wait(kFinishMs))
        return true;
    thread.stop();
    thread.wait();
    return false;
}

class DownloadTest : public CatalogueFixture
{
protected:
    static QByteArray newList()
    {
        return deviceTypeList({{QStringLiteral("iPhone9,1"), QStringLiteral("iPhone 7")},
                               {QStringLiteral("iPad6,3"), QStringLiteral("iPad Pro")}})
            .toUtf8();
    }
    static QString oldList()
    {
        return deviceTypeList({{QStringLiteral("iPad6,3"), QStringLiteral("Old iPad name")}});
    }
    static LoopbackHttpServer::Answer answer(const QByteArray& body, int status = 200)
    {
        LoopbackHttpServer::Answer a;
        a.status = status;
        a.body = body;
        return a;
    }
    static LoopbackHttpServer::Answer silent()
    {
        LoopbackHttpServer::Answer a;
        a.neverAnswer = true;
        return a;
    }
    static void startOn(ThreadDownload& thread, const LoopbackHttpServer& server)
    {
        thread.setUrl(server.baseUrl() + QStringLiteral("dt.plist"));
        thread.start();
    }
    // A slow body: about 2.5 s for the whole list.
    static LoopbackHttpServer::Answer slowAnswer()
    {
        LoopbackHttpServer::Answer a;
        a.body = newList() + QByteArray(4000, ' ');
        a.chunkBytes = 32;
        a.chunkDelayMs = 20;
        return a;
    }
};

struct StatusCase {
    int httpStatus;
    int expectedStatus;
    bool installed;
};

TEST_F(DownloadTest, ServerStatusDecidesWhatIsInstalledAndSaved)
{
    const StatusCase cases[] = {
        {200, ThreadDownload::Received, true},  {206, ThreadDownload::Received, true},
        {404, ThreadDownload::Rejected, false}, {416, ThreadDownload::Rejected, false},
        {500, ThreadDownload::Rejected, false},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.httpStatus);
        saveList(oldList());
        LoopbackHttpServer server(answer(newList(), c.httpStatus));
        ASSERT_TRUE(server.listening());
        setListAddress(server.baseUrl());

        CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
        EXPECT_EQ(m->deviceTypeName(kUnknownModel), QStringLiteral("iPhone")); // starts the download
        EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(kFinishMs), c.expectedStatus);
        EXPECT_EQ(server.requestedPaths(), QStringList{QStringLiteral("/dt.plist")});

        EXPECT_EQ(m->deviceTypeName(kUnknownModel), c.installed ? QStringLiteral("iPhone 7") : QStringLiteral("iPhone"));
        EXPECT_EQ(m->getDeviceType(QStringLiteral("iPad6,3")),
                  c.installed ? QStringLiteral("iPad Pro") : QStringLiteral("Old iPad name"));
        EXPECT_EQ(savedList(), c.installed ? QString::fromUtf8(newList()) : oldList());
        EXPECT_EQ(server.requests(), 1); // the second miss does not download again
        CiTunesBackupManager::releaseInstance();
    }
}

// A 416 page is dropped; other rejections keep what arrived.
TEST_F(DownloadTest, RangeNotSatisfiableDropsTheBody)
{
    for (int status : {416, 404}) {
        LoopbackHttpServer server(answer("error page", status));
        ThreadDownload thread(CiTunesBackupManager::getInstance());
        startOn(thread, server);
        ASSERT_TRUE(finishes(thread));
        EXPECT_EQ(thread.status(), ThreadDownload::Rejected);
        EXPECT_EQ(thread.buffer(), status == 416 ? QByteArray() : QByteArray("error page"));
    }
}

TEST_F(DownloadTest, InvalidListIsSavedButNotInstalled)
{
    saveList(oldList());
    const QByteArray page("<html><body>maintenance</body></html>");
    LoopbackHttpServer server(answer(page));
    setListAddress(server.baseUrl());

    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->updateDeviceTypeMap();
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(kFinishMs), ThreadDownload::Received);
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPad6,3")), QStringLiteral("Old iPad name"));
    EXPECT_EQ(savedList(), QString::fromUtf8(page));

    // The next run loads the saved text, which leaves its map empty.
    CiTunesBackupManager::releaseInstance();
    EXPECT_EQ(CiTunesBackupManager::getInstance()->getDeviceType(QStringLiteral("iPad6,3")), QString());
}

TEST_F(DownloadTest, TextEndsAtTheFirstNul)
{
    LoopbackHttpServer server(answer(newList() + QByteArray("\0<garbage>", 10)));
    setListAddress(server.baseUrl());
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->updateDeviceTypeMap();
    ASSERT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(kFinishMs), ThreadDownload::Received);
    EXPECT_EQ(savedList(), QString::fromUtf8(newList()));
    EXPECT_EQ(m->getDeviceType(kUnknownModel), QStringLiteral("iPhone 7"));
}

TEST_F(DownloadTest, NextRunLoadsTheDownloadedList)
{
    LoopbackHttpServer server(answer(newList()));
    setListAddress(server.baseUrl());
    CiTunesBackupManager::getInstance()->deviceTypeName(kUnknownModel);
    ASSERT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(kFinishMs), ThreadDownload::Received);
    CiTunesBackupManager::releaseInstance();

    setListAddress(QString());
    CiTunesBackupManager* next = CiTunesBackupManager::getInstance();
    EXPECT_EQ(next->deviceTypeName(kUnknownModel), QStringLiteral("iPhone 7"));
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1); // a map hit downloads nothing
    EXPECT_EQ(server.requests(), 1);
}

TEST_F(DownloadTest, NoAddressMeansNoRun)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->updateDeviceTypeMap();
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), ThreadDownload::NotRun);
    // Created once: setting an address now changes nothing for this instance.
    LoopbackHttpServer server(LoopbackHttpServer::Answer{});
    setListAddress(server.baseUrl());
    m->updateDeviceTypeMap();
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), ThreadDownload::NotRun);
    CiTunesBackupManager::releaseInstance();
    EXPECT_EQ(server.requests(), 0);
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1);
}

TEST_F(DownloadTest, TransferErrorsChangeNothing)
{
    saveList(oldList());
    QString deadUrl;
    {
        LoopbackHttpServer closed(LoopbackHttpServer::Answer{});
        deadUrl = closed.baseUrl(); // nothing listens there once it is gone
    }
    const QString urls[] = {deadUrl + QStringLiteral("dt.plist"), QStringLiteral("file:///etc/hostname"),
                            QStringLiteral("not a url")};
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    for (const QString& url : urls) {
        ThreadDownload thread(m);
        thread.setUrl(url);
        thread.start();
        ASSERT_TRUE(finishes(thread)) << url.toStdString();
        EXPECT_EQ(thread.status(), ThreadDownload::Failed) << url.toStdString();
    }
    EXPECT_EQ(savedList(), oldList());
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPad6,3")), QStringLiteral("Old iPad name"));
}

TEST_F(DownloadTest, WriteFunction)
{
    ThreadDownload thread(nullptr);
    EXPECT_EQ(thread.status(), ThreadDownload::NotRun);
    EXPECT_EQ(ThreadDownload::writeData("abc", 1, 3, &thread), 3u);
    EXPECT_EQ(ThreadDownload::writeData("de", 1, 2, &thread), 2u);
    EXPECT_EQ(thread.buffer(), QByteArray("abcde"));
    const QByteArray huge(ThreadDownload::kMaxListBytes, 'x');
    EXPECT_EQ(ThreadDownload::writeData(huge.constData(), 1, huge.size(), &thread), 0u); // over the limit
    thread.stop();
    EXPECT_EQ(ThreadDownload::writeData("f", 1, 1, &thread), 0u);
}

TEST_F(DownloadTest, StopBeforeStart)
{
    LoopbackHttpServer server(LoopbackHttpServer::Answer{});
    ThreadDownload thread(CiTunesBackupManager::getInstance());
    thread.stop();
    startOn(thread, server);
    ASSERT_TRUE(finishes(thread));
    EXPECT_EQ(thread.status(), ThreadDownload::Stopped);
    EXPECT_EQ(server.requests(), 0);
}

TEST_F(DownloadTest, StopDuringSlowTransfer)
{
    saveList(oldList());
    LoopbackHttpServer server(slowAnswer());
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    ThreadDownload thread(m);
    startOn(thread, server);
    ASSERT_TRUE(LoopbackHttpServer::waitFor([&] { return server.bodyBytesSent() > 0; }, kFinishMs));
    thread.stop();
    ASSERT_TRUE(finishes(thread));
    EXPECT_EQ(thread.status(), ThreadDownload::Stopped);
    EXPECT_LT(server.bodyBytesSent(), slowAnswer().body.size());
    EXPECT_EQ(savedList(), oldList());
    EXPECT_EQ(m->getDeviceType(QStringLiteral("iPad6,3")), QStringLiteral("Old iPad name"));
}

TEST_F(DownloadTest, StopWhileTheServerNeverAnswers)
{
    LoopbackHttpServer server(silent());
    ThreadDownload thread(CiTunesBackupManager::getInstance());
    startOn(thread, server);
    ASSERT_TRUE(LoopbackHttpServer::waitFor([&] { return server.requests() == 1; }, kFinishMs));
    thread.stop();
    ASSERT_TRUE(finishes(thread)); // no data ever arrives: only the progress check can notice
    EXPECT_EQ(thread.status(), ThreadDownload::Stopped);
}

TEST_F(DownloadTest, SilentServerTimesOutWithoutAStop)
{
    LoopbackHttpServer server(silent());
    ThreadDownload thread(CiTunesBackupManager::getInstance());
    thread.setTimeouts(2, 1);
    startOn(thread, server);
    ASSERT_TRUE(finishes(thread));
    EXPECT_EQ(thread.status(), ThreadDownload::Failed);
    EXPECT_EQ(server.requests(), 1);
}

// The application shuts down while the list server hangs: releaseInstance must return well
// before any transfer time-out (15 s to connect, 30 s of silence) could end the transfer.
TEST_F(DownloadTest, ReleaseInstanceDoesNotWaitForAStalledServer)
{
    LoopbackHttpServer server(silent());
    setListAddress(server.baseUrl());
    CiTunesBackupManager::getInstance()->deviceTypeName(kUnknownModel);
    ASSERT_TRUE(LoopbackHttpServer::waitFor([&] { return server.requests() == 1; }, kFinishMs));
    QElapsedTimer timer;
    timer.start();
    CiTunesBackupManager::releaseInstance();
    EXPECT_LT(timer.elapsed(), kFinishMs);
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1);
}

// Names are read on this thread while the download thread installs a new list. Every answer is
// the old or the new name; under ThreadSanitizer the run also proves the hand-over is
// synchronised.
TEST_F(DownloadTest, ReadNamesWhileTheDownloadInstalls)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        saveList(oldList());
        LoopbackHttpServer::Answer chunked = answer(newList());
        chunked.chunkBytes = 64;
        chunked.chunkDelayMs = 5;
        LoopbackHttpServer server(chunked);
        setListAddress(server.baseUrl());

        CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
        int reads = 0, bad = 0;
        QElapsedTimer timer;
        timer.start();
        // The first miss starts the download; later misses reuse it.
        while (CiTunesBackupManager::waitForDeviceTypeDownload(0) != ThreadDownload::Received
               && timer.elapsed() < kFinishMs) {
            const QString name = m->deviceTypeName(kUnknownModel);
            const QString pad = m->getDeviceType(QStringLiteral("iPad6,3"));
            if ((name != QLatin1String("iPhone") && name != QLatin1String("iPhone 7"))
                || (pad != QLatin1String("Old iPad name") && pad != QLatin1String("iPad Pro")))
                ++bad;
            CiTunesBackupManager copy(*m);
            if (copy.getDeviceType(QStringLiteral("iPad6,3")).isEmpty())
                ++bad;
            ++reads;
        }
        EXPECT_EQ(bad, 0);
        EXPECT_EQ(m->deviceTypeName(kUnknownModel), QStringLiteral("iPhone 7"));
        EXPECT_EQ(server.requests(), 1);
        CiTunesBackupManager::releaseInstance();
    }
}

} // namespace
