#include "LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

constexpr int kPollSliceMs = 20;
constexpr int kMaxRequestBytes = 64 * 1024;

const char* reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LoopbackHttpServer::LoopbackHttpServer(const Answer& answer) : m_answer(answer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0; // the system picks a free port
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return;
    }
    m_listenFd = fd;
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

QString LoopbackHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
}

QStringList LoopbackHttpServer::requestedPaths() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths;
}

void LoopbackHttpServer::serve()
{
    while (!m_stop) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, kPollSliceMs) <= 0)
            continue;
        const int fd = ::accept(m_listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        handle(fd);
        ::close(fd);
    }
}

bool LoopbackHttpServer::sendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void LoopbackHttpServer::handle(int fd)
{
    QByteArray request;
    while (!m_stop && !request.contains("\r\n\r\n") && request.size() < kMaxRequestBytes) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kPollSliceMs) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        request.append(buf, static_cast<qsizetype>(n));
    }
    if (m_stop)
        return;
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paths.append(QString::fromLatin1(requestLine.value(1)));
    }
    ++m_requests;

    if (m_answer.neverAnswer) {
        // Hold the connection until the client gives up or the test ends.
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kPollSliceMs) <= 0)
                continue;
            char buf[256];
            if (::recv(fd, buf, sizeof buf, 0) <= 0)
                return;
        }
        return;
    }

    const QByteArray head = "HTTP/1.1 " + QByteArray::number(m_answer.status) + ' ' + reasonPhrase(m_answer.status)
        + "\r\nContent-Type: application/xml\r\nContent-Length: " + QByteArray::number(m_answer.body.size())
        + "\r\nConnection: close\r\n\r\n";
    if (!sendAll(fd, head.constData(), static_cast<size_t>(head.size())))
        return;
    const qsizetype chunk = m_answer.chunkBytes > 0 ? m_answer.chunkBytes : qMax<qsizetype>(1, m_answer.body.size());
    for (qsizetype at = 0; at < m_answer.body.size() && !m_stop; at += chunk) {
        for (int waited = 0; waited < m_answer.chunkDelayMs && !m_stop; waited += 5)
            sleepMs(5);
        const qsizetype n = qMin(chunk, m_answer.body.size() - at);
        if (!sendAll(fd, m_answer.body.constData() + at, static_cast<size_t>(n)))
            return;
        m_bodyBytesSent += n;
    }
}
