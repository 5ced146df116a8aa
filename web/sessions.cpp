// SPDX-License-Identifier: MIT
#include "web/sessions.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QSaveFile>

#include <algorithm>
#include <array>

namespace quorvane::web {
namespace {

const QByteArray kFileHeader = "quorvane-sessions 1 ";

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

bool equalInConstantTime(const QByteArray &a, const QByteArray &b)
{
    unsigned diff = unsigned(a.size() ^ b.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= unsigned(char(a[i] ^ (b.isEmpty() ? 0 : b[i % b.size()])));
    return diff == 0;
}

Sessions::Sessions(QByteArray token, QString file, int most)
    : token_(std::move(token)), file_(std::move(file)), most_(std::max(1, most))
{
}

QByteArray Sessions::cookieValue(const QByteArray &cookies)
{
    for (const QByteArray &c : cookies.split(';')) {
        const QByteArray part = c.trimmed();
        if (part.startsWith(kCookie + '='))
            return part.mid(kCookie.size() + 1);
    }
    return {};
}

QByteArray Sessions::hash(const QByteArray &cookie)
{
    return QCryptographicHash::hash(cookie, QCryptographicHash::Sha256).toHex();
}

bool Sessions::tokenMatches(const QByteArray &given) const
{
    return !token_.isEmpty() && equalInConstantTime(given, token_);
}

Sessions::Verdict Sessions::check(const QByteArray &cookies, const QByteArray &authorization,
                                  const QString &peer)
{
    if (open())
        return Verdict::Granted;
    if (authorization.startsWith("Bearer ")) {
        if (paused(peer))
            return Verdict::Paused;
        return tokenMatches(authorization.mid(7).trimmed()) ? Verdict::Granted : Verdict::Denied;
    }
    return loginOf(cookies).isEmpty() ? Verdict::Denied : Verdict::Granted;
}

QByteArray Sessions::sign(const QByteArray &session) const
{
    return QMessageAuthenticationCode::hash(session, token_, QCryptographicHash::Sha256).toHex();
}

bool Sessions::signedAndCurrent(const QByteArray &cookie) const
{
    const auto cut = cookie.lastIndexOf('-');
    if (cut <= 0)
        return false;
    const QByteArray session = cookie.left(cut);
    if (!equalInConstantTime(cookie.mid(cut + 1), sign(session)))
        return false;
    bool ok = false;
    const qint64 issued = session.left(session.indexOf('-')).toLongLong(&ok, 16);
    return ok && now() - issued < kSessionMs;
}

QByteArray Sessions::loginOf(const QByteArray &cookies) const
{
    const QByteArray cookie = cookieValue(cookies);
    if (cookie.isEmpty() || !signedAndCurrent(cookie))
        return {};
    const QByteArray h = hash(cookie);
    return logins_.contains(h) ? h : QByteArray();
}

QByteArray Sessions::begin()
{
    std::array<quint32, 4> nonce{};
    QRandomGenerator::system()->fillRange(nonce.data(), qsizetype(nonce.size()));
    const qint64 issued = now();
    const QByteArray session =
        QByteArray::number(issued, 16) + '-' +
        QByteArray(reinterpret_cast<const char *>(nonce.data()), sizeof nonce).toHex();
    const QByteArray cookie = session + '-' + sign(session);
    expire();
    while (logins_.size() >= most_) {
        logins_.erase(std::min_element(logins_.begin(), logins_.end(),
                                       [](qint64 a, qint64 b) { return a < b; }));
    }
    logins_.insert(hash(cookie), issued);
    save();
    return cookie;
}

void Sessions::end(const QByteArray &cookies)
{
    if (logins_.remove(hash(cookieValue(cookies))))
        save();
}

void Sessions::endAll()
{
    logins_.clear();
    save();
}

void Sessions::expire()
{
    const qint64 t = now();
    logins_.removeIf([t](const auto &e) { return t - e.value() >= kSessionMs; });
}

// The file: a header line with a fingerprint of the token (a list kept for another token is
// not taken), then one line a login, "HASH ISSUED_MS".
std::optional<QString> Sessions::load()
{
    if (file_.isEmpty() || open())
        return std::nullopt;
    QFile f(file_);
    if (!f.exists())
        return std::nullopt;
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the web logins in %1: %2").arg(file_, f.errorString());
    const QList<QByteArray> lines = f.read(1 << 20).split('\n');
    if (lines.value(0) != kFileHeader + sign("sessions")) {
        save(); // another token's logins, or not ours: every login ends
        return std::nullopt;
    }
    for (qsizetype i = 1; i < lines.size() && logins_.size() < most_; ++i) {
        const QList<QByteArray> parts = lines[i].split(' ');
        bool ok = false;
        const qint64 issued = parts.value(1).toLongLong(&ok);
        if (parts.size() == 2 && parts[0].size() == 64 && ok)
            logins_.insert(parts[0], issued);
    }
    expire();
    return std::nullopt;
}

void Sessions::save()
{
    if (file_.isEmpty())
        return;
    QSaveFile f(file_);
    if (!f.open(QIODevice::WriteOnly))
        return; // said at start, when the file could not be read either
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QByteArray text = kFileHeader + sign("sessions") + '\n';
    for (auto it = logins_.cbegin(); it != logins_.cend(); ++it)
        text += it.key() + ' ' + QByteArray::number(it.value()) + '\n';
    f.write(text);
    f.commit();
}

bool Sessions::paused(const QString &peer) const
{
    const auto it = failed_.constFind(peer);
    return it != failed_.cend() && it->last.elapsed() < kLoginPauseMs;
}

int Sessions::failed(const QString &peer)
{
    if (!failed_.contains(peer) && failed_.size() >= kFailedLoginsKept) {
        // Forget the pauses that are over and said; if none are, the oldest goes.
        failed_.removeIf([](const auto &e) {
            return e.value().last.elapsed() >= kLoginPauseMs && e.value().unsaid == 0;
        });
        if (failed_.size() >= kFailedLoginsKept)
            failed_.erase(std::min_element(failed_.begin(), failed_.end(),
                                           [](const Guesses &a, const Guesses &b) {
                                               return a.last.elapsed() > b.last.elapsed();
                                           }));
    }
    Guesses &g = failed_[peer];
    g.last.start();
    ++g.unsaid;
    if (g.said.isValid() && g.said.elapsed() < kSayEveryMs)
        return 0;
    g.said.start();
    return std::exchange(g.unsaid, 0);
}

} // namespace quorvane::web
