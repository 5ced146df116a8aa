// SPDX-License-Identifier: MIT
#include "mqtt/naming.h"

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

} // namespace quorvane::mqtt
