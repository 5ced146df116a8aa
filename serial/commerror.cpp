// SPDX-License-Identifier: MIT
#include "serial/commerror.h"

namespace quorvane::serial {
namespace {

QString compose(int port, const QString &device, const QString &reason)
{
    const QString where = device.isEmpty() ? QStringLiteral("Port %1").arg(port)
                                           : QStringLiteral("Port %1 (%2)").arg(port).arg(device);
    return where + QStringLiteral(": ") + reason;
}

} // namespace

CommError::CommError(Kind kind, int port, const QString &device, const QString &reason)
    : std::runtime_error(compose(port, device, reason).toStdString()), kind_(kind), port_(port),
      device_(device), reason_(reason)
{
}

} // namespace quorvane::serial
