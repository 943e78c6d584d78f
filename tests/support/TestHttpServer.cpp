// SPDX-License-Identifier: MIT
#include "TestHttpServer.h"

#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace {
constexpr qint64 floodLimit = 500'000'000;
constexpr qint64 floodBuffered = 1024 * 1024;
} // namespace

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , m_body(sampleDocument())
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            ++m_open;
            socket->setParent(this);
            serve(socket);
        }
    });
    listen();
}

bool TestHttpServer::listen()
{
    if (!m_server.listen(QHostAddress::LocalHost, m_port))
        return false;
    m_port = m_server.serverPort();
    return true;
}

void TestHttpServer::setResponse(int status, QByteArray body, QByteArray headers)
{
    m_status = status;
    m_body = std::move(body);
    m_headers = std::move(headers);
}

QByteArray TestHttpServer::sampleDocument()
{
    return R"({"temp":{"cpu_temp_avg":51.5,"gpu_temp_avg":44},"soc":{"chip_name":"Test Chip"},)"
           R"("sys_power":7.25,"gpu_usage":[1398,0.25]})";
}

QByteArray TestHttpServer::head() const
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(m_status) + " Test\r\n" + m_headers;
    if (m_mode == Mode::Flood)
        return head;
    if (m_mode != Mode::NoLength && !m_headers.contains("Content-Length"))
        head += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

void TestHttpServer::serve(QTcpSocket *socket)
{
    m_lastRequest.clear();
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        --m_open;
        socket->deleteLater();
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        m_lastRequest += socket->readAll();
        if (!m_lastRequest.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        ++m_requests;
        if (m_mode != Mode::Silent) {
            answer(socket);
            Q_EMIT requestServed();
        }
    });
}

void TestHttpServer::answer(QTcpSocket *socket)
{
    socket->write(head());
    if (m_mode == Mode::Answer || m_mode == Mode::NoLength) {
        socket->write(m_body);
        socket->disconnectFromHost();
    } else if (m_mode == Mode::Drip) {
        auto remaining = std::make_shared<QByteArray>(m_body);
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, remaining] {
            if (remaining->isEmpty())
                return socket->disconnectFromHost();
            socket->write(remaining->first(1));
            remaining->remove(0, 1);
        });
        timer->start(m_dripInterval);
    } else {
        // Written as the peer reads, so the server's own buffer stays small.
        auto sent = std::make_shared<qint64>(0);
        const auto more = [this, socket, sent] {
            while (*sent < floodLimit && socket->bytesToWrite() < floodBuffered) {
                const qint64 written = socket->write(m_body);
                if (written <= 0)
                    return;
                *sent += written;
            }
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    }
}
