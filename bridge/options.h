// SPDX-License-Identifier: MIT
// The bridge's command line and environment, checked once at start.
#pragma once

#include "cli/commandline.h"
#include "mqtt/mqttclient.h"
#include "mqtt/wire.h"
#include "serial/recordoptions.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include "web/options.h"

#include <variant>

namespace quorvane::bridge {

struct Options {
    QString device; // --device PATH, or else
    int port = 0;   // --port N, numbered as in the panel
    mqtt::ClientSettings mqtt;
    QString board;
    QString prefix = QString::fromLatin1(mqtt::kDefaultPrefix);
    QString discoveryPrefix = QStringLiteral("homeassistant");
    bool discovery = true;
    bool raw = true;
    bool restoreLoads = true;
    bool verbose = false;
    bool removeDiscovery = false;
    int readIntervalMs = -1; // the comm control's own unless set
    int silenceSeconds = 10; // no frame for this long: the board is offline; 0: never
    serial::RecordOptions record;
    web::Options web;
    bool mqttFace = true; // false with --http and no --broker: a web panel only
};

// What the command line asked for: options to run with, or text to print and the exit code
// (help and version go to stdout with 0, mistakes to stderr with 2).
using Exit = cli::Exit;

std::variant<Options, Exit> parseOptions(const QStringList &arguments,
                                         const QProcessEnvironment &environment);

} // namespace quorvane::bridge
