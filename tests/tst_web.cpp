// SPDX-License-Identifier: MIT
// The bridge's web face without a browser: the day of history, the login and its cookie,
// commands on the session's one path, and the bounds every client is held to, with the MQTT
// face of the same bridge going on meanwhile.
#include "bridgerig.h"
#include "columns.h"
#include "httpclient.h"
#include "qtwarnings.h"
#include "web/face.h"
#include "web/history.h"
#include "web/listener.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslCipher>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <cstring>
#include <memory>
#include <vector>

using quorvane::bridge::Options;
using quorvane::web::History;

namespace {

using Subscriber = TestSubscriber;
const QByteArray kToken = "correct-horse-battery-staple";
const QByteArray kBearer = "Authorization: Bearer " + kToken;

// A bridge with its web face on a free port, its board on a pseudo-terminal, and a broker
// only for the cases that show the MQTT face going on beside the page.
struct WebRig : BridgeRig {
    quint16 port = freeLocalPort();
    QByteArray cookie;

    WebRig() : BridgeRig({}, {}, false) {}
    // Starts the bridge with its web face on `port` and `more` options, given the token or not.
    void launch(const QStringList &more = {}, bool token = true)
    {
        QProcessEnvironment env;
        if (token)
            env.insert(QStringLiteral("QUORVANE_HTTP_TOKEN"), QString::fromLatin1(kToken));
        start(QStringList{"--http", QStringLiteral("127.0.0.1:%1").arg(port)} + more, env);
    }
    void up(bool token = true, const std::function<void(Options &)> &change = {}, bool mqtt = false)
    {
        if (mqtt)
            startBroker();
        adjust = change;
        launch({}, token);
        if (failure.isEmpty() && !QTest::qWaitFor([this] { return online; }, kUpMs))
            failure = QStringLiteral("the bridge did not come online: %1")
                          .arg(log.join(QLatin1String("; ")));
    }
    // From `from`, another loopback address when given, waiting up to `ms` for the answer.
    Reply get(const QByteArray &path, const QList<QByteArray> &headers = {},
              const char *from = nullptr, int ms = 3000)
    {
        return exchange(port, request(port, "GET", path, headers), ms, from);
    }
    // A command as the page sends it, logged in.
    Reply command(const QByteArray &path, const QByteArray &body,
                  QList<QByteArray> headers = {"X-Quorvane: 1"})
    {
        if (!cookie.isEmpty())
            headers << "Cookie: quorvane_session=" + cookie;
        return exchange(port, request(port, "POST", path, headers, body));
    }
    Reply login(const QByteArray &token) { return postLogin("token=" + token.toPercentEncoding()); }
    // The login form as a browser posts it, `form` encoded by the caller.
    Reply postLogin(const QByteArray &form)
    {
        const Reply r =
            exchange(port, request(port, "POST", "/login",
                                   {"Content-Type: application/x-www-form-urlencoded"}, form));
        const QByteArray set = r.header("Set-Cookie");
        if (set.startsWith("quorvane_session="))
            cookie = set.mid(17, set.indexOf(';') - 17);
        return r;
    }
    quorvane::web::Face &face() { return *bridge->face<quorvane::web::Face>(); }
};

#define WEB_UP(rig, ...)                                                                           \
    WebRig rig;                                                                                    \
    rig.up(__VA_ARGS__);                                                                           \
    QUORVANE_VERIFY_UP(rig)

} // namespace

class TestWeb : public QObject {
    Q_OBJECT
private slots:
    void init() { failOnQtWarnings(); }

