// SPDX-License-Identifier: MIT
#include "TestHttpServer.h"

#include <QTcpSocket>
#include <QTimer>
#include <memory>

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            ++m_connections;
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            auto pending = std::make_shared<QByteArray>(); // a kept connection may carry more requests
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, pending] {
                *pending += socket->readAll();
                if (!pending->contains("\r\n\r\n"))
                    return;
                m_lastRequest = std::exchange(*pending, {});
                ++m_requests;
                if (m_mode != Mode::Silent)
                    answer(socket);
            });
        }
    });
    m_server.listen(QHostAddress::LocalHost);
    m_port = m_server.serverPort();
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

void TestHttpServer::answer(QTcpSocket *socket)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(m_status) + " Test\r\n" + m_headers;
    if (m_mode != Mode::Flood && m_mode != Mode::NoLength && !m_headers.contains("Content-Length"))
        head += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n";
    if (m_mode != Mode::Flood)
        head += m_mode == Mode::Answer ? "\r\n" : "Connection: close\r\n\r\n";
    socket->write(head);
    Q_EMIT requestServed();
    if (m_mode == Mode::Answer || m_mode == Mode::NoLength) {
        socket->write(m_body);
        return m_mode == Mode::NoLength ? socket->disconnectFromHost() : void();
    }
    auto *timer = new QTimer(socket);
    auto sent = std::make_shared<qint64>(0);
    // Drip: a byte a tick. Flood: written as the peer reads, so this server's own buffer stays small.
    connect(timer, &QTimer::timeout, socket, [this, socket, timer, sent] {
        if (m_mode == Mode::Drip && *sent < m_body.size())
            *sent += socket->write(m_body.mid(*sent, 1));
        else if (m_mode == Mode::Drip)
            socket->disconnectFromHost();
        while (m_mode == Mode::Flood && *sent < 500'000'000 && socket->bytesToWrite() < m_body.size()) {
            if (socket->state() != QAbstractSocket::ConnectedState || socket->write(m_body) <= 0)
                return timer->stop();
            *sent += m_body.size();
        }
    });
    timer->start(m_mode == Mode::Drip ? 100 : 0);
}
