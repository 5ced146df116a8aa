// SPDX-License-Identifier: MIT
// Options more than one program takes: the broker password's source and what to record of
// the line.
#pragma once

#include "recorder/recordoptions.h"

#include <QCommandLineParser>
#include <QProcessEnvironment>
#include <QString>

#include <optional>

namespace quorvane::cli {

// --password-file FILE, described as the program needs.
QCommandLineOption passwordFileOption(const QString &description);
// The broker password: the first line of --password-file FILE, else QUORVANE_MQTT_PASSWORD,
// else none. Never from the command line itself. Fills `error` when the file cannot be read.
[[nodiscard]] std::optional<QString> readPassword(const QCommandLineParser &parser,
                                                  const QProcessEnvironment &environment,
                                                  QString *error);
// The first line of a file (mode 600, or a secret a service manager hands over).
[[nodiscard]] std::optional<QString> readPasswordFile(const QString &path, QString *error);

// --log FILE, --log-max-mb N, --capture FILE.
void addRecordOptions(QCommandLineParser &parser);
// Fills `error` and returns nothing when an option is wrong.
[[nodiscard]] std::optional<recorder::RecordOptions>
readRecordOptions(const QCommandLineParser &parser, QString *error);

} // namespace quorvane::cli
