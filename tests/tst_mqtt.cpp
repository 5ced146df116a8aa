// SPDX-License-Identifier: MIT
// The MQTT client's set-up and the command-line pieces the programs share, without a window.
#include "bridge/options.h"
#include "bridgerig.h"
#include "cli/commandline.h"
#include "cli/sharedoptions.h"
#include "columns.h"
#include "files.h"
#include "mqtt/mqttclient.h"
#include "qtwarnings.h"
#include "remote/remotelink.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using quorvane::mqtt::ClientSettings;
using quorvane::mqtt::MqttClient;

namespace {

constexpr const char kPem[] = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

// A client of the test's own for a server on 127.0.0.1:port.
ClientSettings localSettings(quint16 port)
{
    ClientSettings s;
    s.broker.host = QStringLiteral("127.0.0.1");
    s.broker.port = port;
    s.clientId = QStringLiteral("quorvane-test");
    return s;
}

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

private slots:
    void init() { failOnQtWarnings(); }
    // Whatever a case made under the application object (a name lookup's waiter) is gone
    // soon after it; only the event dispatcher stays.
    void cleanup() { QTRY_COMPARE(QCoreApplication::instance()->children().size(), 1); }

    // Settings the client library or the TLS set-up would refuse are said by start(), which
    // then tries nothing; a CA file the bridge is given is checked as the client would.
    void setupFailures_data()
    {
        // caFile empty: no TLS; says empty: set up
        columns<QString, QString, QString, QString, QString>("caFile", "clientId", "username",
                                                             "willTopic", "says");
        const QString id = QStringLiteral("quorvane-test");
        const QString pem = writeFile(dir_, "ca.pem", kPem);
        const QString garbage = writeFile(dir_, "garbage.pem", "not a certificate\n");
        const QString will = QStringLiteral("quorvane/b/status");
        const QString huge(MqttClient::kMaxIdBytes + 1, QLatin1Char('a'));
        const auto row = [](const char *name, const QString &ca, const QString &clientId,
                            const QString &user, const QString &willTopic, const QString &says) {
            QTest::newRow(name) << ca << clientId << user << willTopic << says;
        };
        row("plain", "", id, "u", will, "");
        row("TLS with a PEM CA file", pem, id, "", will, "");
        row("TLS with the system's store", "-", id, "", will, "");
        row("client ID of the most bytes", "", QString(MqttClient::kMaxIdBytes, QLatin1Char('a')),
            "", "", "");
        row("CA file is a directory", dir_.path(), id, "", will,
            QStringLiteral("cannot read the CA file %1: is a directory").arg(dir_.path()));
        row("CA file holds no certificate", garbage, id, "", will,
            QStringLiteral("the CA file %1 holds no certificate").arg(garbage));
        row("CA file missing", dir_.filePath(QStringLiteral("none")), id, "", will, "no such file");
        row("will topic with #", "", id, "", "quorvane/#", "Last Will");
        row("will topic with +", "", id, "", "quorvane/+/status", "Last Will");
        row("empty client ID", "", "", "", will, "client ID");
        row("client ID too long", "", huge, "", will, "client ID");
        row("user name too long", "", id, huge, will,
            "refused the user name or password: invalid function arguments provided");
    }
    void setupFailures()
    {
        QFETCH(QString, caFile);
        QFETCH(QString, clientId);
        QFETCH(QString, username);
        QFETCH(QString, willTopic);
        QFETCH(QString, says);
        ClientSettings s = localSettings(freeLocalPort());
        s.broker.tls = !caFile.isEmpty();
        s.caFile = caFile == QLatin1String("-") ? QString() : caFile;
        s.clientId = clientId;
        s.username = username;
        s.willTopic = willTopic;
        s.willPayload = "offline";
        MqttClient client(s);
        client.setReconnect(false);
        const auto refused = client.start();
        client.stop(0);
        QVERIFY2(says.isEmpty() != bool(refused), refused ? qPrintable(*refused) : "set up");
        if (refused) // a part of a sentence the bridge goes on with: no full stop of its own
            QVERIFY2(refused->contains(says) && !refused->endsWith('.'), qPrintable(*refused));
        // (A missing one the bridge calls not found.)
        if (s.caFile.isEmpty() || !QFile::exists(s.caFile))
            return;
        // The bridge refuses the same file at once, in the same words.
        const auto parsed = quorvane::bridge::parseOptions(
            QStringLiteral(
                "quorvane-bridge --device /dev/null --board b --broker mqtts://h --cafile")
                    .split(QLatin1Char(' '))
                << s.caFile,
            {});
        const auto *exit = std::get_if<quorvane::bridge::Exit>(&parsed);
        QCOMPARE(bool(exit), bool(refused));
        if (exit)
            QCOMPARE(exit->text, QStringLiteral("quorvane-bridge: %1\n").arg(*refused));
    }

