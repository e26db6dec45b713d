#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstddef>
#include <functional>

class CiTunesBackupManager;

// Downloads the device type list in the background, installs it in the catalogue's map and
// saves it in the application settings ("BackupParser/DeviceType").
//
// A stop is honoured within about a second even when the server stalls: the transfer's progress
// function checks the flag, and connect / low-speed time-outs end a dead transfer by themselves.
class ThreadDownload : public QThread
{
    Q_OBJECT

public:
    enum Status {
        Received = 0,   // list received (200 or 206)
        Stopped = 1,    // stop requested before or during the transfer
        NotRun = 2,     // after construction
        Failed = 3,     // transfer error, time-out, or more bytes than kMaxListBytes
        Rejected = 4,   // the server answered with another status
    };

    static constexpr const char* kSettingsKey = "BackupParser/DeviceType";
    static constexpr qint64 kMaxListBytes = 16 * 1024 * 1024; // a real list is a few KB

    ThreadDownload(CiTunesBackupManager* manager, QObject* parent = nullptr);
    ~ThreadDownload() override; // releases fields only; the owner stops and waits first

    void setUrl(const QString& url) { m_url = url; }
    // Called on the download thread with the list's text once it is received, before it is saved
    // and the status published.
    void setOnReceived(std::function<void(const QString& listText)> onReceived) { m_onReceived = std::move(onReceived); }
    QString url() const { return m_url; }
    CiTunesBackupManager* manager() const { return m_pManager; }
    // Before start(): seconds allowed to connect, and seconds below one byte per second before
    // the transfer is abandoned.
    void setTimeouts(long connectSeconds, long lowSpeedSeconds);

    void stop();
    bool stopRequested() const { return m_stop.load(std::memory_order_acquire); }
    int status() const { return m_status.load(std::memory_order_acquire); }
    // Bytes received; read only after the thread has finished.
    QByteArray buffer() const { return m_buffer; }

    static QString currentConfig();
    static size_t writeData(const char* data, size_t size, size_t count, void* thread);

protected:
    void run() override;

private:
    static int progressData(void* thread, long long, long long, long long, long long);

    QString m_url;
    QByteArray m_buffer;
    CiTunesBackupManager* m_pManager; // not owned; tells whose download this is
    std::function<void(const QString&)> m_onReceived;
    void* m_curl = nullptr;           // CURL*, only while a transfer is prepared or running
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_status{NotRun};
    long m_connectTimeout = 15;
    long m_lowSpeedTime = 30;
};
