// SPDX-License-Identifier: MIT
// quorvane-bridge: the board on an MQTT broker, with Home Assistant discovery.
#include "bridge/bridge.h"
#include "bridge/discovery.h"
#include "bridge/options.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

constexpr char kStop = 1;
constexpr char kReload = 2;

void onSignal(int number)
{
    const char c = number == SIGHUP ? kReload : kStop;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

// SIGTERM and SIGINT end the event loop from the loop itself, so the stop runs in order;
// SIGHUP reads renewed certificates again.
void onSignals(QObject *context, const std::function<void()> &stop,
               const std::function<void()> &reload)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, stop, reload] {
        char c = 0;
        if (::read(signalPipe[0], &c, 1) == 1 && c == kReload) {
            reload();
            return;
        }
        notifier->setEnabled(false);
        stop();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

// Publishes the empty retained configs that remove the board from Home Assistant, in
// either discovery form.
int removeDiscovery(const quorvane::bridge::Options &o)
{
    using quorvane::mqtt::MqttClient;
    auto settings = o.mqtt.client;
    settings.willTopic.clear();
    MqttClient client(settings);
    client.setReconnect(false);
    int status = 1;
    bool done = false; // answered, perhaps already within start()
    QObject::connect(&client, &MqttClient::connected, &client, [&] {
        int sent = 0;
        auto configs =
            quorvane::bridge::perEntityConfigs(o.mqtt.discoveryPrefix, o.mqtt.prefix, o.mqtt.board);
        configs.push_back(
            quorvane::bridge::deviceConfig(o.mqtt.discoveryPrefix, o.mqtt.prefix, o.mqtt.board));
        for (const auto &c : configs)
            sent += client.publish(c.topic, QByteArray(), true) ? 1 : 0;
        client.stop(2000);
        std::fprintf(stderr, "quorvane-bridge: removed %d discovery configs of board '%s'\n", sent,
                     qPrintable(o.mqtt.board));
        status = 0;
        done = true;
        QCoreApplication::quit();
    });
    QObject::connect(&client, &MqttClient::connectFailed, &client, [&](const QString &why) {
        std::fprintf(stderr, "quorvane-bridge: cannot connect to the broker %s: %s\n",
                     qPrintable(o.mqtt.client.broker.display()), qPrintable(why));
        done = true;
        QCoreApplication::quit();
    });
    if (const auto refused = client.start()) {
        std::fprintf(stderr, "quorvane-bridge: cannot connect to the broker %s: %s\n",
                     qPrintable(o.mqtt.client.broker.display()), qPrintable(*refused));
        return 1;
    }
    if (!done)
        QCoreApplication::exec();
    return status;
}

// Leaves without waiting for a name server that does not answer: Qt's lookup threads are
// joined at exit, and one stuck in the resolver would hold a stopping bridge for a minute.
int leave(int code)
{
    // Nothing waits in a buffer by then: the bridge writes only to stderr.
    if (quorvane::mqtt::MqttClient::lookupsRunning())
        ::_exit(code);
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    auto parsed = quorvane::bridge::parseOptions(QCoreApplication::arguments(),
                                                 QProcessEnvironment::systemEnvironment());
    if (const auto *exit = std::get_if<quorvane::bridge::Exit>(&parsed))
        return quorvane::cli::finish(*exit);
    const auto &options = std::get<quorvane::bridge::Options>(parsed);
    if (options.removeDiscovery)
        return leave(removeDiscovery(options));

    int code = 1;
    {
        quorvane::bridge::Bridge bridge(options);
        onSignals(
            &bridge,
            [&bridge] {
                bridge.stop();
                QCoreApplication::quit();
            },
            [&bridge] { bridge.reload(); });
        if (bridge.start())
            code = QCoreApplication::exec();
    }
    return leave(code);
}
