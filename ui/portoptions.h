// SPDX-License-Identifier: MIT
// The command-line options both panel programs take to say what a port number stands for:
// --port N=TARGET (a device path, or a board behind a bridge) and --password-file FILE.
#pragma once

#include "cli/commandline.h"
#include "recorder/recordoptions.h"
#ifdef Q_OS_WIN
#include "serial/portmap.h"
#else
#include "remote/targetmap.h"
#endif

#include <QCommandLineParser>
#include <QMap>
#include <QProcessEnvironment>

#include <memory>
#include <optional>

namespace quorvane::ui {

struct PortOptions {
    QMap<int, QString> targets;
    QString password; // for boards behind a bridge; never from the command line
};

// What a port number can stand for. The MQTT client is not built for Windows, so there a port
// is a device (COM3, \\.\COM12) and never a board behind a bridge.
#ifdef Q_OS_WIN
using PanelPortMap = serial::FixedPortMap;
#else
using PanelPortMap = remote::TargetPortMap;
#endif
// Empty when `target` can stand for a port, else what is wrong with it.
QString checkTarget(const QString &target);

void addPortOptions(QCommandLineParser &parser);
// Fills `error` and returns nothing when an option is wrong.
[[nodiscard]] std::optional<PortOptions> readPortOptions(const QCommandLineParser &parser,
                                                         const QProcessEnvironment &environment,
                                                         QString *error);
// The named ports, the rest numbered as the system lists its serial ports.
std::shared_ptr<PanelPortMap> portMapFor(const PortOptions &options);

// Reads a panel program's command line before any window exists, so --help and --version
// work without a display and touch no port. `parser` holds the program's own options and
// keeps their values. Returns the Exit when the program ends here (help, version or a
// mistake), for cli::finish() to say.
[[nodiscard]] std::optional<cli::Exit>
readCommandLine(int argc, char **argv, const QString &description, QCommandLineParser &parser,
                PortOptions *ports, recorder::RecordOptions *record);

class Form1;
// Keeps the log and capture of the window's line, once its event loop runs; problems with
// the files come as the window's messages.
void recordLine(Form1 &form, const recorder::RecordOptions &options);

// The demo's window on `map`, its line recorded as asked, Open clicked at start when `open`.
// With a `screenshot` file it saves the window once all four readings are in and ends.
// Returns the program's exit status.
int runDemoWindow(std::shared_ptr<const serial::PortMap> map,
                  const recorder::RecordOptions &record, bool open, const QString &screenshot);

} // namespace quorvane::ui
