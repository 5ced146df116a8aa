// SPDX-License-Identifier: MIT
#include "bridge/discovery.h"

#include "mqtt/wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quorvane::bridge {

std::vector<DiscoveryConfig> discoveryConfigs(const QString &discoveryPrefix, const QString &base,
                                              const QString &board)
{
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("quorvane_") + board}},
        {QStringLiteral("name"), QStringLiteral("Quorvane ") + board},
        {QStringLiteral("manufacturer"), QStringLiteral("Quorvane")},
        {QStringLiteral("model"), QStringLiteral("Home-automation controller board")},
        {QStringLiteral("sw_version"), QStringLiteral(QUORVANE_VERSION)},
    };
    std::vector<DiscoveryConfig> configs;
    auto add = [&](const char *component, const QString &object, const QString &name,
                   QJsonObject config) {
        config.insert(QStringLiteral("name"), name);
        config.insert(QStringLiteral("unique_id"),
                      QStringLiteral("quorvane_%1_%2").arg(board, object));
        config.insert(QStringLiteral("object_id"),
                      QStringLiteral("quorvane_%1_%2").arg(board, object));
        config.insert(QStringLiteral("device"), device);
        config.insert(QStringLiteral("availability_topic"),
                      base + QLatin1Char('/') + QLatin1String(mqtt::leaf::kStatus));
        config.insert(QStringLiteral("payload_available"), QLatin1String(mqtt::kOnline));
        config.insert(QStringLiteral("payload_not_available"), QLatin1String(mqtt::kOffline));
        configs.push_back({QStringLiteral("%1/%2/%3/%4/config")
                               .arg(discoveryPrefix, QLatin1String(component), board, object),
                           QJsonDocument(config).toJson(QJsonDocument::Compact)});
    };
    const QString state = base + QStringLiteral("/state");

    add("binary_sensor", QStringLiteral("pir"), QStringLiteral("Motion"),
        {{QStringLiteral("device_class"), QStringLiteral("motion")},
         {QStringLiteral("state_topic"), state},
         {QStringLiteral("value_template"),
          QStringLiteral("{{ 'ON' if value_json.pir else 'OFF' }}")}});
    add("sensor", QStringLiteral("light"), QStringLiteral("Light"),
        {{QStringLiteral("state_topic"), state},
         {QStringLiteral("value_template"), QStringLiteral("{{ value_json.light }}")},
         {QStringLiteral("unit_of_measurement"), QStringLiteral("%")},
         {QStringLiteral("state_class"), QStringLiteral("measurement")},
         {QStringLiteral("icon"), QStringLiteral("mdi:brightness-6")}});
    const struct {
        const char *object;
        const char *name;
        const char *key;
    } temperatures[] = {{"indoor", "In-door temperature", "indoor"},
                        {"outdoor", "Out-door temperature", "outdoor"}};
    for (const auto &t : temperatures) {
        add("sensor", QLatin1String(t.object), QLatin1String(t.name),
            {{QStringLiteral("state_topic"), state},
             {QStringLiteral("value_template"),
              QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(t.key))},
             {QStringLiteral("device_class"), QStringLiteral("temperature")},
             {QStringLiteral("unit_of_measurement"), QStringLiteral("°C")},
             {QStringLiteral("state_class"), QStringLiteral("measurement")}});
    }
    for (int n = 1; n <= 5; ++n) {
        const QString load = base + QStringLiteral("/load/%1").arg(n);
        add("switch", QStringLiteral("load%1").arg(n), QStringLiteral("Load %1").arg(n),
            {{QStringLiteral("state_topic"), load},
             {QStringLiteral("command_topic"), load + QStringLiteral("/set")},
             {QStringLiteral("payload_on"), QStringLiteral("ON")},
             {QStringLiteral("payload_off"), QStringLiteral("OFF")}});
    }
    return configs;
}

} // namespace quorvane::bridge
