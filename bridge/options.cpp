// SPDX-License-Identifier: MIT
#include "bridge/options.h"

#include "board/session.h"
#include "cli/sharedoptions.h"
#include "mqtt/wire.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSysInfo>

namespace quorvane::bridge {
namespace {

const QString kProgram = QStringLiteral("quorvane-bridge");

// The options in the order --help lists them.
void addLineOptions(QCommandLineParser &p)
{
    p.addOption({{QStringLiteral("h"), QStringLiteral("help")},
                 QStringLiteral("Show this help and exit.")});
    p.addOption({QStringLiteral("version"), QStringLiteral("Show the version and exit.")});
    p.addOption({QStringLiteral("device"), QStringLiteral("The board's serial device."),
                 QStringLiteral("PATH")});
    p.addOption({QStringLiteral("port"),
                 QStringLiteral("The board's serial port, numbered as in the panel (1 is the "
                                "first)."),
                 QStringLiteral("N")});
}

void addBrokerOptions(QCommandLineParser &p)
{
    p.addOption({QStringLiteral("broker"),
                 QStringLiteral("mqtt://HOST[:PORT] (default port 1883) or mqtts://HOST[:PORT] "
                                "(TLS, 8883)."),
                 QStringLiteral("URL"), QStringLiteral("mqtt://localhost")});
    p.addOption({QStringLiteral("cafile"),
                 QStringLiteral("TLS: trust this CA instead of the system's."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("insecure"),
                 QStringLiteral("TLS: accept any certificate and host name (unsafe; for testing "
                                "only).")});
    p.addOption(
        {QStringLiteral("username"), QStringLiteral("Broker user name."), QStringLiteral("NAME")});
    p.addOption(cli::passwordFileOption(QStringLiteral("Read the broker password from FILE.")));
}

void addBoardOptions(QCommandLineParser &p)
{
    p.addOption({QStringLiteral("board"),
                 QStringLiteral("Board ID in topics, [a-z0-9_-]{1,32} (default: the host name, "
                                "lower-cased)."),
                 QStringLiteral("ID")});
    p.addOption(
        {QStringLiteral("prefix"),
         QStringLiteral("Topic prefix (default: %1).").arg(QLatin1String(mqtt::kDefaultPrefix)),
         QStringLiteral("P"), QString::fromLatin1(mqtt::kDefaultPrefix)});
    p.addOption({QStringLiteral("discovery-prefix"),
                 QStringLiteral("Home Assistant discovery prefix (default: homeassistant)."),
                 QStringLiteral("P"), QStringLiteral("homeassistant")});
    p.addOption({QStringLiteral("discovery"),
                 QStringLiteral("Home Assistant discovery as one message for the board: device "
                                "(the default; Home Assistant 2024.11 and later), or one per "
                                "entity: per-entity (older ones)."),
                 QStringLiteral("MODE"), QStringLiteral("device")});
    p.addOption(
        {QStringLiteral("no-discovery"), QStringLiteral("Publish no Home Assistant discovery.")});
    p.addOption(
        {QStringLiteral("no-raw"), QStringLiteral("No raw line access (the rx and tx topics).")});
    p.addOption({QStringLiteral("no-restore-loads"),
                 QStringLiteral("When the board comes back, leave its loads as they come up.")});
    p.addOption({QStringLiteral("remove-discovery"),
                 QStringLiteral("Remove the board from Home Assistant (both discovery forms) "
                                "and exit.")});
}

void addRunOptions(QCommandLineParser &p)
{
    p.addOption({QStringLiteral("read-interval"),
                 QStringLiteral("Read a busy line every MS milliseconds (default %1): lower is "
                                "quicker and wakes more often.")
                     .arg(board::Session::kReadInterval.count()),
                 QStringLiteral("MS")});
    p.addOption({QStringLiteral("silence"),
                 QStringLiteral("The board is offline when no frame has come for SECONDS "
                                "(default 10; 0: never)."),
                 QStringLiteral("SECONDS")});
    p.addOption({QStringLiteral("verbose"), QStringLiteral("Log every message too.")});
    cli::addRecordOptions(p);
    web::addOptions(p);
}

// Each reader takes its part of the command line into `o`, or says what is wrong with it.
using Reader = std::optional<QString> (*)(const QCommandLineParser &, const QProcessEnvironment &,
                                          Options &);

std::optional<QString> readLine(const QCommandLineParser &p, const QProcessEnvironment &,
                                Options &o)
{
    o.removeDiscovery = p.isSet(QStringLiteral("remove-discovery"));
    const bool byPort = p.isSet(QStringLiteral("port"));
    if (p.isSet(QStringLiteral("device")) == byPort && !o.removeDiscovery)
        return QStringLiteral("give the board's line with either --device PATH or --port N");
    o.device = p.value(QStringLiteral("device"));
    if (!byPort)
        return std::nullopt;
    const QString value = p.value(QStringLiteral("port"));
    QString error;
    const auto port = cli::readBounded(
        value, cli::Range<int>{1, 32767},
        QStringLiteral("'%1' is not a port number; ports are numbered from 1").arg(value), &error);
    if (!port)
        return error;
    o.port = *port;
    return std::nullopt;
}

std::optional<QString> readCaFile(const QCommandLineParser &p, Options &o)
{
    o.mqtt.client.caFile = p.value(QStringLiteral("cafile"));
    o.mqtt.client.insecure = p.isSet(QStringLiteral("insecure"));
    const bool caFile = p.isSet(QStringLiteral("cafile"));
    if ((caFile || o.mqtt.client.insecure) && !o.mqtt.client.broker.tls)
        return QStringLiteral("--cafile and --insecure are for mqtts:// brokers");
    if (!caFile)
        return std::nullopt;
    if (!QFile::exists(o.mqtt.client.caFile))
        return QStringLiteral("CA file '%1' not found").arg(o.mqtt.client.caFile);
    // One that TLS would only fail on later, without a word, is refused now.
    return mqtt::checkCaFile(o.mqtt.client.caFile);
}

std::optional<QString> readBroker(const QCommandLineParser &p,
                                  const QProcessEnvironment &environment, Options &o)
{
    QString error;
    const auto address = mqtt::BrokerAddress::parse(p.value(QStringLiteral("broker")), &error);
    if (!address)
        return error;
    o.mqtt.client.broker = *address;
    if (auto wrong = readCaFile(p, o))
        return wrong;
    o.mqtt.client.username = p.value(QStringLiteral("username"));
    const auto password = cli::readPassword(p, environment, &error);
    if (!password)
        return error;
    o.mqtt.client.password = *password;
    return std::nullopt;
}

std::optional<QString> readBoard(const QCommandLineParser &p, const QProcessEnvironment &,
                                 Options &o)
{
    const bool given = p.isSet(QStringLiteral("board"));
    o.mqtt.board = given ? p.value(QStringLiteral("board")) : QSysInfo::machineHostName().toLower();
    if (!mqtt::isValidBoardId(o.mqtt.board)) {
        return QStringLiteral("'%1' is not a valid board ID: use 1 to 32 of a-z, 0-9, _ and -%2")
            .arg(o.mqtt.board, given ? QString()
                                     : QStringLiteral(" (it is this machine's host name; give one "
                                                      "with --board)"));
    }
    o.mqtt.prefix = p.value(QStringLiteral("prefix"));
    o.mqtt.discoveryPrefix = p.value(QStringLiteral("discovery-prefix"));
    for (const QString &v : {o.mqtt.prefix, o.mqtt.discoveryPrefix}) {
        if (!mqtt::isValidTopicPrefix(v))
            return QStringLiteral("'%1' is not a topic prefix (no +, #, or empty levels)").arg(v);
    }
    o.mqtt.discovery = !p.isSet(QStringLiteral("no-discovery"));
    const QString mode = p.value(QStringLiteral("discovery"));
    if (mode != QLatin1String("device") && mode != QLatin1String("per-entity"))
        return QStringLiteral("--discovery takes device or per-entity, not '%1'").arg(mode);
    o.mqtt.deviceDiscovery = mode == QLatin1String("device");
    o.mqtt.raw = !p.isSet(QStringLiteral("no-raw"));
    o.restoreLoads = !p.isSet(QStringLiteral("no-restore-loads"));
    return std::nullopt;
}

std::optional<QString> readRun(const QCommandLineParser &p, const QProcessEnvironment &, Options &o)
{
    o.mqtt.verbose = p.isSet(QStringLiteral("verbose"));
    QString error;
    if (p.isSet(QStringLiteral("read-interval"))) {
        const auto ms =
            cli::readBounded(p.value(QStringLiteral("read-interval")), cli::Range<int>{0, 1000},
                             QStringLiteral("--read-interval takes 0 to 1000 ms"), &error);
        if (!ms)
            return error;
        o.readIntervalMs = *ms;
    }
    if (p.isSet(QStringLiteral("silence"))) {
        const auto seconds =
            cli::readBounded(p.value(QStringLiteral("silence")), cli::Range<int>{0, 86400},
                             QStringLiteral("--silence takes 0 to 86400 seconds"), &error);
        if (!seconds)
            return error;
        o.silenceSeconds = *seconds;
    }
    auto record = cli::readRecordOptions(p, &error);
    if (!record)
        return error;
    o.record = std::move(*record);
    return std::nullopt;
}

std::optional<QString> readWeb(const QCommandLineParser &p, const QProcessEnvironment &environment,
                               Options &o)
{
    return web::readOptions(p, environment, &o.web);
}

// Which faces the bridge shows: with --http and no --broker, a web panel for the board and
// no more.
std::optional<QString> chooseFaces(const QCommandLineParser &p, const QProcessEnvironment &,
                                   Options &o)
{
    o.mqtt.enabled = p.isSet(QStringLiteral("broker")) || !o.web.enabled || o.removeDiscovery;
    return std::nullopt;
}

// The client's name and Last Will follow from the board and prefix.
void nameClient(Options &o)
{
    o.mqtt.client.clientId = QStringLiteral("quorvane-bridge-%1").arg(o.mqtt.board);
    if (o.removeDiscovery)
        o.mqtt.client.clientId += QStringLiteral("-remove");
    o.mqtt.client.willTopic = mqtt::boardTopic(o.mqtt.prefix, o.mqtt.board, mqtt::leaf::kStatus);
    o.mqtt.client.willPayload = mqtt::kOffline;
}

} // namespace

std::variant<Options, Exit> parseOptions(const QStringList &arguments,
                                         const QProcessEnvironment &environment)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Puts a Quorvane board on an MQTT broker: readings, load switches and Home Assistant "
        "discovery; with --http, on a web page of its own too (or only, without --broker).\n"
        "The broker password is read from --password-file or from the environment "
        "variable QUORVANE_MQTT_PASSWORD, never from the command line."));
    for (auto add : {addLineOptions, addBrokerOptions, addBoardOptions, addRunOptions})
        add(p);
    if (auto exit = cli::parse(p, arguments, kProgram))
        return *exit;
    Options o;
    for (Reader read : {readLine, readBroker, readBoard, readRun, readWeb, chooseFaces}) {
        if (const auto wrong = read(p, environment, o))
            return cli::mistake(kProgram, *wrong);
    }
    nameClient(o);
    return o;
}

} // namespace quorvane::bridge
