// SPDX-License-Identifier: MIT
#include "mqtt/wire.h"

#include <QRegularExpression>

namespace quorvane::mqtt {

bool isValidBoardId(const QString &id)
{
    static const QRegularExpression valid(QStringLiteral("^[a-z0-9_-]{1,32}$"));
    return valid.match(id).hasMatch();
}

bool isValidTopicPrefix(const QString &prefix)
{
    static const QRegularExpression valid(QStringLiteral("^[^/+#\\x00]+(/[^/+#\\x00]+)*$"));
    return valid.match(prefix).hasMatch();
}

QString leaf::load(int n)
{
    return QStringLiteral("load/%1").arg(n);
}

QString leaf::loadSet(int n)
{
    return QStringLiteral("load/%1/set").arg(n);
}

std::optional<int> leaf::loadOfSet(const QString &leaf)
{
    static const QRegularExpression set(QStringLiteral("^load/([0-9]{1,9})/set$"));
    const auto m = set.match(leaf);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toInt();
}

QString boardBase(const QString &prefix, const QString &board)
{
    return prefix + QLatin1Char('/') + board;
}

QString boardTopic(const QString &prefix, const QString &board, const QString &leaf)
{
    return boardBase(prefix, board) + QLatin1Char('/') + leaf;
}

QString discoveryStatusTopic(const QString &discoveryPrefix)
{
    return discoveryPrefix + QStringLiteral("/status");
}

QString discoveryConfigTopic(const QString &discoveryPrefix, const QString &component,
                             const QString &board, const QString &object)
{
    return QStringLiteral("%1/%2/%3/%4/config").arg(discoveryPrefix, component, board, object);
}

QString discoveryConfigFilter(const QString &discoveryPrefix, const QString &board)
{
    return discoveryConfigTopic(discoveryPrefix, QStringLiteral("+"), board, QStringLiteral("+"));
}

QString discoveryDeviceTopic(const QString &discoveryPrefix, const QString &board)
{
    return QStringLiteral("%1/device/%2/config").arg(discoveryPrefix, board);
}

} // namespace quorvane::mqtt
