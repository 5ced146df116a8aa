// SPDX-License-Identifier: MIT
// Port numbers for chosen targets as the panel's command line gives them: a device path, or a
// board behind a bridge, mqtt[s]://[user@]host[:port]/BOARD[?prefix=P], reached through the
// broker with a link of its own.
#pragma once

#include "serial/portmap.h"

namespace quorvane::remote {

class TargetPortMap : public serial::FixedPortMap {
public:
    using FixedPortMap::FixedPortMap;
    std::unique_ptr<serial::ByteLink> makeLink(const QString &device) const override;

    // The broker password for boards behind a bridge.
    void setRemotePassword(const QString &password) { password_ = password; }
    // Empty when `target` can be used, else what is wrong with it.
    static QString checkTarget(const QString &target);

protected:
    QString describeTarget(const QString &target) const override;

private:
    QString password_;
};

} // namespace quorvane::remote
