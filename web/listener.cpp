// SPDX-License-Identifier: MIT
#include "web/listener.h"

#include "web/routes.h"

#include <QPointer>
#include <QTcpSocket>

#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

#include <unistd.h>

namespace quorvane::web {

// Follows the request framing of one connection on the bytes the HTTP server has not seen
// yet: each byte is looked at once, a request's head is kept only up to its bound.
class Guard : public QObject {
public:
    static constexpr int kCloseMs = 5000;                 // for a closing socket to go
    static constexpr qint64 kUnreadAnswers = 1024 * 1024; // bytes a client has not taken
    Guard(QTcpSocket *socket, Listener *listener)
        : QObject(socket), socket_(socket), listener_(listener), limits_(listener->limits_),
          peer_(socket->peerAddress())
    {
        // Qt would read all a pipelining client sends ahead of the server, megabytes, and each
        // readyRead would look it all over again: two whole requests ahead are plenty.
        socket->setReadBufferSize(2 * qint64(limits_.head + limits_.body));
        timer_.setSingleShot(true);
        // The first request must come as promptly as any other.
        timer_.start(limits_.requestMs);
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (state_ == State::Passing) {
                // An upgrade cuts our connections to the socket; one still there means the
                // server never upgraded it, and nothing bounds it any more.
                if (QObject::disconnect(after_))
                    drop("asked for a WebSocket it was never given", QByteArray());
                return;
            }
            if (inRequest_ || !served_) {
                drop("did not send its request in time", QByteArray());
                return;
            }
            socket_->disconnectFromHost(); // idle keep-alive
            // A peer that takes nothing would hold the closing socket for good.
            QTimer::singleShot(kCloseMs, socket_, [s = socket_] { s->abort(); });
        });
        connect(socket, &QTcpSocket::readyRead, this, &Guard::before);
        ++listener->live_;
        ++listener->perPeer_[peer_];
    }
    // The socket's child, so it goes with the socket however that goes: Qt 6.4 cuts every
    // connection of a socket it upgrades to a WebSocket, a destroyed() handler's too.
    ~Guard() override
    {
        if (!listener_)
            return;
        --listener_->live_;
        if (const auto it = listener_->perPeer_.find(peer_);
            it != listener_->perPeer_.end() && --*it <= 0)
            listener_->perPeer_.erase(it);
    }

