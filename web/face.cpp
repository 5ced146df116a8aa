// SPDX-License-Identifier: MIT
#include "web/face.h"

#include "protocol/commands.h"
#include "web/listener.h"
#include "web/tls.h"

#include <QTcpSocket>

#include <algorithm>
#include <cstdio>

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>
#include <QWebSocket>

namespace quorvane::web {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

namespace {

const QByteArray &kCookie = Sessions::kCookie;
// A header no cross-site form can send, and no cross-site script either without a preflight
// this server never answers.
const QByteArray kCommandHeader = QByteArrayLiteral("x-quorvane");

QByteArray header(const QHttpServerRequest &request, const QByteArray &name)
{
    for (const auto &[key, value] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QByteArray resource(const QString &name)
{
    QFile f(QStringLiteral(":/web/page/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every header an answer of this face may carry, for HEAD, which sends them alone.
const QByteArray kHeaderNames[] = {
    "Content-Type",    "Content-Security-Policy", "X-Content-Type-Options",
    "Referrer-Policy", "Cache-Control",           "Location",
    "Set-Cookie",      "Content-Disposition"};

QHttpServerResponse respond(const QByteArray &type, const QByteArray &body, Status status)
{
    QHttpServerResponse r(type, body, status);
    // Nothing from elsewhere: the page works in a house without internet, and nothing
    // injected could load or send anything either.
    r.addHeader("Content-Security-Policy",
                "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
    r.addHeader("X-Content-Type-Options", "nosniff");
    r.addHeader("Referrer-Policy", "no-referrer");
    r.addHeader("Cache-Control", "no-store");
    return r;
}

QHttpServerResponse json(const QJsonObject &object, Status status = Status::Ok)
{
    return respond("application/json", QJsonDocument(object).toJson(QJsonDocument::Compact),
                   status);
}

QHttpServerResponse error(Status status, const QString &why)
{
    return json({{QStringLiteral("error"), why}}, status);
}

QHttpServerResponse redirect(const QByteArray &to)
{
    auto r = respond("text/plain", QByteArray(), Status::SeeOther);
    r.addHeader("Location", to);
    return r;
}

} // namespace

// Qt 6.4's server with one handler of our own for every request: routing, the login and
// the bounds of the API stay in one place.
class Server : public QAbstractHttpServer {
public:
    explicit Server(Face &face) : face_(face) {}

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        // Qt 6.4 asks here first, and upgrades a request taken without an answer; the page's
        // live updates are checked once they are a WebSocket (onWebSocket).
        if (upgradesToWebSocket(request.method() == Method::Get, header(request, "upgrade"),
                                header(request, "connection")))
            return true;
        QHttpServerResponse response = face_.handle(request);
        QHttpServerResponder responder = makeResponder(request, socket);
        if (request.method() == Method::Head) {
            // The headers a GET would get, and no body.
            responder.writeStatusLine(response.statusCode());
            for (const QByteArray &name : kHeaderNames) {
                for (const QByteArray &value : response.headers(name))
                    responder.writeHeader(name, value);
            }
            responder.writeHeader("Content-Length", QByteArray::number(response.data().size()));
            responder.writeBody(QByteArray());
        } else {
            response.write(std::move(responder));
        }
        // A client that asks to close, or speaks HTTP/1.0, must not hold a connection for
        // the idle time.
        if (socket->property(kHttp10Property).toBool() ||
            header(request, "connection").toLower().contains("close"))
            socket->disconnectFromHost();
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}

private:
    Face &face_;
};

Face::Face(board::Session &session, Options options, QObject *parent)
    : board::Face(parent), session_(session), options_(std::move(options)),
      server_(std::make_unique<Server>(*this)),
      sessions_(options_.token,
                options_.stateDir.isEmpty() ? QString()
                                            : options_.stateDir + QStringLiteral("/web-sessions"),
                options_.limits.sessions)
{
    addRoutes();
    pushSoon_.setSingleShot(true);
    pushSoon_.setInterval(0);
    connect(&pushSoon_, &QTimer::timeout, this, &Face::push);
    heartbeat_.setInterval(kHeartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, &Face::push);
    connect(&session_, &board::Session::frameEnded, this, [this] {
        recordFrame();
        schedulePush();
    });
    connect(&session_, &board::Session::loadCommanded, this, &Face::schedulePush);
    connect(&session_, &board::Session::availabilityChanged, this, &Face::schedulePush);
    connect(&session_, &board::Session::lineChanged, this, &Face::schedulePush);
    connect(server_.get(), &QAbstractHttpServer::newWebSocketConnection, this, &Face::onWebSocket);
}

Face::~Face()
{
    stop();
}

namespace {
Face *gQuiet = nullptr;
QtMessageHandler gPrevious = nullptr;
} // namespace

void Face::quietQtWarnings(Face *face)
{
    if (face && !gQuiet)
        gPrevious = qInstallMessageHandler(&Face::onQtMessage);
    else if (!face && gQuiet)
        qInstallMessageHandler(gPrevious);
    gQuiet = face;
}

void Face::onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QLatin1String category(context.category ? context.category : "");
    if (gQuiet && type == QtWarningMsg &&
        (text.startsWith(QLatin1String("QIODevice::")) ||
         category.startsWith(QLatin1String("qt.httpserver")) ||
         category.startsWith(QLatin1String("qt.websockets")))) {
        gQuiet->sayProblem(text);
        return;
    }
    if (gPrevious)
        gPrevious(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

void Face::sayProblem(const QString &text)
{
    // A flood of bad clients must not flood the log.
    if (sinceProblemSaid_.isValid() && sinceProblemSaid_.elapsed() < 10000) {
        ++problemsUnsaid_;
        return;
    }
    const int unsaid = std::exchange(problemsUnsaid_, 0);
    sinceProblemSaid_.start();
    say(board::Level::Notice,
        unsaid > 0 ? QStringLiteral("%1 (and %2 more since)").arg(text).arg(unsaid) : text);
}

std::optional<QString> Face::start()
{
    if (const auto why = sessions_.load())
        say(board::Level::Warning, *why);
    quietQtWarnings(this);
    auto *listener = new Listener(options_.limits, server_.get());
    listener->setParser(server_.get());
    connect(
        listener, &Listener::problem, this, [this](const QString &why, const QHostAddress &peer) {
            sayProblem(peer.isNull() ? why : QStringLiteral("%1 (%2)").arg(why, peer.toString()));
        });
    if (options_.tls()) {
#if QT_CONFIG(ssl)
        QSslConfiguration tls;
        if (auto error = loadTls(options_.cert, options_.key, &tls)) {
            delete listener;
            return error;
        }
        listener->setTls(tls);
#else
        delete listener;
        return QStringLiteral("this build of Qt has no TLS");
#endif
    }
    if (!listener->listen(options_.address, options_.port)) {
        const QString why = listener->errorString();
        delete listener;
        return QStringLiteral("cannot serve the web page on %1:%2: %3")
            .arg(options_.address.toString())
            .arg(options_.port)
            .arg(why);
    }
    server_->bind(listener);
    listener_ = listener;
    heartbeat_.start();
    say(board::Level::Info,
        QStringLiteral("web page on %1://%2:%3/%4")
            .arg(options_.tls() ? QStringLiteral("https") : QStringLiteral("http"),
                 options_.address.toString())
            .arg(listener->serverPort())
            .arg(options_.token.isEmpty()
                     ? QStringLiteral(" (no token: this machine only, and without a login)")
                     : QString()));
    return std::nullopt;
}

void Face::stop()
{
    quietQtWarnings(nullptr);
    heartbeat_.stop();
    pushSoon_.stop();
    for (QWebSocket *page : std::exchange(pages_, {})) {
        page->disconnect(this);
        page->close(QWebSocketProtocol::CloseCodeGoingAway);
        page->deleteLater();
    }
    if (listener_)
        listener_->close();
}

void Face::reload()
{
    if (!options_.tls() || !listener_)
        return;
#if QT_CONFIG(ssl)
    QSslConfiguration tls;
    if (const auto error = loadTls(options_.cert, options_.key, &tls)) {
        say(board::Level::Warning,
            QStringLiteral("kept the web certificate in use: %1").arg(*error));
        return;
    }
    listener_->setTls(tls);
    say(board::Level::Info, QStringLiteral("web certificate and key read again from %1 and %2")
                                .arg(options_.cert, options_.key));
#endif
}

quint16 Face::port() const
{
    return listener_ ? listener_->serverPort() : 0;
}

void Face::recordFrame()
{
    record::FrameValues values;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (session_.reading(i))
            values[i] = session_.boardValue(i).toLatin1().toStdString();
    }
    const auto when = session_.newestFrame();
    history_.add(when ? when->toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch(), values);
}

QJsonObject Face::state() const
{
    QJsonObject readings;
    QJsonObject labels;
    for (std::size_t i = 0; i < board::Session::kReadingCount; ++i) {
        const auto &row = protocol::kReadingRows[i];
        const QString name = QString::fromLatin1(row.name.data(), qsizetype(row.name.size()));
        const auto &label = session_.reading(i);
        readings[name] = label ? QJsonValue(session_.boardValue(i)) : QJsonValue();
        labels[name] = label ? QJsonValue(*label) : QJsonValue();
    }
    QJsonArray loads;
    for (int n = protocol::kFirstLoad; n <= protocol::kLastLoad; ++n) {
        const auto on = session_.load(n);
        loads.append(on ? QJsonValue(*on) : QJsonValue());
    }
    const board::Health h = session_.health();
    const auto &newest = h.newestFrame;
    return {
        {QStringLiteral("seq"), double(seq_)},
        {QStringLiteral("time"), double(QDateTime::currentMSecsSinceEpoch())},
        {QStringLiteral("readings"), readings},
        {QStringLiteral("labels"), labels},
        {QStringLiteral("loads"), loads},
        {QStringLiteral("available"), h.available},
        {QStringLiteral("line"), h.lineOpen},
        {QStringLiteral("silent"), h.silent},
        {QStringLiteral("lineName"), session_.lineName()},
        {QStringLiteral("health"),
         QJsonObject{
             {QStringLiteral("frames"), double(h.counters.frames)},
             {QStringLiteral("lineLosses"), double(h.counters.lineLosses)},
             {QStringLiteral("framesLastMinute"), h.framesLastMinute},
             {QStringLiteral("uptimeMs"), double(h.uptimeMs)},
             {QStringLiteral("newestFrame"),
              newest ? QJsonValue(newest->toString(Qt::ISODateWithMs)) : QJsonValue()},
             {QStringLiteral("newestFrameMs"),
              newest ? QJsonValue(double(newest->toMSecsSinceEpoch())) : QJsonValue()},
             {QStringLiteral("newestFrameAgeMs"),
              h.newestFrameAgeMs ? QJsonValue(double(*h.newestFrameAgeMs)) : QJsonValue()},
             {QStringLiteral("pages"), int(pages_.size())},
         }},
    };
}

void Face::schedulePush()
{
    // Signals of one turn of the event loop (a frame end and the availability it brought) go
    // out as one message.
    if (!pushSoon_.isActive())
        pushSoon_.start();
}

void Face::push()
{
    ++seq_;
    if (pages_.empty())
        return;
    const QString text = QString::fromUtf8(QJsonDocument(state()).toJson(QJsonDocument::Compact));
    // A copy: a page aborted here leaves pages_ from inside abort().
    const std::vector<QWebSocket *> pages = pages_;
    for (QWebSocket *page : pages) {
        // A page that does not take what it is sent is dropped, not waited for.
        if (page->bytesToWrite() > options_.limits.pushBacklog) {
            page->abort();
            continue;
        }
        page->sendTextMessage(text);
    }
}

void Face::onWebSocket()
{
    while (server_->hasPendingWebSocketConnections()) {
        QWebSocket *page = server_->nextPendingWebSocketConnection().release();
        page->setParent(this);
        const QNetworkRequest request = page->request();
        const QByteArray host = request.rawHeader("Host");
        const QByteArray cookies = request.rawHeader("Cookie");
        const bool ok =
            request.url().path() == QLatin1String("/api/live") && hostAllowed(host) &&
            sameOrigin(request.rawHeader("Origin"), host) &&
            sessions_.check(cookies, request.rawHeader("Authorization"),
                            page->peerAddress().toString()) == Sessions::Verdict::Granted;
        if (!ok) {
            page->abort();
            page->deleteLater();
            continue;
        }
        // Pages send nothing that matters; a large message is a misbehaving client.
        page->setMaxAllowedIncomingFrameSize(1024);
        page->setMaxAllowedIncomingMessageSize(1024);
        pages_.push_back(page);
        pageLogins_.insert(page, sessions_.loginOf(cookies));
        connect(page, &QWebSocket::disconnected, this, [this, page] {
            std::erase(pages_, page);
            pageLogins_.remove(page);
            page->deleteLater();
        });
        // Every frame the page sends is answered (a ping with a pong): a page that sends and
        // never reads is dropped by the same bound as one that does not take its updates.
        if (auto *socket = socketOf(page)) {
            connect(socket, &QAbstractSocket::readyRead, page, [this, page] {
                if (page->bytesToWrite() > options_.limits.pushBacklog)
                    page->abort();
            });
        }
        page->sendTextMessage(
            QString::fromUtf8(QJsonDocument(state()).toJson(QJsonDocument::Compact)));
    }
}

QAbstractSocket *Face::socketOf(QWebSocket *page) const
{
    // The page's connection is still the listener's child after the upgrade.
    if (auto *socket = page->findChild<QAbstractSocket *>())
        return socket;
    if (!listener_)
        return nullptr;
    for (auto *socket : listener_->findChildren<QAbstractSocket *>(Qt::FindDirectChildrenOnly)) {
        if (socket->peerPort() == page->peerPort() && socket->peerAddress() == page->peerAddress())
            return socket;
    }
    return nullptr;
}

void Face::closeLoggedOutPages()
{
    // A copy: a page aborted here leaves pages_ from inside abort().
    const std::vector<QWebSocket *> pages = pages_;
    for (QWebSocket *page : pages) {
        const QByteArray login = pageLogins_.value(page);
        if (!login.isEmpty() && !sessions_.listed(login))
            page->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("logged out"));
    }
}

void Face::wrongToken(const QString &peer)
{
    if (const int count = sessions_.failed(peer))
        say(board::Level::Notice, QStringLiteral("%1 wrong web token%2 from %3")
                                      .arg(count)
                                      .arg(count > 1 ? "s" : "")
                                      .arg(peer));
}

bool Face::hostAllowed(const QByteArray &host) const
{
    if (!options_.token.isEmpty())
        return true;
    // Without a login, a page elsewhere must not reach this one by a name of its own that
    // resolves to 127.0.0.1.
    const QByteArray port = ':' + QByteArray::number(this->port());
    // A browser leaves the scheme's own port out of Host.
    const bool defaultPort = this->port() == (options_.tls() ? 443 : 80);
    for (const QByteArray &name : {QByteArray("127.0.0.1"), QByteArray("localhost")}) {
        if (host == name + port || (defaultPort && host == name))
            return true;
    }
    return false;
}

bool Face::sameOrigin(const QByteArray &origin, const QByteArray &host) const
{
    if (origin.isEmpty())
        return true; // not a browser
    return origin == (options_.tls() ? "https://" : "http://") + host;
}

Sessions::Verdict Face::verdict(const QHttpServerRequest &request)
{
    const QByteArray authorization = header(request, "authorization");
    const QString peer = request.remoteAddress().toString();
    const auto v = sessions_.check(header(request, "cookie"), authorization, peer);
    if (v == Sessions::Verdict::Denied && authorization.startsWith("Bearer "))
        wrongToken(peer);
    return v;
}

QHttpServerResponse Face::login(const QHttpServerRequest &request)
{
    if (sessions_.open())
        return redirect("/"); // no token, no login
    if (request.method() == Method::Get)
        return respond("text/html; charset=utf-8", resource(QStringLiteral("login.html")),
                       Status::Ok);
    if (request.method() != Method::Post)
        return error(Status::MethodNotAllowed, QStringLiteral("GET or POST"));
    const QString peer = request.remoteAddress().toString();
    if (sessions_.paused(peer))
        return error(Status::TooManyRequests, QStringLiteral("wait a second and try again"));
    // A form encodes a blank as "+", which QUrlQuery leaves as it is.
    QByteArray body = request.body();
    body.replace('+', ' ');
    const QUrlQuery form(QString::fromUtf8(body));
    const QByteArray given =
        form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8().trimmed();
    if (!sessions_.tokenMatches(given)) {
        wrongToken(peer);
        return redirect("/login?wrong");
    }
    const QByteArray id = sessions_.begin();
    auto r = redirect("/");
    r.addHeader("Set-Cookie", kCookie + '=' + id + "; Path=/; HttpOnly; SameSite=Strict" +
                                  (options_.tls() ? "; Secure" : ""));
    return r;
}

void Face::addRoutes()
{
    using M = Route::Method;
    const auto file = [](const char *name, const char *type) {
        return [name, type](const QHttpServerRequest &) {
            return respond(type, resource(QLatin1String(name)), Status::Ok);
        };
    };
    const auto page = file("index.html", "text/html; charset=utf-8");
    routes_.add({M::Get, QStringLiteral("/style.css"), false, file("style.css", "text/css")});
    routes_.add({M::Get, QStringLiteral("/login.js"), false, file("login.js", "text/javascript")});
    routes_.add({M::Any, QStringLiteral("/login"), false,
                 [this](const QHttpServerRequest &r) { return login(r); }});
    routes_.add({M::Get, QStringLiteral("/"), true, page});
    routes_.add({M::Get, QStringLiteral("/index.html"), true, page});
    routes_.add({M::Get, QStringLiteral("/app.js"), true, file("app.js", "text/javascript")});
    const auto logout = [this](bool everywhere) {
        return [this, everywhere](const QHttpServerRequest &request) {
            if (everywhere)
                sessions_.endAll();
            else
                sessions_.end(header(request, "cookie"));
            closeLoggedOutPages();
            if (everywhere)
                say(board::Level::Notice, QStringLiteral("every web login ended (from %1)")
                                              .arg(request.remoteAddress().toString()));
            auto r = json({});
            r.addHeader("Set-Cookie", kCookie + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
            return r;
        };
    };
    routes_.add({M::Post, QStringLiteral("/logout"), true, logout(false)});
    routes_.add({M::Post, QStringLiteral("/api/logout-all"), true, logout(true)});
    routes_.add({M::Get, QStringLiteral("/api/state"), true,
                 [this](const QHttpServerRequest &) { return json(state()); }});
    routes_.add({M::Get, QStringLiteral("/api/history"), true,
                 [this](const QHttpServerRequest &r) { return history(r, false); }});
    routes_.add({M::Get, QStringLiteral("/history.csv"), true,
                 [this](const QHttpServerRequest &r) { return history(r, true); }});
    for (const char *path : {"/api/all", "/api/load/"})
        routes_.add({M::Post, QLatin1String(path), true,
                     [this](const QHttpServerRequest &r) { return command(r); }});
}

QHttpServerResponse Face::handle(const QHttpServerRequest &request)
{
    const QByteArray host = header(request, "host");
    if (!hostAllowed(host))
        return error(Status::MisdirectedRequest, QStringLiteral("use 127.0.0.1"));
    const QString path = request.url().path();
    const Routes::Match match = routes_.find(request.method(), path);
    if (match.route && !match.route->login)
        return match.route->handler(request);
    const bool get = request.method() == Method::Get || request.method() == Method::Head;
    const auto v = verdict(request);
    if (v == Sessions::Verdict::Paused)
        return error(Status::TooManyRequests, QStringLiteral("wait a second and try again"));
    if (v == Sessions::Verdict::Denied) {
        if (get && (path == QLatin1String("/") || path == QLatin1String("/index.html")))
            return redirect("/login");
        return error(Status::Unauthorized, QStringLiteral("log in at /login, or send "
                                                          "Authorization: Bearer TOKEN"));
    }
    if (request.method() == Method::Post) {
        // Changes come only with the header, and from this origin when from a browser.
        if (header(request, kCommandHeader).isEmpty() ||
            !sameOrigin(header(request, "origin"), host))
            return error(Status::Forbidden,
                         QStringLiteral("changes need the header X-Quorvane: 1"));
    } else if (!get) {
        return error(Status::MethodNotAllowed, QStringLiteral("GET, or POST for changes"));
    }
    if (match.route)
        return match.route->handler(request);
    if (match.pathKnown)
        return error(Status::MethodNotAllowed, QStringLiteral("not with this method"));
    return error(Status::NotFound, path.startsWith(QLatin1String("/api/"))
                                       ? QStringLiteral("no such API")
                                       : QStringLiteral("no such page"));
}

QHttpServerResponse Face::history(const QHttpServerRequest &request, bool csv)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QUrlQuery query = request.query();
    qint64 since = now - History::kDayMs;
    if (query.hasQueryItem(QStringLiteral("since"))) {
        const auto given = History::parseSince(query.queryItemValue(QStringLiteral("since")));
        if (!given)
            return error(Status::BadRequest,
                         QStringLiteral("since takes milliseconds since 1970 or an ISO 8601 "
                                        "time with its zone"));
        since = *given;
    }
    const auto points = history_.since(since, now);
    if (csv) {
        auto r = respond("text/csv; charset=utf-8", History::csv(points), Status::Ok);
        r.addHeader("Content-Disposition", "attachment; filename=\"readings.csv\"");
        return r;
    }
    return json(History::json(points));
}

QHttpServerResponse Face::command(const QHttpServerRequest &request)
{
    const QByteArray word = request.body().trimmed().toLower();
    if (word != "on" && word != "off")
        return error(Status::BadRequest, QStringLiteral("send on or off"));
    const bool on = word == "on";
    const board::Origin origin{board::Origin::Kind::Web, request.remoteAddress().toString()};
    const QString path = request.url().path();
    std::optional<QString> refused;
    static const QLatin1String loadPrefix("/api/load/");
    if (path.startsWith(loadPrefix)) {
        bool ok = false;
        const int n = path.mid(loadPrefix.size()).toInt(&ok);
        if (!ok || !protocol::isLoadNumber(n))
            return error(Status::NotFound,
                         QStringLiteral("loads are numbered 1 to %1").arg(protocol::kLastLoad));
        refused = session_.switchLoad(n, on, origin);
    } else {
        refused = session_.switchAll(on, origin);
    }
    if (refused)
        return error(Status::Conflict, *refused);
    return json(state());
}

} // namespace quorvane::web
