// SPDX-License-Identifier: MIT
// What the bridge shows the board through: an MQTT broker, a web page, metrics. Each face is
// made over the one session, started before the session opens the line and stopped before
// it closes; the bridge knows a face only as this.
#pragma once

#include "board/session.h"

#include <QObject>
#include <QString>

#include <optional>

namespace quorvane::board {

class Face : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // "mqtt", "web", ...: for the log.
    virtual QString name() const = 0;
    void setLogSink(LogSink sink) { log_ = std::move(sink); }
    // Says why it cannot start; the bridge does not run without it.
    [[nodiscard]] virtual std::optional<QString> start() = 0;
    virtual void stop() = 0;
    // Reads again what may have been renewed under it (certificates); SIGHUP.
    virtual void reload() {}

protected:
    void say(Level level, const QString &text) const
    {
        if (log_)
            log_(level, text);
    }

private:
    LogSink log_;
};

} // namespace quorvane::board