private:
    void before()
    {
        if (!after_) {
            // Connected now, so it runs after the HTTP server's own handler: what that left
            // unread is what the next call must not count again.
            after_ = connect(socket_, &QTcpSocket::readyRead, this,
                             [this] { unread_ = socket_->bytesAvailable(); });
        }
        if (state_ == State::Dead || !socket_->isOpen())
            return;
        if (state_ == State::Passing) {
            // An upgrade cuts our connections to the socket; bytes still reaching us mean
            // the server did not upgrade, and would take them unbounded.
            drop("asked for a WebSocket it was never given", QByteArray());
            return;
        }
        // Answers pile up for a client that sends and never reads.
        if (socket_->bytesToWrite() > kUnreadAnswers) {
            drop("does not read its answers", QByteArray());
            return;
        }
        const QByteArray bytes = socket_->peek(socket_->bytesAvailable()).mid(unread_);
        for (qsizetype i = 0; i < bytes.size() && state_ != State::Dead; ++i) {
            if (state_ == State::Body) {
                const qint64 take = std::min<qint64>(bodyLeft_, bytes.size() - i);
                bodyLeft_ -= take;
                i += take - 1;
                if (bodyLeft_ == 0)
                    complete();
                continue;
            }
            if (state_ == State::Passing)
                break;
            headByte(bytes[i]);
        }
    }

    void headByte(char c)
    {
        if (!inRequest_) {
            // Blank lines between requests are allowed and are no request yet.
            if (c == '\r' || c == '\n')
                return;
            inRequest_ = true;
            timer_.start(limits_.requestMs);
        }
        // A CR is a line end's only: a parser that took it for one alone would frame the
        // request apart from us.
        if (std::exchange(cr_, c == '\r') && c != '\n') {
            drop("sent a bare CR", "400 Bad Request");
            return;
        }
        if (head_.size() >= limits_.head) {
            drop("sent headers over the bound", "431 Request Header Fields Too Large");
            return;
        }
        head_ += c;
        if (!lineEnded_) {
            if (c == '\n')
                lineEnded_ = true;
            else if (c != '\r' && ++lineLength_ > limits_.requestLine) {
                drop("sent a request line over the bound", "414 URI Too Long");
                return;
            }
        }
        if (head_.endsWith("\r\n\r\n") || head_.endsWith("\n\n"))
            headEnded();
    }

    void headEnded()
    {
        // Anything the server's parser could read otherwise than we do is refused: the two
        // must never disagree on where a request ends.
        qint64 length = 0;
        QByteArray upgrade;
        QByteArray connection;
        int lengths = 0;
        bool chunked = false;
        int hosts = 0;
        int upgrades = 0;
        const QList<QByteArray> lines = head_.split('\n');
        const QByteArray requestLine = lines.value(0).trimmed();
        for (qsizetype n = 1; n < lines.size(); ++n) {
            const QByteArray &line = lines[n];
            if (line.startsWith(' ') || line.startsWith('\t')) {
                drop("sent a folded header", "400 Bad Request");
                return;
            }
            const auto colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length") {
                bool ok = false;
                length = value.toLongLong(&ok);
                if (!ok || length < 0 || ++lengths > 1) {
                    drop("sent a bad or second Content-Length", "400 Bad Request");
                    return;
                }
            } else if (name == "transfer-encoding") {
                chunked = true;
            } else if (name == "upgrade") {
                upgrade = value;
                ++upgrades;
            } else if (name == "connection") {
                connection += ',' + value;
            } else if (name == "host") {
                ++hosts;
            }
        }
        if (hosts > 1 || upgrades > 1 || (chunked && lengths > 0)) {
            drop("sent a second Host or Upgrade, or two body lengths", "400 Bad Request");
            return;
        }
        if (chunked) {
            // The API's bodies are a word; a length is always known.
            drop("sent a chunked body", "411 Length Required");
            return;
        }
        if (length > limits_.body) {
            drop("sent a body over the bound", "413 Payload Too Large");
            return;
        }
        const bool get = requestLine.startsWith("GET ");
        // HTTP/1.0 closes after each answer unless it asks otherwise; the server does not
        // know the version, so it is told here.
        socket_->setProperty(kHttp10Property, requestLine.endsWith("HTTP/1.0") &&
                                                  !connection.toLower().contains("keep-alive"));
        head_.clear();
        lineEnded_ = false;
        lineLength_ = 0;
        cr_ = false;
        // Only what the server upgrades is let through.
        if (upgradesToWebSocket(get, upgrade, connection)) {
            // From here the bytes are WebSocket frames, bounded by the face's own limits;
            // the timer checks that the upgrade did happen.
            state_ = State::Passing;
            timer_.start(limits_.requestMs);
            return;
        }
        if (upgrades > 0 && connection.toLower().contains("upgrade")) {
            // The server would take it as an upgrade of a kind it does not do.
            drop("asked for an upgrade that is not a WebSocket", "400 Bad Request");
            return;
        }
        bodyLeft_ = length;
        if (bodyLeft_ > 0)
            state_ = State::Body;
        else
            complete();
    }

    void complete()
    {
        state_ = State::Head;
        inRequest_ = false;
        served_ = true;
        timer_.start(limits_.idleMs);
    }

    void drop(const char *why, const QByteArray &status)
    {
        state_ = State::Dead;
        if (!listener_)
            return;
        ++listener_->dropped_;
        emit listener_->problem(QStringLiteral("a web client %1").arg(QLatin1String(why)),
                                socket_->peerAddress());
        if (listener_->parser_)
            QObject::disconnect(socket_, &QTcpSocket::readyRead, listener_->parser_, nullptr);
        disconnect(after_);
        socket_->read(socket_->bytesAvailable());
        // Whatever else it sends is read off and thrown away until it is gone.
        connect(socket_, &QTcpSocket::readyRead, this,
                [this] { socket_->read(socket_->bytesAvailable()); });
        if (!status.isEmpty()) {
            socket_->write("HTTP/1.1 " + status +
                           "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
            socket_->disconnectFromHost();
        }
        // Queued: the socket may be inside its own signal now.
        QTimer::singleShot(status.isEmpty() ? 0 : 1000, socket_, [s = socket_] { s->abort(); });
    }

    enum class State { Head, Body, Passing, Dead };
    QTcpSocket *socket_;
    QPointer<Listener> listener_;
    const Limits limits_;
    const QHostAddress peer_;
    QTimer timer_;
    QMetaObject::Connection after_;
    qint64 unread_ = 0;
    State state_ = State::Head;
    QByteArray head_;
    bool lineEnded_ = false;
    bool cr_ = false;    // the byte before was a CR
    int lineLength_ = 0; // without its line end
    bool inRequest_ = false;
    bool served_ = false;
    qint64 bodyLeft_ = 0;
};

Listener::Listener(const Limits &limits, QObject *parent) : QTcpServer(parent), limits_(limits)
{
    // Connections are counted here; the kernel's backlog holds a burst until they are.
    setMaxPendingConnections(limits.connections);
    setListenBacklogSize(256);
}

void Listener::incomingConnection(qintptr descriptor)
{
    if (live_ >= limits_.connections) {
        ++refused_;
        ::close(int(descriptor));
        emit problem(QStringLiteral("a web client was refused: %1 connections are open").arg(live_),
                     QHostAddress());
        return;
    }
#if QT_CONFIG(ssl)
    if (tls_) {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor) || !withinShare(socket)) {
            delete socket;
            return;
        }
        accept(socket);
        socket->setSslConfiguration(*tls_);
        // Until the HTTP server has it, a socket that goes is this server's to delete.
        const auto orphan =
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QSslSocket::encrypted, this, [this, socket, orphan] {
            disconnect(orphan);
            addPendingConnection(socket);
            emit newConnection();
        });
        connect(socket, &QSslSocket::errorOccurred, socket, [socket] { socket->abort(); });
        socket->startServerEncryption();
        return;
    }
#endif
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor) || !withinShare(socket)) {
        delete socket;
        return;
    }
    accept(socket);
    addPendingConnection(socket);
}

bool Listener::withinShare(QTcpSocket *socket)
{
    // One address (a guest's phone, a broken plug) must not hold every connection; a TLS
    // handshake not yet finished counts against its address like any other.
    const QHostAddress peer = socket->peerAddress();
    const int held = perPeer_.value(peer);
    if (held < limits_.perAddress)
        return true;
    ++refused_;
    socket->abort();
    emit problem(
        QStringLiteral("a web client was refused: its address holds %1 connections").arg(held),
        peer);
    return false;
}

void Listener::accept(QTcpSocket *socket)
{
    new Guard(socket, this);
}

} // namespace quorvane::web
