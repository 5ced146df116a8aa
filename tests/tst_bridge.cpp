// SPDX-License-Identifier: MIT
// The bridge against a real Mosquitto of the test's own, with the board on a pseudo-terminal.
#include "bridge/bridge.h"
#include "bridge/discovery.h"
#include "bridgerig.h"
#include "columns.h"
#include "files.h"
#include "httpclient.h"
#include "remote/remotelink.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QUdpSocket>

#include <csignal>

#include <unistd.h>

using quorvane::bridge::Bridge;
using quorvane::bridge::Exit;
using quorvane::bridge::Options;
using quorvane::bridge::perEntityConfigs;
using Messages = QList<QPair<QString, QByteArray>>;

namespace {

constexpr int kUp = kUpMs;
using Rig = BridgeRig;
using quorvane::remote::RemoteLink;

// Board t1's one discovery config in the default form.
const QString kDeviceConfig = QStringLiteral("homeassistant/device/t1/config");

// A topic of board t1 under the default prefix.
QString t1(const QString &leaf)
{
    return QStringLiteral("quorvane/t1/") + leaf;
}

// An environment of NAME=VALUE entries.
QProcessEnvironment environmentOf(const QStringList &entries)
{
    QProcessEnvironment env;
    for (const QString &e : entries)
        env.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
    return env;
}

// A JSON object's member as text.
QString text(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

// Each named field of `object` as given; a difference names the field and what it held.
void compareFields(const QJsonObject &object,
                   std::initializer_list<std::pair<const char *, QJsonValue>> want)
{
    for (const auto &[field, value] : want) {
        const QJsonValue got = object.value(QLatin1String(field));
        const QByteArray shown =
            got.isUndefined() ? "nothing"
                              : QJsonDocument(QJsonArray{got}).toJson(QJsonDocument::Compact);
        QVERIFY2(got == value, (field + QByteArray(" holds ") + shown).constData());
    }
}

// The discovery configs the broker holds, as a client subscribing now is told them.
QStringList held(const TestBroker &broker)
{
    TestSubscriber ha(broker, {QStringLiteral("homeassistant/#")});
    QTest::qWait(300);
    return ha.failure.isEmpty() ? QStringList(ha.last.keys()) : QStringList{ha.failure};
}

// A command as the app sends it: load N's or all loads', under the board's topic.
QPair<QString, QByteArray> set(int n, const QByteArray &p)
{
    return {QStringLiteral("load/%1/set").arg(n), p};
}
QPair<QString, QByteArray> all(const QByteArray &p)
{
    return {QStringLiteral("all/set"), p};
}

// A panel's remote port to board k on the broker (with `query` after the board), opened.
std::unique_ptr<RemoteLink> openRemote(const TestBroker &broker, const QString &query = {})
{
    QString error;
    const auto target = quorvane::remote::RemoteTarget::parse(
        QStringLiteral("mqtt://127.0.0.1:%1/k%2").arg(broker.port()).arg(query), &error);
    if (!target)
        qFatal("%s", qPrintable(error));
    auto link = std::make_unique<RemoteLink>(*target, QString());
    return link->open() ? nullptr : std::move(link);
}

} // namespace

// A rig with the bridge started on `...` and online, or the test stops there.
#define QUORVANE_ONLINE_RIG(name, ...)                                                             \
    BridgeRig name;                                                                                \
    name.startOnline(__VA_ARGS__);                                                                 \
    QUORVANE_VERIFY_UP(name)

class TestBridge : public QObject {
    Q_OBJECT
    QTemporaryDir dir_; // holds PWFILE, the password file the option rows name

private slots:
    void readingsAndStateAreRetained()
    {
        // Logging rides along; a capture it cannot write is said once and changes nothing.
        QUORVANE_ONLINE_RIG(rig, {QStringLiteral("--log"),
                                  rig.dir.filePath(QStringLiteral("readings.csv")),
                                  QStringLiteral("--capture"),
                                  rig.dir.filePath(QStringLiteral("missing/line.qvcap"))});
        QUORVANE_SUBSCRIBED(early, rig.broker, {t1("rx"), t1("state")});
        rig.board->write("Z"); // a frame end before any reading: every value unknown
        QTRY_VERIFY(early.last.contains(t1("state")));
        compareFields(early.json(t1("state")), {{"pir", QJsonValue::Null}});
        QTRY_COMPARE(early.rx, QByteArray("Z"));
        early.rx.clear();
        const QByteArray sent = "XPir:1YLig:64YTp1:28YTp2:31YZXLig:dark<b>YZ";
        rig.board->write(sent);
        QTRY_COMPARE(early.rx, sent); // raw bytes, exactly and in order

        QUORVANE_SUBSCRIBED(late, rig.broker, {t1("#")});
        QTRY_COMPARE(late.last.value(t1("outdoor")), QByteArray("31 Deg"));
        QCOMPARE(late.last.value(t1("pir")), QByteArray("1"));
        QCOMPARE(late.last.value(t1("light")), QByteArray("dark<b>%"));
        QCOMPARE(late.last.value(t1("indoor")), QByteArray("28 Deg"));
        QCOMPARE(late.last.value(t1("status")), QByteArray("online"));
        // The second frame held only the light: the others keep their last values.
        const QJsonObject state = late.json(t1("state"));
        compareFields(state,
                      {{"pir", 1}, {"light", QJsonValue::Null}, {"indoor", 28}, {"outdoor", 31}});
        const QRegularExpression utcMs(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
        QVERIFY(utcMs.match(text(state, "time")).hasMatch());
        for (const char *t : {"pir", "light", "indoor", "outdoor", "state", "status"})
            QVERIFY2(late.retained.contains(t1(t)), t);
        QVERIFY(!late.retained.contains(t1("rx")));
        QFile csv(rig.dir.filePath(QStringLiteral("readings.csv")));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll().count("\r\n"), 4); // the header and three frame ends
        QCOMPARE(rig.log.filter(QStringLiteral("line capture is off")).size(), 1);
        QCOMPARE(rig.log.filter(QStringLiteral("sent quorvane/")).size(), 0); // --verbose's
    }

