// SPDX-License-Identifier: MIT
#include "ui/portoptions.h"

#include "mqtt/mqttclient.h"

namespace quorvane::ui {

void addPortOptions(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("port"),
                      QStringLiteral("Port N (1 to 5) stands for TARGET: a device path such as "
                                     "/dev/serial/by-id/..., or a board behind a bridge, "
                                     "mqtt[s]://[USER@]HOST[:PORT]/BOARD[?prefix=P]. "
                                     "Repeatable; other ports keep the system's numbering."),
                      QStringLiteral("N=TARGET")});
    parser.addOption({QStringLiteral("password-file"),
                      QStringLiteral("The broker password for boards behind a bridge (or set "
                                     "QUORVANE_MQTT_PASSWORD)."),
                      QStringLiteral("FILE")});
}

std::optional<PortOptions> readPortOptions(const QCommandLineParser &parser,
                                           const QProcessEnvironment &environment, QString *error)
{
    PortOptions o;
    for (const QString &value : parser.values(QStringLiteral("port"))) {
        const qsizetype eq = value.indexOf(QLatin1Char('='));
        bool ok = false;
        const int port = eq > 0 ? value.left(eq).trimmed().toInt(&ok) : 0;
        if (!ok || port < 1 || port > 5) {
            *error = QStringLiteral("--port %1: give it as N=TARGET with N from 1 to 5").arg(value);
            return std::nullopt;
        }
        const QString target = value.mid(eq + 1).trimmed();
        if (const QString wrong = serial::FixedPortMap::checkTarget(target); !wrong.isEmpty()) {
            *error = QStringLiteral("--port %1: %2").arg(port).arg(wrong);
            return std::nullopt;
        }
        o.targets.insert(port, target);
    }
    if (parser.isSet(QStringLiteral("password-file"))) {
        const auto password =
            mqtt::readPasswordFile(parser.value(QStringLiteral("password-file")), error);
        if (!password)
            return std::nullopt;
        o.password = *password;
    } else {
        o.password = environment.value(QStringLiteral("QUORVANE_MQTT_PASSWORD"));
    }
    return o;
}

std::shared_ptr<serial::FixedPortMap> portMapFor(const PortOptions &options)
{
    auto map = std::make_shared<serial::FixedPortMap>(options.targets,
                                                      std::make_shared<serial::SystemPortMap>());
    map->setRemotePassword(options.password);
    return map;
}

} // namespace quorvane::ui
