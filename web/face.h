// SPDX-License-Identifier: MIT
// The web face of the bridge: one page and a small API over the board session, beside the
// MQTT face. Commands take the session's one command path; every open page is told each
// change over a WebSocket. One thread, the Qt event loop.
#pragma once

#include "board/session.h"
#include "web/history.h"
#include "web/options.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class QHttpServerRequest;
class QHttpServerResponse;
class QWebSocket;

namespace quorvane::web {

class Listener;
class Server;

class Face : public QObject {
    Q_OBJECT
public:
    static constexpr int kHeartbeatMs = 5000;  // a page hears from the bridge at least this often
    static constexpr int kLoginPauseMs = 1000; // after a wrong token, before the next try
    static constexpr int kFailedLoginsKept = 256; // addresses whose pause is remembered
    static constexpr qint64 kSessionMs = 30LL * 24 * 3600 * 1000; // then log in again

    Face(board::Session &session, Options options, QObject *parent = nullptr);
    ~Face() override;

    void setLogSink(board::LogSink sink) { log_ = std::move(sink); }
    // Listens; says why it cannot.
    std::optional<QString> start();
    void stop();

    quint16 port() const;
    const Listener &listener() const { return *listener_; }
    History &history() { return history_; }
    int pages() const { return int(pages_.size()); }
    // What /api/state answers and every page is sent.
    QJsonObject state() const;

private:
    friend class Server;
    QHttpServerResponse handle(const QHttpServerRequest &request);
    QHttpServerResponse api(const QHttpServerRequest &request, const QString &path);
    QHttpServerResponse login(const QHttpServerRequest &request);
    bool authorized(const QHttpServerRequest &request) const;
    bool authorized(const QByteArray &cookie, const QByteArray &authorization) const;
    QByteArray sign(const QByteArray &session) const;
    QByteArray newSession() const;
    bool validSession(const QByteArray &cookie) const;
    bool hostAllowed(const QByteArray &host) const;
    bool sameOrigin(const QByteArray &origin, const QByteArray &host) const;
    void onWebSocket();
    void schedulePush();
    void push();
    void recordFrame();
    void say(board::Level level, const QString &text) const;
    void sayProblem(const QString &text);

    board::Session &session_;
    Options options_;
    std::unique_ptr<Server> server_;
    Listener *listener_ = nullptr; // owned by server_
    History history_;
    // When each address last gave a wrong token: the pause is its own, so a stranger's
    // guesses cannot lock the owner out. Bounded; the oldest entries go first.
    QHash<QString, QElapsedTimer> failedLogins_;
    std::vector<QWebSocket *> pages_;
    QTimer pushSoon_;
    QTimer heartbeat_;
    quint64 seq_ = 0;
    board::LogSink log_;
    QElapsedTimer sinceProblemSaid_;
    int problemsUnsaid_ = 0;
};

} // namespace quorvane::web
