// SPDX-License-Identifier: MIT
// The bridge's command line and environment, checked once at start.
#pragma once

#include "cli/commandline.h"
#include "mqtt/mqttclient.h"
#include "mqtt/wire.h"
#include "recorder/recordoptions.h"
#include "web/options.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <variant>

namespace quorvane::bridge {

// The MQTT face's own.
struct MqttOptions {
    bool enabled = true; // false with --http and no --broker: a web panel only
    mqtt::ClientSettings client;
    QString board;
    QString prefix = QString::fromLatin1(mqtt::kDefaultPrefix);
    QString discoveryPrefix = QStringLiteral("homeassistant");
    bool discovery = true;
    // One config for the whole board (Home Assistant 2024.11 and later), or one per entity.
    bool deviceDiscovery = true;
    bool raw = true;
    bool verbose = false;
};

struct Options {
    // The board session's.
    QString device; // --device PATH, or else
    int port = 0;   // --port N, numbered as in the panel
    bool restoreLoads = true;
    int readIntervalMs = -1; // the comm control's own unless set
    int silenceSeconds = 10; // no frame for this long: the board is offline; 0: never
    recorder::RecordOptions record;
    bool removeDiscovery = false;
    // Each face's own.
    MqttOptions mqtt;
    web::Options web;
};

// What the command line asked for: options to run with, or text to print and the exit code
// (help and version go to stdout with 0, mistakes to stderr with 2).
using Exit = cli::Exit;

std::variant<Options, Exit> parseOptions(const QStringList &arguments,
                                         const QProcessEnvironment &environment);

} // namespace quorvane::bridge
