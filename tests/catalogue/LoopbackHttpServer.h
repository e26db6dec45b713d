#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>

// A one-connection-at-a-time HTTP/1.1 server on 127.0.0.1 and a free port, for download tests.
// Every request gets the same configured answer.
class LoopbackHttpServer
{
public:
    struct Answer {
        int status = 200;
        QByteArray body;
        int chunkBytes = 0;       // > 0: the body goes out in pieces of this size ...
        int chunkDelayMs = 0;     // ... with this pause before each piece
        bool neverAnswer = false; // read the request, then hold the connection silently
    };

    explicit LoopbackHttpServer(const Answer& answer);
    ~LoopbackHttpServer();

    bool listening() const { return m_listenFd >= 0; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_port); }
    int requests() const { return int(requestedPaths().size()); }
    long long bodyBytesSent() const { return m_bodyBytesSent.load(); }
    QStringList requestedPaths() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_paths;
    }

    // Polls every few ms until `predicate` holds or `timeoutMs` passes.
    template <typename Pred>
    static bool waitFor(Pred predicate, int timeoutMs)
    {
        for (int waited = 0; waited < timeoutMs && !predicate(); waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return predicate();
    }

private:
    void serve();
    void handle(int fd);

    Answer m_answer;
    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_bodyBytesSent{0};
    mutable std::mutex m_mutex;
    QStringList m_paths;
    std::thread m_thread;
};
