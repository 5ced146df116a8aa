// SPDX-License-Identifier: MIT
// quorvane-bridge as one object: the board session on its line, the MQTT face over it, and
// the readings log and line capture the command line asked for. One thread, the Qt event
// loop.
#pragma once

#include "board/session.h"
#include "bridge/mqttface.h"
#include "bridge/options.h"
#include "web/face.h"

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
    // False when a face cannot start (the web page's address is taken); it says why.
    bool start();
    // Publishes offline, disconnects cleanly and closes the line.
    void stop();

    int refusedCount() const { return face_ ? face_->refusedCount() : 0; }
    QString topic(const QString &leaf) const { return face_ ? face_->topic(leaf) : QString(); }
    // The web face with --http, or none.
    web::Face *webFace() const { return web_.get(); }
    const board::Session &session() const { return *session_; }
    const serial::CommControl &line() const { return session_->line(); }

    static LogSink stderrSink();

signals:
    void online(bool on); // the status topic's value changed

private:
    void say(Level level, const QString &text) const;

    Options options_;
    std::unique_ptr<board::Session> session_;
    std::unique_ptr<MqttFace> face_; // none with --http and no --broker
    std::unique_ptr<web::Face> web_;
    LogSink log_;
    bool stopped_ = false;
};

} // namespace quorvane::bridge
