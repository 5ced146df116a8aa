// SPDX-License-Identifier: MIT
#include "broker.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

QString tool(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(
                                 name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")})
                           : found;
}

} // namespace

quint16 freeLocalPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t size = sizeof a;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool acceptsConnections(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

TestBroker::TestBroker() : TestBroker(Config{}) {}

TestBroker::TestBroker(Config config) : config_(config), port_(freeLocalPort())
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
    // A suite that a timeout kills cannot stop its broker: the kernel does.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process_.setStandardOutputFile(dir_.filePath(QStringLiteral("broker.log")), QIODevice::Append);
    if (!writeConfig())
        qWarning("TestBroker: could not write the broker's configuration");
}

TestBroker::~TestBroker()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(2000))
            kill();
    }
}

QString TestBroker::url() const
{
    return config_.tls ? QStringLiteral("mqtts://localhost:%1").arg(port_)
                       : QStringLiteral("mqtt://127.0.0.1:%1").arg(port_);
}

quorvane::mqtt::ClientSettings TestBroker::clientSettings(const QString &clientId) const
{
    QString error;
    quorvane::mqtt::ClientSettings s;
    s.broker = *quorvane::mqtt::BrokerAddress::parse(url(), &error);
    s.clientId = clientId;
    s.caFile = config_.tls ? caFile() : QString();
    s.username = QLatin1String(kUser);
    s.password = QLatin1String(kPassword);
    return s;
}

QString TestBroker::log() const
{
    QFile f(dir_.filePath(QStringLiteral("broker.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool TestBroker::run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setWorkingDirectory(dir_.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(tool(program), arguments);
    if (!p.waitForFinished(20000) || p.exitCode() != 0) {
        qWarning("TestBroker: %s failed: %s", qPrintable(program), p.readAll().constData());
        return false;
    }
    return true;
}

bool TestBroker::writeConfig()
{
    if (!dir_.isValid())
        return false;
    QByteArray conf = "log_dest stdout\nlog_type error\nlog_type warning\n";
    if (config_.persistent)
        conf += "persistence true\npersistence_location " + dir_.path().toLocal8Bit() + "/\n";
    else
        conf += "persistence false\n";
    if (::geteuid() == 0)
        conf += "user root\n"; // it would otherwise drop to a user who cannot read our files
    conf += "listener " + QByteArray::number(port_) + " 127.0.0.1\n";
    if (config_.password) {
        if (!run(QStringLiteral("mosquitto_passwd"),
                 {QStringLiteral("-b"), QStringLiteral("-c"), QStringLiteral("passwd"),
                  QLatin1String(kUser), QLatin1String(kPassword)}))
            return false;
        conf += "allow_anonymous false\npassword_file " +
                dir_.filePath(QStringLiteral("passwd")).toLocal8Bit() + "\n";
    } else {
        conf += "allow_anonymous true\n";
    }
    if (config_.dynsec && !writeDynsec(conf))
        return false;
    if (config_.tls) {
        QFile ext(dir_.filePath(QStringLiteral("server.ext")));
        if (!ext.open(QIODevice::WriteOnly) ||
            ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") < 0)
            return false;
        ext.close();
        const QString ec =
            QStringLiteral("-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ");
        const auto openssl = [this](const QString &arguments, const QStringList &more = {}) {
            return run(QStringLiteral("openssl"), arguments.split(QLatin1Char(' ')) + more);
        };
        if (!openssl(QStringLiteral("req -x509 ") + ec +
                         QStringLiteral("-keyout ca.key -out ca.crt -days 2 -subj"),
                     {QStringLiteral("/CN=Quorvane test CA")}) ||
            !openssl(QStringLiteral("req ") + ec +
                     QStringLiteral("-keyout server.key -out server.csr -subj /CN=localhost")) ||
            !openssl(QStringLiteral("x509 -req -in server.csr -CA ca.crt -CAkey ca.key "
                                    "-CAcreateserial -out server.crt -days 2 -extfile server.ext")))
            return false;
        // Each as "KEY FILE" with the file in the broker's directory.
        for (const char *f : {"cafile ca.crt", "certfile server.crt", "keyfile server.key"})
            conf += QByteArray(f).replace(' ', ' ' + dir_.path().toLocal8Bit() + '/') + '\n';
    }
    QFile f(dir_.filePath(QStringLiteral("mosquitto.conf")));
    return f.open(QIODevice::WriteOnly) && f.write(conf) == conf.size();
}

bool TestBroker::writeDynsec(QByteArray &conf)
{
    const QString file = dir_.filePath(QStringLiteral("dynsec.json"));
    const QStringList plugins =
        QDir(QStringLiteral("/usr/lib")).entryList({QStringLiteral("*")}, QDir::Dirs);
    QString plugin;
    for (const QString &d : plugins) {
        const QString candidate =
            QStringLiteral("/usr/lib/%1/mosquitto_dynamic_security.so").arg(d);
        if (QFile::exists(candidate))
            plugin = candidate;
    }
    if (plugin.isEmpty() || !run(QStringLiteral("mosquitto_ctrl"),
                                 {QStringLiteral("dynsec"), QStringLiteral("init"), file,
                                  QLatin1String(kUser), QLatin1String(kPassword)}))
        return false;
    // mosquitto_ctrl 2.0.11 does not send setDefaultACLAccess: allowed from the start here.
    QFile f(file);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QJsonObject json = QJsonDocument::fromJson(f.readAll()).object();
    QJsonObject access;
    for (const char *kind :
         {"publishClientSend", "publishClientReceive", "subscribe", "unsubscribe"})
        access.insert(QLatin1String(kind), true);
    json.insert(QStringLiteral("defaultACLAccess"), access);
    const QByteArray bytes = QJsonDocument(json).toJson();
    if (!f.resize(0) || f.write(bytes) != bytes.size())
        return false;
    conf +=
        "plugin " + plugin.toLocal8Bit() + "\nplugin_opt_config_file " + file.toLocal8Bit() + "\n";
    return true;
}

bool TestBroker::dynsec(const QStringList &arguments)
{
    return run(QStringLiteral("mosquitto_ctrl"),
               QStringLiteral("-h 127.0.0.1 -p %1 -u %2 -P %3 dynsec")
                       .arg(port_)
                       .arg(QLatin1String(kUser), QLatin1String(kPassword))
                       .split(QLatin1Char(' ')) +
                   arguments);
}

bool TestBroker::start()
{
    if (process_.state() != QProcess::NotRunning)
        return true;
    process_.start(tool(QStringLiteral("mosquitto")),
                   {QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
    if (!process_.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (acceptsConnections(port_))
            return true;
        if (process_.state() == QProcess::NotRunning)
            break;
        QThread::msleep(10);
    }
    qWarning("TestBroker: the broker did not come up: %s", qPrintable(log()));
    return false;
}

void TestBroker::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    process_.waitForFinished(5000);
}

void TestBroker::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(5000);
}
