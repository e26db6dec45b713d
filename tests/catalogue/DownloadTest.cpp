// The device type list download against a server on loopback: what is accepted, installed and
// saved, and that a stop ends the transfer even when the server stalls.

#include <future>

#include "CatalogueFixture.h"
#include "LoopbackHttpServer.h"
#include "ThreadDownload.h"

namespace {

// Only a hung transfer takes this long: the transfer's own time-outs are 15 and 30 s.
constexpr int kHangMs = 10000;

const QString kNewModel = QStringLiteral("iPhone99,1"); // past every table: only a download names it
const QString kPad = QStringLiteral("iPad6,3");

QByteArray newList()
{
    return deviceTypeList({{kNewModel, QStringLiteral("iPhone 7")}, {kPad, QStringLiteral("iPad Pro")}}).toUtf8();
}

QString oldList()
{
    return deviceTypeList({{kPad, QStringLiteral("Old iPad name")}});
}

LoopbackHttpServer::Answer answer(int status, const QByteArray& body)
{
    LoopbackHttpServer::Answer a;
    a.status = status;
    a.body = body;
    return a;
}

// Reads the request and never answers.
LoopbackHttpServer::Answer silence()
{
    LoopbackHttpServer::Answer a;
    a.neverAnswer = true;
    return a;
}

// Joins the thread either way, so a failing test reports instead of destroying a running thread.
bool finishes(ThreadDownload& thread)
{
    if (thread.wait(kHangMs))
        return true;
    thread.stop();
    thread.wait();
    return false;
}

class DownloadTest : public CatalogueFixture
{
};

} // namespace

// A miss in every table starts one download; the next run of the program starts from what was
// saved.
TEST_F(DownloadTest, ServerAnswersDecideWhatIsInstalledAndSaved)
{
    const QByteArray page("<html><body>maintenance</body></html>");
    const QString list = QString::fromUtf8(newList()), pageText = QString::fromUtf8(page);
    const struct {
        const char* name;
        LoopbackHttpServer::Answer answer;
        int status;
        QString padNow;   // name of iPad6,3 once the download ended
        QString saved;    // the settings' list afterwards
        QString padNext;  // name of iPad6,3 in the next run
    } cases[] = {
        {"list", answer(200, newList()), ThreadDownload::Received, "iPad Pro", list, "iPad Pro"},
        {"partial content", answer(206, newList()), ThreadDownload::Received, "iPad Pro", list, "iPad Pro"},
        {"text after a NUL", answer(200, newList() + QByteArray("\0<garbage>", 10)), ThreadDownload::Received,
         "iPad Pro", list, "iPad Pro"},
        {"not found", answer(404, newList()), ThreadDownload::Rejected, "Old iPad name", oldList(), "Old iPad name"},
        // Saved as it came, so the next run's map is empty.
        {"not a list", answer(200, page), ThreadDownload::Received, "Old iPad name", pageText, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        saveList(oldList());
        LoopbackHttpServer server(c.answer);
        ASSERT_TRUE(server.listening());
        setListAddress(server.baseUrl());
        CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
        EXPECT_EQ(m->deviceTypeName(kNewModel), QStringLiteral("iPhone"));
        EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(kHangMs), c.status);
        const bool installed = c.padNow == QLatin1String("iPad Pro");
        EXPECT_EQ(m->deviceTypeName(kNewModel), installed ? QStringLiteral("iPhone 7") : QStringLiteral("iPhone"));
        EXPECT_EQ(m->getDeviceType(kPad), c.padNow);
        EXPECT_EQ(savedList(), c.saved);
        CiTunesBackupManager::waitForDeviceTypeDownload(kHangMs);
        EXPECT_EQ(server.requestedPaths(), QStringList{QStringLiteral("/dt.plist")}); // the second miss reuses it
        CiTunesBackupManager::releaseInstance();

        setListAddress(QString());
        CiTunesBackupManager* next = CiTunesBackupManager::getInstance();
        EXPECT_EQ(next->getDeviceType(kPad), c.padNext);
        next->deviceTypeName(kNewModel);
        // A hit downloads nothing; a miss creates the download, which has no address to run.
        EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), installed ? -1 : int(ThreadDownload::NotRun));
        CiTunesBackupManager::releaseInstance();
    }
}

