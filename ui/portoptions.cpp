// SPDX-License-Identifier: MIT
#include "ui/portoptions.h"

#include "mqtt/mqttclient.h"
#include "ui/form1.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

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

namespace {

// The window system's own options, which QApplication takes off the command line later.
QStringList withoutWindowSystemOptions(QStringList args)
{
    static const QStringList withValue{"platform",        "platformpluginpath",
                                       "platformtheme",   "plugin",
                                       "qwindowgeometry", "qwindowtitle",
                                       "qwindowicon",     "display",
                                       "geometry",        "style",
                                       "stylesheet",      "session",
                                       "title",           "name"};
    static const QStringList flags{"reverse", "widgetcount", "nograb", "dograb", "sync"};
    for (qsizetype i = 1; i < args.size();) {
        QString name = args[i];
        if (name == QLatin1String("--"))
            break;
        if (!name.startsWith(QLatin1Char('-'))) {
            ++i;
            continue;
        }
        name =
            name.mid(name.startsWith(QLatin1String("--")) ? 2 : 1).section(QLatin1Char('='), 0, 0);
        const bool valueAttached = args[i].contains(QLatin1Char('='));
        if (flags.contains(name))
            args.remove(i);
        else if (withValue.contains(name))
            args.remove(i, valueAttached || i + 1 == args.size() ? 1 : 2);
        else
            ++i;
    }
    return args;
}

} // namespace

std::optional<int> readCommandLine(int argc, char **argv, const QString &description,
                                   QCommandLineParser &parser, PortOptions *ports,
                                   serial::RecordOptions *record)
{
    // A core application only: the window system is not needed to read options.
    QCoreApplication probe(argc, argv);
    const QString program = QFileInfo(QCoreApplication::arguments().constFirst()).fileName();
    QCoreApplication::setApplicationName(program);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    parser.addVersionOption();
    addPortOptions(parser);
    serial::addRecordOptions(parser);
    auto mistake = [&](const QString &text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(program), qPrintable(text));
        return 2;
    };
    if (!parser.parse(withoutWindowSystemOptions(QCoreApplication::arguments())))
        return mistake(parser.errorText() + QStringLiteral(" (see --help)"));
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", qPrintable(program), QUORVANE_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return mistake(QStringLiteral("unexpected argument '%1' (see --help)")
                           .arg(parser.positionalArguments().constFirst()));
    QString error;
    auto read = readPortOptions(parser, QProcessEnvironment::systemEnvironment(), &error);
    if (!read || !serial::readRecordOptions(parser, record, &error))
        return mistake(error);
    *ports = std::move(*read);
    return std::nullopt;
}

void recordLine(Form1 &form, const serial::RecordOptions &options)
{
    if (!options.any())
        return;
    auto *recorder = new serial::LineRecorder(options, &form);
    QObject::connect(recorder, &serial::LineRecorder::problem, &form, &Form1::warn);
    QTimer::singleShot(0, recorder, [recorder, &form] { recorder->start(form.MSComm1); });
}

} // namespace quorvane::ui