    // Both forms carry the same entities with the same unique_ids: one config for the
    // device by default, or today's one config per entity.
    void discoveryDescribesOneDevice_data()
    {
        columns<QStringList, bool>("arguments", "device");
        QTest::newRow("one device config") << QStringList{} << true;
        QTest::newRow("one config per entity") << QStringList{"--discovery", "per-entity"} << false;
    }
    void discoveryDescribesOneDevice()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, device);
        QUORVANE_ONLINE_RIG(rig, arguments);
        QUORVANE_SUBSCRIBED(ha, rig.broker, {QStringLiteral("homeassistant/#")});
        const int messages = device ? 1 : 16;
        QTRY_COMPARE_WITH_TIMEOUT(ha.last.size(), messages, kUp);
        // Each entity's config as Home Assistant reads it, with its component.
        QList<QPair<QString, QJsonObject>> configs;
        for (auto it = ha.last.cbegin(); it != ha.last.cend(); ++it) {
            const QJsonObject c = QJsonDocument::fromJson(it.value()).object();
            QVERIFY2(!c.isEmpty(), qPrintable(it.key()));
            if (!device) {
                const QString id = text(c, "unique_id");
                const QString component = it.key().section(QLatin1Char('/'), 1, 1);
                compareFields(c, {{"object_id", id}, {"default_entity_id", QJsonValue::Undefined}});
                QCOMPARE(
                    it.key(),
                    QStringLiteral("homeassistant/%1/t1/%2/config").arg(component, id.mid(12)));
                configs.append({component, c});
                continue;
            }
            QCOMPARE(it.key(), kDeviceConfig);
            const QJsonObject cmps = c.value(QStringLiteral("cmps")).toObject();
            for (auto e = cmps.constBegin(); e != cmps.constEnd(); ++e) {
                QJsonObject entity = e.value().toObject();
                const QString component = text(entity, "platform");
                const QString id = text(entity, "unique_id");
                // Keyed as the old topic's object, so the discovery id stays too.
                QCOMPARE(e.key(), id.mid(12));
                compareFields(entity, {{"default_entity_id", component + QLatin1Char('.') + id},
                                       {"object_id", QJsonValue::Undefined},
                                       {"device", QJsonValue::Undefined}});
                for (const char *shared : {"device", "origin"})
                    entity.insert(QLatin1String(shared), c.value(QLatin1String(shared)));
                configs.append({component, entity});
            }
        }
        QSet<QString> ids;
        QStringList diagnostic, disabled;
        QMap<QString, int> components;
        for (const auto &[component, c] : std::as_const(configs)) {
            ++components[component];
            const QString id = text(c, "unique_id");
            ids << id;
            // Every entity is unavailable while the bridge or the board is gone; the bridge's
            // own health only while the bridge is.
            const bool ofTheBridge = text(c, "entity_category") == QLatin1String("diagnostic");
            QStringList availability;
            for (const QJsonValue a : c.value(QStringLiteral("availability")).toArray()) {
                availability << text(a.toObject(), "topic");
                compareFields(a.toObject(), {{"payload_available", "online"},
                                             {"payload_not_available", "offline"}});
            }
            QCOMPARE(availability, ofTheBridge ? QStringList{t1("status")}
                                               : (QStringList{t1("status"), t1("board")}));
            compareFields(c, {{"availability_topic", QJsonValue::Undefined},
                              {"availability_mode", "all"},
                              {"qos", 1}});
            const QJsonObject origin = c.value(QStringLiteral("origin")).toObject();
            compareFields(origin, {{"name", "Quorvane"}, {"sw_version", QUORVANE_VERSION}});
            QVERIFY(text(origin, "support_url").startsWith(QLatin1String("https://")));
            compareFields(c.value(QStringLiteral("device")).toObject(),
                          {{"identifiers", QJsonArray{QStringLiteral("quorvane_t1")}}});
            const QString key = id.mid(12);
            QVERIFY2(!text(c, "name").isEmpty(), qPrintable(key)); // what Home Assistant shows
            if (ofTheBridge) {
                diagnostic << key;
                if (c.value(QStringLiteral("enabled_by_default")) == QJsonValue(false))
                    disabled << key;
                QCOMPARE(text(c, "state_topic"), t1("health"));
                QVERIFY2(text(c, "value_template").startsWith("{{ value_json." + key),
                         qPrintable(key));
                if (key == QLatin1String("newest_frame"))
                    compareFields(c, {{"device_class", "timestamp"}});
            } else if (component != QLatin1String("switch")) {
                QCOMPARE(text(c, "state_topic"), t1("state")); // the readings' one message
                QCOMPARE(text(c, "value_template"),
                         component == QLatin1String("binary_sensor")
                             ? "{{ 'ON' if value_json." + key + " else 'OFF' }}"
                             : "{{ value_json." + key + " }}");
            }
            if (id.contains(QLatin1String("door")))
                compareFields(c, {{"device_class", "temperature"},
                                  {"state_class", "measurement"},
                                  {"unit_of_measurement", "°C"}});
            if (component == QLatin1String("switch"))
                QCOMPARE(text(c, "command_topic"), text(c, "state_topic") + QStringLiteral("/set"));
        }
        // Those of earlier versions, so every install keeps its entities, and one new.
        QSet<QString> earlier;
        for (const char *name :
             {"pir", "light", "indoor", "outdoor", "load1", "load2", "load3", "load4", "load5",
              "newest_frame", "line_losses", "refused_commands", "uptime_s", "broker_reconnects",
              "frames_last_minute", "subscriptions_refused"})
            earlier << QStringLiteral("quorvane_t1_") + QLatin1String(name);
        QCOMPARE(ids, earlier);
        QCOMPARE(components,
                 (QMap<QString, int>{{"binary_sensor", 1}, {"sensor", 10}, {"switch", 5}}));
        diagnostic.sort();
        disabled.sort();
        QCOMPARE(diagnostic, (QStringList{"broker_reconnects", "frames_last_minute", "line_losses",
                                          "newest_frame", "refused_commands",
                                          "subscriptions_refused", "uptime_s"}));
        QCOMPARE(disabled, (QStringList{"broker_reconnects", "frames_last_minute", "uptime_s"}));

        // Home Assistant restarted: it asks again by announcing itself, and is told the
        // configs, then what it needs to show them.
        rig.board->write("XPir:1YLig:64YZ");
        QUORVANE_SUBSCRIBED(board, rig.broker, {t1("#")});
        QTRY_VERIFY(board.last.contains(t1("state")));
        ha.last.clear();
        board.last.clear();
        ha.client.publish(QStringLiteral("homeassistant/status"), "online");
        QTRY_COMPARE(ha.last.size(), messages + 1); // its own announcement and the configs
        for (const char *leaf : {"status", "board", "health", "state", "pir", "light"})
            QTRY_VERIFY2(board.last.contains(t1(leaf)), leaf);
        QCOMPARE(board.last.value(t1("status")), QByteArray("online"));
        QCOMPARE(board.last.value(t1("board")), QByteArray("online"));

