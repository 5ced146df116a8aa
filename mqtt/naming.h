// SPDX-License-Identifier: MIT
// How boards are named in topics, for the bridge that publishes them and the panels that
// reach them: PREFIX/BOARD/...
#pragma once

#include <QString>

namespace quorvane::mqtt {

inline constexpr const char *kDefaultPrefix = "quorvane";

// [a-z0-9_-]{1,32}
bool isValidBoardId(const QString &id);
// One or more topic levels, no wildcards, no empty level.
bool isValidTopicPrefix(const QString &prefix);

} // namespace quorvane::mqtt
