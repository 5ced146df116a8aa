// SPDX-License-Identifier: MIT
// The web face's part of the bridge's command line: where it listens, the token, TLS, and
// the bounds it holds every client to.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QString>

#include <optional>

class QCommandLineParser;

namespace quorvane::web {

struct Limits {
    int connections = 32;            // at once, pages' live updates included; more are closed
    int perAddress = 8;              // of those, from one client address
    int requestLine = 8192;          // bytes of "GET /path HTTP/1.1"
    int head = 16384;                // bytes of the request line and headers together
    int body = 4096;                 // bytes; commands and the login form are a few
    int requestMs = 10000;           // a request must be complete this long after its first byte
    int idleMs = 30000;              // a kept-alive connection with no request is closed
    int sessions = 64;               // logged-in browsers remembered; the oldest is forgotten
    qint64 pushBacklog = 256 * 1024; // bytes a page has not taken before it is dropped
};

struct Options {
    bool enabled = false; // --http given
    QHostAddress address;
    quint16 port = 0; // 0: any free one (tests)
    QByteArray token; // empty: no login, and only on 127.0.0.1
    QString cert;
    QString key;
    QString stateDir; // where the logins outlive the bridge; empty: they end with it
    Limits limits;

    bool tls() const { return !cert.isEmpty(); }
};

inline constexpr int kMinTokenLength = 16;

void addOptions(QCommandLineParser &parser);
// Reads what addOptions added; says what is wrong, or nothing.
std::optional<QString> readOptions(const QCommandLineParser &parser,
                                   const QProcessEnvironment &environment, Options *options);

} // namespace quorvane::web
