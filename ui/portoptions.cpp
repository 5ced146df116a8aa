// SPDX-License-Identifier: MIT
#include "ui/portoptions.h"

#include "cli/sharedoptions.h"
#include "recorder/linerecorder.h"
#include "ui/form1.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <iostream>

namespace quorvane::ui {

QString checkTarget(const QString &target)
{
#ifdef Q_OS_WIN
    // Said plainly, and without the address, which may hold a password.
    if (target.startsWith(QLatin1String("mqtt://")) || target.startsWith(QLatin1String("mqtts://")))
        return QStringLiteral("this build cannot reach boards behind a bridge (mqtt://, mqtts://)");
    if (target.isEmpty())
        return QStringLiteral("an empty device path");
    if (target.contains(QLatin1String("://")))
        return QStringLiteral("'%1' is neither a device path nor a COM port").arg(target);
    return {};
#else
    return remote::TargetPortMap::checkTarget(target);
#endif
}

void addPortOptions(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("port"),
                      QStringLiteral("Port N (1 to 5) stands for TARGET: a device path such as "
                                     "/dev/serial/by-id/..., or a board behind a bridge, "
                                     "mqtt[s]://[USER@]HOST[:PORT]/BOARD[?prefix=P]. "
                                     "Repeatable; other ports keep the system's numbering."),
                      QStringLiteral("N=TARGET")});
    parser.addOption(cli::passwordFileOption(QStringLiteral(
        "The broker password for boards behind a bridge (or set QUORVANE_MQTT_PASSWORD).")));
}

std::optional<PortOptions> readPortOptions(const QCommandLineParser &parser,
                                           const QProcessEnvironment &environment, QString *error)
{
    PortOptions o;
    for (const QString &value : parser.values(QStringLiteral("port"))) {
        const qsizetype eq = value.indexOf(QLatin1Char('='));
        const auto port = cli::readBounded(
            eq > 0 ? value.left(eq) : QString(), cli::Range<int>{1, 5},
            QStringLiteral("--port %1: give it as N=TARGET with N from 1 to 5").arg(value), error);
        if (!port)
            return std::nullopt;
        const QString target = value.mid(eq + 1).trimmed();
        if (const QString wrong = checkTarget(target); !wrong.isEmpty()) {
            *error = QStringLiteral("--port %1: %2").arg(*port).arg(wrong);
            return std::nullopt;
        }
        o.targets.insert(*port, target);
    }
    const auto password = cli::readPassword(parser, environment, error);
    if (!password)
        return std::nullopt;
    o.password = *password;
    return o;
}

std::shared_ptr<PanelPortMap> portMapFor(const PortOptions &options)
{
    auto map =
        std::make_shared<PanelPortMap>(options.targets, std::make_shared<serial::SystemPortMap>());
#ifndef Q_OS_WIN
    map->setRemotePassword(options.password);
#endif
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

std::optional<cli::Exit> readCommandLine(int argc, char **argv, const QString &description,
                                         QCommandLineParser &parser, PortOptions *ports,
                                         recorder::RecordOptions *record)
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
    cli::addRecordOptions(parser);
    if (auto exit =
            cli::parse(parser, withoutWindowSystemOptions(QCoreApplication::arguments()), program))
        return exit;
    QString error;
    auto read = readPortOptions(parser, QProcessEnvironment::systemEnvironment(), &error);
    auto recorded = read ? cli::readRecordOptions(parser, &error) : std::nullopt;
    if (!recorded)
        return cli::mistake(program, error);
    *ports = std::move(*read);
    *record = std::move(*recorded);
    return std::nullopt;
}

void recordLine(Form1 &form, const recorder::RecordOptions &options)
{
    if (!options.any())
        return;
    auto *keeper = new recorder::LineRecorder(options, &form);
    QObject::connect(keeper, &recorder::LineRecorder::problem, &form, &Form1::warn);
    QTimer::singleShot(0, keeper, [keeper, &form] { keeper->start(form.MSComm1); });
}

int runDemoWindow(std::shared_ptr<const serial::PortMap> map,
                  const recorder::RecordOptions &record, bool open, const QString &screenshot)
{
    int status = 0;
    Form1 form(std::move(map));
    form.show();
    recordLine(form, record);
    if (open || !screenshot.isEmpty())
        QTimer::singleShot(0, form.Command3, &QPushButton::click);
    QTimer poll;
    if (!screenshot.isEmpty()) {
        QObject::connect(&poll, &QTimer::timeout, &form, [&] {
            for (QLabel *l : {form.Label5, form.Label6, form.Label7, form.Label8}) {
                if (l->text().isEmpty())
                    return;
            }
            poll.stop();
            // Give the window a moment to show everything, as a person would see it.
            QTimer::singleShot(300, &form, [&] {
                if (!form.grab().save(screenshot)) {
                    std::cerr << "quorvane-demo: cannot write " << screenshot.toStdString()
                              << '\n';
                    status = 1;
                }
                QApplication::quit();
            });
        });
        poll.start(50);
    }
    const int rc = QApplication::exec();
    return status ? status : rc;
}

} // namespace quorvane::ui
