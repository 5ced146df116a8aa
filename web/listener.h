// SPDX-License-Identifier: MIT
// The web face's TCP (or TLS) server, handed to QHttpServer with bind(). Qt 6.4's HTTP
// server has no bounds of its own, so this is where they are held: it counts connections and
// closes those beyond the limit, and a guard on each socket reads the bytes before the HTTP
// server parses them, dropping a client whose request line, headers or body are too long, or
// whose request is not complete in time, and closing kept-alive connections left idle.
#pragma once

#include "web/options.h"

#include <QHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif

#include <functional>
#include <optional>

class QTcpSocket;

namespace quorvane::web {

// Set on a socket whose current request is HTTP/1.0 without keep-alive: close after the
// answer.
inline constexpr const char *kHttp10Property = "quorvane_http10";

class Listener : public QTcpServer {
    Q_OBJECT
public:
    explicit Listener(const Limits &limits, QObject *parent = nullptr);

#if QT_CONFIG(ssl)
    void setTls(const QSslConfiguration &configuration)
    {
        tls_ = configuration;
    }
#endif
    // The HTTP server whose handlers a dropped socket is cut from, so that it never parses
    // what was refused.
    void setParser(QObject *parser)
    {
        parser_ = parser;
    }
    int live() const
    {
        return live_;
    }
    quint64 refused() const
    {
        return refused_;
    }
    quint64 dropped() const
    {
        return dropped_;
    }

signals:
    // A client was dropped or refused, and why; for a log that must not fill from one.
    void problem(const QString &why, const QHostAddress &peer);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    friend class Guard;
    void accept(QTcpSocket *socket);
    bool withinShare(QTcpSocket *socket);

    Limits limits_;
#if QT_CONFIG(ssl)
    std::optional<QSslConfiguration> tls_;
#endif
    QObject *parser_ = nullptr;
    int live_ = 0;
    QHash<QHostAddress, int> perPeer_; // live connections of each client address
    quint64 refused_ = 0;
    quint64 dropped_ = 0;
};

} // namespace quorvane::web
