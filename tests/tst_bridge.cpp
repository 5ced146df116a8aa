// SPDX-License-Identifier: MIT
// The bridge against a real Mosquitto of the test's own, with the board on a pseudo-terminal.
#include "bridge/bridge.h"
#include "broker.h"
#include "ptyhelper.h"
#include "serial/remotelink.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

#include <csignal>

using quorvane::bridge::Bridge;
using quorvane::bridge::Exit;
using quorvane::bridge::Options;
using quorvane::mqtt::MqttClient;
using Messages = QList<QPair<QString, QByteArray>>;

namespace {

constexpr int kUp = 5000; // ms for anything to connect

// A client of the test's own: records what it receives on `filters`.
struct Subscriber {
    MqttClient client;
    QHash<QString, QByteArray> last;
    QSet<QString> retained;
    QByteArray rx;
    QList<QByteArray> tx; // each message, in order

    Subscriber(const TestBroker &broker, const QStringList &filters)
        : client(broker.clientSettings(QStringLiteral("test-%1").arg(quintptr(this))))
    {
        QObject::connect(&client, &MqttClient::connected, &client, [this, filters] {
            for (const QString &f : filters)
                client.subscribe(f);
        });
        QObject::connect(&client, &MqttClient::message, &client,
                         [this](const QString &topic, const QByteArray &payload, bool isRetained) {
                             last[topic] = payload;
                             if (isRetained)
                                 retained << topic;
                             if (topic.endsWith(QLatin1String("/rx")))
                                 rx += payload;
                             if (topic.endsWith(QLatin1String("/tx")))
                                 tx << payload;
                         });
        if (const auto refused = client.start())
            qWarning("the test's client cannot start: %s", qPrintable(*refused));
        if (!QTest::qWaitFor([this] { return client.isConnected(); }, kUp))
            qWarning("the test's client did not connect");
        QTest::qWait(100); // the subscription is under way
    }
    QJsonObject json(const QString &topic) const
    {
        return QJsonDocument::fromJson(last.value(topic)).object();
    }
};

// Broker, board on a pseudo-terminal reached through a link that can be re-pointed (a board
// unplugged and plugged back), and the bridge in this process.
struct Rig {
    TestBroker broker;
    QTemporaryDir dir;
    QString link = dir.filePath(QStringLiteral("board"));
    std::unique_ptr<PtyPair> board;
    std::unique_ptr<Bridge> bridge;
    QStringList log;
    bool online = false;

    explicit Rig(TestBroker::Config config = {}) : broker(config)
    {
        plugBoard();
        if (!broker.start())
            qWarning("the broker did not start");
    }
    static Options options(const QStringList &extra, const QProcessEnvironment &env = {})
    {
        const auto parsed = quorvane::bridge::parseOptions(
            QStringList{QStringLiteral("quorvane-bridge")} + extra, env);
        if (const auto *exit = std::get_if<Exit>(&parsed))
            qFatal("options refused: %s", qPrintable(exit->text));
        return std::get<Options>(parsed);
    }
    void start(const QStringList &extra = {}, const QProcessEnvironment &env = {})
    {
        bridge = std::make_unique<Bridge>(
            options(QStringList{QStringLiteral("--device"), link, QStringLiteral("--broker"),
                                broker.url(), QStringLiteral("--board"), QStringLiteral("t1")} +
                        extra,
                    env));
        bridge->setLogSink([this](Bridge::Level, const QString &line) { log << line; });
        QObject::connect(bridge.get(), &Bridge::online, bridge.get(),
                         [this](bool on) { online = on; });
        bridge->start();
    }
    void plugBoard()
    {
        board = std::make_unique<PtyPair>();
        QFile::remove(link);
        QFile::link(board->path(), link);
    }
};

} // namespace

class TestBridge : public QObject {
    Q_OBJECT
private slots:
    void readingsAndStateAreRetained()
    {
        Rig rig;
        QTemporaryDir dir;
        // Logging rides along; a capture it cannot write is said once and changes nothing.
        const QString log = dir.filePath(QStringLiteral("readings.csv"));
        rig.start({QStringLiteral("--log"), log, QStringLiteral("--capture"),
                   dir.filePath(QStringLiteral("missing/line.qvcap"))});
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUp);
        Subscriber early(rig.broker,
                         {QStringLiteral("quorvane/t1/rx"), QStringLiteral("quorvane/t1/state")});
        rig.board->write("Z"); // a frame end before any reading: every value unknown
        QTRY_VERIFY(early.last.contains(QStringLiteral("quorvane/t1/state")));
        QCOMPARE(early.json(QStringLiteral("quorvane/t1/state")).value(QStringLiteral("pir")),
                 QJsonValue(QJsonValue::Null));
        QTRY_COMPARE(early.rx, QByteArray("Z"));
        early.rx.clear();
        const QByteArray sent = "XPir:1YLig:64YTp1:28YTp2:31YZXLig:dark<b>YZ";
        rig.board->write(sent);
        QTRY_COMPARE(early.rx, sent); // raw bytes, exactly and in order

