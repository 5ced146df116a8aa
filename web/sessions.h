// SPDX-License-Identifier: MIT
// Who may use the web face: the token, the session cookies signed with it, and the pause that
// slows guessing. A session is its issue time and a random nonce, signed with the token: a
// bridge that restarts with the same token knows its pages again.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QString>

namespace quorvane::web {

class Sessions {
public:
    static constexpr int kLoginPauseMs = 1000;    // after a wrong token, before the next try
    static constexpr int kFailedLoginsKept = 256; // addresses whose pause is remembered
    static constexpr qint64 kSessionMs = 30LL * 24 * 3600 * 1000; // then log in again
    static inline const QByteArray kCookie = QByteArrayLiteral("quorvane_session");

    explicit Sessions(QByteArray token) : token_(std::move(token)) {}

    // Without a token there is no login: every request is let in (on 127.0.0.1 only).
    bool open() const { return token_.isEmpty(); }
    // A Cookie header holding a valid session, or an Authorization header with the token.
    bool authorized(const QByteArray &cookies, const QByteArray &authorization) const;
    bool tokenMatches(const QByteArray &given) const;
    // A new session cookie's value.
    QByteArray begin() const;
    // Whether `peer` gave a wrong token less than a pause ago; each address has its own, so
    // a stranger's guesses cannot lock the owner out.
    bool paused(const QString &peer) const;
    void failed(const QString &peer);

private:
    QByteArray sign(const QByteArray &session) const;
    bool valid(const QByteArray &cookie) const;

    QByteArray token_;
    // Bounded; the oldest entries go first.
    QHash<QString, QElapsedTimer> failedLogins_;
};

// Compares in a time that depends on the given length only, never on where the two differ.
bool equalInConstantTime(const QByteArray &a, const QByteArray &b);

} // namespace quorvane::web
