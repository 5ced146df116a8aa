// SPDX-License-Identifier: MIT
// What to keep of a line: the readings log and the line capture. Plain data, so the command
// line can fill it without knowing the comm control.
#pragma once

#include <QString>

#include <cstdint>

namespace quorvane::recorder {

struct RecordOptions {
    QString logPath;
    std::uint64_t logMaxBytes = 0; // 0: never rotate
    QString capturePath;
    bool any() const { return !logPath.isEmpty() || !capturePath.isEmpty(); }
};

} // namespace quorvane::recorder
