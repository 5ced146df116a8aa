// SPDX-License-Identifier: MIT
#include "bridge/discovery.h"

#include "mqtt/wire.h"
#include "protocol/telemetry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quorvane::bridge {
namespace {

struct Entity {
    QString component;
    QString object; // the old topic's OBJECT, the device config's key
    QJsonObject config;
};

// Every entity of the board, without its device and origin, which each form places itself.
std::vector<Entity> entities(const QString &prefix, const QString &board)
{
    const auto topic = [&](const QString &leaf) { return mqtt::boardTopic(prefix, board, leaf); };
    const auto available = [&](const char *leaf) {
        return QJsonObject{
            {QStringLiteral("topic"), mqtt::boardTopic(prefix, board, leaf)},
            {QStringLiteral("payload_available"), QLatin1String(mqtt::kOnline)},
            {QStringLiteral("payload_not_available"), QLatin1String(mqtt::kOffline)},
        };
    };
    // The board's entities are there while the bridge is and the board is sending; the
    // bridge's own health stays readable while the board is silent, when it matters most.
    const QJsonArray boardAvailability{available(mqtt::leaf::kStatus),
                                       available(mqtt::leaf::kBoard)};
    const QJsonArray bridgeAvailability{available(mqtt::leaf::kStatus)};
    std::vector<Entity> all;
    auto add = [&](const char *component, const QString &object, const QString &name,
                   QJsonObject config, bool ofTheBoard = true) {
        config.insert(QStringLiteral("name"), name);
        config.insert(QStringLiteral("unique_id"),
                      QStringLiteral("quorvane_%1_%2").arg(board, object));
        config.insert(QStringLiteral("availability"),
                      ofTheBoard ? boardAvailability : bridgeAvailability);
        config.insert(QStringLiteral("availability_mode"), QStringLiteral("all"));
        config.insert(QStringLiteral("qos"), 1);
        all.push_back({QLatin1String(component), object, config});
    };
    const QString state = topic(QLatin1String(mqtt::leaf::kState));
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
        const QString load = topic(mqtt::leaf::load(n));
        add("switch", QStringLiteral("load%1").arg(n), QStringLiteral("Load %1").arg(n),
            {{QStringLiteral("state_topic"), load},
             {QStringLiteral("command_topic"), topic(mqtt::leaf::loadSet(n))},
             {QStringLiteral("payload_on"), QLatin1String(mqtt::kOn)},
             {QStringLiteral("payload_off"), QLatin1String(mqtt::kOff)}});
    }

    // The bridge's health, for people looking after it; the noisy ones start disabled.
    const QString health = topic(QLatin1String(mqtt::leaf::kHealth));
    const struct {
        const char *key;
        const char *name;
        QJsonObject extra;
        bool enabled;
        const char *value = nullptr; // where in health, when not at `key`
    } diagnostics[] = {
        {"newest_frame",
         "Newest frame",
         {{QStringLiteral("device_class"), QStringLiteral("timestamp")}},
         true},
        {"line_losses",
         "Line losses",
         {{QStringLiteral("state_class"), QStringLiteral("total_increasing")},
          {QStringLiteral("icon"), QStringLiteral("mdi:connection")}},
         true},
        {"refused_commands",
         "Refused commands",
         {{QStringLiteral("state_class"), QStringLiteral("total_increasing")},
          {QStringLiteral("icon"), QStringLiteral("mdi:cancel")}},
         true},
        // Nonzero is why commands are lost; the topics are its attributes.
        {"subscriptions_refused",
         "Subscriptions refused",
         {{QStringLiteral("state_class"), QStringLiteral("measurement")},
          {QStringLiteral("icon"), QStringLiteral("mdi:shield-alert")},
          {QStringLiteral("json_attributes_topic"), health},
          {QStringLiteral("json_attributes_template"),
           QStringLiteral("{{ value_json.subscriptions_refused | tojson }}")}},
         true,
         "subscriptions_refused.count"},
        {"frames_last_minute",
         "Frames in the last minute",
         {{QStringLiteral("state_class"), QStringLiteral("measurement")}},
         false},
        {"broker_reconnects",
         "Broker reconnects",
         {{QStringLiteral("state_class"), QStringLiteral("total_increasing")}},
         false},
        {"uptime_s",
         "Uptime",
         {{QStringLiteral("device_class"), QStringLiteral("duration")},
          {QStringLiteral("unit_of_measurement"), QStringLiteral("s")}},
         false},
    };
    for (const auto &d : diagnostics) {
        QJsonObject config = d.extra;
        config.insert(QStringLiteral("state_topic"), health);
        config.insert(
            QStringLiteral("value_template"),
            QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(d.value ? d.value : d.key)));
        config.insert(QStringLiteral("entity_category"), QStringLiteral("diagnostic"));
        if (!d.enabled)
            config.insert(QStringLiteral("enabled_by_default"), false);
        add("sensor", QLatin1String(d.key), QLatin1String(d.name), config, false);
    }
    return all;
}

QJsonObject device(const QString &board)
{
    return {
        {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("quorvane_") + board}},
        {QStringLiteral("name"), QStringLiteral("Quorvane ") + board},
        {QStringLiteral("manufacturer"), QStringLiteral("Quorvane")},
        {QStringLiteral("model"), QStringLiteral("Home-automation controller board")},
        {QStringLiteral("sw_version"), QStringLiteral(QUORVANE_VERSION)},
    };
}

QJsonObject origin()
{
    return {
        {QStringLiteral("name"), QStringLiteral("Quorvane")},
        {QStringLiteral("sw_version"), QStringLiteral(QUORVANE_VERSION)},
        {QStringLiteral("support_url"), QStringLiteral("https://quorvane.example.org")},
    };
}

} // namespace

std::vector<DiscoveryConfig> perEntityConfigs(const QString &discoveryPrefix, const QString &prefix,
                                              const QString &board)
{
    std::vector<DiscoveryConfig> configs;
    for (Entity &e : entities(prefix, board)) {
        e.config.insert(QStringLiteral("object_id"), e.config.value(QStringLiteral("unique_id")));
        e.config.insert(QStringLiteral("device"), device(board));
        e.config.insert(QStringLiteral("origin"), origin());
        configs.push_back(
            {mqtt::discoveryConfigTopic(discoveryPrefix, e.component, board, e.object),
             QJsonDocument(e.config).toJson(QJsonDocument::Compact)});
    }
    return configs;
}

DiscoveryConfig deviceConfig(const QString &discoveryPrefix, const QString &prefix,
                             const QString &board)
{
    // Keyed by the old topics' OBJECT under the old BOARD, so each entity keeps its
    // discovery id as well as its unique_id.
    QJsonObject components;
    for (Entity &e : entities(prefix, board)) {
        e.config.insert(QStringLiteral("platform"), e.component);
        e.config.insert(QStringLiteral("default_entity_id"),
                        QStringLiteral("%1.%2").arg(
                            e.component, e.config.value(QStringLiteral("unique_id")).toString()));
        components.insert(e.object, e.config);
    }
    const QJsonObject config{
        {QStringLiteral("device"), device(board)},
        {QStringLiteral("origin"), origin()},
        {QStringLiteral("cmps"), components},
    };
    return {mqtt::discoveryDeviceTopic(discoveryPrefix, board),
            QJsonDocument(config).toJson(QJsonDocument::Compact)};
}

} // namespace quorvane::bridge