        Subscriber late(rig.broker, {QStringLiteral("quorvane/t1/#")});
        QTRY_COMPARE(late.last.value(QStringLiteral("quorvane/t1/outdoor")), QByteArray("31 Deg"));
        QCOMPARE(late.last.value(QStringLiteral("quorvane/t1/pir")), QByteArray("1"));
        QCOMPARE(late.last.value(QStringLiteral("quorvane/t1/light")), QByteArray("dark<b>%"));
        QCOMPARE(late.last.value(QStringLiteral("quorvane/t1/indoor")), QByteArray("28 Deg"));
        QCOMPARE(late.last.value(QStringLiteral("quorvane/t1/status")), QByteArray("online"));
        // The second frame held only the light: the others keep their last values.
        const QJsonObject state = late.json(QStringLiteral("quorvane/t1/state"));
        QCOMPARE(state.value(QStringLiteral("pir")), QJsonValue(1));
        QCOMPARE(state.value(QStringLiteral("light")), QJsonValue(QJsonValue::Null));
        QCOMPARE(state.value(QStringLiteral("indoor")), QJsonValue(28));
        QCOMPARE(state.value(QStringLiteral("outdoor")), QJsonValue(31));
        QVERIFY(QRegularExpression(
                    QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"))
                    .match(state.value(QStringLiteral("time")).toString())
                    .hasMatch());
        for (const char *t : {"pir", "light", "indoor", "outdoor", "state", "status"})
            QVERIFY2(late.retained.contains(QStringLiteral("quorvane/t1/") + QLatin1String(t)), t);
        QVERIFY(!late.retained.contains(QStringLiteral("quorvane/t1/rx")));
        QFile csv(log);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll().count("\r\n"), 4); // the header and three frame ends
        QCOMPARE(rig.log.filter(QStringLiteral("line capture is off")).size(), 1);
    }

    void discoveryDescribesOneDevice()
    {
        Rig rig;
        rig.start();
        Subscriber ha(rig.broker, {QStringLiteral("homeassistant/#")});
        QTRY_COMPARE_WITH_TIMEOUT(ha.last.size(), 9, kUp);
        QSet<QString> ids;
        QMap<QString, int> components;
        for (auto it = ha.last.cbegin(); it != ha.last.cend(); ++it) {
            const QJsonObject c = QJsonDocument::fromJson(it.value()).object();
            QVERIFY2(!c.isEmpty(), qPrintable(it.key()));
            ++components[it.key().section(QLatin1Char('/'), 1, 1)];
            ids << c.value(QStringLiteral("unique_id")).toString();
            QCOMPARE(c.value(QStringLiteral("availability_topic")).toString(),
                     QStringLiteral("quorvane/t1/status"));
            QCOMPARE(
                c.value(QStringLiteral("device")).toObject().value(QStringLiteral("identifiers")),
                QJsonValue(QJsonArray{QStringLiteral("quorvane_t1")}));
            if (it.key().contains(QLatin1String("door"))) {
                QCOMPARE(c.value(QStringLiteral("device_class")).toString(),
                         QStringLiteral("temperature"));
                QCOMPARE(c.value(QStringLiteral("state_class")).toString(),
                         QStringLiteral("measurement"));
                QCOMPARE(c.value(QStringLiteral("unit_of_measurement")).toString(),
                         QStringLiteral("°C"));
            }
            if (it.key().startsWith(QLatin1String("homeassistant/switch")))
                QCOMPARE(c.value(QStringLiteral("command_topic")).toString(),
                         c.value(QStringLiteral("state_topic")).toString() +
                             QStringLiteral("/set"));
        }
        QCOMPARE(ids.size(), 9);
        QCOMPARE(components, (QMap<QString, int>{{QStringLiteral("binary_sensor"), 1},
                                                 {QStringLiteral("sensor"), 3},
                                                 {QStringLiteral("switch"), 5}}));

        // Home Assistant restarted: it asks again by announcing itself.
        ha.last.clear();
        ha.client.publish(QStringLiteral("homeassistant/status"), "online");
        QTRY_COMPARE(ha.last.size(), 10); // its own announcement and the nine configs

        QProcess remove;
        remove.start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                     {QStringLiteral("--remove-discovery"), QStringLiteral("--broker"),
                      rig.broker.url(), QStringLiteral("--board"), QStringLiteral("t1")});
        QVERIFY(remove.waitForFinished(kUp));
        QCOMPARE(remove.exitCode(), 0);
        Subscriber after(rig.broker, {QStringLiteral("homeassistant/#")});
        QTest::qWait(300);
        QVERIFY(after.last.isEmpty()); // no retained config left
    }

    void commands_data()
    {
        QTest::addColumn<Messages>("messages");
        QTest::addColumn<QByteArray>("letters");
        QTest::addColumn<QByteArray>("loads"); // retained load/N: 1 ON, 0 OFF, - none
        QTest::addColumn<int>("refused");
        auto set = [](int n, const QByteArray &p) {
            return qMakePair(QStringLiteral("load/%1/set").arg(n), p);
        };
        const auto all = [](const QByteArray &p) {
            return qMakePair(QStringLiteral("all/set"), p);
        };
        QTest::newRow("each load on and off")
            << Messages{set(1, "ON"), set(3, "ON"), set(3, "OFF"), set(5, "ON")}
            << QByteArray("AEFI") << QByteArray("1-0-1") << 0;
        QTest::newRow("blanks and letter case ignored")
            << Messages{set(2, " oN \n"), set(2, "\tOff")} << QByteArray("CD")
            << QByteArray("-0---") << 0;
        QTest::newRow("all on") << Messages{all("ON")} << QByteArray("K") << QByteArray("11111")
                                << 0;
        QTest::newRow("all off sends the off-letters of loads that were on")
            << Messages{set(2, "ON"), set(4, "ON"), all("off")} << QByteArray("CGLDH")
            << QByteArray("00000") << 0;
        QTest::newRow("all off with no load on")
            << Messages{all("OFF")} << QByteArray("L") << QByteArray("00000") << 0;
        QTest::newRow("raw bytes") << Messages{qMakePair(QStringLiteral("tx"), QByteArray("Hello"))}
                                   << QByteArray("Hello") << QByteArray("-----") << 0;
        QTest::newRow("refused payloads and topics")
            << Messages{set(9, "ON"),
                        set(0, "ON"),
                        qMakePair(QStringLiteral("load/x/set"), QByteArray("ON")),
                        set(1, "ON!"),
                        set(1, QByteArray(10000, 'O')),
                        set(1, "\xff\xfe"),
                        set(1, "\xc3\x96N"),
                        all(""),
                        qMakePair(QStringLiteral("tx"), QByteArray(65, 'a'))}
            << QByteArray() << QByteArray("-----") << 9;
    }
    void commands()
    {
        QFETCH(Messages, messages);
        QFETCH(QByteArray, letters);
        QFETCH(QByteArray, loads);
        QFETCH(int, refused);
        Rig rig;
        rig.start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUp);
        Subscriber app(rig.broker, {QStringLiteral("quorvane/t1/load/+")});
        for (const auto &[leaf, payload] : messages)
            QVERIFY(app.client.publish(QStringLiteral("quorvane/t1/") + leaf, payload));
        QCOMPARE(rig.board->read(int(letters.size()), letters.isEmpty() ? 300 : 3000), letters);
        QTRY_COMPARE(rig.bridge->refusedCount(), refused);
        for (int n = 1; n <= 5; ++n) {
            const char want = loads[n - 1];
            const QString topic = QStringLiteral("quorvane/t1/load/%1").arg(n);
            if (want == '-')
                QVERIFY2(!app.last.contains(topic), qPrintable(topic));
            else
                QTRY_COMPARE(app.last.value(topic), QByteArray(want == '1' ? "ON" : "OFF"));
        }
        QVERIFY(rig.online); // nothing refused brought it down
    }

    void brokerRestartBringsBackRetainedState()
    {
        Rig rig;
        rig.start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUp);
        {
            Subscriber app(rig.broker, {});
            app.client.publish(QStringLiteral("quorvane/t1/load/2/set"), "ON");
            app.client.publish(QStringLiteral("quorvane/t1/load/4/set"), "OFF");
            QCOMPARE(rig.board->read(2), QByteArray("CH"));
        }
        rig.broker.kill();
        QTRY_VERIFY(!rig.online);
        // Readings keep arriving while the broker is away; only the latest goes out later.
        rig.board->write("XPir:0YLig:1YTp1:2YTp2:3YZXPir:1YLig:5YTp1:6YTp2:7YZ");
        QTest::qWait(1500);
        QVERIFY(rig.broker.start());
        QElapsedTimer back;
        back.start();
        Subscriber late(rig.broker, {QStringLiteral("quorvane/t1/#")});
        QTRY_COMPARE_WITH_TIMEOUT(late.last.value(QStringLiteral("quorvane/t1/status")),
                                  QByteArray("online"), 5000);
        QTRY_COMPARE(late.json(QStringLiteral("quorvane/t1/state")).value(QStringLiteral("indoor")),
                     QJsonValue(6));
        QVERIFY(back.elapsed() < 5000);
        QCOMPARE(late.last.value(QStringLiteral("quorvane/t1/light")), QByteArray("5%"));
        // The broker kept nothing: what it holds now the bridge sent again.
        QCOMPARE(late.last.value(QStringLiteral("quorvane/t1/load/2")), QByteArray("ON"));
        QCOMPARE(late.last.value(QStringLiteral("quorvane/t1/load/4")), QByteArray("OFF"));
        QVERIFY(!late.last.contains(QStringLiteral("quorvane/t1/load/1")));
        Subscriber ha(rig.broker, {QStringLiteral("homeassistant/#")});
        QTRY_COMPARE(ha.last.size(), 9);
    }

    void deviceLostAndBack_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Messages>("commands");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("restored"); // what the board gets when it is back
        const auto set = [](int n, const QByteArray &p) {
            return qMakePair(QStringLiteral("load/%1/set").arg(n), p);
        };
        const auto all = [](const QByteArray &p) {
            return qMakePair(QStringLiteral("all/set"), p);
        };
        QTest::newRow("the loads commanded, as commanded")
            << QStringList{} << Messages{set(2, "ON"), set(4, "OFF")} << QByteArray("CH")
            << QByteArray("CH");
        QTest::newRow("all on, load by load")
            << QStringList{} << Messages{all("ON")} << QByteArray("K") << QByteArray("ACEGI");
        QTest::newRow("all off, load by load")
            << QStringList{} << Messages{set(1, "ON"), all("OFF")} << QByteArray("ALB")
            << QByteArray("BDFHJ");
        QTest::newRow("nothing commanded, nothing sent")
            << QStringList{} << Messages{} << QByteArray() << QByteArray();
        QTest::newRow("--no-restore-loads leaves them")
            << QStringList{QStringLiteral("--no-restore-loads")}
            << Messages{set(2, "ON"), set(4, "OFF")} << QByteArray("CH") << QByteArray();
    }
    void deviceLostAndBack()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Messages, commands);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, restored);
        Rig rig;
        rig.start(arguments);
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUp);
        Subscriber app(rig.broker, {QStringLiteral("quorvane/t1/status")});
        for (const auto &[leaf, payload] : commands)
            app.client.publish(QStringLiteral("quorvane/t1/") + leaf, payload);
        QCOMPARE(rig.board->read(int(sent.size()), sent.isEmpty() ? 200 : 2000), sent);
        rig.board.reset(); // unplugged
        QTRY_COMPARE_WITH_TIMEOUT(app.last.value(QStringLiteral("quorvane/t1/status")),
                                  QByteArray("offline"), 1000);
        rig.plugBoard();
        QTRY_COMPARE_WITH_TIMEOUT(app.last.value(QStringLiteral("quorvane/t1/status")),
                                  QByteArray("online"), 3000);
        // The board matches what was commanded, unless told to leave it.
        QCOMPARE(rig.board->read(int(restored.size()), restored.isEmpty() ? 300 : 2000), restored);
    }

    void brokerSecurity_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("failure"); // empty: connects
        const QStringList user{QStringLiteral("--username"), QLatin1String(TestBroker::kUser)};
        QTest::newRow("right password")
            << false << user << QString::fromLatin1(TestBroker::kPassword) << QString();
        QTest::newRow("wrong password")
            << false << user << QStringLiteral("guess") << QStringLiteral("check --username");
        QTest::newRow("TLS with the broker's CA")
            << true << (user + QStringList{QStringLiteral("--cafile"), QStringLiteral("CA")})
            << QString::fromLatin1(TestBroker::kPassword) << QString();
        QTest::newRow("TLS without it")
            << true << user << QString::fromLatin1(TestBroker::kPassword) << QStringLiteral("TLS");
    }
    void brokerSecurity()
    {
        QFETCH(bool, tls);
        QFETCH(QStringList, arguments);
        QFETCH(QString, password);
        QFETCH(QString, failure);
        Rig rig({true, tls});
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^CA$")), rig.broker.caFile());
        QProcessEnvironment env;
        env.insert(QStringLiteral("QUORVANE_MQTT_PASSWORD"), password);
        rig.start(arguments, env);
        if (failure.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUp);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            rig.log.join(QLatin1Char('\n')).contains(QLatin1String("cannot connect")), kUp);
        const QString line = rig.log.filter(QStringLiteral("cannot connect")).constFirst();
        QVERIFY2(line.contains(failure), qPrintable(line));
        QVERIFY(!line.contains(password)); // never printed
        QVERIFY(!rig.online);
    }

    void theProgramStops_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM: clean stop") << int(SIGTERM);
        QTest::newRow("SIGINT: clean stop") << int(SIGINT);
        QTest::newRow("SIGKILL: the broker's Last Will") << int(SIGKILL);
    }
    void theProgramStops()
    {
        QFETCH(int, signal);
        TestBroker broker;
        QVERIFY(broker.start());
        PtyPair board;
        QProcess bridge;
        bridge.start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                     {QStringLiteral("--device"), board.path(), QStringLiteral("--broker"),
                      broker.url(), QStringLiteral("--board"), QStringLiteral("t1")});
        QVERIFY(bridge.waitForStarted());
        Subscriber app(broker, {QStringLiteral("quorvane/t1/status")});
        QTRY_COMPARE_WITH_TIMEOUT(app.last.value(QStringLiteral("quorvane/t1/status")),
                                  QByteArray("online"), kUp);
        QElapsedTimer t;
        t.start();
        ::kill(pid_t(bridge.processId()), signal);
        QVERIFY(bridge.waitForFinished(2000));
        if (signal != SIGKILL) {
            QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
            QCOMPARE(bridge.exitStatus(), QProcess::NormalExit);
            QCOMPARE(bridge.exitCode(), 0);
        }
        QTRY_COMPARE(app.last.value(QStringLiteral("quorvane/t1/status")), QByteArray("offline"));
    }

    void optionsAreCheckedAtStart_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        const QStringList line{QStringLiteral("--device"), QStringLiteral("/dev/null")};
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0
                              << QStringLiteral("QUORVANE_MQTT_PASSWORD");
        QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0
                                 << QStringLiteral("quorvane-bridge " QUORVANE_VERSION);
        QTest::newRow("no line") << QStringList{} << 2
                                 << QStringLiteral("--device PATH or --port N");
        QTest::newRow("board ID with a dot")
            << line + QStringList{QStringLiteral("--board"), QStringLiteral("my.host")} << 2
            << QStringLiteral("not a valid board ID");
        QTest::newRow("board ID too long")
            << line + QStringList{QStringLiteral("--board"), QString(33, QLatin1Char('a'))} << 2
            << QStringLiteral("not a valid board ID");
        QTest::newRow("not a broker address")
            << line + QStringList{QStringLiteral("--broker"), QStringLiteral("http://x")} << 2
            << QStringLiteral("not a broker address");
        QTest::newRow("CA file without TLS")
            << line + QStringList{QStringLiteral("--cafile"), QStringLiteral("/etc/hostname")} << 2
            << QStringLiteral("mqtts://");
        QTest::newRow("wildcard in the prefix")
            << line + QStringList{QStringLiteral("--prefix"), QStringLiteral("a/+")} << 2
            << QStringLiteral("not a topic prefix");
        QTest::newRow("log size not a size")
            << line + QStringList{QStringLiteral("--log-max-mb"), QStringLiteral("0")} << 2
            << QStringLiteral("--log-max-mb takes");
        QTest::newRow("no password on the command line")
            << line + QStringList{QStringLiteral("--password"), QStringLiteral("x")} << 2
            << QStringLiteral("Unknown option");
    }
    void optionsAreCheckedAtStart()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, says);
        const auto parsed = quorvane::bridge::parseOptions(
            QStringList{QStringLiteral("quorvane-bridge")} + arguments, {});
        const auto *exit = std::get_if<Exit>(&parsed);
        QVERIFY(exit);
        QCOMPARE(exit->code, code);
        QVERIFY2(exit->text.contains(says), qPrintable(exit->text));
    }

    void acceptedOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("value");
        const QStringList line{QStringLiteral("--device"), QStringLiteral("/dev/null"),
                               QStringLiteral("--board"), QStringLiteral("b")};
        const auto row = [&](const char *name, const QStringList &extra, const char *field,
                             const QVariant &value) {
            QTest::newRow(name) << line + extra << QString::fromLatin1(field) << value;
        };
        row("default broker", {}, "broker", QStringLiteral("localhost:1883 plain"));
        row("mqtt:// takes 1883", {QStringLiteral("--broker"), QStringLiteral("mqtt://h")},
            "broker", QStringLiteral("h:1883 plain"));
        row("mqtts:// takes 8883", {QStringLiteral("--broker"), QStringLiteral("mqtts://h")},
            "broker", QStringLiteral("h:8883 tls"));
        row("scheme in capitals", {QStringLiteral("--broker"), QStringLiteral("MQTTS://h:1")},
            "broker", QStringLiteral("h:1 tls"));
        row("highest port", {QStringLiteral("--broker"), QStringLiteral("mqtt://h:65535/")},
            "broker", QStringLiteral("h:65535 plain"));
        row("default prefixes", {}, "prefixes", QStringLiteral("quorvane homeassistant"));
        row("prefixes of many levels",
            {QStringLiteral("--prefix"), QStringLiteral("home/q"),
             QStringLiteral("--discovery-prefix"), QStringLiteral("ha/x")},
            "prefixes", QStringLiteral("home/q ha/x"));
        row("everything on by default", {}, "switches", QStringLiteral("discovery raw restore"));
        row("each switched off",
            {QStringLiteral("--no-discovery"), QStringLiteral("--no-raw"),
             QStringLiteral("--no-restore-loads")},
            "switches", QString());
        row("will and client id", {}, "will",
            QStringLiteral("quorvane-bridge-b quorvane/b/status offline"));
        row("will under another prefix", {QStringLiteral("--prefix"), QStringLiteral("p")}, "will",
            QStringLiteral("quorvane-bridge-b p/b/status offline"));
        row("read clock by default", {}, "readInterval", -1);
        row("read clock 0", {QStringLiteral("--read-interval"), QStringLiteral("0")},
            "readInterval", 0);
        row("read clock 1000", {QStringLiteral("--read-interval"), QStringLiteral("1000")},
            "readInterval", 1000);
        row("no port number with a device", {}, "port", 0);
        QTest::newRow("port numbers from 1")
            << QStringList{QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--board"),
                           QStringLiteral("b")}
            << QStringLiteral("port") << QVariant(1);
        QTest::newRow("port 32767")
            << QStringList{QStringLiteral("--port"), QStringLiteral("32767"),
                           QStringLiteral("--board"), QStringLiteral("b")}
            << QStringLiteral("port") << QVariant(32767);
        row("board ID of 32", {QStringLiteral("--board"), QString(32, QLatin1Char('a'))}, "board",
            QString(32, QLatin1Char('a')));
        row("board ID of _ and -", {QStringLiteral("--board"), QStringLiteral("a_b-9")}, "board",
            QStringLiteral("a_b-9"));
        row("log size in MB", {QStringLiteral("--log-max-mb"), QStringLiteral("0.5")},
            "logMaxBytes", qulonglong(512 * 1024));
        row("no rotation by default", {}, "logMaxBytes", qulonglong(0));
    }
    void acceptedOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, field);
        QFETCH(QVariant, value);
        const auto parsed = quorvane::bridge::parseOptions(
            QStringList{QStringLiteral("quorvane-bridge")} + arguments, {});
        const auto *exit = std::get_if<Exit>(&parsed);
        QVERIFY2(!exit, exit ? qPrintable(exit->text) : "");
        const Options &o = std::get<Options>(parsed);
        const QMap<QString, QVariant> got{
            {QStringLiteral("broker"),
             QStringLiteral("%1 %2").arg(o.mqtt.broker.display(),
                                         QLatin1String(o.mqtt.broker.tls ? "tls" : "plain"))},
            {QStringLiteral("prefixes"), o.prefix + QLatin1Char(' ') + o.discoveryPrefix},
            {QStringLiteral("switches"),
             QStringList{o.discovery ? QStringLiteral("discovery") : QString(),
                         o.raw ? QStringLiteral("raw") : QString(),
                         o.restoreLoads ? QStringLiteral("restore") : QString()}
                 .join(QLatin1Char(' '))
                 .simplified()},
            {QStringLiteral("will"),
             QStringLiteral("%1 %2 %3")
                 .arg(o.mqtt.clientId, o.mqtt.willTopic, QString::fromLatin1(o.mqtt.willPayload))},
            {QStringLiteral("readInterval"), o.readIntervalMs},
            {QStringLiteral("port"), o.port},
            {QStringLiteral("board"), o.board},
            {QStringLiteral("logMaxBytes"), qulonglong(o.record.logMaxBytes)},
        };
        QVERIFY2(got.contains(field), qPrintable(field));
        QCOMPARE(got.value(field), value);
        QVERIFY(o.mqtt.willRetain);
    }

    void refusedBounds_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        const QStringList line{QStringLiteral("--device"), QStringLiteral("/dev/null"),
                               QStringLiteral("--board"), QStringLiteral("b")};
        const auto row = [&](const char *name, const QStringList &extra, const char *says) {
            QTest::newRow(name) << line + extra << QString::fromLatin1(says);
        };
        row("read clock below 0", {QStringLiteral("--read-interval"), QStringLiteral("-1")},
            "--read-interval takes 0 to 1000");
        row("read clock above 1000", {QStringLiteral("--read-interval"), QStringLiteral("1001")},
            "--read-interval takes 0 to 1000");
        row("log size above a million MB",
            {QStringLiteral("--log-max-mb"), QStringLiteral("1000001")}, "--log-max-mb takes");
        row("log size below 0", {QStringLiteral("--log-max-mb"), QStringLiteral("-1")},
            "--log-max-mb takes");
        row("broker port 0", {QStringLiteral("--broker"), QStringLiteral("mqtt://h:0")},
            "no such port");
        row("broker port past 65535",
            {QStringLiteral("--broker"), QStringLiteral("mqtt://h:65536")}, "not a broker address");
        row("broker with a path", {QStringLiteral("--broker"), QStringLiteral("mqtt://h/x")},
            "only mqtt[s]://HOST[:PORT]");
        row("broker with a user", {QStringLiteral("--broker"), QStringLiteral("mqtt://u@h")},
            "--username");
        row("broker without a host", {QStringLiteral("--broker"), QStringLiteral("mqtt://")},
            "mqtt");
        row("empty prefix level", {QStringLiteral("--prefix"), QStringLiteral("a//b")},
            "not a topic prefix");
        row("wildcard discovery prefix",
            {QStringLiteral("--discovery-prefix"), QStringLiteral("#")}, "not a topic prefix");
        row("board ID in capitals", {QStringLiteral("--board"), QStringLiteral("Kitchen")},
            "not a valid board ID");
        row("a stray argument", {QStringLiteral("extra")}, "unexpected argument 'extra'");
        row("both a device and a port", {QStringLiteral("--port"), QStringLiteral("1")},
            "either --device PATH or --port N");
        QTest::newRow("port 0") << QStringList{QStringLiteral("--port"), QStringLiteral("0")}
                                << QStringLiteral("not a port number");
        QTest::newRow("port 32768")
            << QStringList{QStringLiteral("--port"), QStringLiteral("32768")}
            << QStringLiteral("not a port number");
        row("a missing password file",
            {QStringLiteral("--password-file"), QStringLiteral("/nonexistent/pw")},
            "cannot read the password file");
    }
    void refusedBounds()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, says);
        const auto parsed = quorvane::bridge::parseOptions(
            QStringList{QStringLiteral("quorvane-bridge")} + arguments, {});
        const auto *exit = std::get_if<Exit>(&parsed);
        QVERIFY(exit);
        QCOMPARE(exit->code, 2);
        QVERIFY2(exit->text.contains(says), qPrintable(exit->text));
    }

    void passwordSources_data()
    {
        QTest::addColumn<QByteArray>("file"); // empty: no --password-file
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QString>("password");
        QTest::newRow("from the environment") << QByteArray() << "env-pw"
                                              << "env-pw";
        QTest::newRow("the file's first line, without its end")
            << QByteArray("file-pw\r\nsecond\n") << ""
            << "file-pw";
        QTest::newRow("the file wins over the environment") << QByteArray("file-pw") << "env-pw"
                                                            << "file-pw";
        QTest::newRow("none") << QByteArray() << ""
                              << "";
    }
    void passwordSources()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, environment);
        QFETCH(QString, password);
        QTemporaryDir dir;
        QStringList arguments{QStringLiteral("quorvane-bridge"), QStringLiteral("--device"),
                              QStringLiteral("/dev/null"), QStringLiteral("--board"),
                              QStringLiteral("b")};
        if (!file.isEmpty()) {
            QFile f(dir.filePath(QStringLiteral("pw")));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file) == file.size());
            arguments << QStringLiteral("--password-file") << f.fileName();
        }
        QProcessEnvironment env;
        if (!environment.isEmpty())
            env.insert(QStringLiteral("QUORVANE_MQTT_PASSWORD"), environment);
        const auto parsed = quorvane::bridge::parseOptions(arguments, env);
        QVERIFY(std::holds_alternative<Options>(parsed));
        QCOMPARE(std::get<Options>(parsed).mqtt.password, password);
    }

    // What a panel's remote port writes reaches the bridge in messages it takes: at most 64
    // bytes each, in order.
    void remoteLinkSplitsWhatItWrites_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<QList<int>>("messages");
        QTest::newRow("one letter") << 1 << QList<int>{1};
        QTest::newRow("64 in one") << 64 << QList<int>{64};
        QTest::newRow("65 in two") << 65 << QList<int>{64, 1};
        QTest::newRow("150 in three") << 150 << QList<int>{64, 64, 22};
    }
    void remoteLinkSplitsWhatItWrites()
    {
        QFETCH(int, bytes);
        QFETCH(QList<int>, messages);
        TestBroker broker;
        QVERIFY(broker.start());
        Subscriber bridge(broker, {QStringLiteral("quorvane/k/tx")});
        bridge.client.publish(QStringLiteral("quorvane/k/status"), "online", true);
        QString error;
        auto target = quorvane::serial::RemoteTarget::parse(
            QStringLiteral("mqtt://127.0.0.1:%1/k").arg(broker.port()), &error);
        QVERIFY2(target, qPrintable(error));
        quorvane::serial::RemoteLink link(*target, {});
        QVERIFY(!link.open());
        QByteArray sent;
        for (int i = 0; i < bytes; ++i)
            sent += char('A' + i % 26);
        QVERIFY(!link.write(sent));
        QTRY_COMPARE(bridge.tx.size(), messages.size());
        QList<int> sizes;
        for (const QByteArray &m : bridge.tx)
            sizes << int(m.size());
        QCOMPARE(sizes, messages);
        QCOMPARE(bridge.tx.join(), sent);
    }

    // A remote port takes its board's rx under its own prefix and nothing else, goes when the
    // bridge says the board is offline, and takes nothing once closed.
    void remoteLinkListensToItsBoardOnly()
    {
        TestBroker broker;
        QVERIFY(broker.start());
        Subscriber bridge(broker, {});
        bridge.client.publish(QStringLiteral("home/q/k/status"), "online", true);
        bridge.client.publish(QStringLiteral("quorvane/k/status"), "offline", true);
        QString error;
        auto target = quorvane::serial::RemoteTarget::parse(
            QStringLiteral("mqtt://127.0.0.1:%1/k?prefix=home/q").arg(broker.port()), &error);
        QVERIFY2(target, qPrintable(error));
        quorvane::serial::RemoteLink link(*target, {});
        QVERIFY(!link.open());
        QVERIFY(link.isOpen());
        QSignalSpy lost(&link, &quorvane::serial::RemoteLink::lost);
        int wakes = 0;
        connect(&link, &quorvane::serial::RemoteLink::readyRead, this, [&] { ++wakes; });
        for (const char *t : {"quorvane/k/rx", "home/q/other/rx", "home/q/k/tx", "home/q/k/rx"})
            bridge.client.publish(QString::fromLatin1(t), QByteArray(t));
        QTRY_COMPARE(wakes, 1);
        QTest::qWait(100);
        QByteArray got;
        QVERIFY(link.read(got, 1024).count > 0);
        QCOMPARE(got, QByteArray("home/q/k/rx"));
        QCOMPARE(link.read(got, 1024).count, 0);
        QCOMPARE(wakes, 1);
        QVERIFY(lost.isEmpty());

        bridge.client.publish(QStringLiteral("home/q/k/status"), "offline", true);
        QTRY_COMPARE(lost.size(), 1);
        link.close();
        QVERIFY(!link.isOpen());
        bridge.client.publish(QStringLiteral("home/q/k/rx"), "late");
        QTest::qWait(100);
        QCOMPARE(link.read(got, 1024).count, 0);
        QCOMPARE(wakes, 1);
    }
};

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
