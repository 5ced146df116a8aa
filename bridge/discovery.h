// SPDX-License-Identifier: MIT
// Home Assistant MQTT discovery: the configs that make a board appear as one device with a
// motion sensor, a light sensor, two temperatures and five switches.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace quorvane::bridge {

struct DiscoveryConfig {
    QString topic;      // DISCOVERY/COMPONENT/BOARD/OBJECT/config
    QByteArray payload; // JSON; empty to remove the entity
};

// The configs of `board`, whose topics are under `prefix`.
std::vector<DiscoveryConfig> discoveryConfigs(const QString &discoveryPrefix, const QString &prefix,
                                              const QString &board);

} // namespace quorvane::bridge
