// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <chrono>

// A loopback HTTP server on an ephemeral port that answers every request the same configured way.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Mode
    {
        Answer, // the configured status and body, then close
        Silent, // accept, read, never answer
        Drip, // the headers, then the body one byte per dripInterval
        NoLength, // the answer without Content-Length, the body ending at close
    };

    explicit TestHttpServer(QObject *parent = nullptr);

    quint16 port() const { return m_port; }
    void setResponse(int status, QByteArray body);
    void setMode(Mode mode) { m_mode = mode; }
    void setDripInterval(std::chrono::milliseconds interval) { m_dripInterval = interval; }
    // Stops listening, so the next poll is refused; listen() takes the same port again.
    void close();
    bool listen();

    int requestCount() const { return m_requests; }
    int connectionCount() const { return m_connections; }
    // The raw bytes of the last request, for header checks.
    QByteArray lastRequest() const { return m_lastRequest; }

    static QByteArray sampleDocument();

Q_SIGNALS:
    void requestServed();

private:
    void serve(QTcpSocket *socket);
    QByteArray response() const;

    QTcpServer m_server;
    quint16 m_port = 0;
    Mode m_mode = Mode::Answer;
    std::chrono::milliseconds m_dripInterval { 100 };
    int m_status = 200;
    QByteArray m_body;
    int m_requests = 0;
    int m_connections = 0;
    QByteArray m_lastRequest;
};
