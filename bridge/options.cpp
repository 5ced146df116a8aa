// SPDX-License-Identifier: MIT
#include "bridge/options.h"

#include "mqtt/wire.h"
#include "serial/commcontrol.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSysInfo>

namespace quorvane::bridge {
namespace {

Exit mistake(const QString &text)
{
    return {QStringLiteral("quorvane-bridge: %1\n").arg(text), 2};
}

} // namespace

std::variant<Options, Exit> parseOptions(const QStringList &arguments,
                                         const QProcessEnvironment &environment)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Puts a Quorvane board on an MQTT broker: readings, load switches and Home Assistant "
        "discovery.\nThe broker password is read from --password-file or from the environment "
        "variable QUORVANE_MQTT_PASSWORD, never from the command line."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("The board's serial device."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The board's serial port, numbered as in the "
                                                 "panel (1 is the first)."),
                                  QStringLiteral("N"));
    const QCommandLineOption broker(QStringLiteral("broker"),
                                    QStringLiteral("mqtt://HOST[:PORT] (default port 1883) or "
                                                   "mqtts://HOST[:PORT] (TLS, 8883)."),
                                    QStringLiteral("URL"), QStringLiteral("mqtt://localhost"));
    const QCommandLineOption cafile(QStringLiteral("cafile"),
                                    QStringLiteral("TLS: trust this CA instead of the system's."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption insecure(
        QStringLiteral("insecure"),
        QStringLiteral("TLS: accept any certificate and host name (unsafe; for testing only)."));
    const QCommandLineOption username(QStringLiteral("username"),
                                      QStringLiteral("Broker user name."), QStringLiteral("NAME"));
    const QCommandLineOption passwordFile(QStringLiteral("password-file"),
                                          QStringLiteral("Read the broker password from FILE."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption board(QStringLiteral("board"),
                                   QStringLiteral("Board ID in topics, [a-z0-9_-]{1,32} "
                                                  "(default: the host name, lower-cased)."),
                                   QStringLiteral("ID"));
    const QCommandLineOption prefix(
        QStringLiteral("prefix"),
        QStringLiteral("Topic prefix (default: %1).").arg(QLatin1String(mqtt::kDefaultPrefix)),
        QStringLiteral("P"), QString::fromLatin1(mqtt::kDefaultPrefix));
    const QCommandLineOption discoveryPrefix(
        QStringLiteral("discovery-prefix"),
        QStringLiteral("Home Assistant discovery prefix (default: homeassistant)."),
        QStringLiteral("P"), QStringLiteral("homeassistant"));
    const QCommandLineOption noDiscovery(QStringLiteral("no-discovery"),
                                         QStringLiteral("Publish no Home Assistant discovery."));
    const QCommandLineOption noRaw(QStringLiteral("no-raw"),
                                   QStringLiteral("No raw line access (the rx and tx topics)."));
    const QCommandLineOption noRestore(
        QStringLiteral("no-restore-loads"),
        QStringLiteral("When the board comes back, leave its loads as they come up."));
    const QCommandLineOption removeDiscovery(
        QStringLiteral("remove-discovery"),
        QStringLiteral("Remove the board from Home Assistant and exit."));
    const QCommandLineOption readInterval(
        QStringLiteral("read-interval"),
        QStringLiteral("Read a busy line every MS milliseconds (default %1): lower is quicker "
                       "and wakes more often.")
            .arg(serial::CommControl::kDefaultReadInterval.count()),
        QStringLiteral("MS"));
    const QCommandLineOption silence(
        QStringLiteral("silence"),
        QStringLiteral("The board is offline when no frame has come for SECONDS (default 10; "
                       "0: never)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Log every message too."));
    p.addOptions({help, version, device, port, broker, cafile, insecure, username, passwordFile,
                  board, prefix, discoveryPrefix, noDiscovery, noRaw, noRestore, removeDiscovery,
                  readInterval, silence, verbose});
    serial::addRecordOptions(p);
    web::addOptions(p);

    if (!p.parse(arguments))
        return mistake(p.errorText() + QStringLiteral(" (see --help)"));
    if (p.isSet(help))
        return Exit{p.helpText(), 0};
    if (p.isSet(version))
        return Exit{QStringLiteral("quorvane-bridge %1\n").arg(QStringLiteral(QUORVANE_VERSION)),
                    0};
    if (!p.positionalArguments().isEmpty())
        return mistake(QStringLiteral("unexpected argument '%1' (see --help)")
                           .arg(p.positionalArguments().constFirst()));

    Options o;
    o.removeDiscovery = p.isSet(removeDiscovery);
    if (p.isSet(device) == p.isSet(port) && !o.removeDiscovery)
        return mistake(QStringLiteral("give the board's line with either --device PATH or "
                                      "--port N"));
    o.device = p.value(device);
    if (p.isSet(port)) {
        bool ok = false;
        o.port = p.value(port).trimmed().toInt(&ok);
        if (!ok || o.port < 1 || o.port > 32767)
            return mistake(QStringLiteral("'%1' is not a port number; ports are numbered from 1")
                               .arg(p.value(port)));
    }

    QString error;
    const auto address = mqtt::BrokerAddress::parse(p.value(broker), &error);
    if (!address)
        return mistake(error);
    o.mqtt.broker = *address;
    o.mqtt.caFile = p.value(cafile);
    o.mqtt.insecure = p.isSet(insecure);
    if ((p.isSet(cafile) || o.mqtt.insecure) && !address->tls)
        return mistake(QStringLiteral("--cafile and --insecure are for mqtts:// brokers"));
    if (p.isSet(cafile) && !QFile::exists(o.mqtt.caFile))
        return mistake(QStringLiteral("CA file '%1' not found").arg(o.mqtt.caFile));
    o.mqtt.username = p.value(username);
    if (p.isSet(passwordFile)) {
        const auto password = mqtt::readPasswordFile(p.value(passwordFile), &error);
        if (!password)
            return mistake(error);
        o.mqtt.password = *password;
    } else if (environment.contains(QStringLiteral("QUORVANE_MQTT_PASSWORD"))) {
        o.mqtt.password = environment.value(QStringLiteral("QUORVANE_MQTT_PASSWORD"));
    }

    o.board = p.isSet(board) ? p.value(board) : QSysInfo::machineHostName().toLower();
    if (!mqtt::isValidBoardId(o.board)) {
        return mistake(
            QStringLiteral("'%1' is not a valid board ID: use 1 to 32 of a-z, 0-9, _ and -%2")
                .arg(o.board, p.isSet(board) ? QString()
                                             : QStringLiteral(" (it is this machine's host "
                                                              "name; give one with --board)")));
    }
    o.prefix = p.value(prefix);
    o.discoveryPrefix = p.value(discoveryPrefix);
    for (const QString &v : {o.prefix, o.discoveryPrefix}) {
        if (!mqtt::isValidTopicPrefix(v))
            return mistake(QStringLiteral("'%1' is not a topic prefix (no +, #, or empty "
                                          "levels)")
                               .arg(v));
    }
    o.discovery = !p.isSet(noDiscovery);
    o.raw = !p.isSet(noRaw);
    o.restoreLoads = !p.isSet(noRestore);
    o.verbose = p.isSet(verbose);
    if (p.isSet(readInterval)) {
        bool ok = false;
        o.readIntervalMs = p.value(readInterval).toInt(&ok);
        if (!ok || o.readIntervalMs < 0 || o.readIntervalMs > 1000)
            return mistake(QStringLiteral("--read-interval takes 0 to 1000 ms"));
    }
    if (p.isSet(silence)) {
        bool ok = false;
        o.silenceSeconds = p.value(silence).toInt(&ok);
        if (!ok || o.silenceSeconds < 0 || o.silenceSeconds > 86400)
            return mistake(QStringLiteral("--silence takes 0 to 86400 seconds"));
    }
    if (QString error; !serial::readRecordOptions(p, &o.record, &error))
        return mistake(error);
    if (const auto error = web::readOptions(p, environment, &o.web))
        return mistake(*error);
    o.mqttFace = p.isSet(broker) || !o.web.enabled || o.removeDiscovery;
    o.mqtt.clientId = QStringLiteral("quorvane-bridge-%1").arg(o.board);
    if (o.removeDiscovery)
        o.mqtt.clientId += QStringLiteral("-remove");
    o.mqtt.willTopic = mqtt::boardTopic(o.prefix, o.board, mqtt::leaf::kStatus);
    o.mqtt.willPayload = mqtt::kOffline;
    return o;
}

} // namespace quorvane::bridge
