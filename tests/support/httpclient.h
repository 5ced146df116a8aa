// SPDX-License-Identifier: MIT
// Plain HTTP/1.1 from a test of its own to a face on a loopback port: raw requests, and the
// reply as it came, so that a suite sees exactly what the server sent.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QTcpSocket>
#include <QTest>

struct Reply {
    int status = 0;
    QByteArray head;
    QByteArray body;
    bool closed = false; // the server closed the connection

    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return {};
    }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// A connection of the test's own to the web face, keeping what it receives.
struct RawClient {
    QTcpSocket socket;
    QByteArray got;
    bool closed = false;
    // From `from`, another loopback address when given (a second client on the network).
    explicit RawClient(quint16 port, const char *from = nullptr)
    {
        QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [this] { closed = true; });
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                         [this] { got += socket.readAll(); });
        if (from)
            socket.bind(QHostAddress(QLatin1String(from)));
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
};

// Sends raw bytes on a new connection and reads one response, or up to the server closing.
inline Reply exchange(quint16 port, const QByteArray &raw, int ms = 3000,
                      const char *from = nullptr)
{
    RawClient client(port, from);
    client.socket.write(raw);
    Reply r;
    // Takes in what came so far; true once the whole body its head announces is there.
    const auto take = [&] {
        const auto end = client.got.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        r.head = client.got.left(end);
        r.body = client.got.mid(end + 4);
        r.status = client.got.mid(9, 3).toInt();
        return r.body.size() >= r.header("Content-Length").toInt();
    };
    static_cast<void>(QTest::qWaitFor([&] { return take() || client.closed; }, ms));
    take();
    r.closed = client.closed;
    return r;
}

inline QByteArray request(quint16 port, const QByteArray &method, const QByteArray &path,
                          const QList<QByteArray> &headers = {}, const QByteArray &body = {})
{
    QByteArray raw =
        method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    for (const QByteArray &h : headers)
        raw += h + "\r\n";
    if (!body.isEmpty() || method == "POST")
        raw += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return raw + "\r\n" + body;
}
