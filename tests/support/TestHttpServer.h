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
        Answer, // the status line, the headers, Content-Length unless they set it, the body, then close
        NoLength, // the same without Content-Length, the body ending at close
        Silent, // accept, read, never answer
        Drip, // the head, then the body one byte per dripInterval, then close
        Flood, // the status line and headers unended, then the body over and over up to 500 MB
    };

    explicit TestHttpServer(QObject *parent = nullptr);

    quint16 port() const { return m_port; }
    void setResponse(int status, QByteArray body, QByteArray headers = {});
    void setMode(Mode mode) { m_mode = mode; }
    void setDripInterval(std::chrono::milliseconds interval) { m_dripInterval = interval; }
    // Stops listening, so the next poll is refused; listen() takes the same port again.
    void close() { m_server.close(); }
    bool listen();

    int requestCount() const { return m_requests; }
    int connectionCount() const { return m_connections; }
    int openConnections() const { return m_open; }
    // The raw bytes of the last request, for header checks.
    QByteArray lastRequest() const { return m_lastRequest; }

    static QByteArray sampleDocument();

Q_SIGNALS:
    void requestServed();

private:
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket);
    QByteArray head() const;

    QTcpServer m_server;
    quint16 m_port = 0;
    Mode m_mode = Mode::Answer;
    std::chrono::milliseconds m_dripInterval { 100 };
    int m_status = 200;
    QByteArray m_headers;
    QByteArray m_body;
    int m_requests = 0;
    int m_connections = 0;
    int m_open = 0;
    QByteArray m_lastRequest;
};
