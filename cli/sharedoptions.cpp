// SPDX-License-Identifier: MIT
#include "cli/sharedoptions.h"

#include "cli/commandline.h"

#include <QFile>

namespace quorvane::cli {

QCommandLineOption passwordFileOption(const QString &description)
{
    return {QStringLiteral("password-file"), description, QStringLiteral("FILE")};
}

std::optional<QString> readPassword(const QCommandLineParser &parser,
                                    const QProcessEnvironment &environment, QString *error)
{
    if (parser.isSet(QStringLiteral("password-file")))
        return readPasswordFile(parser.value(QStringLiteral("password-file")), error);
    return environment.value(QStringLiteral("QUORVANE_MQTT_PASSWORD"));
}

std::optional<QString> readPasswordFile(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("cannot read the password file '%1': %2").arg(path, f.errorString());
        return std::nullopt;
    }
    QByteArray line = f.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

void addRecordOptions(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("log"),
                      QStringLiteral("Append a CSV row to FILE for every frame the board sends: "
                                     "time,pir,light,indoor,outdoor."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("log-max-mb"),
                      QStringLiteral("Start a new log once it reaches N MB; the full one keeps "
                                     "its date and time in its name."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("capture"),
                      QStringLiteral("Record every byte on the line, both ways, with its time, "
                                     "to FILE (quorvane-board --replay plays it)."),
                      QStringLiteral("FILE")});
}

std::optional<recorder::RecordOptions> readRecordOptions(const QCommandLineParser &parser,
                                                         QString *error)
{
    recorder::RecordOptions o;
    o.logPath = parser.value(QStringLiteral("log"));
    o.capturePath = parser.value(QStringLiteral("capture"));
    if (parser.isSet(QStringLiteral("log-max-mb"))) {
        const auto mb =
            readBounded(parser.value(QStringLiteral("log-max-mb")), Range<double>{0, 1e6, true},
                        QStringLiteral("--log-max-mb takes a size in MB above 0"), error);
        if (!mb)
            return std::nullopt;
        o.logMaxBytes = std::uint64_t(*mb * 1024 * 1024);
    }
    return o;
}

} // namespace quorvane::cli
