// SPDX-License-Identifier: MIT
#include "web/options.h"

#include <QCommandLineParser>
#include <QFile>

namespace quorvane::web {
namespace {

const QString kHttp = QStringLiteral("http");
const QString kTokenFile = QStringLiteral("http-token-file");
const QString kCert = QStringLiteral("http-cert");
const QString kKey = QStringLiteral("http-key");
const QString kStateDir = QStringLiteral("state-dir");

} // namespace

void addOptions(QCommandLineParser &p)
{
    p.addOption({kHttp,
                 QStringLiteral("Serve the board's web page and API on ADDR:PORT (127.0.0.1:8080 "
                                "for this machine only, 0.0.0.0:8080 for the network). With it, "
                                "--broker is optional: without one there is no MQTT."),
                 QStringLiteral("ADDR:PORT")});
    p.addOption({kTokenFile,
                 QStringLiteral("Read the web login token from FILE (or QUORVANE_HTTP_TOKEN); "
                                "without one only 127.0.0.1 is served, without a login."),
                 QStringLiteral("FILE")});
    p.addOption(
        {kCert, QStringLiteral("Serve HTTPS with this PEM certificate."), QStringLiteral("FILE")});
    p.addOption(
        {kKey, QStringLiteral("The PEM private key of --http-cert."), QStringLiteral("FILE")});
    p.addOption({kStateDir,
                 QStringLiteral("Keep the web logins in DIR, so that they outlive a restart "
                                "(default: $STATE_DIRECTORY, which systemd sets)."),
                 QStringLiteral("DIR")});
}

std::optional<QString> readOptions(const QCommandLineParser &p,
                                   const QProcessEnvironment &environment, Options *o)
{
    o->enabled = p.isSet(kHttp);
    if (!o->enabled) {
        for (const QString &name : {kTokenFile, kCert, kKey, kStateDir}) {
            if (p.isSet(name))
                return QStringLiteral("--%1 is for --http").arg(name);
        }
        return std::nullopt;
    }
    const QString where = p.value(kHttp);
    const auto colon = where.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int port = colon > 0 ? where.mid(colon + 1).toInt(&ok) : 0;
    QString host = colon > 0 ? where.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!ok || port < 0 || port > 65535 || !o->address.setAddress(host))
        return QStringLiteral("--http takes ADDR:PORT, e.g. 127.0.0.1:8080, not '%1'").arg(where);
    o->port = quint16(port);

    if (p.isSet(kTokenFile)) {
        QFile f(p.value(kTokenFile));
        if (!f.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read the web token file '%1': %2")
                .arg(f.fileName(), f.errorString());
        o->token = f.read(4096).trimmed();
    } else {
        o->token = environment.value(QStringLiteral("QUORVANE_HTTP_TOKEN")).toUtf8().trimmed();
    }
    if (!o->token.isEmpty() && o->token.size() < kMinTokenLength)
        return QStringLiteral("the web token must have at least %1 characters")
            .arg(kMinTokenLength);
    if (o->token.isEmpty() && o->address != QHostAddress(QHostAddress::LocalHost))
        return QStringLiteral("--http %1 without a token would let anyone who reaches it switch "
                              "the loads: give --http-token-file FILE or QUORVANE_HTTP_TOKEN, or "
                              "serve 127.0.0.1 only")
            .arg(where);

    if (p.isSet(kCert) != p.isSet(kKey))
        return QStringLiteral("--http-cert and --http-key go together");
    o->stateDir = p.isSet(kStateDir) ? p.value(kStateDir)
                                     : environment.value(QStringLiteral("STATE_DIRECTORY"));
    o->cert = p.value(kCert);
    o->key = p.value(kKey);
    for (const QString &file : {o->cert, o->key}) {
        if (!file.isEmpty() && !QFile::exists(file))
            return QStringLiteral("'%1' not found").arg(file);
    }
    return std::nullopt;
}

} // namespace quorvane::web
