// SPDX-License-Identifier: MIT
#include "metrics/face.h"

#include "protocol/commands.h"
#include "protocol/telemetry.h"

namespace quorvane::metrics {
namespace {

class Writer {
public:
    // One family: its HELP and TYPE lines, then its samples.
    void family(const char *name, const char *type, const char *help)
    {
        name_ = name;
        text_ += "# HELP " + name_ + ' ' + help + "\n# TYPE " + name_ + ' ' + type + '\n';
    }
    void sample(double value, const QByteArray &labels = {})
    {
        text_ += name_;
        if (!labels.isEmpty())
            text_ += '{' + labels + '}';
        text_ += ' ' + QByteArray::number(value, 'g', 15) + '\n';
    }
    QByteArray text() const { return text_; }

private:
    QByteArray name_;
    QByteArray text_;
};

std::optional<double> number(const QString &value)
{
    const QByteArray bytes = value.toLatin1();
    if (!protocol::isPlainNumber(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
        return std::nullopt;
    return value.toDouble();
}

} // namespace

QByteArray exposition(const board::Session &session)
{
    const board::Health h = session.health();
    Writer w;
    w.family("quorvane_build_info", "gauge", "The bridge's version, as a label.");
    w.sample(1, "version=\"" QUORVANE_VERSION "\"");
    w.family("quorvane_uptime_seconds", "gauge", "Time since the bridge started.");
    w.sample(double(h.uptimeMs) / 1000);
    w.family("quorvane_line_open", "gauge", "1 while the board's serial line is open.");
    w.sample(h.lineOpen ? 1 : 0);
    w.family("quorvane_board_available", "gauge",
             "1 while the line is open and the board is sending frames.");
    w.sample(h.available ? 1 : 0);
    w.family("quorvane_frames_total", "counter", "Telemetry frames received from the board.");
    w.sample(double(h.counters.frames));
    w.family("quorvane_frames_last_minute", "gauge", "Frames received in the last minute.");
    w.sample(h.framesLastMinute);
    if (h.newestFrame) {
        w.family("quorvane_newest_frame_timestamp_seconds", "gauge",
                 "When the newest frame ended, in seconds since 1970.");
        w.sample(double(h.newestFrame->toMSecsSinceEpoch()) / 1000);
    }
    // The counters the faces and the session keep, each a family of its own.
    const struct {
        const char *name;
        const char *help;
        quint64 value;
    } counters[] = {
        {"quorvane_line_losses_total", "Times the board's line was lost.", h.counters.lineLosses},
        {"quorvane_broker_reconnects_total", "Connections to the MQTT broker after the first.",
         h.counters.brokerReconnects},
        {"quorvane_refused_commands_total",
         "Commands refused: malformed, retained, or with the line closed.",
         h.counters.refusedCommands},
        {"quorvane_raw_bytes_dropped_total",
         "Raw line bytes dropped while the broker was slower than the line.",
         h.counters.rawBytesDropped},
    };
    for (const auto &c : counters) {
        w.family(c.name, "counter", c.help);
        w.sample(double(c.value));
    }
    w.family("quorvane_subscriptions_refused", "gauge",
             "Subscriptions the MQTT broker refuses now (its ACL): what is sent there is lost.");
    w.sample(double(h.subscriptionsRefused.size()));

    // Readings the board sent as plain numbers, in base units.
    const auto value = [&](protocol::Reading r) {
        return session.reading(std::size_t(r)) ? number(session.boardValue(std::size_t(r)))
                                               : std::nullopt;
    };
    if (const auto pir = value(protocol::Reading::Pir)) {
        w.family("quorvane_motion", "gauge", "The motion sensor's reading (1: motion).");
        w.sample(*pir);
    }
    if (const auto light = value(protocol::Reading::Light)) {
        w.family("quorvane_light_ratio", "gauge", "The light level, 0 to 1.");
        w.sample(*light / 100);
    }
    const auto indoor = value(protocol::Reading::InDoor);
    const auto outdoor = value(protocol::Reading::OutDoor);
    if (indoor || outdoor) {
        w.family("quorvane_temperature_celsius", "gauge", "The board's temperatures.");
        if (indoor)
            w.sample(*indoor, "place=\"indoor\"");
        if (outdoor)
            w.sample(*outdoor, "place=\"outdoor\"");
    }
    bool any = false;
    for (int n = protocol::kFirstLoad; n <= protocol::kLastLoad; ++n) {
        const auto on = session.load(n);
        if (!on)
            continue;
        if (!std::exchange(any, true))
            w.family("quorvane_load_on", "gauge",
                     "What each load was last commanded (1: on); absent before any command.");
        w.sample(*on ? 1 : 0, "load=\"" + QByteArray::number(n) + '"');
    }
    return w.text();
}

Face::Face(const board::Session &session, web::Routes &routes, QObject *parent)
    : board::Face(parent)
{
    routes.add({web::Route::Method::Get, QStringLiteral("/metrics"), true,
                [&session](const QHttpServerRequest &) {
                    QHttpServerResponse r("text/plain; version=0.0.4; charset=utf-8",
                                          exposition(session));
                    r.addHeader("Cache-Control", "no-store");
                    return r;
                }});
}

} // namespace quorvane::metrics
