// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTcpServer>

// A loopback HTTP server on an ephemeral port that answers every request the same configured way.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Mode
    {
        Answer, // the status line, the headers, Content-Length unless they set it, the body; kept open
        NoLength, // the same without Content-Length, the body ending at close
        Silent, // accept, read, never answer
        Drip, // the head, then the body one byte per 100 ms, then close
        Flood, // the status line and headers unended, then the body over and over up to 500 MB
    };

    explicit TestHttpServer(QObject *parent = nullptr);

    quint16 port() const { return m_port; }
    void setResponse(int status, QByteArray body, QByteArray headers = {});
    void setMode(Mode mode) { m_mode = mode; }
    void close() { m_server.close(); } // the next poll is refused

    int requestCount() const { return m_requests; }
    int connectionCount() const { return m_connections; }
    QByteArray lastRequest() const { return m_lastRequest; }
    static QByteArray sampleDocument();

Q_SIGNALS:
    void requestServed();

private:
    void answer(QTcpSocket *socket);

    QTcpServer m_server;
    quint16 m_port = 0;
    Mode m_mode = Mode::Answer;
    int m_status = 200;
    QByteArray m_headers;
    QByteArray m_body = sampleDocument();
    int m_requests = 0, m_connections = 0;
    QByteArray m_lastRequest;
};
