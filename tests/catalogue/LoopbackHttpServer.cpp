#include "LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackHttpServer::LoopbackHttpServer(const Answer& answer) : m_answer(answer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // port 0: the system picks a free one
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0)
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

void LoopbackHttpServer::serve()
{
    while (!m_stop) {
        pollfd p{m_listenFd, POLLIN, 0};
        const int fd = ::poll(&p, 1, 20) > 0 ? ::accept(m_listenFd, nullptr, nullptr) : -1;
        if (fd >= 0) {
            handle(fd);
            ::close(fd);
        }
    }
}

void LoopbackHttpServer::handle(int fd)
{
    // Reads the request head; with neverAnswer, keeps reading until the client goes.
    QByteArray request;
    bool counted = false;
    while (!m_stop && (m_answer.neverAnswer || !counted)) {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::recv(fd, buf, sizeof buf, 0) : -2;
        if (n == -2)
            continue;
        if (n <= 0)
            return;
        request.append(buf, qsizetype(n));
        if (!counted && request.contains("\r\n\r\n")) {
            counted = true;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_paths << QString::fromLatin1(request.left(request.indexOf("\r\n")).split(' ').value(1));
        }
    }
    const QByteArray head = "HTTP/1.1 " + QByteArray::number(m_answer.status) + " Status\r\nContent-Length: "
        + QByteArray::number(m_answer.body.size()) + "\r\nConnection: close\r\n\r\n";
    const qsizetype chunk = m_answer.chunkBytes > 0 ? m_answer.chunkBytes : qMax<qsizetype>(1, m_answer.body.size());
    for (qsizetype at = -1; !m_stop && at < m_answer.body.size(); at = at < 0 ? 0 : at + chunk) {
        for (int waited = 0; at >= 0 && waited < m_answer.chunkDelayMs && !m_stop; waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const QByteArray piece = at < 0 ? head : m_answer.body.mid(at, chunk);
        for (qsizetype sent = 0; sent < piece.size();) {
            const ssize_t n = ::send(fd, piece.constData() + sent, size_t(piece.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += n;
        }
        m_bodyBytesSent += at < 0 ? 0 : piece.size();
    }
}
