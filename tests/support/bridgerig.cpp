// SPDX-License-Identifier: MIT
#include "bridgerig.h"

#include "bridge/mqttface.h"

#include <QFile>
#include <QJsonDocument>

using quorvane::bridge::Bridge;
using quorvane::bridge::Exit;
using quorvane::bridge::Options;
using quorvane::mqtt::MqttClient;

TestSubscriber::TestSubscriber(const TestBroker &broker, const QStringList &filters)
    : client(broker.clientSettings(QStringLiteral("test-%1").arg(quintptr(this))))
{
    int acknowledged = 0;
    QObject::connect(&client, &MqttClient::connected, &client, [this, filters] {
        for (const QString &f : filters)
            client.subscribe(f);
    });
    QObject::connect(&client, &MqttClient::subscribed, &client,
                     [&acknowledged] { ++acknowledged; });
    QObject::connect(&client, &MqttClient::message, &client,
                     [this](const QString &topic, const QByteArray &payload, bool isRetained) {
                         last[topic] = payload;
                         messages.append({topic, payload});
                         if (isRetained)
                             retained << topic;
                         if (topic.endsWith(QLatin1String("/rx")))
                             rx += payload;
                         if (topic.endsWith(QLatin1String("/tx")))
                             tx << payload;
                     });
    if (const auto refused = client.start()) {
        failure = QStringLiteral("the test's client cannot start: %1").arg(*refused);
        return;
    }
    if (!QTest::qWaitFor([&] { return client.isConnected() && acknowledged == filters.size(); },
                         kUpMs))
        failure = QStringLiteral("the test's client did not connect and subscribe");
    QObject::disconnect(&client, &MqttClient::subscribed, nullptr, nullptr);
}

QJsonObject TestSubscriber::json(const QString &topic) const
{
    return QJsonDocument::fromJson(last.value(topic)).object();
}

BridgeRig::BridgeRig(TestBroker::Config config, const QString &named, bool withBroker)
    : broker(config), device(named)
{
    if (device.isEmpty()) {
        plug();
        device = link;
    }
    if (withBroker)
        startBroker();
}

void BridgeRig::startBroker()
{
    brokerUp = broker.start();
    if (!brokerUp)
        failure = QStringLiteral("the broker did not start: %1").arg(broker.log());
}

void BridgeRig::start(const QStringList &extra, const QProcessEnvironment &env)
{
    QStringList arguments{QStringLiteral("quorvane-bridge"), QStringLiteral("--device"), device,
                          QStringLiteral("--board"), QStringLiteral("t1")};
    if (brokerUp)
        arguments << QStringLiteral("--broker") << broker.url();
    auto parsed = quorvane::bridge::parseOptions(arguments + extra, env);
    if (const auto *exit = std::get_if<Exit>(&parsed))
        qFatal("options refused: %s", qPrintable(exit->text));
    Options &o = std::get<Options>(parsed);
    if (adjust)
        adjust(o);
    bridge = std::make_unique<Bridge>(o);
    bridge->setLogSink([this](Bridge::Level, const QString &line) { log << line; });
    // Online is the status topic's value, or without MQTT the line being open.
    if (auto *mqtt = bridge->face<quorvane::bridge::MqttFace>())
        QObject::connect(mqtt, &quorvane::bridge::MqttFace::online, bridge.get(),
                         [this](bool on) { online = on; });
    else
        QObject::connect(&bridge->session(), &quorvane::board::Session::lineChanged, bridge.get(),
                         [this](bool open) { online = open; });
    bridge->start();
}

void BridgeRig::startOnline(const QStringList &extra)
{
    start(extra);
    if (failure.isEmpty() && !QTest::qWaitFor([this] { return online; }, kUpMs))
        failure =
            QStringLiteral("the bridge did not come online: %1").arg(log.join(QLatin1String("; ")));
}

QString BridgeRig::target(const QString &boardId) const
{
    return QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(broker.port()).arg(boardId);
}
