// SPDX-License-Identifier: MIT
#include "remote/targetmap.h"

#include "remote/remotelink.h"

namespace quorvane::remote {

QString TargetPortMap::describeTarget(const QString &target) const
{
    QString unused;
    if (const auto remote = RemoteTarget::parse(target, &unused))
        return remote->describe();
    return target;
}

std::unique_ptr<serial::ByteLink> TargetPortMap::makeLink(const QString &device) const
{
    QString unused;
    if (const auto remote = RemoteTarget::parse(device, &unused))
        return std::make_unique<RemoteLink>(*remote, password_);
    return FixedPortMap::makeLink(device);
}

QString TargetPortMap::checkTarget(const QString &target)
{
    QString error;
    if (RemoteTarget::looksRemote(target)) {
        return RemoteTarget::parse(target, &error) ? QString() : error;
    }
    if (target.isEmpty())
        return QStringLiteral("an empty device path");
    if (target.contains(QLatin1String("://")))
        return QStringLiteral("'%1' is neither a device path nor an mqtt:// or mqtts:// address")
            .arg(target);
    return {};
}

} // namespace quorvane::remote