    void historyKeepsTheNewestFrameOfEachSlot()
    {
        History h;
        const qint64 t0 = 1'796'835'190'000; // on a slot's start
        h.add(t0, {"0", "10", "20", "5"});
        h.add(t0 + 9'999, {"1", "11", "21", "6"}); // same slot: replaces
        h.add(t0 + 10'000, {"0", "12", std::nullopt, "7"});
        const auto points = h.since(0, t0 + 20'000);
        QCOMPARE(points.size(), std::size_t(2));
        QCOMPARE(points[0].ms, t0 + 9'999);
        QCOMPARE(*points[0].values[1], std::string("11"));
        QVERIFY(!points[1].values[2]);
        QCOMPARE(History::csv(points), QByteArray("time,pir,light,indoor,outdoor\r\n"
                                                  "2026-12-09T16:53:19.999Z,1,11,21,6\r\n"
                                                  "2026-12-09T16:53:20.000Z,0,12,,7\r\n"));
        QCOMPARE(h.since(t0 + 10'000, t0 + 20'000).size(), std::size_t(1));
    }

    void historyHoldsOneDayInFixedMemory()
    {
        History h;
        const qint64 t0 = 1'796'835'190'000;
        const std::size_t extra = 100;
        for (std::size_t k = 0; k < History::kSlots + extra; ++k)
            h.add(t0 + qint64(k) * History::kSlotMs, {"1", "50", "20", "3"});
        QCOMPARE(h.size(), History::kSlots);
        const qint64 now = t0 + qint64(History::kSlots + extra - 1) * History::kSlotMs;
        const auto day = h.since(0, now);
        // The slot exactly a day old is still in; nothing older.
        QCOMPARE(day.size(), History::kSlots);
        QCOMPARE(day.front().ms, now - History::kDayMs + History::kSlotMs);
        QCOMPARE(day.back().ms, now);
        // A value no board sends is kept cut, never as memory of its own.
        h.add(now + History::kSlotMs, {std::string(40, '9'), "1", "1", "1"});
        QCOMPARE(h.since(now + 1, now + History::kSlotMs).back().values[0]->size(),
                 History::kValueBytes);
    }

    // Both lists of logins are bounded: the oldest entry goes first.
    void loginListsForgetTheOldestFirst()
    {
        using quorvane::web::Sessions;
        Sessions s(kToken, {}, 3);
        QByteArrayList logins;
        for (int i = 0; i < 4; ++i) {
            logins << Sessions::kCookie + '=' + s.begin();
            QTest::qWait(2); // each issued in a millisecond of its own
        }
        QCOMPARE(s.count(), 3);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(s.loginOf(logins[i]).isEmpty(), i == 0);
        // Wrong tokens from more addresses than are remembered: the quietest is forgotten.
        const auto peer = [](int i) {
            return QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256);
        };
        s.failed(peer(0));
        QTest::qWait(2);
        for (int i = 1; i <= Sessions::kFailedLoginsKept; ++i)
            s.failed(peer(i));
        QVERIFY(!s.paused(peer(0)));
        QVERIFY(s.paused(peer(1)) && s.paused(peer(Sessions::kFailedLoginsKept)));
        // Pauses over and said are all forgotten for a new address; a guess after is news.
        QTest::qWait(Sessions::kLoginPauseMs);
        QCOMPARE(s.failed(peer(Sessions::kFailedLoginsKept + 1)), 1);
        QCOMPARE(s.failed(peer(Sessions::kFailedLoginsKept)), 1);
    }

    void sinceIsMillisecondsOrZonedIso_data()
    {
        columns<QString, qint64>("text", "ms"); // ms -1: refused
        QTest::newRow("epoch ms") << "1796835190512" << qint64(1796835190512);
        QTest::newRow("iso Z") << "2026-12-09T16:53:10Z" << qint64(1796835190000);
        QTest::newRow("iso ms offset") << "2026-12-09T17:53:10.512+01:00" << qint64(1796835190512);
        QTest::newRow("no zone") << "2026-12-09T16:53:10" << qint64(-1);
        QTest::newRow("negative") << "-5" << qint64(-1);
        QTest::newRow("exponent") << "12e3" << qint64(-1);
        QTest::newRow("empty") << "" << qint64(-1);
        QTest::newRow("day 32") << "2026-12-32T00:00:00Z" << qint64(-1);
    }
    void sinceIsMillisecondsOrZonedIso()
    {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        QCOMPARE(History::parseSince(text).value_or(-1), ms);
    }

    void nothingWithoutTheToken_data()
    {
        columns<QByteArray, QByteArray, QByteArray, int>("method", "path", "authorization",
                                                         "status");
        const auto row = [](const char *name, const char *method, const char *path,
                            const QByteArray &authorization, int status) {
            QTest::newRow(name) << QByteArray(method) << QByteArray(path) << authorization
                                << status;
        };
        row("state", "GET", "/api/state", {}, 401);
        row("csv", "GET", "/history.csv", {}, 401);
        row("page to login", "GET", "/", {}, 303);
        row("index to login", "GET", "/index.html", {}, 303);
        row("metrics", "GET", "/metrics", {}, 401);
        row("bearer, wrong method", "GET", "/api/all", "Bearer " + kToken, 405);
        row("command", "POST", "/api/all", {}, 401);
        row("logout", "POST", "/logout", {}, 401);
        row("logout everywhere", "POST", "/api/logout-all", {}, 401);
        row("wrong bearer", "GET", "/api/state", "Bearer " + kToken.chopped(1), 401);
        row("bearer wrong in its first letter", "GET", "/api/state", "Bearer X" + kToken.mid(1),
            401);
        row("bearer wrong in its last letter", "GET", "/api/state",
            "Bearer " + kToken.chopped(1) + 'X', 401);
        row("bearer", "GET", "/api/state", "Bearer " + kToken, 200);
        row("login page", "GET", "/login", {}, 200);
        row("login by PUT", "PUT", "/login", {}, 405);
        row("its style", "GET", "/style.css", {}, 200);
        row("its script", "GET", "/login.js", {}, 200);
        row("bearer, PUT", "PUT", "/api/state", "Bearer " + kToken, 405);
        row("bearer, no such API", "GET", "/api/nothing", "Bearer " + kToken, 404);
        row("bearer, no such page", "GET", "/nothing", "Bearer " + kToken, 404);
    }
    void nothingWithoutTheToken()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, authorization);
        QFETCH(int, status);
        WEB_UP(rig);
        QList<QByteArray> headers{"X-Quorvane: 1"};
        if (!authorization.isEmpty())
            headers << "Authorization: " + authorization;
        const Reply r = exchange(rig.port, request(rig.port, method, path, headers, "on"));
        QCOMPARE(r.status, status);
        if (status == 303)
            QCOMPARE(r.header("Location"), QByteArray("/login"));
        QCOMPARE(rig.board->read(1, 200), QByteArray());
    }

    // Without a token the face answers only to this machine's loopback names with its own
    // port: a page elsewhere whose name resolves to 127.0.0.1 gets nothing.
    void anOpenFaceAnswersItsOwnNamesOnly()
    {
        WEB_UP(rig, false);
        const QByteArray port = QByteArray::number(rig.port);
        const std::pair<QByteArray, int> hosts[] = {
            {"127.0.0.1:" + port, 200}, {"localhost:" + port, 200}, {"evil.example:" + port, 421},
            {"127.0.0.1", 421},         {"localhost", 421},         {"127.0.0.1:1" + port, 421}};
        // Nobody to log in: the login page leads to the page.
        QCOMPARE(rig.get("/login").header("Location"), QByteArray("/"));
        for (const auto &[host, status] : hosts) {
            const Reply r =
                exchange(rig.port, "GET /api/state HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
            QVERIFY2(r.status == status, host.constData());
        }
    }

    void metricsBehindTheTokenPassPromtool()
    {
        WEB_UP(rig);
        rig.board->write("XPir:1YLig:64YTp1:28YTp2:-4.5YZ");
        QTRY_COMPARE(rig.bridge->session().counters().frames, quint64(1));
        QCOMPARE(rig.command("/api/load/2", "on", {"X-Quorvane: 1", kBearer}).status, 200);
        const Reply r = rig.get("/metrics", {kBearer});
        QCOMPARE(r.status, 200);
        QVERIFY(r.header("Content-Type").startsWith("text/plain; version=0.0.4"));
        for (const char *line :
             {"quorvane_frames_total 1\n", "quorvane_line_open 1\n", "quorvane_motion 1\n",
              "quorvane_light_ratio 0.64\n", "quorvane_temperature_celsius{place=\"indoor\"} 28\n",
              "quorvane_temperature_celsius{place=\"outdoor\"} -4.5\n",
              "quorvane_load_on{load=\"2\"} 1\n", "quorvane_refused_commands_total 0\n",
              "quorvane_build_info{version=\"" QUORVANE_VERSION "\"} 1\n"})
            QVERIFY2(r.body.contains(line), r.body.constData());
        QVERIFY(!r.body.contains("load=\"1\"")); // never commanded
        QProcess promtool;
        promtool.start(QStringLiteral("promtool"),
                       {QStringLiteral("check"), QStringLiteral("metrics")});
        if (!promtool.waitForStarted())
            QSKIP("promtool is not installed");
        promtool.write(r.body);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished());
        QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
    }

    void loginSetsAStrictCookie()
    {
        WEB_UP(rig);
        Reply r = rig.login("not-the-token-at-all");
        QCOMPARE(r.status, 303);
        QCOMPARE(r.header("Location"), QByteArray("/login?wrong"));
        QVERIFY(rig.cookie.isEmpty());
        // Guessing is slowed: the next try within the pause is refused unread.
        QCOMPARE(rig.login(kToken).status, 429);
        QTest::qWait(quorvane::web::Face::kLoginPauseMs);
        r = rig.login(kToken);
        QCOMPARE(r.status, 303);
        const QByteArray set = r.header("Set-Cookie");
        for (const char *attribute : {"; HttpOnly", "; SameSite=Strict", "; Path=/"})
            QVERIFY2(set.contains(attribute), set.constData());
        QVERIFY(!set.contains(kToken));
        QCOMPARE(rig.get("/api/state", {"Cookie: quorvane_session=" + rig.cookie}).status, 200);
        // Signed with the token: a cookie changed in one place, or made up, is refused.
        QByteArray forged = rig.cookie;
        forged[5] = forged[5] == 'a' ? 'b' : 'a';
        for (const QByteArray &c : {forged, QByteArray("0-0-0"), QByteArray("-")})
            QCOMPARE(rig.get("/api/state", {"Cookie: quorvane_session=" + c}).status, 401);
        QVERIFY(!rig.log.join(QLatin1Char('\n')).contains(QString::fromLatin1(kToken)));
    }

    void commandsTakeTheSessionsPath_data()
    {
        // first: a load switched on before, or none; loads: the session's view after (1 on,
        // 0 off, - unknown); headers: PORT is the face's
        columns<QByteArray, QByteArray, QByteArray, QByteArray, QString, int, QList<QByteArray>>(
            "first", "path", "body", "letters", "loads", "status", "headers");
        const auto row = [](const char *name, const char *first, const char *path, const char *body,
                            const char *letters, const char *loads, int status = 200,
                            const QList<QByteArray> &headers = {"X-Quorvane: 1"}) {
            QTest::newRow(name) << QByteArray(first) << QByteArray(path) << QByteArray(body)
                                << QByteArray(letters) << QString(loads) << status << headers;
        };
        row("load 3 on", "", "/api/load/3", "on", "E", "--1--");
        row("load 5 off", "", "/api/load/5", "off", "J", "----0");
        row("all on", "", "/api/all", "on", "K", "11111");
        row("all off after load 2", "/api/load/2", "/api/all", "off", "LD", "00000");
        row("load 6", "", "/api/load/6", "on", "", "-----", 404);
        row("load 0", "", "/api/load/0", "on", "", "-----", 404);
        row("not a word", "", "/api/load/1", "maybe", "", "-----", 400);
        row("the board unplugged", "unplug", "/api/all", "on", "", "-----", 409);
        // Another site's page cannot send the page's own header, nor hide its origin.
        row("no header", "", "/api/load/3", "on", "", "-----", 403, {});
        row("foreign origin", "", "/api/load/3", "on", "", "-----", 403,
            {"X-Quorvane: 1", "Origin: http://evil.example"});
        row("own origin", "", "/api/load/3", "on", "E", "--1--", 200,
            {"X-Quorvane: 1", "Origin: http://127.0.0.1:PORT"});
    }
    void commandsTakeTheSessionsPath()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, letters);
        QFETCH(QString, loads);
        QFETCH(int, status);
        QFETCH(QList<QByteArray>, headers);
        WEB_UP(rig, true, {}, true);
        rig.login(kToken);
        for (QByteArray &h : headers)
            h.replace("PORT", QByteArray::number(rig.port));
        QUORVANE_SUBSCRIBED(mqtt, rig.broker, {QStringLiteral("quorvane/t1/load/+")});
        if (first == "unplug") {
            rig.board.reset();
            QTRY_VERIFY(!rig.bridge->session().lineOpen());
        } else if (!first.isEmpty()) {
            QCOMPARE(rig.command(first, "on").status, 200);
            rig.board->read(1);
        }
        QCOMPARE(rig.command(path, body, headers).status, status);
        // Where nothing may be sent, a stray letter is waited for (the shorter time).
        const int atLeast = std::max(1, int(letters.size()));
        if (rig.board)
            QCOMPARE(rig.board->read(atLeast, letters.isEmpty() ? 200 : 2000), letters);
        const QJsonArray state = rig.get("/api/state", {"Cookie: quorvane_session=" + rig.cookie})
                                     .json()[QStringLiteral("loads")]
                                     .toArray();
        QString seen;
        for (const auto &v : state)
            seen += QLatin1Char(v.isNull() ? '-' : v.toBool() ? '1' : '0');
        QCOMPARE(seen, loads);
        // Home Assistant hears the same of the first load on.
        if (const auto on = loads.indexOf(QLatin1Char('1')); on >= 0)
            QTRY_COMPARE(mqtt.last.value(QStringLiteral("quorvane/t1/load/%1").arg(on + 1)),
                         QByteArray("ON"));
    }

    void pagesHearEveryChange_data()
    {
        columns<bool, QByteArray, bool>("loggedIn", "origin", "heard");
        QTest::newRow("logged in") << true << QByteArray("http://127.0.0.1:PORT") << true;
        QTest::newRow("no cookie") << false << QByteArray("http://127.0.0.1:PORT") << false;
        QTest::newRow("foreign page") << true << QByteArray("http://evil.example") << false;
    }
    void pagesHearEveryChange()
    {
        QFETCH(bool, loggedIn);
        QFETCH(QByteArray, origin);
        QFETCH(bool, heard);
        WEB_UP(rig, true, [](Options &o) { o.web.limits.requestMs = 300; });
        if (loggedIn)
            rig.login(kToken);
        QList<QJsonObject> got;
        bool closed = false;
        QWebSocket page;
        QObject::connect(&page, &QWebSocket::textMessageReceived, &page, [&](const QString &m) {
            got << QJsonDocument::fromJson(m.toUtf8()).object();
        });
        QObject::connect(&page, &QWebSocket::disconnected, &page, [&] { closed = true; });
        QNetworkRequest req(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/live").arg(rig.port)));
        req.setRawHeader("Cookie", "quorvane_session=" + rig.cookie);
        origin.replace("PORT", QByteArray::number(rig.port));
        req.setRawHeader("Origin", origin);
        page.open(req);
        if (!heard) {
            QTRY_VERIFY_WITH_TIMEOUT(closed, kUpMs);
            QCOMPARE(got.size(), 0);
            QCOMPARE(rig.face().pages(), 0);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), 1, kUpMs); // the state as it is, at once
        QTest::qWait(500); // an open page is no request: no request's bound ends it
        rig.board->write("XPir:1YLig:64YTp1:28YTp2:-4YZ");
        QTRY_VERIFY(!got.isEmpty() &&
                    got.last()[QStringLiteral("labels")][QStringLiteral("light")].toString() ==
                        QLatin1String("64%"));
        QCOMPARE(got.last()[QStringLiteral("labels")][QStringLiteral("indoor")].toString(),
                 QStringLiteral("28 Deg"));
        const auto before = got.size();
        QCOMPARE(rig.command("/api/load/1", "on").status, 200);
        QTRY_VERIFY(got.size() > before && got.last()[QStringLiteral("loads")][0].toBool());
        // A page that sends more than 1 KiB in one message, small frames or not, is ended.
        page.setOutgoingFrameSize(512);
        page.sendTextMessage(QString(1500, QLatin1Char('x')));
        QTRY_VERIFY_WITH_TIMEOUT(closed, kUpMs);
    }

    void historyOverTheApi()
    {
        WEB_UP(rig);
        rig.board->write("XPir:1YLig:darkYTp2:-4YZ"); // a word, and no in-door reading
        QTRY_VERIFY(rig.face().history().size() == 1);
        Reply r = rig.get("/history.csv", {kBearer});
        QCOMPARE(r.status, 200);
        QVERIFY(r.header("Content-Type").startsWith("text/csv"));
        QVERIFY2(r.body.startsWith("time,pir,light,indoor,outdoor\r\n") &&
                     r.body.endsWith(",1,\"dark\",,-4\r\n"),
                 r.body.constData());
        const auto points = [&](const QByteArray &since) -> QJsonValue {
            return rig.get("/api/history?since=" + since, {kBearer})
                .json()[QStringLiteral("points")];
        };
        const QJsonValue all = points("2020-01-01T00:00:00Z");
        QCOMPARE(all.toArray().size(), 1);
        QCOMPARE(all[0], (QJsonArray{all[0][0], 1, "dark", QJsonValue::Null, -4}));
        const auto later = QDateTime::currentMSecsSinceEpoch() + 60000; // none from the future
        QCOMPARE(points(QByteArray::number(later)).toArray().size(), 0);
        QCOMPARE(rig.get("/api/history?since=yesterday", {kBearer}).status, 400);
    }

    void oversizedRequestsDropped_data()
    {
        QTest::addColumn<int>("pathBytes"); // of the request line's target
        // afterBody: pipelined after a request with a body, whose end is counted exactly
        columns<int, int, bool, bool>("headerBytes", "bodyBytes", "dropped", "afterBody");
        // The bounds the README gives: 8 KiB request line, 16 KiB head, 4 KiB body.
        const int line = 8192 - int(strlen("GET  HTTP/1.1"));
        QTest::newRow("line at the bound") << line << 0 << 0 << false << false;
        QTest::newRow("line over") << line + 1 << 0 << 0 << true << false;
        QTest::newRow("headers over") << 10 << 16384 << 0 << true << false;
        QTest::newRow("body at the bound") << 10 << 0 << 4096 << false << false;
        QTest::newRow("body over") << 10 << 0 << 4097 << true << false;
        QTest::newRow("line at the bound after a body") << line << 0 << 0 << false << true;
        QTest::newRow("line over after a body") << line + 1 << 0 << 0 << true << true;
    }
    void oversizedRequestsDropped()
    {
        QFETCH(int, pathBytes);
        QFETCH(int, headerBytes);
        QFETCH(int, bodyBytes);
        QFETCH(bool, dropped);
        QFETCH(bool, afterBody);
        WEB_UP(rig, true, {}, true);
        QUORVANE_SUBSCRIBED(mqtt, rig.broker, {QStringLiteral("quorvane/t1/light")});
        const QByteArray path = "/" + QByteArray(pathBytes - 1, 'a');
        QList<QByteArray> headers;
        if (headerBytes > 0)
            headers << "X-Filler: " + QByteArray(headerBytes, 'h');
        const QByteArray method = bodyBytes > 0 ? "POST" : "GET";
        rig.board->write("XLig:1YZ");
        const QByteArray before = afterBody ? request(rig.port, "POST", "/x", {}, "b") : "";
        const Reply r = exchange(rig.port, before + request(rig.port, method, path, headers,
                                                            QByteArray(bodyBytes, 'b')));
        QVERIFY(r.status != 0);
        QCOMPARE(r.status >= 411 && r.status <= 431, dropped);
        QCOMPARE(rig.face().listener().dropped(), quint64(dropped ? 1 : 0));
        // The MQTT face went on meanwhile.
        QTRY_COMPARE(mqtt.last.value(QStringLiteral("quorvane/t1/light")), QByteArray("1%"));
    }

    void slowAndIdleClientsDropped_data()
    {
        // sent: one byte at a time, every 100 ms; complete: a whole request's headers, then
        // idle; requestMs: a request's bound (idle is 1500 ms, a minute when bytes follow, so
        // that a slow request meets the request's bound alone)
        columns<QByteArray, QList<QByteArray>, int>("sent", "complete", "requestMs");
        QTest::newRow("a byte at a time")
            << QByteArray("GET /api/state HTTP/1.1\r\nHost: x") << QList<QByteArray>{} << 1500;
        QTest::newRow("idle after a request") << QByteArray() << QList<QByteArray>{kBearer} << 1500;
        QTest::newRow("a slow request after one")
            << QByteArray("GET /api/state HTTP/1.1\r\nHost: x") << QList<QByteArray>{kBearer}
            << 1500;
        // A WebSocket named without "Connection: upgrade" is not upgraded: answered, and
        // bounded by the idle time like any other request rather than left open for good.
        QTest::newRow("idle after a false upgrade")
            << QByteArray() << QList<QByteArray>{kBearer, "Upgrade: websocket"}
            << Options().web.limits.requestMs;
    }
    void slowAndIdleClientsDropped()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QList<QByteArray>, complete);
        QFETCH(int, requestMs);
        const auto quick = [requestMs, &sent](Options &o) {
            o.web.limits.requestMs = requestMs;
            o.web.limits.idleMs = sent.isEmpty() ? 1500 : 60000;
        };
        WEB_UP(rig, true, quick, true);
        QUORVANE_SUBSCRIBED(mqtt, rig.broker, {QStringLiteral("quorvane/t1/light")});
        RawClient client(rig.port);
        QVERIFY(client.socket.waitForConnected(kUpMs));
        QElapsedTimer t;
        t.start();
        if (!complete.isEmpty()) {
            client.socket.write(request(rig.port, "GET", "/api/state", complete));
            QTRY_VERIFY(client.got.startsWith("HTTP/1.1 200 OK"));
            t.start();
        }
        int light = 0;
        for (qsizetype i = 0; !client.closed && t.elapsed() < 4000; ++i) {
            if (i < sent.size())
                client.socket.write(sent.mid(i, 1));
            rig.board->write("XLig:" + QByteArray::number(++light) + "YZ");
            QTest::qWait(100);
        }
        QVERIFY(client.closed);
        QVERIFY2(t.elapsed() >= 1400 && t.elapsed() < 3000,
                 qPrintable(QString::number(t.elapsed())));
        // An idle client that was served is let go, not counted as a misbehaving one.
        QCOMPARE(rig.face().listener().dropped(), quint64(sent.isEmpty() ? 0 : 1));
        // The board's readings kept flowing to MQTT all along.
        QTRY_COMPARE(mqtt.last.value(QStringLiteral("quorvane/t1/light")),
                     QByteArray::number(light) + '%');
    }

    // The HTTP server's and WebSockets' warnings are about clients: they go to the log, as
    // the listener's problems do, one at a time; anyone else's go where they went before.
    void clientWarningsOfQtGoToTheLog()
    {
        WEB_UP(rig);
        const QLoggingCategory http("qt.httpserver");
        for (int i = 0; i < 3; ++i)
            qCWarning(http, "a peer went away");
        QTest::ignoreMessage(QtWarningMsg, "not about a client");
        qWarning("not about a client");
        const QStringList said = rig.log.filter(QStringLiteral("a peer went away"));
        QVERIFY2(said.size() == 1 && said[0].endsWith(QLatin1String("away")),
                 qPrintable(said.join(QLatin1Char('\n'))));
        QVERIFY(rig.log.filter(QStringLiteral("not about a client")).isEmpty());
    }

    // A browser's form sends a blank in the token as "+".
    void aTokenWithBlanksLogsIn()
    {
        WEB_UP(rig, true, [](Options &o) { o.web.token = "correct horse battery staple"; });
        const Reply r = rig.postLogin("token=correct+horse+battery+staple");
        QCOMPARE(r.status, 303);
        QVERIFY(r.header("Set-Cookie").startsWith("quorvane_session="));
    }

    void httpsWithASecureCookie()
    {
        QTemporaryDir dir;
        const QString cert = dir.filePath(QStringLiteral("cert.pem"));
        const QString key = dir.filePath(QStringLiteral("key.pem"));
        const auto makePair = [&](const QStringList &newKey) {
            QProcess openssl;
            openssl.start(QStringLiteral("openssl"),
                          QStringList{"req", "-x509", "-nodes", "-days", "1", "-subj",
                                      "/CN=127.0.0.1", "-keyout", key, "-out", cert, "-newkey"} +
                              newKey);
            return openssl.waitForFinished(20000) && openssl.exitCode() == 0;
        };
        QVERIFY(makePair({"rsa:2048"}));
        WebRig rig;
        rig.adjust = [](Options &o) { o.web.limits.idleMs = 1500; };
        rig.launch({"--http-cert", cert, "--http-key", key});
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUpMs);
        QSslSocket s;
        s.setPeerVerifyMode(QSslSocket::VerifyNone);
        QByteArray got;
        QObject::connect(&s, &QSslSocket::readyRead, &s, [&] { got += s.readAll(); });
        s.connectToHostEncrypted(QStringLiteral("127.0.0.1"), rig.port);
        s.write(request(rig.port, "POST", "/login", {}, "token=" + kToken));
        QTRY_VERIFY_WITH_TIMEOUT(got.contains("\r\n\r\n"), kUpMs);
        QVERIFY2(got.startsWith("HTTP/1.1 303") &&
                     got.contains("; HttpOnly; SameSite=Strict; Secure\r\n"),
                 got.constData());
        // Plain HTTP on the TLS port gets nothing; an idle TLS client goes as a plain one would.
        QCOMPARE(rig.get("/login").status, 0);
        QTRY_COMPARE_WITH_TIMEOUT(s.state(), QAbstractSocket::UnconnectedState, 4000);

        // TLS 1.2 only with forward secrecy and authenticated encryption.
        const auto handshake = [&](const char *cipher) {
            QSslSocket c;
            auto tls = c.sslConfiguration();
            tls.setProtocol(QSsl::TlsV1_2);
            tls.setPeerVerifyMode(QSslSocket::VerifyNone);
            tls.setCiphers({QSslCipher(QLatin1String(cipher))});
            c.setSslConfiguration(tls);
            c.connectToHostEncrypted(QStringLiteral("127.0.0.1"), rig.port);
            // The bridge is in this thread: wait in the event loop, not in the socket.
            static_cast<void>(QTest::qWaitFor(
                [&] { return c.isEncrypted() || c.state() == QAbstractSocket::UnconnectedState; },
                kUpMs));
            return c.isEncrypted() ? c.peerCertificate().serialNumber() : QByteArray();
        };
        const QByteArray serial = handshake("ECDHE-RSA-AES128-GCM-SHA256");
        QVERIFY(!serial.isEmpty());
        for (const char *weak : {"AES128-SHA", "AES128-GCM-SHA256", "AES256-GCM-SHA384"})
            QVERIFY2(handshake(weak).isEmpty(), weak);
        // SIGHUP: a renewed pair is taken for new connections; a broken one keeps the old: a
        // key gone, then a key file that holds a certificate.
        for (const bool gone : {true, false}) {
            QVERIFY(gone ? QFile::remove(key) : QFile::copy(cert, key));
            rig.bridge->reload();
            QVERIFY(rig.log.last().contains(QLatin1String("kept the web certificate")));
        }
        QCOMPARE(handshake("ECDHE-RSA-AES128-GCM-SHA256"), serial);
        QVERIFY(makePair({"ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"})); // now a curve's
        rig.bridge->reload();
        const QByteArray renewed = handshake("ECDHE-ECDSA-AES128-GCM-SHA256");
        QVERIFY(!renewed.isEmpty() && renewed != serial);
    }

    // Requests the server could read otherwise than the connection's guard, and HTTP's own
    // rules for HEAD and closing.
    void hostileAndClosingRequests_data()
    {
        // head: after the request line, TOKEN replaced; closed: at once, not after the idle time
        columns<QByteArray, QByteArray, int, bool>("head", "method", "status", "closed");
        // Each head starts with the bearer token.
        const auto row = [](const char *name, const char *method, int status, bool closed,
                            const char *head = "") {
            QTest::newRow(name) << "Authorization: Bearer TOKEN\r\n" + QByteArray(head)
                                << QByteArray(method) << status << closed;
        };
        row("two lengths, huge first", "POST", 400, true,
            "Content-Length: 67108864\r\nContent-Length: 0\r\n");
        row("two equal lengths", "POST", 400, true, "Content-Length: 2\r\nContent-Length: 2\r\n");
        row("chunked and a length", "POST", 400, true,
            "Transfer-Encoding: chunked\r\nContent-Length: 2\r\n");
        row("chunked", "POST", 411, true, "Transfer-Encoding: chunked\r\n");
        row("two hosts", "GET", 400, true, "Host: evil.example\r\n");
        row("h2c then websocket", "GET", 400, true,
            "Connection: Upgrade\r\nUpgrade: h2c\r\nUpgrade: websocket\r\n");
        row("an upgrade to h2c", "GET", 400, true, "Connection: Upgrade\r\nUpgrade: h2c\r\n");
        row("an upgrade to nothing", "GET", 200, false, "Connection: Upgrade\r\n");
        row("folded header", "GET", 400, true, "X-A: 1\r\n  continued\r\n");
        row("bare CR", "GET", 400, true, "X-A: 1\rX-B: 2\r\n");
        row("HEAD", "HEAD", 200, false);
        row("Connection: close", "GET", 200, true, "Connection: close\r\n");
        row("HTTP/1.0", "GET/1.0", 200, true);
        row("plain GET stays open", "GET", 200, false);
    }
    void hostileAndClosingRequests()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, method);
        QFETCH(int, status);
        QFETCH(bool, closed);
        WEB_UP(rig);
        const bool http10 = method.endsWith("/1.0");
        const QByteArray verb = http10 ? method.left(method.indexOf('/')) : method;
        head.replace("TOKEN", kToken);
        RawClient client(rig.port);
        client.socket.write(verb + " /api/state HTTP/1." + (http10 ? "0" : "1") +
                            "\r\nHost: 127.0.0.1:" + QByteArray::number(rig.port) + "\r\n" + head +
                            "\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(client.got.contains("\r\n\r\n"), kUpMs);
        QCOMPARE(client.got.mid(9, 3).toInt(), status);
        // Closed within the second a refusal lingers, far short of the 30 s idle time.
        QCOMPARE(QTest::qWaitFor([&] { return client.closed; }, 2500), closed);
        const QByteArray body = client.got.mid(client.got.indexOf("\r\n\r\n") + 4);
        if (status == 200) {
            QCOMPARE(body.isEmpty(), verb == "HEAD");
            QVERIFY(client.got.contains("Content-Length: "));
        }
    }

    // Bytes a client sends past what the guard lets through are never held: the bridge
    // process's resident memory, while 64 MiB is sent.
    void floodsStayBounded_data()
    {
        // head: TOKEN is replaced; frame: after the upgrade, sent again and again
        columns<QByteArray, QByteArray>("head", "frame");
        const QByteArray auth = "Authorization: Bearer TOKEN\r\n";
        QTest::newRow("a huge length, then 0")
            << "POST /api/all HTTP/1.1\r\nHost: H\r\n" + auth +
                   "Content-Length: 67108864\r\nContent-Length: 0\r\n\r\n"
            << QByteArray();
        QTest::newRow("h2c, then websocket")
            << QByteArray("GET /api/live HTTP/1.1\r\nHost: H\r\nConnection: Upgrade\r\n"
                          "Upgrade: h2c\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
            << QByteArray();
        const QByteArray page = "GET /api/live HTTP/1.1\r\nHost: H\r\n" + auth +
                                "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                                "Sec-WebSocket-Version: 13\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
        // Masked pings with 125 bytes each, as a page's script could send them.
        QTest::newRow("a page's pings")
            << page << QByteArray("\x89\xfd\x01\x02\x03\x04", 6) + QByteArray(125, 'p');
        // A masked frame said to hold 64 MiB: all that follows is its payload.
        QTest::newRow("a page's 64 MiB frame")
            << page << QByteArray("\x82\xff\0\0\0\0\x04\0\0\0\x01\x02\x03\x04", 14);
        // Requests that come and come while none of their answers is read.
        const QByteArray get = "GET /api/all HTTP/1.1\r\nHost: H\r\n" + auth + "\r\n";
        QTest::newRow("answers never read") << get << get;
    }
    void floodsStayBounded()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, frame);
        PtyPair board;
        const quint16 port = freeLocalPort();
        QProcess bridge;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUORVANE_HTTP_TOKEN"), QString::fromLatin1(kToken));
        bridge.setProcessEnvironment(env);
        bridge.start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                     {"--device", board.path(), "--board", "t1", "--http",
                      QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY(bridge.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(acceptsConnections(port), kUpMs);
        const auto rss = [pid = bridge.processId()] {
            QFile f(QStringLiteral("/proc/%1/status").arg(pid));
            if (!f.open(QIODevice::ReadOnly))
                return qint64(0);
            for (const QByteArray &line : f.readAll().split('\n')) {
                if (line.startsWith("VmRSS:"))
                    return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
            }
            return qint64(0);
        };
        const qint64 before = rss();
        QTcpSocket s;
        s.setReadBufferSize(1); // reads nothing to speak of
        s.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(s.waitForConnected(kUpMs));
        for (QByteArray *b : {&head, &frame})
            b->replace("TOKEN", kToken)
                .replace("Host: H", "Host: 127.0.0.1:" + QByteArray::number(port));
        s.write(head);
        QByteArray chunk(64 * 1024, 'x');
        if (!frame.isEmpty()) {
            chunk = frame.repeated(64 * 1024 / frame.size());
            QTRY_VERIFY_WITH_TIMEOUT(s.bytesAvailable() > 0, kUpMs); // its 101 or first answer
        }
        qint64 sent = 0;
        qint64 peak = before;
        QElapsedTimer t;
        t.start();
        while (sent < 64LL * 1024 * 1024 && s.state() == QAbstractSocket::ConnectedState &&
               t.elapsed() < 60'000) {
            if (s.bytesToWrite() < chunk.size()) // as fast as the bridge takes it, no faster
                sent += s.write(chunk);
            s.waitForBytesWritten(50);
            peak = std::max(peak, rss());
        }
        // Dropped, not served for as long as it sends: read now, to hear the end.
        s.setReadBufferSize(0);
        QTRY_VERIFY2_WITH_TIMEOUT(s.state() != QAbstractSocket::ConnectedState,
                                  "the connection outlived the flood", 3000);
#if defined(__SANITIZE_ADDRESS__)
        Q_UNUSED(peak); // AddressSanitizer keeps freed memory in quarantine
#else
        QVERIFY2(peak - before < 16 * 1024 * 1024,
                 qPrintable(QStringLiteral("%1 MiB more after %2 MiB sent")
                                .arg((peak - before) >> 20)
                                .arg(sent >> 20)));
#endif
        bridge.terminate();
        QVERIFY(bridge.waitForFinished(kUpMs));
    }

    // One address cannot hold every connection, a burst of them neither: the rest are closed,
    // and another address is served meanwhile. Pages that come and go give theirs back.
    void aShareForEachAddress()
    {
        WEB_UP(rig);
        std::vector<std::unique_ptr<RawClient>> held;
        const auto hold = [&](const char *from, int count) {
            for (int i = 0; i < count; ++i)
                held.push_back(std::make_unique<RawClient>(rig.port, from));
        };
        hold("127.0.0.1", 200);
        const int share = Options().web.limits.perAddress;
        const auto closed = [&] {
            return int(
                std::count_if(held.cbegin(), held.cend(), [](const auto &c) { return c->closed; }));
        };
        QTRY_COMPARE_WITH_TIMEOUT(closed(), 200 - share, 10000);
        QCOMPARE(rig.face().listener().live(), share);
        QCOMPARE(rig.face().listener().refused(), quint64(200 - share));
        QCOMPARE(rig.get("/api/state", {kBearer}, "127.0.0.1", 1000).status, 0);
        QCOMPARE(rig.get("/api/state", {kBearer}, "127.0.0.2").status, 200);
        // The 32 in all still hold (before the first held ones time out, 10 s on).
        QTRY_COMPARE(rig.face().listener().live(), share); // that answer's connection gone
        for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
            hold(from, 10);
        QTRY_COMPARE_WITH_TIMEOUT(rig.face().listener().live(), 32, kUpMs);
        QCOMPARE(rig.get("/api/state", {kBearer}, "127.0.0.5", 1000).status, 0);
        held.clear();
        QTRY_COMPARE(rig.face().listener().live(), 0);
        for (int i = 0; i < share + 8; ++i) { // reloads, more than one address's share
            QWebSocket page;
            QNetworkRequest req(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/live").arg(rig.port)));
            req.setRawHeader("Authorization", "Bearer " + kToken);
            page.open(req);
            QTRY_VERIFY(page.state() == QAbstractSocket::ConnectedState);
            page.close();
            QTRY_VERIFY(page.state() == QAbstractSocket::UnconnectedState);
        }
        QTRY_COMPARE(rig.face().listener().live(), 0);
        QCOMPARE(rig.face().pages(), 0);
        QCOMPARE(rig.get("/api/state", {kBearer}).status, 200);
    }

    // A wrong bearer token pauses that address like a wrong login: one verdict a second,
    // one log line, and the owner elsewhere never slowed.
    void bearerGuessesArePaused()
    {
        WEB_UP(rig);
        RawClient guesser(rig.port);
        QByteArray pipelined;
        for (int i = 0; i < 100; ++i)
            pipelined +=
                request(rig.port, "GET", "/api/state",
                        {"Authorization: Bearer wrong-token-number-" + QByteArray::number(i)});
        guesser.socket.write(pipelined);
        QTRY_COMPARE_WITH_TIMEOUT(guesser.got.count("HTTP/1.1 "), 100, kUpMs);
        QCOMPARE(guesser.got.count("HTTP/1.1 401"), 1);
        QCOMPARE(guesser.got.count("HTTP/1.1 429"), 99);
        QCOMPARE(rig.get("/api/state", {kBearer}, "127.0.0.2").status, 200);
        QCOMPARE(rig.log.filter(QStringLiteral("wrong web token")).size(), 1);
        QTest::qWait(quorvane::web::Face::kLoginPauseMs);
        QCOMPARE(rig.get("/api/state", {kBearer}).status, 200);
    }

    // Logging out ends that login, everywhere ends them all, and they outlive a restart
    // only with the same token.
    void loginsThatEnd()
    {
        QTemporaryDir state;
        const auto keep = [&](Options &o) { o.web.stateDir = state.path(); };
        WEB_UP(rig, true, keep);
        const auto reads = [&](const QByteArray &cookie) {
            return rig.get("/api/state", {"Cookie: quorvane_session=" + cookie}).status;
        };
        rig.login(kToken); // another browser's login, which outlives the next one's logout
        const QByteArray b = rig.cookie;
        QCOMPARE(rig.login(kToken).status, 303);
        const QByteArray a = rig.cookie;
        QCOMPARE(rig.command("/logout", "").status, 200);
        QCOMPARE(reads(a), 401);
        QCOMPARE(rig.command("/api/load/2", "on").status, 401);
        rig.login(kToken);
        const QByteArray c = rig.cookie;
        // The same token after a restart: still logged in.
        rig.bridge.reset();
        rig.launch();
        QTRY_COMPARE_WITH_TIMEOUT(reads(b), 200, kUpMs);
        // A page open with a login is closed when its login ends.
        QWebSocket page;
        bool pageClosed = false;
        QObject::connect(&page, &QWebSocket::disconnected, &page, [&] { pageClosed = true; });
        QNetworkRequest live(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/live").arg(rig.port)));
        live.setRawHeader("Cookie", "quorvane_session=" + b);
        page.open(live);
        QTRY_COMPARE_WITH_TIMEOUT(rig.face().pages(), 1, kUpMs);
        QCOMPARE(rig.command("/api/logout-all", "").status, 200);
        QTRY_VERIFY_WITH_TIMEOUT(pageClosed, kUpMs);
        QCOMPARE(reads(b), 401);
        QCOMPARE(reads(c), 401);
        // Each login has a random part of its own, not only its time.
        QVERIFY(b.split('-').value(1) != c.split('-').value(1));
        // Only hashes were ever kept, and none is left.
        QFile kept(state.filePath(QStringLiteral("web-sessions")));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll().count('\n'), 1);
    }

    // A store of logins that cannot be read is said, and the face serves without it.
    void anUnreadableLoginStoreIsSaid()
    {
        QTemporaryDir state;
        QVERIFY(QDir(state.path()).mkdir(QStringLiteral("web-sessions")));
        WEB_UP(rig, true, [&](Options &o) { o.web.stateDir = state.path(); });
        QCOMPARE(rig.log.filter(QStringLiteral("cannot read the web logins in")).size(), 1);
        QCOMPARE(rig.get("/api/state", {kBearer}).status, 200);
    }

    // A port another program holds ends the start, in words that name it.
    void aTakenPortIsSaid()
    {
        WebRig rig;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, rig.port));
        rig.launch();
        const QString said =
            QStringLiteral("cannot serve the web page on 127.0.0.1:%1").arg(rig.port);
        QVERIFY2(rig.log.filter(said).size() == 1, qPrintable(rig.log.join(QLatin1Char('\n'))));
        QVERIFY(!rig.online);
        // The program ends there, as a failure.
        QProcess bridge;
        bridge.start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                     {"--device", rig.device, "--board", "t1", "--http",
                      QStringLiteral("127.0.0.1:%1").arg(rig.port)});
        QVERIFY(bridge.waitForFinished(kUpMs));
        QCOMPARE(bridge.exitCode(), 1);
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"
