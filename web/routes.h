// SPDX-License-Identifier: MIT
// What the web face answers: a table of routes, each a method, a path, whether it needs a
// login, and its handler. Faces beside the web face (metrics) add routes of their own.
#pragma once

#include <QByteArray>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QString>

#include <functional>
#include <vector>

namespace quorvane::web {

// Whether a request is one the HTTP server upgrades to a WebSocket: a GET with "Upgrade:
// websocket" and "upgrade" among its Connection options. The connection guard and the server
// both ask this, so that they never disagree.
bool upgradesToWebSocket(bool get, const QByteArray &upgrade, const QByteArray &connection);

struct Route {
    using Handler = std::function<QHttpServerResponse(const QHttpServerRequest &)>;
    enum class Method { Any, Get, Post }; // Get answers HEAD too
    Method method = Method::Get;
    QString path;      // exact, or every path below it when it ends in '/' (not "/" itself)
    bool login = true; // false: served to anyone (the login page and what it needs)
    Handler handler;
};

class Routes {
public:
    void add(Route route) { routes_.push_back(std::move(route)); }
    struct Match {
        const Route *route = nullptr; // for this method and path
        bool pathKnown = false;       // some route has the path, for another method
    };
    Match find(QHttpServerRequest::Method method, const QString &path) const;

private:
    std::vector<Route> routes_;
};

} // namespace quorvane::web