        const auto [code, said] = removeDiscovery(rig.broker.url(), QStringLiteral("t1"));
        QCOMPARE(code, 0);
        // Every entity's config and the device's.
        const auto count = perEntityConfigs("homeassistant", "quorvane", "t1").size() + 1;
        const QString removed = QStringLiteral("removed %1 discovery configs of board 't1'");
        QVERIFY2(said.contains(removed.arg(count).toUtf8()), said.constData());
        QCOMPARE(held(rig.broker), QStringList()); // no retained config left
    }

    // From today's one config per entity to the device config, as Home Assistant documents
    // it: each old config told to migrate, then the device config, and only then the old
    // ones cleared, so every entity keeps its id, name, area and history. Once.
    void discoveryMovesToTheDeviceConfigOnce()
    {
        QUORVANE_ONLINE_RIG(rig, {QStringLiteral("--discovery"), QStringLiteral("per-entity")});
        QHash<QString, QByteArray> old;
        {
            QUORVANE_SUBSCRIBED(before, rig.broker,
                                {QStringLiteral("homeassistant/+/t1/+/config")});
            QTRY_COMPARE_WITH_TIMEOUT(before.last.size(), 16, kUp);
            old = before.last;
        }
        rig.bridge->stop();
        QUORVANE_SUBSCRIBED(ha, rig.broker, {QStringLiteral("homeassistant/#")});
        QTRY_COMPARE(ha.messages.size(), 16);
        ha.messages.clear();

        rig.start();
        QTRY_COMPARE_WITH_TIMEOUT(ha.messages.size(), 33, kUp);
        QSet<QString> migrated, cleared;
        for (int i = 0; i < 16; ++i) {
            const auto &[topic, payload] = ha.messages[i];
            QCOMPARE(QJsonDocument::fromJson(payload).object(),
                     (QJsonObject{{"migrate_discovery", true}}));
            migrated << topic;
        }
        QCOMPARE(ha.messages[16].first, kDeviceConfig);
        for (int i = 17; i < 33; ++i) {
            QCOMPARE(ha.messages[i].second, QByteArray());
            cleared << ha.messages[i].first;
        }
        const QSet<QString> oldTopics(old.keyBegin(), old.keyEnd());
        QCOMPARE(migrated, oldTopics);
        QCOMPARE(cleared, oldTopics);
        // The same entities: every unique_id the old configs had.
        QSet<QString> oldIds, newIds;
        for (const QByteArray &c : std::as_const(old))
            oldIds << text(QJsonDocument::fromJson(c).object(), "unique_id");
        for (const QJsonValue c : ha.json(kDeviceConfig).value(QStringLiteral("cmps")).toObject())
            newIds << c[QStringLiteral("unique_id")].toString();
        QCOMPARE(newIds, oldIds);
        QCOMPARE(rig.log.filter(QStringLiteral("cleared the 16 one-entity configs")).size(), 1);
        QCOMPARE(held(rig.broker), QStringList{kDeviceConfig}); // the broker holds it alone

        // A second start finds nothing to move: the device config alone.
        rig.bridge->stop();
        ha.messages.clear();
        rig.start();
        QTRY_COMPARE_WITH_TIMEOUT(ha.messages.size(), 1, kUp);
        QTest::qWait(300);
        QCOMPARE(ha.messages.size(), 1);
        QCOMPARE(ha.messages[0].first, kDeviceConfig);
        QVERIFY(rig.log.filter(QStringLiteral("moving this board")).size() == 1);

        // --remove-discovery takes both forms away, a one-entity config left behind too.
        rig.bridge->stop();
        ha.client.publish(old.cbegin().key(), old.cbegin().value(), true, 1);
        QCOMPARE(removeDiscovery(rig.broker.url(), QStringLiteral("t1")).first, 0);
        QCOMPARE(held(rig.broker), QStringList());
    }

    // A subscription the broker's ACL refuses (SUBACK 0x80) is said once, shown in health and
    // to Home Assistant, and asked for again at the next connect.
    void aRefusedSubscriptionIsSaid()
    {
        Rig rig({false, false, false, true});
        QUORVANE_VERIFY_UP(rig);
        // The scan for old discovery configs ends with its echo; refused, it ends at once.
        for (const char *arguments :
             {"createClient bridge -p bridge-pw", "createRole no-loads",
              "addRoleACL no-loads subscribePattern quorvane/t1/load/# deny",
              "addRoleACL no-loads subscribeLiteral quorvane/t1/status deny",
              "addClientRole bridge no-loads"})
            QVERIFY2(rig.broker.dynsec(QString::fromLatin1(arguments).split(' ')), arguments);
        QProcessEnvironment env;
        env.insert(QStringLiteral("QUORVANE_MQTT_PASSWORD"), QStringLiteral("bridge-pw"));
        rig.start({QStringLiteral("--username"), QStringLiteral("bridge")}, env);
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUp);
        QUORVANE_SUBSCRIBED(app, rig.broker, {t1("health"), QStringLiteral("homeassistant/#")});
        const auto refused = [&] {
            return app.json(t1("health")).value(QStringLiteral("subscriptions_refused")).toObject();
        };
        const QString set = t1("load/+/set");
        QTRY_COMPARE_WITH_TIMEOUT(refused().value(QStringLiteral("count")), QJsonValue(1), 3000);
        QCOMPARE(refused().value(QStringLiteral("topics")), QJsonValue(QJsonArray{set}));
        const QStringList said = rig.log.filter(QStringLiteral("refused the subscription to"));
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].contains(set) && said[0].contains(QLatin1String("ACL for user 'bridge'")),
                 qPrintable(said[0]));
        const QJsonValue cmps = app.json(kDeviceConfig)[QStringLiteral("cmps")];
        compareFields(cmps[QStringLiteral("subscriptions_refused")].toObject(),
                      {{"value_template", "{{ value_json.subscriptions_refused.count }}"}});
        app.client.publish(t1("all/set"), "ON"); // still granted
        QCOMPARE(rig.board->read(1), QByteArray("K"));

        // The broker drops a client whose roles change; the bridge asks again and is granted.
        QVERIFY(rig.broker.dynsec(QStringLiteral("removeClientRole bridge no-loads").split(' ')));
        QTRY_COMPARE_WITH_TIMEOUT(refused().value(QStringLiteral("count")), QJsonValue(0), 3 * kUp);
        QCOMPARE(rig.log.filter("grants the subscription to " + set + " now").size(), 1);
        app.client.publish(t1("load/1/set"), "OFF");
        QCOMPARE(rig.board->read(1), QByteArray("B"));
    }

    // The broker by name, with a name server that takes queries and never answers (a stub of
    // the test's own, as /etc/resolv.conf says in a mount namespace of the bridge's own): the
    // board is read and shown on time throughout, and is never called silent. A name the
    // hosts file knows connects, and TLS checks the certificate against the name.
    void aNameServerThatNeverAnswers_data()
    {
        QTest::addColumn<bool>("known"); // in the hosts file
        columns<bool, int, QString>("tls", "seconds", "says");
        QTest::newRow("no answer, twice over")
            << false << false << 12
            << QStringLiteral("no answer from the name server for 'broker.home.arpa' within 5 s");
        QTest::newRow("a name the hosts file knows")
            << true << false << 2 << QStringLiteral("connected to the broker broker.home.arpa");
        // The certificate holds 127.0.0.1 and localhost, not this name.
        QTest::newRow("TLS checks the name, not the address")
            << true << true << 2 << QStringLiteral("check the broker's certificate");
    }
    void aNameServerThatNeverAnswers()
    {
        QFETCH(bool, known);
        QFETCH(bool, tls);
        QFETCH(int, seconds);
        QFETCH(QString, says);
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
            QSKIP("needs root and unshare for a mount namespace of the bridge's own");
        TestBroker broker({false, tls});
        QVERIFY(broker.start());
        QUdpSocket stub; // takes queries, answers none
        QString server;
        for (int host = 2; host < 255 && server.isEmpty(); ++host) {
            const QHostAddress address(QStringLiteral("127.0.0.%1").arg(host));
            if (stub.bind(address, 53))
                server = address.toString();
        }
        if (server.isEmpty())
            QSKIP("no 127.0.0.x:53 free for the name server stub");
        QTemporaryDir dir;
        const QString resolv =
            writeFile(dir, "resolv.conf",
                      "nameserver " + server.toLatin1() + "\noptions timeout:30 attempts:1\n");
        const QString hosts =
            writeFile(dir, "hosts",
                      known ? "127.0.0.1 localhost broker.home.arpa\n" : "127.0.0.1 localhost\n");
        PtyPair board;
        const quint16 http = freeLocalPort();
        // unshare -m sh -c SCRIPT sh RESOLV HOSTS BRIDGE...: the script binds the two, then
        // becomes the bridge.
        QStringList command =
            QStringLiteral("-m sh -c SCRIPT sh %1 %2 %3 --device %4 --board t1 --broker "
                           "%5://broker.home.arpa:%6 --http 127.0.0.1:%7 --silence 2")
                .arg(resolv, hosts, QStringLiteral(QUORVANE_BRIDGE_EXE), board.path(),
                     QLatin1String(tls ? "mqtts" : "mqtt"))
                .arg(broker.port())
                .arg(http)
                .split(QLatin1Char(' '));
        command[3] = QStringLiteral("mount --bind \"$1\" /etc/resolv.conf && mount --bind \"$2\" "
                                    "/etc/hosts && shift 2 && exec \"$@\"");
        if (tls)
            command << QStringLiteral("--cafile") << broker.caFile();
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("unshare"), command);
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(acceptsConnections(http), kUp);
        // A frame every 100 ms; the web face must have each within a second of it, asked
        // every time, so the bridge's loop never stood still on the resolver.
        QElapsedTimer running;
        running.start();
        qint64 worst = 0;
        int asked = 0;
        while (running.elapsed() < seconds * 1000) {
            board.write("XPir:1YLig:64YZ");
            QTest::qWait(100);
            const Reply r = exchange(http, request(http, "GET", "/api/state"), 1000);
            const QJsonValue age =
                r.json()[QStringLiteral("health")][QStringLiteral("newestFrameAgeMs")];
            QVERIFY2(age.isDouble(), r.closed ? "the web face closed" : "no answer within 1 s");
            worst = std::max(worst, qint64(age.toDouble()));
            ++asked;
        }
        process.terminate();
        QVERIFY(process.waitForFinished(kUp));
        const QString log = QString::fromUtf8(process.readAll());
        QVERIFY2(worst < 1000, qPrintable(QStringLiteral("a frame was %1 ms old").arg(worst)));
        QVERIFY2(log.contains(says), qPrintable(log));
        QVERIFY2(!log.contains(QLatin1String("no frame from the board")), qPrintable(log));
        QCOMPARE(log.contains(QLatin1String("connected to the broker")), known && !tls);
        QVERIFY(asked >= seconds * 5);
    }

    void commands_data()
    {
        columns<QStringList, Messages, QByteArray>("arguments", "messages", "letters");
        // loads: retained load/N (1 ON, 0 OFF, - none); restored: what the board gets when
        // it is unplugged and back (null: left plugged in).
        columns<QByteArray, int, QByteArray>("loads", "refused", "restored");
        const auto row = [](const char *name, const Messages &messages, const QByteArray &letters,
                            const QByteArray &loads, int refused = 0,
                            const char *restored = nullptr, const QStringList &arguments = {}) {
            QTest::newRow(name) << arguments << messages << letters << loads << refused
                                << QByteArray(restored);
        };
        row("each load on and off", {set(1, "ON"), set(3, "ON"), set(3, "OFF"), set(5, "ON")},
            "AEFI", "1-0-1");
        // Up to 16 bytes, blanks included.
        row("blanks and letter case ignored",
            {set(2, " oN \n" + QByteArray(11, ' ')), set(2, "\tOff")}, "CD", "-0---");
        row("all on, restored load by load", {all("ON")}, "K", "11111", 0, "ACEGI");
        row("all off sends the off-letters of loads that were on",
            {set(2, "ON"), set(4, "ON"), all("off")}, "CGLDH", "00000");
        // QoS 1 may deliver a command twice: each letter sets a state, so twice is once.
        row("a command delivered twice switches as once",
            {set(1, "ON"), set(1, "ON"), all("OFF"), all("OFF")}, "AALBL", "00000");
        row("all off with no load on", {all("OFF")}, "L", "00000");
        row("raw bytes", {{QStringLiteral("tx"), "Hello\x7f"}}, "Hello\x7f", "-----");
        row("refused payloads and topics",
            {set(9, "ON"), set(0, "ON"), qMakePair(QStringLiteral("load/x/set"), QByteArray("ON")),
             set(1, "ON!"), set(1, "ON" + QByteArray(15, ' ')), set(1, "\xff\xfe"),
             set(1, "\xc3\x96N"), set(2, "O\x7f\x1b"), all(""), qMakePair(QStringLiteral("tx"), QByteArray(65, 'a'))},
            "", "-----", 10);
        row("restored as commanded", {set(2, "ON"), set(4, "OFF")}, "CH", "-1-0-", 0, "CH");
        row("all off, then restored", {set(1, "ON"), all("OFF")}, "ALB", "00000", 0, "BDFHJ");
        row("nothing commanded, nothing restored", {}, "", "-----", 0, "");
        row("--no-restore-loads leaves them", {set(2, "ON"), set(4, "OFF")}, "CH", "-1-0-", 0, "",
            {QStringLiteral("--no-restore-loads")});
    }
    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Messages, messages);
        QFETCH(QByteArray, letters);
        QFETCH(QByteArray, loads);
        QFETCH(int, refused);
        QFETCH(QByteArray, restored);
        QUORVANE_ONLINE_RIG(rig, arguments);
        QUORVANE_SUBSCRIBED(app, rig.broker, {t1("load/+"), t1("status")});
        for (const auto &[leaf, payload] : messages)
            QVERIFY(app.client.publish(t1(leaf), payload));
        QCOMPARE(rig.board->read(int(letters.size()), letters.isEmpty() ? 300 : 3000), letters);
        QTRY_COMPARE(rig.bridge->session().counters().refusedCommands, quint64(refused));
        QCOMPARE(rig.log.filter(QStringLiteral(" refused so far)")).size(), refused); // each said
        for (int n = 1; n <= 5; ++n) {
            const char want = loads[n - 1];
            const QString topic = QStringLiteral("quorvane/t1/load/%1").arg(n);
            if (want == '-')
                QVERIFY2(!app.last.contains(topic), qPrintable(topic));
            else
                QTRY_COMPARE(app.last.value(topic), QByteArray(want == '1' ? "ON" : "OFF"));
        }
        QVERIFY(rig.online); // nothing refused brought it down
        // What a refusal quotes is escaped: no control byte reaches the journal.
        for (const QString &line : std::as_const(rig.log))
            QVERIFY2(!line.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]"))),
                     qPrintable(line.toUtf8().toPercentEncoding(" '\\:")));
        if (restored.isNull())
            return;
        rig.board.reset(); // unplugged
        QTRY_COMPARE_WITH_TIMEOUT(app.last.value(t1("status")), QByteArray("offline"), 1000);
        rig.plug();
        QTRY_COMPARE_WITH_TIMEOUT(app.last.value(t1("status")), QByteArray("online"), 3000);
        // The board matches what was commanded, unless told to leave it.
        QCOMPARE(rig.board->read(int(restored.size()), restored.isEmpty() ? 300 : 2000), restored);
    }

    void brokerRestartBringsBackRetainedState()
    {
        QUORVANE_ONLINE_RIG(rig);
        {
            QUORVANE_SUBSCRIBED(app, rig.broker, {});
            app.client.publish(t1("load/2/set"), "ON");
            app.client.publish(t1("load/4/set"), "OFF");
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
        QUORVANE_SUBSCRIBED(late, rig.broker, {t1("#")});
        QTRY_COMPARE_WITH_TIMEOUT(late.last.value(t1("status")), QByteArray("online"), 5000);
        QTRY_COMPARE(late.json(t1("state")).value(QStringLiteral("indoor")), QJsonValue(6));
        QVERIFY(back.elapsed() < 5000);
        QCOMPARE(late.last.value(t1("light")), QByteArray("5%"));
        // The broker kept nothing: what it holds now the bridge sent again, in its own order
        // after the state, so each is waited for.
        QTRY_COMPARE(late.last.value(t1("load/2")), QByteArray("ON"));
        QTRY_COMPARE(late.last.value(t1("load/4")), QByteArray("OFF"));
        QVERIFY(!late.last.contains(t1("load/1")));
        QTRY_COMPARE(late.json(t1("health")).value(QStringLiteral("broker_reconnects")),
                     QJsonValue(1));
        QUORVANE_SUBSCRIBED(ha, rig.broker, {QStringLiteral("homeassistant/#")});
        QTRY_VERIFY(ha.last.contains(kDeviceConfig));
        // The next outage starts the back-off afresh: back after the first retry's second,
        // not after the longer waits the first outage grew to.
        rig.broker.kill();
        QTRY_VERIFY(!rig.online);
        QVERIFY(rig.broker.start());
        QElapsedTimer again;
        again.start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, 8000);
        QVERIFY2(again.elapsed() < 2500, qPrintable(QString::number(again.elapsed())));
    }

    // A command the broker stored (published retained, by mistake or by a script) is replayed
    // at every subscribe: it must switch nothing, at start nor after the broker comes back,
    // while the same command sent now is acted on.
    void retainedCommandsSwitchNothing()
    {
        Rig rig({false, false, true});
        QUORVANE_VERIFY_UP(rig);
        const Messages stored{set(1, "ON"), all("OFF"), {QStringLiteral("tx"), "K"}};
        {
            QUORVANE_SUBSCRIBED(someone, rig.broker, {t1("#")});
            for (const auto &[leaf, payload] : stored)
                someone.client.publish(t1(leaf), payload, true);
            QUORVANE_SUBSCRIBED(check, rig.broker, {t1("#")});
            QTRY_COMPARE(check.retained.size(), 3); // the broker holds them
        }
        rig.start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.online, kUp);
        QTRY_COMPARE(rig.bridge->session().counters().refusedCommands, quint64(3));
        QCOMPARE(rig.board->read(1, 300), QByteArray());
        // Health tells of them soon, not at its next round a minute on.
        QUORVANE_SUBSCRIBED(app, rig.broker, {t1("load/2"), t1("health")});
        QTRY_COMPARE(app.json(t1("health")).value(QStringLiteral("refused_commands")), 3);
        // Sent now, even with the retain flag, a command is news.
        app.client.publish(t1("load/2/set"), "ON", true);
        QCOMPARE(rig.board->read(1), QByteArray("C"));
        QTRY_COMPARE(app.last.value(t1("load/2")), QByteArray("ON"));

        rig.broker.stop(); // it keeps what it held, the new retained command too
        QTRY_VERIFY(!rig.online);
        QVERIFY(rig.broker.start());
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge->session().counters().refusedCommands, quint64(7),
                                  3 * kUp);
        QVERIFY(rig.online);
        QCOMPARE(rig.board->read(1, 300), QByteArray());
        // One line per topic, with the command that clears it.
        for (const char *leaf : {"load/1/set", "all/set", "tx", "load/2/set"}) {
            const QString t = t1(leaf);
            const QStringList said = rig.log.filter("retained command on " + t + ' ');
            QCOMPARE(said.size(), 1);
            QVERIFY2(said[0].contains("mosquitto_pub -r -n -t '" + t + '\''), qPrintable(said[0]));
        }
    }

    // The line stays open while the board is powered off or hung: only the frames stopping
    // tell. The board topic says so; status keeps saying the bridge holds the line.
    void aSilentBoardIsOffline_data()
    {
        columns<QString, bool>("silence", "goesOffline");
        QTest::newRow("after a second") << "1" << true;
        QTest::newRow("never with 0") << "0" << false;
    }
    void aSilentBoardIsOffline()
    {
        QFETCH(QString, silence);
        QFETCH(bool, goesOffline);
        QUORVANE_ONLINE_RIG(rig, {QStringLiteral("--silence"), silence});
        QUORVANE_SUBSCRIBED(ha, rig.broker, {t1("status"), t1("board"), t1("health")});
        const QString board = t1("board");
        rig.board->write("XPir:1YZ");
        QTRY_COMPARE(ha.last.value(board), QByteArray("online"));
        QElapsedTimer quiet;
        quiet.start();
        if (!goesOffline) {
            QTest::qWait(1500);
            QCOMPARE(ha.last.value(board), QByteArray("online"));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(ha.last.value(board), QByteArray("offline"), 2000);
        QVERIFY(quiet.elapsed() >= 900);
        QCOMPARE(ha.last.value(t1("status")), QByteArray("online"));
        QTRY_COMPARE(ha.json(t1("health")).value(QStringLiteral("board")),
                     QJsonValue(QStringLiteral("offline")));
        rig.board->write("XPir:0YZ");
        QTRY_COMPARE(ha.last.value(board), QByteArray("online"));
        QCOMPARE(rig.log.filter(QStringLiteral("no frame from the board")).size(), 1);
        QCOMPARE(rig.log.filter(QStringLiteral("sending again")).size(), 1);
        QVERIFY(rig.online);
    }

    // A broker that stops taking (here paused): the line is still read, raw bytes past what
    // is held are dropped and counted, said once, and the newest state goes out after.
    void aStalledBrokerCostsOnlyRawBytes()
    {
        QUORVANE_ONLINE_RIG(rig);
        QUORVANE_SUBSCRIBED(app, rig.broker, {t1("state"), t1("rx")});
        // More than the kernel holds for a broker that reads nothing (4 MiB to send, the
        // receive window it had).
        const QByteArray flood(12 << 20, 'a');
        ::kill(pid_t(rig.broker.pid()), SIGSTOP);
        rig.board->flood(flood + "XLig:77YZ");
        QTRY_VERIFY(rig.bridge->session().counters().rawBytesDropped > 0);
        ::kill(pid_t(rig.broker.pid()), SIGCONT);
        QTRY_COMPARE_WITH_TIMEOUT(app.json(t1("state"))[QStringLiteral("light")], QJsonValue(77),
                                  kUp);
        // Every byte read either went out or was counted as dropped.
        const auto accounted = [&] {
            return quint64(app.rx.size()) + rig.bridge->session().counters().rawBytesDropped;
        };
        QTRY_COMPARE_WITH_TIMEOUT(accounted(), quint64(flood.size() + 9), kUp);
        QCOMPARE(rig.log.filter(QStringLiteral("the broker is slower than the line")).size(), 1);
        QVERIFY(rig.online);
    }

    void healthFollowsTheBoard()
    {
        QUORVANE_ONLINE_RIG(rig);
        QUORVANE_SUBSCRIBED(app, rig.broker, {t1("health")});
        const QString topic = t1("health");
        const auto now = [&] { return app.json(topic); };
        const auto health = [&](const char *field) { return now().value(QLatin1String(field)); };
        QTRY_VERIFY(app.last.contains(topic));
        QVERIFY(app.retained.contains(topic));
        compareFields(now(),
                      {{"version", QUORVANE_VERSION}, {"line", "open"}, {"board", "online"}});
        compareFields(
            now(), {{"newest_frame", QJsonValue::Null}, {"newest_frame_age_s", QJsonValue::Null}});
        for (const char *zero : {"frames", "line_losses", "refused_commands", "broker_reconnects",
                                 "raw_bytes_dropped", "frames_last_minute"})
            QVERIFY2(health(zero) == QJsonValue(0), zero);
        QCOMPARE(health("subscriptions_refused"),
                 QJsonValue(QJsonObject{{"count", 0}, {"topics", QJsonArray()}}));
        QVERIFY(health("uptime_s").toDouble() >= 0);

        rig.board->write("XPir:1YZXLig:2YZ");
        // Both frames taken, however busy the machine, before the refusal that tells them.
        QTRY_COMPARE(rig.bridge->session().counters().frames, quint64(2));
        // A refusal is told within a second, with the frames that came before it.
        app.client.publish(t1("load/9/set"), "ON");
        QTRY_COMPARE_WITH_TIMEOUT(health("refused_commands"), QJsonValue(1), 3000);
        compareFields(now(), {{"frames", 2}, {"frames_last_minute", 2}});
        QVERIFY(
            QDateTime::fromString(health("newest_frame").toString(), Qt::ISODateWithMs).isValid());
        QVERIFY(health("newest_frame_age_s").toDouble() >= 0);

        rig.board.reset(); // unplugged: told at once
        QTRY_COMPARE_WITH_TIMEOUT(health("line_losses"), QJsonValue(1), 1000);
        compareFields(now(), {{"line", "closed"}, {"board", "offline"}});
        rig.plug();
        QTRY_COMPARE_WITH_TIMEOUT(health("line"), QJsonValue(QStringLiteral("open")), 3000);
        compareFields(now(), {{"line_losses", 1}, {"frames", 2}});
    }

    void brokerSecurity_data()
    {
        columns<bool, QStringList, QString>("tls", "arguments", "password");
        QTest::addColumn<QString>("failure"); // empty: connects
        const QStringList user{QStringLiteral("--username"), QLatin1String(TestBroker::kUser)};
        const QString right = QString::fromLatin1(TestBroker::kPassword);
        QTest::newRow("right password") << false << user << right << QString();
        QTest::newRow("wrong password")
            << false << user << QStringLiteral("guess") << QStringLiteral("check --username");
        QTest::newRow("TLS with the broker's CA")
            << true << (user + QStringList{"--cafile", "CA"}) << right << QString();
        QTest::newRow("TLS without it") << true << user << right << QStringLiteral("TLS");
    }
    void brokerSecurity()
    {
        QFETCH(bool, tls);
        QFETCH(QStringList, arguments);
        QFETCH(QString, password);
        QFETCH(QString, failure);
        Rig rig({true, tls});
        QUORVANE_VERIFY_UP(rig);
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^CA$")), rig.broker.caFile());
        QProcessEnvironment env;
        env.insert(QStringLiteral("QUORVANE_MQTT_PASSWORD"), password);
        rig.start(arguments, env);
        if (failure.isEmpty()) {
            QTRY_VERIFY2_WITH_TIMEOUT(rig.online, qPrintable(rig.log.join(QLatin1Char('\n'))), kUp);
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
        QUORVANE_SUBSCRIBED(app, broker, {t1("status"), t1("board")});
        QTRY_COMPARE_WITH_TIMEOUT(app.last.value(t1("status")), QByteArray("online"), kUp);
        board.write("XPir:1YZ");
        QTRY_COMPARE(app.last.value(t1("board")), QByteArray("online"));
        ::kill(pid_t(bridge.processId()), SIGHUP); // a reload: it goes on
        QVERIFY(!bridge.waitForFinished(300));
        QElapsedTimer t;
        t.start();
        ::kill(pid_t(bridge.processId()), signal);
        QVERIFY(bridge.waitForFinished(2000));
        if (signal != SIGKILL) {
            QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
            QCOMPARE(bridge.exitStatus(), QProcess::NormalExit);
            QCOMPARE(bridge.exitCode(), 0);
        }
        QTRY_COMPARE(app.last.value(t1("status")), QByteArray("offline"));
        // What one who comes later is told: the bridge offline and, after a clean stop, the
        // board too; a killed bridge could not say.
        QUORVANE_SUBSCRIBED(late, broker, {t1("status"), t1("board")});
        QTRY_COMPARE(late.last.value(t1("status")), QByteArray("offline"));
        QTRY_COMPARE(late.last.value(t1("board")),
                     QByteArray(signal == SIGKILL ? "online" : "offline"));
    }

    void optionsAreCheckedAtStart_data()
    {
        columns<QStringList, int, QString>("arguments", "code", "says");
        QTest::addColumn<QStringList>("environment"); // NAME=VALUE
        // The arguments split at blanks.
        const auto exits = [](const char *name, const QByteArray &arguments, int code,
                              const char *says, const QStringList &environment = {}) {
            QTest::newRow(name)
                << QString::fromLatin1(arguments).split(QLatin1Char(' '), Qt::SkipEmptyParts)
                << code << QString::fromLatin1(says) << environment;
        };
        const auto refused = [&exits](const char *name, const QByteArray &arguments,
                                      const char *says, const QStringList &environment = {}) {
            exits(name, arguments, 2, says, environment);
        };
        exits("help", "--help", 0, "QUORVANE_MQTT_PASSWORD");
        exits("version", "--version", 0, "quorvane-bridge " QUORVANE_VERSION);
        refused("no line", "", "--device PATH or --port N");
        const QByteArray line = "--device /dev/null ";
        refused("board ID with a dot", line + "--board my.host", "not a valid board ID");
        refused("board ID too long", line + "--board " + QByteArray(33, 'a'),
                "not a valid board ID");
        refused("not a broker address", line + "--broker http://x", "not a broker address");
        refused("CA file without TLS", line + "--cafile /etc/hostname", "mqtts://");
        refused("wildcard in the prefix", line + "--prefix a/+", "not a topic prefix");
        refused("log size not a size", line + "--log-max-mb 0", "--log-max-mb takes");
        refused("no password on the command line", line + "--password x", "Unknown option");
        // Bounds, each just past its edge.
        const char *const d = "--device /dev/null --board b ";
        const auto with = [d](const char *extra) { return QByteArray(d) + extra; };
        refused("read clock below 0", with("--read-interval -1"),
                "--read-interval takes 0 to 1000");
        refused("read clock above 1000", with("--read-interval 1001"),
                "--read-interval takes 0 to 1000");
        refused("silence below 0", with("--silence -1"), "--silence takes 0 to 86400");
        refused("silence above a day", with("--silence 86401"), "--silence takes 0 to 86400");
        refused("log size above a million MB", with("--log-max-mb 1000001"), "--log-max-mb takes");
        refused("log size below 0", with("--log-max-mb -1"), "--log-max-mb takes");
        refused("broker port 0", with("--broker mqtt://h:0"), "no such port");
        refused("broker port past 65535", with("--broker mqtt://h:65536"), "not a broker address");
        refused("broker with a path", with("--broker mqtt://h/x"), "only mqtt[s]://HOST[:PORT]");
        refused("broker with a user", with("--broker mqtt://u@h"), "--username");
        refused("broker without a host", with("--broker mqtt://"), "mqtt");
        refused("empty prefix level", with("--prefix a//b"), "not a topic prefix");
        refused("wildcard discovery prefix", with("--discovery-prefix #"), "not a topic prefix");
        refused("board ID in capitals", with("--board Kitchen"), "not a valid board ID");
        refused("a stray argument", with("extra"), "unexpected argument 'extra'");
        refused("a discovery form not known", with("--discovery entity"),
                "--discovery takes device or per-entity, not 'entity'");
        refused("both a device and a port", with("--port 1"), "either --device PATH or --port N");
        refused("port 0", "--port 0", "not a port number");
        refused("port 32768", "--port 32768", "not a port number");
        refused("a missing password file", with("--password-file /nonexistent/pw"),
                "cannot read the password file");
        // The web face: open to the network only behind a token.
        const QStringList token{"QUORVANE_HTTP_TOKEN=correct-horse-battery"};
        refused("web on the network, no token", with("--http 0.0.0.0:8080"), "without a token");
        refused("web over IPv6, no token", with("--http [::1]:8080"), "without a token");
        refused("a short web token", with("--http 0.0.0.0:8080"), "at least 16",
                {"QUORVANE_HTTP_TOKEN=short"});
        refused("web without a port", with("--http 127.0.0.1"), "ADDR:PORT", token);
        refused("web past the last port", with("--http 127.0.0.1:65536"), "ADDR:PORT");
        refused("web behind half a bracket", with("--http [::1:8080"), "ADDR:PORT", token);
        refused("no web token file", with("--http 127.0.0.1:1 --http-token-file /nonexistent/t"),
                "cannot read the web token file '/nonexistent/t'");
        refused("a web certificate alone", with("--http 127.0.0.1:1 --http-cert /etc/hostname"),
                "go together");
    }
    void optionsAreCheckedAtStart()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, says);
        QFETCH(QStringList, environment);
        const auto parsed = quorvane::bridge::parseOptions(
            QStringList{QStringLiteral("quorvane-bridge")} + arguments, environmentOf(environment));
        const auto *exit = std::get_if<Exit>(&parsed);
        QVERIFY(exit);
        QCOMPARE(exit->code, code);
        QVERIFY2(exit->text.contains(says), qPrintable(exit->text));
        for (const QString &e : environment) // a secret is never repeated
            QVERIFY(!exit->text.contains(e.section(QLatin1Char('='), 1)));
    }

    void acceptedOptions_data()
    {
        columns<QStringList, QString, QVariant>("arguments", "field", "value");
        QTest::addColumn<QStringList>("environment"); // NAME=VALUE
        // Arguments after the line and the board, as one string split at blanks.
        const auto row = [](const char *name, const char *extra, const char *field,
                            const QVariant &value, const char *line = "--device /dev/null",
                            const QStringList &environment = {}) {
            QTest::newRow(name) << QStringLiteral("%1 --board b %2")
                                       .arg(QLatin1String(line), QLatin1String(extra))
                                       .split(QLatin1Char(' '), Qt::SkipEmptyParts)
                                << QString::fromLatin1(field) << value << environment;
        };
        const char *const d = "--device /dev/null";
        const QStringList envPassword{"QUORVANE_MQTT_PASSWORD=env-pw"};
        row("password from the environment", "", "password", "env-pw", d, envPassword);
        row("the password file's first line", "--password-file PWFILE", "password", "file-pw");
        row("the file wins over the environment", "--password-file PWFILE", "password", "file-pw",
            d, envPassword);
        row("no password", "", "password", "");
        row("default broker", "", "broker", "localhost:1883 plain");
        row("mqtt:// takes 1883", "--broker mqtt://h", "broker", "h:1883 plain");
        row("mqtts:// takes 8883", "--broker mqtts://h", "broker", "h:8883 tls");
        row("scheme in capitals", "--broker MQTTS://h:1", "broker", "h:1 tls");
        row("highest port", "--broker mqtt://h:65535/", "broker", "h:65535 plain");
        row("default prefixes", "", "prefixes", "quorvane homeassistant");
        row("prefixes of many levels", "--prefix home/q --discovery-prefix ha/x", "prefixes",
            "home/q ha/x");
        row("everything on by default", "", "switches", "discovery raw restore");
        row("each switched off", "--no-discovery --no-raw --no-restore-loads", "switches", "");
        row("one device config by default", "", "discovery", "device");
        row("one config per entity", "--discovery per-entity", "discovery", "per-entity");
        row("will and client id", "", "will", "quorvane-bridge-b quorvane/b/status offline");
        row("will under another prefix", "--prefix p", "will",
            "quorvane-bridge-b p/b/status offline");
        row("silence by default", "", "silence", 10);
        row("silence off", "--silence 0", "silence", 0);
        row("silence of a day", "--silence 86400", "silence", 86400);
        row("read clock by default", "", "readInterval", 25);
        row("read clock 0", "--read-interval 0", "readInterval", 0);
        row("read clock 1000", "--read-interval 1000", "readInterval", 1000);
        row("no port number with a device", "", "port", 0);
        row("port numbers from 1", "", "port", 1, "--port 1");
        row("port 32767", "", "port", 32767, "--port 32767");
        row("board ID of 32", "--board aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "board",
            QString(32, QLatin1Char('a')));
        row("board ID of _ and -", "--board a_b-9", "board", "a_b-9");
        row("log size in MB", "--log-max-mb 0.5", "logMaxBytes", qulonglong(512 * 1024));
        row("no rotation by default", "", "logMaxBytes", qulonglong(0));
        row("MQTT alone by default", "", "faces", "mqtt");
        row("the web page alone", "--http 127.0.0.1:8080", "faces", "web");
        row("the web page and a broker", "--http 127.0.0.1:8080 --broker mqtt://h", "faces",
            "mqtt web");
        row("the last web port", "--http 127.0.0.1:65535", "faces", "web");
        row("the web page on the network with a token", "--http 0.0.0.0:8080", "faces", "web", d,
            {"QUORVANE_HTTP_TOKEN=correct-horse-battery"});
    }
    void acceptedOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, field);
        QFETCH(QVariant, value);
        QFETCH(QStringList, environment);
        arguments.replaceInStrings(QStringLiteral("PWFILE"),
                                   writeFile(dir_, "pw", "file-pw\r\nsecond\n"));
        const auto parsed = quorvane::bridge::parseOptions(
            QStringList{QStringLiteral("quorvane-bridge")} + arguments, environmentOf(environment));
        const auto *exit = std::get_if<Exit>(&parsed);
        QVERIFY2(!exit, exit ? qPrintable(exit->text) : "");
        const Options &o = std::get<Options>(parsed);
        if (field == QLatin1String("readInterval")) { // as far as the line it sets
            const Bridge bridge(o);
            QCOMPARE(QVariant(int(bridge.session().line().readInterval().count())), value);
            return;
        }
        const QMap<QString, QVariant> got{
            {QStringLiteral("broker"),
             o.mqtt.client.broker.display() + (o.mqtt.client.broker.tls ? " tls" : " plain")},
            {QStringLiteral("prefixes"), o.mqtt.prefix + QLatin1Char(' ') + o.mqtt.discoveryPrefix},
            {QStringLiteral("switches"),
             (QString() + (o.mqtt.discovery ? "discovery " : "") + (o.mqtt.raw ? "raw " : "") +
              (o.restoreLoads ? "restore" : ""))
                 .simplified()},
            {QStringLiteral("will"), QStringLiteral("%1 %2 %3")
                                         .arg(o.mqtt.client.clientId, o.mqtt.client.willTopic,
                                              QString::fromLatin1(o.mqtt.client.willPayload))},
            {QStringLiteral("discovery"),
             QLatin1String(o.mqtt.deviceDiscovery ? "device" : "per-entity")},
            {QStringLiteral("silence"), o.silenceSeconds},
            {QStringLiteral("port"), o.port},
            {QStringLiteral("board"), o.mqtt.board},
            {QStringLiteral("password"), o.mqtt.client.password},
            {QStringLiteral("logMaxBytes"), qulonglong(o.record.logMaxBytes)},
            {QStringLiteral("faces"),
             (QString() + (o.mqtt.enabled ? "mqtt " : "") + (o.web.enabled ? "web" : ""))
                 .simplified()},
        };
        QVERIFY2(got.contains(field), qPrintable(field));
        QCOMPARE(got.value(field), value);
        QVERIFY(o.mqtt.client.willRetain);
    }

    // What a panel's remote port writes reaches the bridge in messages it takes: at most 64
    // bytes each, in order.
    void remoteLinkSplitsWhatItWrites_data()
    {
        columns<int, QList<int>>("bytes", "messages");
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
        QUORVANE_SUBSCRIBED(bridge, broker, {QStringLiteral("quorvane/k/tx")});
        bridge.client.publish(QStringLiteral("quorvane/k/status"), "online", true);
        const auto link = openRemote(broker);
        QVERIFY(link);
        const QByteArray sent = QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZ").repeated(6).left(bytes);
        QVERIFY(!link->write(sent));
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
        QUORVANE_SUBSCRIBED(bridge, broker, {});
        bridge.client.publish(QStringLiteral("quorvane/k/status"), "offline", true);
        // Bytes that come while the port waits for the bridge are told of once it is open.
        QTimer::singleShot(300, &bridge.client, [&bridge] {
            bridge.client.publish(QStringLiteral("home/q/k/rx"), "early");
            bridge.client.publish(QStringLiteral("home/q/k/status"), "online", true);
        });
        const auto owned = openRemote(broker, QStringLiteral("?prefix=home/q"));
        QVERIFY(owned);
        RemoteLink &link = *owned;
        QVERIFY(link.isOpen());
        QSignalSpy lost(&link, &RemoteLink::lost);
        int wakes = 0;
        connect(&link, &RemoteLink::readyRead, this, [&] { ++wakes; });
        QByteArray got;
        QTRY_COMPARE(wakes, 1);
        QVERIFY(link.read(got, 1024).count > 0);
        QCOMPARE(got, QByteArray("early"));
        got.clear();
        for (const char *t : {"quorvane/k/rx", "home/q/other/rx", "home/q/k/tx", "home/q/k/rx"})
            bridge.client.publish(QString::fromLatin1(t), QByteArray(t));
        QTRY_COMPARE(wakes, 2);
        QTest::qWait(100);
        QVERIFY(link.read(got, 1024).count > 0);
        QCOMPARE(got, QByteArray("home/q/k/rx"));
        QCOMPARE(link.read(got, 1024).count, 0);
        QCOMPARE(wakes, 2);
        QVERIFY(lost.isEmpty());

        bridge.client.publish(QStringLiteral("home/q/k/status"), "offline", true);
        QTRY_COMPARE(lost.size(), 1);
        link.close();
        QVERIFY(!link.isOpen());
        bridge.client.publish(QStringLiteral("home/q/k/rx"), "late");
        QTest::qWait(100);
        QCOMPARE(link.read(got, 1024).count, 0);
        QCOMPARE(wakes, 2);
    }
};

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
