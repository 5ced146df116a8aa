// SPDX-License-Identifier: MIT
// quorvane-bridge as one object: the board session on its line, the faces over it that the
// options ask for, and the readings log and line capture. One thread, the Qt event loop.
#pragma once

#include "board/face.h"
#include "board/session.h"
#include "bridge/options.h"

#include <QObject>

#include <memory>
#include <vector>

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
    // Stops every face (the MQTT face publishes offline and disconnects cleanly) and closes
    // the line.
    void stop();
    // SIGHUP: every face reads again what may have been renewed (certificates).
    void reload();

    const board::Session &session() const { return *session_; }
    const serial::CommControl &line() const { return session_->line(); }
    // The face of that type, or none.
    template <class F> F *face() const
    {
        for (const auto &f : faces_) {
            if (auto *found = qobject_cast<F *>(f.get()))
                return found;
        }
        return nullptr;
    }

    static LogSink stderrSink();

private:
    void say(Level level, const QString &text) const;

    Options options_;
    std::unique_ptr<board::Session> session_;
    // Declared after the session: they watch it, and go first.
    std::vector<std::unique_ptr<board::Face>> faces_;
    LogSink log_;
    bool stopped_ = false;
};

} // namespace quorvane::bridge
