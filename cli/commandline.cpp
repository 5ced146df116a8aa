// SPDX-License-Identifier: MIT
#include "cli/commandline.h"

#include <cstdio>
#include <type_traits>

namespace quorvane::cli {

Exit mistake(const QString &program, const QString &text)
{
    return {QStringLiteral("%1: %2\n").arg(program, text), 2};
}

std::optional<Exit> parse(QCommandLineParser &parser, const QStringList &arguments,
                          const QString &program)
{
    if (!parser.parse(arguments))
        return mistake(program, parser.errorText() + QStringLiteral(" (see --help)"));
    // --help-all comes with Qt's help option; asking isSet() of an option a program did not
    // add would warn, so it is looked for among the names given.
    if (parser.isSet(QStringLiteral("help")) ||
        parser.optionNames().contains(QStringLiteral("help-all")))
        return Exit{parser.helpText(), 0};
    if (parser.isSet(QStringLiteral("version")))
        return Exit{QStringLiteral("%1 %2\n").arg(program, QStringLiteral(QUORVANE_VERSION)), 0};
    if (!parser.positionalArguments().isEmpty())
        return mistake(program, QStringLiteral("unexpected argument '%1' (see --help)")
                                    .arg(parser.positionalArguments().constFirst()));
    return std::nullopt;
}

int finish(const Exit &exit)
{
    std::fputs(qPrintable(exit.text), exit.code == 0 ? stdout : stderr);
    return exit.code;
}

template <typename T>
std::optional<T> readBounded(const QString &text, const Range<T> &range, const QString &refusal,
                             QString *error)
{
    bool ok = false;
    T value{};
    if constexpr (std::is_floating_point_v<T>)
        value = text.trimmed().toDouble(&ok);
    else
        value = text.trimmed().toInt(&ok);
    // Written so that NaN falls outside every range.
    if (ok && (range.lowExcluded ? value > range.low : value >= range.low) && value <= range.high)
        return value;
    *error = refusal;
    return std::nullopt;
}

template std::optional<int> readBounded(const QString &, const Range<int> &, const QString &,
                                        QString *);
template std::optional<double> readBounded(const QString &, const Range<double> &, const QString &,
                                           QString *);

} // namespace quorvane::cli
