// SPDX-License-Identifier: MIT
#include "web/face.h"

#include "protocol/commands.h"
#include "web/listener.h"

#include <algorithm>

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QUrlQuery>
#include <QWebSocket>

#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#endif

namespace quorvane::web {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

namespace {

const QByteArray kCookie = QByteArrayLiteral("quorvane_session");
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

bool equalInConstantTime(const QByteArray &a, const QByteArray &b)
{
    // The time depends on the given length only, never on where the two differ.
    unsigned diff = unsigned(a.size() ^ b.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= unsigned(char(a[i] ^ (b.isEmpty() ? 0 : b[i % b.size()])));
    return diff == 0;
}

QByteArray cookieValue(const QByteArray &cookies)
{
    for (const QByteArray &c : cookies.split(';')) {
        const QByteArray part = c.trimmed();
        if (part.startsWith(kCookie + '='))
            return part.mid(kCookie.size() + 1);
    }
    return {};
}

QByteArray resource(const QString &name)
{
    QFile f(QStringLiteral(":/web/page/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
        if (header(request, "upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
            // Without "Connection: upgrade" the server hands it here instead of upgrading.
            if (!header(request, "connection").toLower().contains("upgrade")) {
                face_.handle(request).write(makeResponder(request, socket));
                return true;
            }
            return true;
        }
        face_.handle(request).write(makeResponder(request, socket));
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}

private:
    Face &face_;
};

Face::Face(board::Session &session, Options options, QObject *parent)
    : QObject(parent), session_(session), options_(std::move(options)),
      server_(std::make_unique<Server>(*this))
{
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

void Face::say(board::Level level, const QString &text) const
{
    if (log_)
        log_(level, text);
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
    auto *listener = new Listener(options_.limits, server_.get());
    listener->setParser(server_.get());
    connect(
        listener, &Listener::problem, this, [this](const QString &why, const QHostAddress &peer) {
            sayProblem(peer.isNull() ? why : QStringLiteral("%1 (%2)").arg(why, peer.toString()));
        });
    if (options_.tls()) {
#if QT_CONFIG(ssl)
        QFile certFile(options_.cert);
        QFile keyFile(options_.key);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read --http-cert or --http-key");
        const auto chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
        const QByteArray keyBytes = keyFile.readAll();
        QSslKey key(keyBytes, QSsl::Rsa, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
        if (chain.isEmpty() || key.isNull())
            return QStringLiteral("--http-cert or --http-key holds no PEM certificate or key");
        auto tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificateChain(chain);
        tls.setPrivateKey(key);
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        listener->setTls(tls);
#else
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
    const auto newest = session_.newestFrame();
    const auto age = session_.newestFrameAgeMs();
    const auto &counters = session_.counters();
    return {
        {QStringLiteral("seq"), double(seq_)},
        {QStringLiteral("time"), double(QDateTime::currentMSecsSinceEpoch())},
        {QStringLiteral("readings"), readings},
        {QStringLiteral("labels"), labels},
        {QStringLiteral("loads"), loads},
        {QStringLiteral("available"), session_.available()},
        {QStringLiteral("line"), session_.lineOpen()},
        {QStringLiteral("silent"), session_.silent()},
        {QStringLiteral("lineName"), session_.lineName()},
        {QStringLiteral("health"),
         QJsonObject{
             {QStringLiteral("frames"), double(counters.frames)},
             {QStringLiteral("lineLosses"), double(counters.lineLosses)},
             {QStringLiteral("framesLastMinute"), session_.framesInLastMinute()},
             {QStringLiteral("uptimeMs"), double(session_.uptimeMs())},
             {QStringLiteral("newestFrame"),
              newest ? QJsonValue(newest->toString(Qt::ISODateWithMs)) : QJsonValue()},
             {QStringLiteral("newestFrameMs"),
              newest ? QJsonValue(double(newest->toMSecsSinceEpoch())) : QJsonValue()},
             {QStringLiteral("newestFrameAgeMs"), age ? QJsonValue(double(*age)) : QJsonValue()},
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
        const bool ok = request.url().path() == QLatin1String("/api/live") && hostAllowed(host) &&
                        sameOrigin(request.rawHeader("Origin"), host) &&
                        authorized(request.rawHeader("Cookie"), request.rawHeader("Authorization"));
        if (!ok) {
            page->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("log in"));
            page->deleteLater();
            continue;
        }
        // Pages send nothing that matters; a large message is a misbehaving client.
        page->setMaxAllowedIncomingFrameSize(1024);
        page->setMaxAllowedIncomingMessageSize(1024);
        pages_.push_back(page);
        connect(page, &QWebSocket::disconnected, this, [this, page] {
            std::erase(pages_, page);
            page->deleteLater();
        });
        page->sendTextMessage(
            QString::fromUtf8(QJsonDocument(state()).toJson(QJsonDocument::Compact)));
    }
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

bool Face::authorized(const QByteArray &cookie, const QByteArray &authorization) const
{
    if (options_.token.isEmpty())
        return true;
    if (authorization.startsWith("Bearer "))
        return equalInConstantTime(authorization.mid(7).trimmed(), options_.token);
    return validSession(cookieValue(cookie));
}

// A session is its issue time and a random nonce, signed with the token: a bridge that
// restarts with the same token knows its pages again, and nothing is kept per browser.
QByteArray Face::sign(const QByteArray &session) const
{
    return QMessageAuthenticationCode::hash(session, options_.token, QCryptographicHash::Sha256)
        .toHex();
}

QByteArray Face::newSession() const
{
    std::array<quint32, 4> nonce{};
    QRandomGenerator::system()->fillRange(nonce.data(), qsizetype(nonce.size()));
    const QByteArray session =
        QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 16) + '-' +
        QByteArray(reinterpret_cast<const char *>(nonce.data()), sizeof nonce).toHex();
    return session + '-' + sign(session);
}

bool Face::validSession(const QByteArray &cookie) const
{
    const auto cut = cookie.lastIndexOf('-');
    if (cut <= 0)
        return false;
    const QByteArray session = cookie.left(cut);
    if (!equalInConstantTime(cookie.mid(cut + 1), sign(session)))
        return false;
    bool ok = false;
    const qint64 issued = session.left(session.indexOf('-')).toLongLong(&ok, 16);
    return ok && QDateTime::currentMSecsSinceEpoch() - issued < kSessionMs;
}

bool Face::authorized(const QHttpServerRequest &request) const
{
    return authorized(header(request, "cookie"), header(request, "authorization"));
}

QHttpServerResponse Face::login(const QHttpServerRequest &request)
{
    if (request.method() == Method::Get)
        return respond("text/html; charset=utf-8", resource(QStringLiteral("login.html")),
                       Status::Ok);
    if (request.method() != Method::Post)
        return error(Status::MethodNotAllowed, QStringLiteral("GET or POST"));
    const QString peer = request.remoteAddress().toString();
    if (const auto it = failedLogins_.constFind(peer);
        it != failedLogins_.cend() && it->elapsed() < kLoginPauseMs)
        return error(Status::TooManyRequests, QStringLiteral("wait a second and try again"));
    // A form encodes a blank as "+", which QUrlQuery leaves as it is.
    QByteArray body = request.body();
    body.replace('+', ' ');
    const QUrlQuery form(QString::fromUtf8(body));
    const QByteArray given =
        form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8().trimmed();
    if (options_.token.isEmpty() || !equalInConstantTime(given, options_.token)) {
        if (failedLogins_.size() >= kFailedLoginsKept) {
            // Forget the pauses that are over; if none are, the oldest goes.
            failedLogins_.removeIf(
                [](const auto &e) { return e.value().elapsed() >= kLoginPauseMs; });
            if (failedLogins_.size() >= kFailedLoginsKept)
                failedLogins_.erase(
                    std::min_element(failedLogins_.begin(), failedLogins_.end(),
                                     [](const QElapsedTimer &a, const QElapsedTimer &b) {
                                         return a.elapsed() > b.elapsed();
                                     }));
        }
        failedLogins_[peer].start();
        sayProblem(QStringLiteral("a wrong web token was given (%1)")
                       .arg(request.remoteAddress().toString()));
        return redirect("/login?wrong");
    }
    const QByteArray id = newSession();
    auto r = redirect("/");
    r.addHeader("Set-Cookie", kCookie + '=' + id + "; Path=/; HttpOnly; SameSite=Strict" +
                                  (options_.tls() ? "; Secure" : ""));
    return r;
}

QHttpServerResponse Face::handle(const QHttpServerRequest &request)
{
    const QByteArray host = header(request, "host");
    if (!hostAllowed(host))
        return error(Status::MisdirectedRequest, QStringLiteral("use 127.0.0.1"));
    const QString path = request.url().path();
    if (path == QLatin1String("/style.css"))
        return respond("text/css", resource(QStringLiteral("style.css")), Status::Ok);
    if (path == QLatin1String("/login.js"))
        return respond("text/javascript", resource(QStringLiteral("login.js")), Status::Ok);
    if (path == QLatin1String("/login")) {
        if (options_.token.isEmpty())
            return redirect("/");
        return login(request);
    }
    const bool get = request.method() == Method::Get || request.method() == Method::Head;
    if (!authorized(request)) {
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
        if (path == QLatin1String("/logout")) {
            auto r = json({});
            r.addHeader("Set-Cookie", kCookie + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
            return r;
        }
    } else if (!get) {
        return error(Status::MethodNotAllowed, QStringLiteral("GET, or POST for changes"));
    }
    if (path == QLatin1String("/") || path == QLatin1String("/index.html"))
        return respond("text/html; charset=utf-8", resource(QStringLiteral("index.html")),
                       Status::Ok);
    if (path == QLatin1String("/app.js"))
        return respond("text/javascript", resource(QStringLiteral("app.js")), Status::Ok);
    if (path == QLatin1String("/history.csv") || path.startsWith(QLatin1String("/api/")))
        return api(request, path);
    return error(Status::NotFound, QStringLiteral("no such page"));
}

QHttpServerResponse Face::api(const QHttpServerRequest &request, const QString &path)
{
    const bool post = request.method() == Method::Post;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!post && path == QLatin1String("/api/state"))
        return json(state());
    if (!post && (path == QLatin1String("/api/history") || path == QLatin1String("/history.csv"))) {
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
        if (path == QLatin1String("/history.csv")) {
            auto r = respond("text/csv; charset=utf-8", History::csv(points), Status::Ok);
            r.addHeader("Content-Disposition", "attachment; filename=\"readings.csv\"");
            return r;
        }
        return json(History::json(points));
    }
    if (!post)
        return error(Status::NotFound, QStringLiteral("no such API"));

    const QByteArray word = request.body().trimmed().toLower();
    if (word != "on" && word != "off")
        return error(Status::BadRequest, QStringLiteral("send on or off"));
    const bool on = word == "on";
    std::optional<QString> refused;
    static const QLatin1String loadPrefix("/api/load/");
    if (path == QLatin1String("/api/all")) {
        refused = session_.switchAll(on);
    } else if (path.startsWith(loadPrefix)) {
        bool ok = false;
        const int n = path.mid(loadPrefix.size()).toInt(&ok);
        if (!ok || !protocol::isLoadNumber(n))
            return error(Status::NotFound,
                         QStringLiteral("loads are numbered 1 to %1").arg(protocol::kLastLoad));
        refused = session_.switchLoad(n, on);
    } else {
        return error(Status::NotFound, QStringLiteral("no such API"));
    }
    if (refused)
        return error(Status::Conflict, *refused);
    return json(state());
}

} // namespace quorvane::web
