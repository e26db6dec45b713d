#include "ThreadDownload.h"

#include <QVariant>

#include <curl/curl.h>

#include <mutex>

#include "utility/Log.h"
#include "framework/ZuSettings.h"

namespace {

// libcurl's global set-up is not safe to race with a first easy handle on another thread, so it
// happens on the thread that creates the download.
void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

constexpr long kLowSpeedLimit = 1; // bytes per second

} // namespace

ThreadDownload::ThreadDownload(CiTunesBackupManager* manager, QObject* parent)
    : QThread(parent), m_pManager(manager)
{
    initCurlOnce();
}

ThreadDownload::~ThreadDownload()
{
    if (m_curl)
        curl_easy_cleanup(static_cast<CURL*>(m_curl));
}

void ThreadDownload::setTimeouts(long connectSeconds, long lowSpeedSeconds)
{
    m_connectTimeout = connectSeconds;
    m_lowSpeedTime = lowSpeedSeconds;
}

void ThreadDownload::stop()
{
    m_stop.store(true, std::memory_order_release);
}

QString ThreadDownload::currentConfig()
{
    Log("ThreadDownload", 1, " ThreadDownload::currentConfig");
    return ZuSettings::instance()->applicationParam(QLatin1String(kSettingsKey), QVariant(QString())).toString();
}

size_t ThreadDownload::writeData(const char* data, size_t size, size_t count, void* thread)
{
    auto* self = static_cast<ThreadDownload*>(thread);
    const size_t bytes = size * count;
    if (self->stopRequested())
        return 0; // makes the transfer end with a write error
    if (static_cast<qint64>(self->m_buffer.size()) + static_cast<qint64>(bytes) > kMaxListBytes)
        return 0;
    self->m_buffer.append(data, static_cast<qsizetype>(bytes));
    return count;
}

// Called at least about once a second even while no data arrives, so a stop is noticed on a
// stalled connection too.
int ThreadDownload::progressData(void* thread, long long, long long, long long, long long)
{
    return static_cast<ThreadDownload*>(thread)->stopRequested() ? 1 : 0;
}

void ThreadDownload::run()
{
    if (stopRequested()) {
        m_status = Stopped;
        return;
    }
    CURL* curl = curl_easy_init();
    m_curl = curl;
    if (!curl) {
        m_status = Failed;
        return;
    }
    const QByteArray url = m_url.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ThreadDownload::writeData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &ThreadDownload::progressData);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // no SIGALRM for name look-ups off the main thread
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, m_connectTimeout);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_lowSpeedTime);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif

    const CURLcode result = curl_easy_perform(curl);

    if (stopRequested()) {
        curl_easy_cleanup(curl);
        m_curl = nullptr;
        m_status = Stopped;
        return;
    }

    int status = Failed;
    if (result == CURLE_OK) {
        long code = 0;
        if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK) {
            if (code == 200 || code == 206) {
                status = Received;
            } else {
                status = Rejected;
                if (code == 416)
                    m_buffer.clear();
            }
        }
    }
    curl_easy_cleanup(curl);
    m_curl = nullptr;

    if (status == Received && m_onReceived) {
        const qsizetype nul = m_buffer.indexOf('\0');
        const QString text = QString::fromUtf8(nul < 0 ? m_buffer : m_buffer.left(nul));
        m_onReceived(text);
        ZuSettings::instance()->setApplicationParam(QLatin1String(kSettingsKey), QVariant(text));
    }
    // Published last, so a status of 0 means the list is installed and saved.
    m_status = status;
}