    // Until it is connected a client sends nothing and says so; told not to retry, it tries
    // once and then stays quiet.
    void unconnectedClientSendsNothing()
    {
        MqttClient client(localSettings(freeLocalPort()));
        client.setReconnect(false);
        int failed = 0;
        connect(&client, &MqttClient::connectFailed, this, [&failed] { ++failed; });
        const auto sends = [&client] {
            return client.publish(QStringLiteral("q/b/x"), "1") ||
                   client.subscribe(QStringLiteral("q/#")) ||
                   client.unsubscribe(QStringLiteral("q/#"));
        };
        QVERIFY(!sends());
        QVERIFY(!client.start());
        QTRY_COMPARE(failed, 1);
        QVERIFY(!sends());
        QTest::qWait(1500); // past the first retry's second
        QCOMPARE(failed, 1);
    }

    // The credentials reach the broker as given, a user name without a password too: the
    // flags of the first packet say which of the two it carries. The broker's refusal is then
    // told apart: credentials for 4 and 5, anything else a network matter worth retrying; a
    // client stopped before the answer says nothing more (refusal -1).
    void connectCarriesTheCredentials_data()
    {
        columns<QString, QString>("user", "password");
        columns<int, int, int>("flags", "refusal", "failure"); // flags: user 0x80, password 0x40
        using F = MqttClient::Failure;
        QTest::newRow("both") << "quorvane" << "pw" << 0xC0 << 4 << int(F::Credentials);
        QTest::newRow("a user name alone") << "quorvane" << "" << 0x80 << 5 << int(F::Credentials);
        QTest::newRow("neither") << "" << "" << 0x00 << 3 << int(F::Network);
        QTest::newRow("stopped first") << "" << "" << 0x00 << -1 << -1;
    }
    void connectCarriesTheCredentials()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, flags);
        QFETCH(int, refusal);
        QFETCH(int, failure);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        ClientSettings s = localSettings(server.serverPort());
        s.username = user;
        s.password = password;
        s.connectTimeoutMs = 300;
        MqttClient client(s);
        client.setReconnect(false);
        QSignalSpy failed(&client, &MqttClient::connectFailed);
        QVERIFY(!client.start());
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        // CONNECT: type, length, "\0\4MQTT", level, flags, ...
        QTRY_VERIFY(peer->bytesAvailable() >= 10);
        const QByteArray head = peer->read(10);
        QCOMPARE(head.mid(2, 7), QByteArray("\0\4MQTT\4", 7));
        QCOMPARE(quint8(head[9]) & 0xC0, flags);
        if (refusal < 0) {
            client.stop();
            QTest::qWait(2 * s.connectTimeoutMs);
            QCOMPARE(failed.size(), 0);
            return;
        }
        peer->write(QByteArray("\x20\x02\x00", 3) + char(refusal));
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(int(failed[0][1].value<MqttClient::Failure>()), failure);
    }

    // What the client makes of each kind of far end: the words it says, the kind of failure,
    // and the retries, one second after the first failure and doubling from there.
    void connectionOutcomes_data()
    {
        // server: none, silent, a broker with passwords; says empty: connects
        columns<QString, QString, QString, int>("server", "password", "says", "failure");
        using F = MqttClient::Failure;
        const auto row = [](const char *name, const char *server, const char *password,
                            const char *says, F failure) {
            QTest::newRow(name) << server << password << says << int(failure);
        };
        row("nothing listening", "none", "", "connection refused", F::Network);
        row("a server that never answers", "silent", "", "no answer from the broker", F::Network);
        row("a wrong password", "broker", "guess", "not authorised", F::Credentials);
        row("the right one", "broker", TestBroker::kPassword, "", F(0));
    }
    void connectionOutcomes()
    {
        QFETCH(QString, server);
        QFETCH(QString, password);
        QFETCH(QString, says);
        QFETCH(int, failure);
        TestBroker broker({true});
        QTcpServer silent;
        ClientSettings s = broker.clientSettings(QStringLiteral("quorvane-outcome"));
        s.password = password;
        s.connectTimeoutMs = 300;
        if (says.isEmpty()) // by name, through the lookup
            s.broker.host = QStringLiteral("localhost");
        if (server == QLatin1String("broker"))
            QVERIFY(broker.start());
        else if (server == QLatin1String("silent"))
            QVERIFY(silent.listen(QHostAddress::LocalHost, s.broker.port));
        MqttClient client(s);
        QList<qint64> failedAt;
        QStringList said;
        QElapsedTimer t;
        connect(&client, &MqttClient::connectFailed, this,
                [&](const QString &why, MqttClient::Failure kind) {
                    failedAt << t.elapsed();
                    said << why;
                    QCOMPARE(int(kind), failure);
                });
        t.start();
        QVERIFY(!client.start());
        if (says.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kUpMs);
            QSignalSpy down(&client, &MqttClient::disconnected);
            broker.kill();
            QTRY_COMPARE(down.size(), 1);
            QVERIFY2(down[0][0].toString().startsWith(QLatin1String("connection lost")),
                     qPrintable(down[0][0].toString()));
            QVERIFY(!client.isConnected());
            QVERIFY(failedAt.isEmpty());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(failedAt.size(), 3, 8000);
        for (const QString &why : std::as_const(said))
            QVERIFY2(why.contains(says), qPrintable(why));
        QVERIFY(!client.isConnected());
        // Tried again after a second, then after two more; never sooner.
        QVERIFY2(failedAt[1] - failedAt[0] >= 900, qPrintable(QString::number(failedAt[1])));
        QVERIFY2(failedAt[2] - failedAt[1] >= 1900, qPrintable(QString::number(failedAt[2])));
    }

    // A broker that stops answering without closing (here stopped) is noticed by its missing
    // ping replies, within two keep-alive periods.
    void aHungBrokerIsNoticed()
    {
        TestBroker broker;
        QVERIFY(broker.start());
        ClientSettings s = broker.clientSettings(QStringLiteral("quorvane-hung"));
        s.keepAliveSeconds = 5; // the least the library takes
        MqttClient client(s);
        QSignalSpy down(&client, &MqttClient::disconnected);
        QVERIFY(!client.start());
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kUpMs);
        ::kill(pid_t(broker.pid()), SIGSTOP);
        const auto resume = qScopeGuard([&] { ::kill(pid_t(broker.pid()), SIGCONT); });
        QTRY_COMPARE_WITH_TIMEOUT(down.size(), 1, 12'000);
        QVERIFY2(down[0][0].toString().contains(QLatin1String("the broker stopped answering")),
                 qPrintable(down[0][0].toString()));
    }

    // A backlog goes out and is told of once, as drained; a stop sends what was still
    // waiting, then says goodbye: the broker never hands out the will.
    void backlogsGoOutAtStopToo()
    {
        TestBroker broker;
        QVERIFY(broker.start());
        QUORVANE_SUBSCRIBED(sub, broker, {QStringLiteral("q/b/#")});
        ClientSettings s = broker.clientSettings(QStringLiteral("quorvane-stop"));
        s.willTopic = QStringLiteral("q/b/status");
        s.willPayload = "lost";
        const int before = openDescriptorCount();
        auto client = std::make_unique<MqttClient>(s);
        QSignalSpy drained(client.get(), &MqttClient::drained);
        QVERIFY(!client->start());
        QTRY_VERIFY_WITH_TIMEOUT(client->isConnected(), kUpMs);
        constexpr int kMessages = 100;
        // The broker paused, so that more is published than the socket takes.
        const auto backlog = [&] {
            ::kill(pid_t(broker.pid()), SIGSTOP);
            bool all = true;
            for (int i = 0; i < kMessages; ++i)
                all =
                    client->publish(QStringLiteral("q/b/bulk"), QByteArray(64 * 1024, 'x')) && all;
            const bool backlogged = client->backlogged();
            ::kill(pid_t(broker.pid()), SIGCONT);
            return all && backlogged;
        };
        QVERIFY(backlog());
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 1, kUpMs);
        QVERIFY(!client->backlogged());
        QVERIFY(client->subscribe(QStringLiteral("q/none"))); // traffic, but no backlog
        QTest::qWait(200);
        QCOMPARE(drained.size(), 1);
        // Its own messages coming back, unread when it stops: the stop is still clean.
        QSignalSpy subscribed(client.get(), &MqttClient::subscribed);
        QVERIFY(client->subscribe(QStringLiteral("q/b/bulk")));
        QTRY_COMPARE_WITH_TIMEOUT(subscribed.size(), 1, kUpMs); // granted before the pause
        QVERIFY(backlog());
        client->stop(5000);
        QVERIFY(!client->isConnected());
        client.reset();
        QCOMPARE(openDescriptorCount(), before); // nothing of the connection is left open
        const auto received = [&sub] {
            return std::count_if(sub.messages.cbegin(), sub.messages.cend(), [](const auto &m) {
                return m.first == QLatin1String("q/b/bulk");
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(received(), 2 * kMessages, kUpMs);
        QTest::qWait(300);
        QVERIFY(!sub.last.contains(QStringLiteral("q/b/status")));
        QCOMPARE(drained.size(), 1);
    }

    // Removing discovery from a broker that refuses at once ends, and says so.
    void removeDiscoveryEndsOnARefusal()
    {
        const auto [code, said] = removeDiscovery(
            QStringLiteral("mqtt://127.0.0.1:%1").arg(freeLocalPort()), QStringLiteral("b"));
        QCOMPARE(code, 1);
        QVERIFY(said.contains("cannot connect to the broker"));
    }

    // A panel's remote port: refused credentials are a failure of their own, not a refused
    // device and not an unreachable broker.
    void remoteOpenFailures_data()
    {
        columns<QString, QString, bool, int>("user", "password", "brokerUp", "kind");
        using Kind = quorvane::serial::CommError::Kind;
        QTest::newRow("wrong password")
            << TestBroker::kUser << "wrong" << true << int(Kind::BrokerCredentials);
        QTest::newRow("unknown user")
            << "nobody" << TestBroker::kPassword << true << int(Kind::BrokerCredentials);
        QTest::newRow("no broker")
            << TestBroker::kUser << TestBroker::kPassword << false << int(Kind::BrokerUnreachable);
    }
    void remoteOpenFailures()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, brokerUp);
        QFETCH(int, kind);
        TestBroker broker(TestBroker::Config{true, false});
        if (brokerUp)
            QVERIFY(broker.start());
        QString error;
        const auto target = quorvane::remote::RemoteTarget::parse(
            QStringLiteral("mqtt://%1@127.0.0.1:%2/b").arg(user).arg(broker.port()), &error);
        QVERIFY2(target, qPrintable(error));
        quorvane::remote::RemoteLink link(*target, password);
        const auto failure = link.open();
        QVERIFY(failure);
        QCOMPARE(int(failure->kind), kind);
        QVERIFY(!link.isOpen());
    }

    // What every program's command line does before its own options.
    void commandLines_data()
    {
        columns<QStringList, int, QString>("arguments", "code", "text"); // code -1: goes on
        const auto row = [](const char *name, const char *arguments, int code, const char *text) {
            QTest::newRow(name) << QString::fromLatin1(arguments).split(QLatin1Char(' '),
                                                                        Qt::SkipEmptyParts)
                                << code << QString::fromLatin1(text);
        };
        row("nothing", "", -1, "");
        row("an option", "--log x.csv", -1, "");
        row("version", "--version", 0, "prog " QUORVANE_VERSION "\n");
        row("help wins over a stray argument", "--help stray", 0, "--log <FILE>");
        row("a stray argument", "stray", 2, "prog: unexpected argument 'stray' (see --help)\n");
        row("an unknown option", "--bogus", 2, "prog: Unknown option 'bogus'. (see --help)\n");
        row("a missing value", "--log", 2, "(see --help)\n");
        row("a size of 0", "--log-max-mb 0", 2, "prog: --log-max-mb takes a size in MB above 0\n");
        row("a size not a number", "--log-max-mb nan", 2, "--log-max-mb takes");
        row("a size without end", "--log-max-mb inf", 2, "--log-max-mb takes");
        QTest::newRow("the largest size") << QStringList{"--log-max-mb", " 1000000 "} << -1 << "";
    }
    void commandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, text);
        QCommandLineParser parser;
        parser.addHelpOption();
        parser.addVersionOption();
        quorvane::cli::addRecordOptions(parser);
        QString error;
        auto exit = quorvane::cli::parse(parser, QStringList{"prog"} + arguments, "prog");
        if (!exit && !quorvane::cli::readRecordOptions(parser, &error))
            exit = quorvane::cli::mistake("prog", error);
        QCOMPARE(exit ? exit->code : -1, code);
        if (exit)
            QVERIFY2(exit->text.contains(text), qPrintable(exit->text));
    }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
