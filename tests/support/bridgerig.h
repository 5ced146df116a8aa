// SPDX-License-Identifier: MIT
// A board behind a bridge, for suites and benches: a broker of the test's own, the board on a
// pseudo-terminal (or a device the test names), and the bridge in this process; and a client
// of the test's own that records what it receives. A fixture that cannot come up says why in
// `failure`; QUORVANE_VERIFY_UP stops the test there instead of going on half-built.
#pragma once

#include "bridge/bridge.h"
#include "broker.h"
#include "ptyhelper.h"

#include <QHash>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#define QUORVANE_VERIFY_UP(fixture)                                                                \
    QVERIFY2((fixture).failure.isEmpty(), qPrintable((fixture).failure))

inline constexpr int kUpMs = 5000; // for anything to connect or come online

// A subscriber of the test's own, connected and subscribed, or the test stops there.
#define QUORVANE_SUBSCRIBED(name, broker, ...)                                                     \
    TestSubscriber name(broker, __VA_ARGS__);                                                      \
    QUORVANE_VERIFY_UP(name)

// Connects and subscribes to `filters`, waiting for the broker to acknowledge each.
struct TestSubscriber {
    quorvane::mqtt::MqttClient client;
    QHash<QString, QByteArray> last;
    QSet<QString> retained;
    QByteArray rx;
    QList<QByteArray> tx;                       // each message, in order
    QList<QPair<QString, QByteArray>> messages; // everything, in order
    QString failure;

    TestSubscriber(const TestBroker &broker, const QStringList &filters);
    QJsonObject json(const QString &topic) const;
};

// The board's end is `board`, behind `link`; none with a named device.
#ifdef QUORVANE_BRIDGE_EXE
// quorvane-bridge --remove-discovery for `board` on the broker at `url`: its exit code and
// what it said, or -1 when it did not end in time.
inline std::pair<int, QByteArray> removeDiscovery(const QString &url, const QString &board)
{
    QProcess remove;
    remove.start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                 {QStringLiteral("--remove-discovery"), QStringLiteral("--broker"), url,
                  QStringLiteral("--board"), board});
    const bool ended = remove.waitForFinished(kUpMs);
    return {ended ? remove.exitCode() : -1, remove.readAllStandardError()};
}
#endif

struct BridgeRig : PluggableBoard {
    TestBroker broker;
    QString device; // what the bridge opens
    std::unique_ptr<quorvane::bridge::Bridge> bridge;
    QStringList log;
    bool online = false;
    // Changes the parsed options before the bridge is made (bounds a test shortens).
    std::function<void(quorvane::bridge::Options &)> adjust;
    QString failure;
    bool brokerUp = false;

    // A board of the rig's own behind a link that can be re-pointed (unplugged and plugged
    // back), or `device` as it is.
    // Without `withBroker`, the broker is not started and the bridge has no MQTT face unless
    // startBroker() is called first.
    explicit BridgeRig(TestBroker::Config config = {}, const QString &device = {},
                       bool withBroker = true);
    void startBroker();
    // Starts the bridge on the board as board "t1", with `extra` options.
    void start(const QStringList &extra = {}, const QProcessEnvironment &env = {});
    // Starts it and waits for it to come online; says why not in `failure`.
    void startOnline(const QStringList &extra = {});
    // The board as a panel's port reaches it through the broker.
    QString target(const QString &board = QStringLiteral("t1")) const;
};
