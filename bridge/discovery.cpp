// SPDX-License-Identifier: MIT
#include "bridge/discovery.h"

#include "mqtt/wire.h"
#include "protocol/telemetry.h"

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
    const QString state = base + QLatin1Char('/') + QLatin1String(mqtt::leaf::kState);
    // What Home Assistant makes of each reading; names, keys and units are the readings' own.
    const struct {
        const char *component;
        const char *name;
        QJsonObject extra;
    } entities[] = {
        {"binary_sensor", "Motion", {{QStringLiteral("device_class"), QStringLiteral("motion")}}},
        {"sensor",
         "Light",
         {{QStringLiteral("state_class"), QStringLiteral("measurement")},
          {QStringLiteral("icon"), QStringLiteral("mdi:brightness-6")}}},
        {"sensor",
         "In-door temperature",
         {{QStringLiteral("device_class"), QStringLiteral("temperature")},
          {QStringLiteral("state_class"), QStringLiteral("measurement")}}},
        {"sensor",
         "Out-door temperature",
         {{QStringLiteral("device_class"), QStringLiteral("temperature")},
          {QStringLiteral("state_class"), QStringLiteral("measurement")}}},
    };
    static_assert(std::size(entities) == protocol::kReadingRows.size());
    for (std::size_t i = 0; i < protocol::kReadingRows.size(); ++i) {
        const auto &row = protocol::kReadingRows[i];
        const QString key = QString::fromLatin1(row.name.data(), qsizetype(row.name.size()));
        QJsonObject config = entities[i].extra;
        config.insert(QStringLiteral("state_topic"), state);
        if (row.reading == protocol::Reading::Pir) {
            config.insert(QStringLiteral("value_template"),
                          QStringLiteral("{{ 'ON' if value_json.%1 else 'OFF' }}").arg(key));
        } else {
            config.insert(QStringLiteral("value_template"),
                          QStringLiteral("{{ value_json.%1 }}").arg(key));
        }
        if (!row.unit.empty())
            config.insert(QStringLiteral("unit_of_measurement"),
                          QString::fromUtf8(row.unit.data(), qsizetype(row.unit.size())));
        add(entities[i].component, key, QLatin1String(entities[i].name), config);
    }
    for (int n = protocol::kFirstLoad; n <= protocol::kLastLoad; ++n) {
        const QString load = base + QLatin1Char('/') + mqtt::leaf::load(n);
        add("switch", QStringLiteral("load%1").arg(n), QStringLiteral("Load %1").arg(n),
            {{QStringLiteral("state_topic"), load},
             {QStringLiteral("command_topic"), base + QLatin1Char('/') + mqtt::leaf::loadSet(n)},
             {QStringLiteral("payload_on"), QLatin1String(mqtt::kOn)},
             {QStringLiteral("payload_off"), QLatin1String(mqtt::kOff)}});
    }
    return configs;
}

} // namespace quorvane::bridge
