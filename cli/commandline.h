// SPDX-License-Identifier: MIT
// Reading a program's command line: --help, --version, mistakes and stray arguments answered
// the same way by every program, and numbers checked against their bounds.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

namespace quorvane::cli {

// A command line that ends the program here: text to print and the exit code (help and
// version go to stdout with 0, mistakes to stderr with 2).
struct Exit {
    QString text;
    int code = 0;
};

// "PROGRAM: TEXT", exit code 2.
[[nodiscard]] Exit mistake(const QString &program, const QString &text);

// Parses `arguments` (the program's path first) with the options `parser` holds, which must
// include "help" and "version". Returns the Exit when the command line is answered or refused
// here: help, version, an unknown option or missing value, or an argument no option takes.
[[nodiscard]] std::optional<Exit> parse(QCommandLineParser &parser, const QStringList &arguments,
                                        const QString &program);

// Prints `exit` where it belongs and returns its code, for main() to return.
int finish(const Exit &exit);

// From `low` to `high`, or only above `low` when `lowExcluded`.
template <typename T> struct Range {
    T low;
    T high;
    bool lowExcluded = false;
};

// The number `text` holds (blanks around it allowed) when it lies in `range`; otherwise fills
// `error` with `refusal` and returns nothing. For int and double.
template <typename T>
[[nodiscard]] std::optional<T> readBounded(const QString &text, const Range<T> &range,
                                           const QString &refusal, QString *error);

} // namespace quorvane::cli
