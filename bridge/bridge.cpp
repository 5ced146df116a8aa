// SPDX-License-Identifier: MIT
#include "bridge/bridge.h"

#include "bridge/mqttface.h"
#include "metrics/face.h"
#include "recorder/linerecorder.h"
#include "web/face.h"

#include <QStringList>

#include <cstdio>

namespace quorvane::bridge {

namespace {

board::SessionOptions sessionOptions(const Options &o)
{
    return {o.device, o.port, o.restoreLoads, o.readIntervalMs, o.silenceSeconds * 1000};
}

// The faces the options ask for, in the order they start; a new face is one line here.
std::vector<std::unique_ptr<board::Face>> makeFaces(board::Session &session, const Options &o)
{
    std::vector<std::unique_ptr<board::Face>> faces;
    if (o.web.enabled) {
        auto web = std::make_unique<web::Face>(session, o.web);
        faces.push_back(std::make_unique<metrics::Face>(session, web->routes()));
        faces.insert(faces.begin(), std::move(web));
    }
    if (o.mqtt.enabled)
        faces.push_back(std::make_unique<MqttFace>(session, o.mqtt));
    return faces;
}

} // namespace

Bridge::Bridge(Options options, QObject *parent)
    : QObject(parent), options_(std::move(options)),
      session_(std::make_unique<board::Session>(sessionOptions(options_))),
      faces_(makeFaces(*session_, options_))
{
    setLogSink(stderrSink());
}

Bridge::~Bridge() = default;

void Bridge::setLogSink(LogSink sink)
{
    log_ = std::move(sink);
    session_->setLogSink(log_);
    for (const auto &face : faces_)
        face->setLogSink(log_);
}

Bridge::LogSink Bridge::stderrSink()
{
    // Under systemd, stderr goes to the journal, which reads "<N>" as the line's level.
    const bool journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    return [journal](Level level, const QString &text) {
        const QByteArray line = text.toUtf8();
        if (journal)
            std::fprintf(stderr, "<%d>%s\n", int(level), line.constData());
        else
            std::fprintf(stderr, "quorvane-bridge: %s\n", line.constData());
    };
}

void Bridge::say(Level level, const QString &text) const
{
    if (log_)
        log_(level, text);
}

bool Bridge::start()
{
    QStringList names;
    for (const auto &face : faces_)
        names << face->name();
    say(Level::Info,
        QStringLiteral("board '%1' on %2, shown by %3")
            .arg(options_.mqtt.board, session_->lineName(), names.join(QLatin1String(", "))));
    if (options_.record.any()) {
        auto *keeper = new recorder::LineRecorder(options_.record, this);
        connect(keeper, &recorder::LineRecorder::problem, this,
                [this](const QString &text) { say(Level::Warning, text); });
        keeper->start(&session_->line());
    }
    // The faces first: one that cannot start ends the bridge before the line is touched.
    for (std::size_t i = 0; i < faces_.size(); ++i) {
        if (const auto error = faces_[i]->start()) {
            say(Level::Error, *error);
            while (i > 0)
                faces_[--i]->stop();
            return false;
        }
    }
    session_->start();
    return true;
}

void Bridge::reload()
{
    for (const auto &face : faces_)
        face->reload();
}

void Bridge::stop()
{
    if (std::exchange(stopped_, true))
        return;
    for (auto it = faces_.rbegin(); it != faces_.rend(); ++it)
        (*it)->stop();
    session_->stop();
    say(Level::Info, QStringLiteral("stopped"));
}

} // namespace quorvane::bridge
