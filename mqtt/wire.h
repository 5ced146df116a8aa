// SPDX-License-Identifier: MIT
// The wire contract between a bridge and whoever reaches its board over MQTT (remote panels,
// Home Assistant, scripts): how boards are named, the topic leaves under PREFIX/BOARD, their
// payloads and limits. The bridge's face and the panel's remote link both speak it from here.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace quorvane::mqtt {

inline constexpr const char *kDefaultPrefix = "quorvane";

// [a-z0-9_-]{1,32}
bool isValidBoardId(const QString &id);
// One or more topic levels, no wildcards, no empty level.
bool isValidTopicPrefix(const QString &prefix);

// Leaves under PREFIX/BOARD.
namespace leaf {
inline constexpr const char *kStatus = "status";       // retained: the bridge holds the line
inline constexpr const char *kBoard = "board";         // retained: the board itself is sending
inline constexpr const char *kHealth = "health";       // retained JSON: how the bridge is doing
inline constexpr const char *kState = "state";         // retained JSON of the newest frame
inline constexpr const char *kRx = "rx";               // bytes from the board, as they came
inline constexpr const char *kTx = "tx";               // bytes for the board
inline constexpr const char *kAllSet = "all/set";      // ON / OFF for every load
inline constexpr const char *kLoadSets = "load/+/set"; // the filter for every load's command
QString load(int n);    // "load/N": retained ON / OFF, what was last commanded
QString loadSet(int n); // "load/N/set"
// N of a "load/N/set" leaf; nothing for any other leaf (N is not checked against the board).
std::optional<int> loadOfSet(const QString &leaf);
} // namespace leaf

inline constexpr const char *kOnline = "online";
inline constexpr const char *kOffline = "offline";
inline constexpr const char *kOn = "ON";
inline constexpr const char *kOff = "OFF";

// The most a bridge takes in one tx message; a remote link splits what it writes to fit.
inline constexpr qsizetype kMaxTxBytes = 64;
// Longer than any command payload; a bigger one is refused unread.
inline constexpr qsizetype kMaxCommandBytes = 16;

// PREFIX/BOARD, under which every leaf is
QString boardBase(const QString &prefix, const QString &board);
// PREFIX/BOARD/LEAF
QString boardTopic(const QString &prefix, const QString &board, const QString &leaf);
inline QString boardTopic(const QString &prefix, const QString &board, const char *leaf)
{
    return boardTopic(prefix, board, QString::fromLatin1(leaf));
}

// Home Assistant's side: where it says it has (re)started, and where a config is published.
QString discoveryStatusTopic(const QString &discoveryPrefix);
// DISCOVERY/COMPONENT/BOARD/OBJECT/config: one entity's config
QString discoveryConfigTopic(const QString &discoveryPrefix, const QString &component,
                             const QString &board, const QString &object);
// DISCOVERY/+/BOARD/+/config: every one-entity config of the board
QString discoveryConfigFilter(const QString &discoveryPrefix, const QString &board);
// DISCOVERY/device/BOARD/config: the one config of the whole board
QString discoveryDeviceTopic(const QString &discoveryPrefix, const QString &board);

} // namespace quorvane::mqtt
