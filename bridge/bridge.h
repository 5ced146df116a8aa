// SPDX-License-Identifier: MIT
// quorvane-bridge as one object: the board session on its line, the MQTT face over it, and
// the readings log and line capture the command line asked for. One thread, the Qt event
// loop.
#pragma once

#include "board/session.h"
#include "bridge/mqttface.h"
#include "bridge/options.h"

#include <QObject>

#include <memory>

namespace quorvane::bridge {

class Bridge : public QObject {
    Q_OBJECT
public:
    using Level = board::Level;
    using LogSink = board::LogSink;

    explicit Bridge(Options options, QObject *parent = nullptr);
    ~Bridge() override;

    // Where log lines go; stderr by default (with journald's level prefixes under systemd).
    void setLogSink(LogSink sink);
    void start();
    // Publishes offline, disconnects cleanly and closes the line.
    void stop();

    int refusedCount() const { return face_->refusedCount(); }
    QString topic(const QString &leaf) const { return face_->topic(leaf); }
    const board::Session &session() const { return *session_; }
    const serial::CommControl &line() const { return session_->line(); }

    static LogSink stderrSink();

signals:
    void online(bool on); // the status topic's value changed

private:
    void say(Level level, const QString &text) const;

    Options options_;
    std::unique_ptr<board::Session> session_;
    std::unique_ptr<MqttFace> face_;
    LogSink log_;
    bool stopped_ = false;
};

} // namespace quorvane::bridge
