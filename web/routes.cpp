// SPDX-License-Identifier: MIT
#include "web/routes.h"

namespace quorvane::web {

bool upgradesToWebSocket(bool get, const QByteArray &upgrade, const QByteArray &connection)
{
    if (!get || upgrade.trimmed().compare("websocket", Qt::CaseInsensitive) != 0)
        return false;
    for (const QByteArray &option : connection.split(',')) {
        if (option.trimmed().compare("upgrade", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

Routes::Match Routes::find(QHttpServerRequest::Method method, const QString &path) const
{
    using M = QHttpServerRequest::Method;
    Match match;
    for (const Route &r : routes_) {
        const bool below = r.path.size() > 1 && r.path.endsWith(QLatin1Char('/')) &&
                           path.startsWith(r.path) && path.size() > r.path.size();
        if (path != r.path && !below)
            continue;
        match.pathKnown = true;
        const bool fits =
            r.method == Route::Method::Any ||
            (r.method == Route::Method::Get && (method == M::Get || method == M::Head)) ||
            (r.method == Route::Method::Post && method == M::Post);
        if (fits) {
            match.route = &r;
            return match;
        }
    }
    return match;
}

} // namespace quorvane::web
