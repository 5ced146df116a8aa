// SPDX-License-Identifier: MIT
#include "web/sessions.h"

#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace quorvane::web {
namespace {

QByteArray cookieValue(const QByteArray &cookies)
{
    for (const QByteArray &c : cookies.split(';')) {
        const QByteArray part = c.trimmed();
        if (part.startsWith(Sessions::kCookie + '='))
            return part.mid(Sessions::kCookie.size() + 1);
    }
    return {};
}

} // namespace

bool equalInConstantTime(const QByteArray &a, const QByteArray &b)
{
    unsigned diff = unsigned(a.size() ^ b.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= unsigned(char(a[i] ^ (b.isEmpty() ? 0 : b[i % b.size()])));
    return diff == 0;
}

bool Sessions::tokenMatches(const QByteArray &given) const
{
    return !token_.isEmpty() && equalInConstantTime(given, token_);
}

bool Sessions::authorized(const QByteArray &cookies, const QByteArray &authorization) const
{
    if (open())
        return true;
    if (authorization.startsWith("Bearer "))
        return tokenMatches(authorization.mid(7).trimmed());
    return valid(cookieValue(cookies));
}

QByteArray Sessions::sign(const QByteArray &session) const
{
    return QMessageAuthenticationCode::hash(session, token_, QCryptographicHash::Sha256).toHex();
}

QByteArray Sessions::begin() const
{
    std::array<quint32, 4> nonce{};
    QRandomGenerator::system()->fillRange(nonce.data(), qsizetype(nonce.size()));
    const QByteArray session =
        QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 16) + '-' +
        QByteArray(reinterpret_cast<const char *>(nonce.data()), sizeof nonce).toHex();
    return session + '-' + sign(session);
}

bool Sessions::valid(const QByteArray &cookie) const
{
    const auto cut = cookie.lastIndexOf('-');
    if (cut <= 0)
        return false;
    const QByteArray session = cookie.left(cut);
    if (!equalInConstantTime(cookie.mid(cut + 1), sign(session)))
        return false;
    bool ok = false;
    const qint64 issued = session.left(session.indexOf('-')).toLongLong(&ok, 16);
    return ok && QDateTime::currentMSecsSinceEpoch() - issued < kSessionMs;
}

bool Sessions::paused(const QString &peer) const
{
    const auto it = failedLogins_.constFind(peer);
    return it != failedLogins_.cend() && it->elapsed() < kLoginPauseMs;
}

void Sessions::failed(const QString &peer)
{
    if (failedLogins_.size() >= kFailedLoginsKept) {
        // Forget the pauses that are over; if none are, the oldest goes.
        failedLogins_.removeIf([](const auto &e) { return e.value().elapsed() >= kLoginPauseMs; });
        if (failedLogins_.size() >= kFailedLoginsKept)
            failedLogins_.erase(
                std::min_element(failedLogins_.begin(), failedLogins_.end(),
                                 [](const QElapsedTimer &a, const QElapsedTimer &b) {
                                     return a.elapsed() > b.elapsed();
                                 }));
    }
    failedLogins_[peer].start();
}

} // namespace quorvane::web
