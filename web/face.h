// SPDX-License-Identifier: MIT
// The web face of the bridge: one page and a small API over the board session, beside the
// MQTT face. Commands take the session's one command path; every open page is told each
// change over a WebSocket. One thread, the Qt event loop.
#pragma once

#include "board/face.h"
#include "board/session.h"
#include "web/history.h"
#include "web/options.h"
#include "web/routes.h"
#include "web/sessions.h"

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
class QAbstractSocket;
class QWebSocket;

namespace quorvane::web {

class Listener;
class Server;

class Face : public board::Face {
    Q_OBJECT
public:
    static constexpr int kHeartbeatMs = 5000; // a page hears from the bridge at least this often
    static constexpr int kLoginPauseMs = Sessions::kLoginPauseMs;

    Face(board::Session &session, Options options, QObject *parent = nullptr);
    ~Face() override;

    QString name() const override { return QStringLiteral("web"); }
    // Listens; says why it cannot.
    std::optional<QString> start() override;
    void stop() override;
    // A renewed certificate and key for new connections; open pages keep theirs. A pair
    // that cannot be used leaves the old one, and says why.
    void reload() override;

    // Where other faces add what they serve beside the page.
    Routes &routes() { return routes_; }
    quint16 port() const;
    const Listener &listener() const { return *listener_; }
    History &history() { return history_; }
    int pages() const { return int(pages_.size()); }
    // What /api/state answers and every page is sent.
    QJsonObject state() const;

private:
    friend class Server;
    void addRoutes();
    QHttpServerResponse handle(const QHttpServerRequest &request);
    QHttpServerResponse history(const QHttpServerRequest &request, bool csv);
    QHttpServerResponse command(const QHttpServerRequest &request);
    QHttpServerResponse login(const QHttpServerRequest &request);
    Sessions::Verdict verdict(const QHttpServerRequest &request);
    void wrongToken(const QString &peer);
    void closeLoggedOutPages();
    QAbstractSocket *socketOf(QWebSocket *page) const;
    bool hostAllowed(const QByteArray &host) const;
    bool sameOrigin(const QByteArray &origin, const QByteArray &host) const;
    void onWebSocket();
    void schedulePush();
    void push();
    void recordFrame();
    void sayProblem(const QString &text);
    // Qt's own warnings of sockets refused or closed under it go through sayProblem while
    // `face` is serving, so that a flood of bad clients cannot flood the log; nullptr ends it.
    static void quietQtWarnings(Face *face);
    static void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text);

    board::Session &session_;
    Options options_;
    std::unique_ptr<Server> server_;
    Listener *listener_ = nullptr; // owned by server_
    History history_;
    Routes routes_;
    Sessions sessions_;
    std::vector<QWebSocket *> pages_;
    QHash<QWebSocket *, QByteArray> pageLogins_; // the login each page came with, if any
    QTimer pushSoon_;
    QTimer heartbeat_;
    quint64 seq_ = 0;
    QElapsedTimer sinceProblemSaid_;
    int problemsUnsaid_ = 0;
};

} // namespace quorvane::web
