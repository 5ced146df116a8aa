// SPDX-License-Identifier: MIT
// Home Assistant MQTT discovery: what makes a board appear as one device with a motion
// sensor, a light sensor, two temperatures, five switches and the bridge's diagnostics. Two
// forms of the same entities with the same unique_ids: one config for the whole device (Home
// Assistant 2024.11 and later), or one config per entity (before).
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace quorvane::bridge {

struct DiscoveryConfig {
    QString topic;      // DISCOVERY/COMPONENT/BOARD/OBJECT/config or DISCOVERY/device/BOARD/config
    QByteArray payload; // JSON; empty to remove
};

// Home Assistant's word, published to a one-entity config, that its entity moves to a device
// config: it unloads the entity and keeps its id, name, area and history for the device's.
inline constexpr const char *kMigrateDiscovery = R"({"migrate_discovery":true})";

// One config per entity for `board`, whose topics are under `prefix`.
std::vector<DiscoveryConfig> perEntityConfigs(const QString &discoveryPrefix, const QString &prefix,
                                              const QString &board);
// The one config of the whole board.
DiscoveryConfig deviceConfig(const QString &discoveryPrefix, const QString &prefix,
                             const QString &board);

} // namespace quorvane::bridge
