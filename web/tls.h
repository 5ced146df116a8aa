// SPDX-License-Identifier: MIT
// The web face's certificate and key, read from their PEM files in one place.
#pragma once

#include <QString>
#include <QtNetwork/qtnetworkglobal.h>

#include <optional>

#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif

namespace quorvane::web {

#if QT_CONFIG(ssl)
// The server configuration for `cert` (a chain) and `key` (RSA or EC) into `out`; says why
// not.
[[nodiscard]] std::optional<QString> loadTls(const QString &cert, const QString &key,
                                             QSslConfiguration *out);
#endif

} // namespace quorvane::web
