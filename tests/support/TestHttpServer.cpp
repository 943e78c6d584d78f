// SPDX-License-Identifier: MIT
#include "TestHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , m_body(sampleDocument())
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
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

void TestHttpServer::close()
{
    m_server.close();
}

void TestHttpServer::setResponse(int status, QByteArray body)
{
    m_status = status;
    m_body = std::move(body);
}

QByteArray TestHttpServer::sampleDocument()
{
    return R"({"temp":{"cpu_temp_avg":51.5,"gpu_temp_avg":44},"soc":{"chip_name":"Test Chip"},)"
           R"("sys_power":7.25,"gpu_usage":[1398,0.25]})";
}

QByteArray TestHttpServer::response() const
{
    QByteArray head
        = "HTTP/1.1 " + QByteArray::number(m_status) + " Test\r\nContent-Type: application/json\r\n";
    if (m_mode != Mode::NoLength)
        head += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n";
    return head + "Connection: close\r\n\r\n" + m_body;
}

void TestHttpServer::serve(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        m_lastRequest += socket->readAll();
        if (!m_lastRequest.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        ++m_requests;
        switch (m_mode) {
        case Mode::Silent:
            return;
        case Mode::Answer:
        case Mode::NoLength:
            socket->write(response());
            socket->disconnectFromHost();
            Q_EMIT requestServed();
            return;
        case Mode::Drip: {
            auto *timer = new QTimer(socket);
            // Headers at once, then the body a byte at a time.
            const QByteArray all = response();
            const qsizetype bodyStart = all.indexOf("\r\n\r\n") + 4;
            socket->write(all.first(bodyStart));
            auto remaining = std::make_shared<QByteArray>(all.mid(bodyStart));
            connect(timer, &QTimer::timeout, socket, [socket, remaining] {
                if (remaining->isEmpty())
                    return socket->disconnectFromHost();
                socket->write(remaining->first(1));
                remaining->remove(0, 1);
            });
            timer->start(m_dripInterval);
            Q_EMIT requestServed();
            return;
        }
        }
    });
    m_lastRequest.clear();
}