TEST_F(DownloadTest, FailedTransfersChangeNothing)
{
    saveList(oldList());
    QString deadUrl;
    {
        LoopbackHttpServer closed(LoopbackHttpServer::Answer{});
        deadUrl = closed.baseUrl(); // nothing listens there once it is gone
    }
    LoopbackHttpServer silentServer(silence());
    LoopbackHttpServer hugeServer(answer(200, QByteArray(ThreadDownload::kMaxListBytes + 1, ' ')));
    const QString urls[] = {deadUrl, QStringLiteral("file:///etc/"), QStringLiteral("not a url"),
                            silentServer.baseUrl(), hugeServer.baseUrl()};
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    for (const QString& url : urls) {
        ThreadDownload thread(m);
        thread.setUrl(url + QStringLiteral("hostname"));
        thread.setTimeouts(2, 1);
        thread.start();
        ASSERT_TRUE(finishes(thread)) << url.toStdString();
        EXPECT_EQ(thread.status(), ThreadDownload::Failed) << url.toStdString();
    }
    EXPECT_EQ(silentServer.requests(), 1);
    EXPECT_EQ(savedList(), oldList());
    EXPECT_EQ(m->getDeviceType(kPad), QStringLiteral("Old iPad name"));
}

TEST_F(DownloadTest, AStopEndsTheTransferWhateverTheServerDoes)
{
    LoopbackHttpServer::Answer slow = answer(200, newList() + QByteArray(4000, ' '));
    slow.chunkBytes = 32;
    slow.chunkDelayMs = 20;
    const struct {
        const char* name;
        LoopbackHttpServer::Answer answer;
        bool stopBeforeStart;
    } cases[] = {
        {"before the start", answer(200, newList()), true},
        {"during a slow body", slow, false},
        {"while the server never answers", silence(), false}, // no data comes: only the progress check can notice
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        saveList(oldList());
        LoopbackHttpServer server(c.answer);
        CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
        ThreadDownload thread(m);
        thread.setUrl(server.baseUrl() + QStringLiteral("dt.plist"));
        if (c.stopBeforeStart)
            thread.stop();
        thread.start();
        if (!c.stopBeforeStart) {
            ASSERT_TRUE(LoopbackHttpServer::waitFor(
                [&] { return server.requests() == 1 && (c.answer.neverAnswer || server.bodyBytesSent() > 0); }, kHangMs));
            thread.stop();
        }
        ASSERT_TRUE(finishes(thread));
        EXPECT_EQ(thread.status(), ThreadDownload::Stopped);
        EXPECT_EQ(server.requests(), c.stopBeforeStart ? 0 : 1);
        if (!c.answer.body.isEmpty()) {
            EXPECT_LT(server.bodyBytesSent(), c.answer.body.size());
        }
        EXPECT_EQ(savedList(), oldList());
        EXPECT_EQ(m->getDeviceType(kPad), QStringLiteral("Old iPad name"));
        CiTunesBackupManager::releaseInstance();
    }
}

// The program ends while the list server hangs: releasing the catalogue stops the transfer
// instead of waiting for its time-outs.
TEST_F(DownloadTest, ReleaseInstanceStopsAStalledTransfer)
{
    LoopbackHttpServer server(silence());
    setListAddress(server.baseUrl());
    CiTunesBackupManager::getInstance()->deviceTypeName(kNewModel);
    ASSERT_TRUE(LoopbackHttpServer::waitFor([&] { return server.requests() == 1; }, kHangMs));
    auto released = std::async(std::launch::async, &CiTunesBackupManager::releaseInstance);
    ASSERT_EQ(released.wait_for(std::chrono::milliseconds(kHangMs)), std::future_status::ready);
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), -1);
}

TEST_F(DownloadTest, NoAddressMeansNoRun)
{
    CiTunesBackupManager* m = CiTunesBackupManager::getInstance();
    m->updateDeviceTypeMap();
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), ThreadDownload::NotRun);
    // Created once: an address set now changes nothing for this instance.
    LoopbackHttpServer server(LoopbackHttpServer::Answer{});
    setListAddress(server.baseUrl());
    m->updateDeviceTypeMap();
    EXPECT_EQ(CiTunesBackupManager::waitForDeviceTypeDownload(0), ThreadDownload::NotRun);
    CiTunesBackupManager::releaseInstance();
    EXPECT_EQ(server.requests(), 0);
}
