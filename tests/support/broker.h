// SPDX-License-Identifier: MIT
// A Mosquitto broker of the test's own on a free 127.0.0.1 port, with a generated config,
// optionally with a password file and TLS from a CA made here. Never a system service.
#pragma once

#include "mqtt/mqttclient.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class TestBroker {
public:
    struct Config {
        bool password = false;   // only kUser / kPassword may connect
        bool tls = false;        // mqtts, server certificate from caFile()
        bool persistent = false; // retained messages survive a restart, as on a real broker
        // Mosquitto's dynamic-security plugin: kUser administers it and everyone may do
        // everything until dynsec() says otherwise.
        bool dynsec = false;
    };
    static constexpr const char *kUser = "quorvane";
    static constexpr const char *kPassword = "s3cret-test";

    TestBroker();
    explicit TestBroker(Config config);
    ~TestBroker();
    TestBroker(const TestBroker &) = delete;
    TestBroker &operator=(const TestBroker &) = delete;

    // Starts (again) on the same port; false when it did not come up.
    bool start();
    // Ends it at once, as a crash would.
    void kill();
    // Ends it as a service stop would: a persistent broker saves what it holds.
    void stop();

    quint16 port() const { return port_; }
    qint64 pid() const { return process_.processId(); }
    QString url() const;
    QString caFile() const { return dir_.filePath(QStringLiteral("ca.crt")); }
    // What a client of the test's own needs to reach it (the fixture's user, its CA).
    quorvane::mqtt::ClientSettings clientSettings(const QString &clientId) const;
    QString log() const;
    // mosquitto_ctrl dynsec ARGUMENTS, as kUser; false when the broker refused.
    bool dynsec(const QStringList &arguments);

private:
    bool writeConfig();
    bool writeDynsec(QByteArray &conf);
    bool run(const QString &program, const QStringList &arguments);

    Config config_;
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
};

// A free TCP port on 127.0.0.1, for a server the test starts.
quint16 freeLocalPort();
// Whether something accepts connections on 127.0.0.1:port.
bool acceptsConnections(quint16 port);
