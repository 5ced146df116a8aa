// SPDX-License-Identifier: MIT
#include "bridge/bridge.h"

#include "serial/linerecorder.h"

#include <cstdio>

namespace quorvane::bridge {

namespace {

board::SessionOptions sessionOptions(const Options &o)
{
    return {o.device, o.port, o.restoreLoads, o.readIntervalMs, o.silenceSeconds * 1000};
}

} // namespace

Bridge::Bridge(Options options, QObject *parent)
    : QObject(parent), options_(std::move(options)),
      session_(std::make_unique<board::Session>(sessionOptions(options_))),
      face_(options_.mqttFace ? std::make_unique<MqttFace>(*session_, options_) : nullptr),
      web_(options_.web.enabled ? std::make_unique<web::Face>(*session_, options_.web) : nullptr)
{
    if (face_)
        connect(face_.get(), &MqttFace::online, this, &Bridge::online);
    setLogSink(stderrSink());
}

Bridge::~Bridge()
{
    // The faces watch the session: they go first.
    face_.reset();
    web_.reset();
}

void Bridge::setLogSink(LogSink sink)
{
    log_ = std::move(sink);
    session_->setLogSink(log_);
    if (face_)
        face_->setLogSink(log_);
    if (web_)
        web_->setLogSink(log_);
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
        std::fflush(stderr);
    };
}

void Bridge::say(Level level, const QString &text) const
{
    if (log_)
        log_(level, text);
}

bool Bridge::start()
{
    say(Level::Info,
        QStringLiteral("board '%1' on %2, %3%4")
            .arg(options_.board, session_->lineName(),
                 face_ ? QStringLiteral("broker ") + options_.mqtt.broker.display()
                       : QStringLiteral("no broker"),
                 options_.mqtt.insecure ? QStringLiteral(" (TLS NOT VERIFIED: --insecure)")
                                        : QString()));
    if (options_.mqtt.insecure)
        say(Level::Warning, QStringLiteral("--insecure: the broker's certificate is not checked; "
                                           "anyone on the network can pose as the broker"));
    if (options_.record.any()) {
        auto *recorder = new serial::LineRecorder(options_.record, this);
        connect(recorder, &serial::LineRecorder::problem, this,
                [this](const QString &text) { say(Level::Warning, text); });
        recorder->start(&session_->line());
    }
    if (web_) {
        if (const auto error = web_->start()) {
            say(Level::Error, *error);
            return false;
        }
    }
    session_->start();
    if (face_)
        face_->start();
    return true;
}

void Bridge::stop()
{
    if (std::exchange(stopped_, true))
        return;
    if (face_)
        face_->stop();
    if (web_)
        web_->stop();
    session_->stop();
    say(Level::Info, QStringLiteral("stopped"));
}

} // namespace quorvane::bridge
