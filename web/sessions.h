// SPDX-License-Identifier: MIT
// Who may use the web face: the token, the logins made with it, and the pause that slows
// guessing. A login is a cookie signed with the token and listed here; logging out takes it
// off the list, and the list (only a hash of each cookie) is kept in the bridge's state
// directory so that pages stay logged in across a restart. A new token ends every login.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <optional>

namespace quorvane::web {

class Sessions {
public:
    static constexpr int kLoginPauseMs = 1000;    // after a wrong token, before the next try
    static constexpr int kFailedLoginsKept = 256; // addresses whose pause is remembered
    static constexpr int kSayEveryMs = 10'000;    // an address's wrong tokens: one line each
    static constexpr qint64 kSessionMs = 30LL * 24 * 3600 * 1000; // then log in again
    static inline const QByteArray kCookie = QByteArrayLiteral("quorvane_session");

    // `file`: where the list is kept; empty, in memory only. `most`: logins kept at once,
    // the oldest ending first.
    Sessions(QByteArray token, QString file = {}, int most = 64);

    // Reads the list kept by an earlier run; says why it could not (the list starts empty).
    [[nodiscard]] std::optional<QString> load();

    // Without a token there is no login: every request is let in (on 127.0.0.1 only).
    bool open() const { return token_.isEmpty(); }
    enum class Verdict { Granted, Denied, Paused };
    // A Cookie header holding a listed login, or an Authorization header with the token. A
    // wrong bearer token counts as a wrong login from `peer`, and while its pause lasts no
    // bearer token from there is looked at.
    Verdict check(const QByteArray &cookies, const QByteArray &authorization, const QString &peer);
    bool tokenMatches(const QByteArray &given) const;
    // A new login's cookie value.
    QByteArray begin();
    // Logs out the login in a Cookie header; every login.
    void end(const QByteArray &cookies);
    void endAll();
    // The listed login of a Cookie header, as its hash, or nothing.
    QByteArray loginOf(const QByteArray &cookies) const;
    bool listed(const QByteArray &hash) const { return logins_.contains(hash); }
    int count() const { return int(logins_.size()); }

    // Whether `peer` gave a wrong token less than a pause ago; each address has its own, so
    // a stranger's guesses cannot lock the owner out.
    bool paused(const QString &peer) const;
    // A wrong token from `peer`. Returns how many it gave since it was last said, when it is
    // time to say so again (at most once per kSayEveryMs per address), else 0.
    int failed(const QString &peer);

private:
    QByteArray sign(const QByteArray &session) const;
    bool signedAndCurrent(const QByteArray &cookie) const;
    static QByteArray cookieValue(const QByteArray &cookies);
    static QByteArray hash(const QByteArray &cookie);
    void expire();
    void save();

    QByteArray token_;
    QString file_;
    int most_;
    QHash<QByteArray, qint64> logins_; // hash of the cookie: when it was issued (ms)
    struct Guesses {
        QElapsedTimer last; // the newest wrong token
        QElapsedTimer said; // when its count was last said
        int unsaid = 0;
    };
    // Bounded; the oldest entries go first.
    QHash<QString, Guesses> failed_;
};

// Compares in a time that depends on the given length only, never on where the two differ.
bool equalInConstantTime(const QByteArray &a, const QByteArray &b);

} // namespace quorvane::web
