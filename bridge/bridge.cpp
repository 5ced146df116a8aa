// SPDX-License-Identifier: MIT
#include "bridge/bridge.h"

#include "bridge/discovery.h"
#include "protocol/commands.h"
#include "protocol/telemetry.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QRegularExpression>

#include <cstdio>
#include <utility>

namespace quorvane::bridge {
namespace proto = quorvane::protocol;
using serial::CommControl;
using serial::CommError;

namespace {

constexpr const char *kReadingTopics[] = {"pir", "light", "indoor", "outdoor"};
constexpr const char *kStateKeys[] = {"pir", "light", "indoor", "outdoor"};
// Longer than any command we take; a bigger payload is refused unread.
constexpr qsizetype kMaxCommandBytes = 16;
// Raw bytes held while the broker is slower than the line; older ones are dropped past this.
constexpr qsizetype kRxHold = 64 * 1024;

// A value the board sent as a plain decimal number goes into the JSON state as a number.
QJsonValue jsonValue(const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    if (!proto::isPlainNumber(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
        return QJsonValue::Null;
    return text.toDouble();
}

// "ON" or "OFF", letter case and surrounding blanks ignored; nothing for anything else.
std::optional<bool> parseSwitch(const QByteArray &payload)
{
    if (payload.size() > kMaxCommandBytes || !QUtf8StringView(payload).isValidUtf8())
        return std::nullopt;
    const QByteArray word = payload.trimmed().toUpper();
    if (word == "ON")
        return true;
    if (word == "OFF")
        return false;
    return std::nullopt;
}

QString printable(const QByteArray &payload)
{
    if (payload.size() > 40)
        return QStringLiteral("%1 bytes").arg(payload.size());
    QString s = QStringLiteral("'");
    for (char c : payload) {
        const auto u = static_cast<unsigned char>(c);
        s += (u >= 0x20 && u < 0x7f) ? QString(QLatin1Char(c))
                                     : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return s + QLatin1Char('\'');
}

} // namespace

Bridge::Bridge(Options options, QObject *parent)
    : QObject(parent), options_(std::move(options)),
      base_(options_.prefix + QLatin1Char('/') + options_.board), log_(stderrSink()),
      buffer_(proto::kInitialBuffer)
{
    std::shared_ptr<const serial::PortMap> map;
    if (options_.device.isEmpty())
        map = std::make_shared<serial::SystemPortMap>();
    else
        map = std::make_shared<serial::FixedPortMap>(QMap<int, QString>{{1, options_.device}});
    comm_ = std::make_unique<CommControl>(std::move(map));
    comm_->setRThreshold(1);
    comm_->setInputLen(1);
    if (options_.readIntervalMs >= 0)
        comm_->setReadInterval(std::chrono::milliseconds(options_.readIntervalMs));
    connect(comm_.get(), &CommControl::OnComm, this, &Bridge::onComm);

    mqtt_ = std::make_unique<mqtt::MqttClient>(options_.mqtt);
    connect(mqtt_.get(), &mqtt::MqttClient::connected, this, &Bridge::onBrokerUp);
    connect(mqtt_.get(), &mqtt::MqttClient::disconnected, this, [this](const QString &why) {
        say(Level::Warning, QStringLiteral("disconnected from the broker %1: %2; reconnecting")
                                .arg(options_.mqtt.broker.display(), why));
        publishStatus();
    });
    connect(
        mqtt_.get(), &mqtt::MqttClient::connectFailed, this,
        [this](const QString &why, mqtt::MqttClient::Failure failure) {
            static const char *const hints[] = {
                "is the broker running and listening there?",
                "check --username and the password",
                "check the broker's certificate and --cafile",
            };
            say(Level::Warning,
                QStringLiteral("cannot connect to the broker %1: %2; %3; retrying")
                    .arg(options_.mqtt.broker.display(), why, QLatin1String(hints[int(failure)])));
        });
    connect(mqtt_.get(), &mqtt::MqttClient::drained, this, [this] {
        if (std::exchange(framePending_, false))
            onFrameEnd();
        flushRx();
    });
    connect(mqtt_.get(), &mqtt::MqttClient::message, this,
            [this](const QString &topic, const QByteArray &payload, bool) {
                onMessage(topic, payload);
            });

    stateLater_.setSingleShot(true);
    connect(&stateLater_, &QTimer::timeout, this, [this] {
        if (std::exchange(framePending_, false))
            onFrameEnd();
    });
    lineRetry_.setInterval(kLineRetryMs);
    connect(&lineRetry_, &QTimer::timeout, this, &Bridge::openLine);
}

Bridge::~Bridge() = default;

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
    if (log_ && (level != Level::Debug || options_.verbose))
        log_(level, text);
}

void Bridge::start()
{
    say(Level::Info,
        QStringLiteral("board '%1' on %2, broker %3%4")
            .arg(options_.board,
                 options_.device.isEmpty() ? QStringLiteral("port %1").arg(options_.port)
                                           : options_.device,
                 options_.mqtt.broker.display(),
                 options_.mqtt.insecure ? QStringLiteral(" (TLS NOT VERIFIED: --insecure)")
                                        : QString()));
    if (options_.mqtt.insecure)
        say(Level::Warning, QStringLiteral("--insecure: the broker's certificate is not checked; "
                                           "anyone on the network can pose as the broker"));
    if (options_.record.any()) {
        auto *recorder = new serial::LineRecorder(options_.record, this);
        connect(recorder, &serial::LineRecorder::problem, this,
                [this](const QString &text) { say(Level::Warning, text); });
        recorder->start(comm_.get());
    }
    openLine();
    if (const auto refused = mqtt_->start())
        say(Level::Error, QStringLiteral("cannot connect to the broker %1: %2")
                              .arg(options_.mqtt.broker.display(), *refused));
}

void Bridge::stop()
{
    if (stopping_)
        return;
    stopping_ = true;
    lineRetry_.stop();
    if (mqtt_->isConnected())
        publish(QStringLiteral("status"), "offline", true);
    mqtt_->stop();
    if (comm_->portOpen())
        comm_->setPortOpen(false);
    say(Level::Info, QStringLiteral("stopped"));
}

void Bridge::openLine()
{
    try {
        comm_->setCommPort(qint16(options_.device.isEmpty() ? options_.port : 1));
        comm_->setPortOpen(true);
    } catch (const CommError &e) {
        if (!lineRetry_.isActive()) {
            say(Level::Warning, QStringLiteral("%1; retrying every %2 s")
                                    .arg(e.message())
                                    .arg(kLineRetryMs / 1000));
            lineRetry_.start();
        }
        return;
    }
    lineRetry_.stop();
    say(Level::Info,
        QStringLiteral("line open on %1")
            .arg(options_.device.isEmpty() ? QStringLiteral("port %1").arg(options_.port)
                                           : options_.device));
    if (lineWasLost_ && options_.restoreLoads)
        restoreLoads();
    lineWasLost_ = false;
    publishStatus();
}

void Bridge::onComm()
{
    const qint16 event = comm_->commEvent();
    if (event == CommControl::EvReceive) {
        const QString piece = comm_->input();
        const QByteArray bytes = piece.toLatin1();
        if (options_.raw) {
            rx_ += bytes;
            if (!rxFlushPosted_) {
                // Everything taken from the line in one read goes out as one message.
                rxFlushPosted_ = true;
                QMetaObject::invokeMethod(this, &Bridge::flushRx, Qt::QueuedConnection);
            }
        }
        const auto result =
            proto::receive(buffer_, std::string_view(bytes.constData(), std::size_t(bytes.size())),
                           [this](proto::Reading r, std::string_view text) {
                               const auto i = std::size_t(r);
                               const QString value =
                                   QString::fromLatin1(text.data(), qsizetype(text.size()));
                               if (!seen_[i] || values_[i] != value)
                                   changed_[i] = true;
                               values_[i] = value;
                               seen_[i] = true;
                           });
        if (result == proto::ReceiveResult::Parsed)
            onFrameEnd();
        comm_->setRThreshold(0);
        comm_->setInputLen(0);
    } else if (event == CommControl::EvDeviceLost) {
        say(Level::Warning, QStringLiteral("the board's line was lost; retrying every %1 s")
                                .arg(kLineRetryMs / 1000));
        lineWasLost_ = true;
        publishStatus();
        lineRetry_.start();
    }
    comm_->setRThreshold(1);
    comm_->setInputLen(1);
}

void Bridge::onFrameEnd()
{
    if (mqtt_->backlogged() || (sinceState_.isValid() && sinceState_.elapsed() < kMinStateMs)) {
        // A line faster than any real board (a 9600-baud frame takes 30 ms), or a broker that
        // takes less than the line brings: the latest goes out a moment later, so memory stays
        // bounded and the newest state is never behind a queue of stale ones.
        framePending_ = true;
        if (!stateLater_.isActive())
            stateLater_.start(kMinStateMs);
        return;
    }
    sinceState_.start();
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (!changed_[i])
            continue;
        changed_[i] = false;
        publish(QLatin1String(kReadingTopics[i]), values_[i].toUtf8(), true);
    }
    QJsonObject state;
    for (std::size_t i = 0; i < values_.size(); ++i) {
        // The number is the value the board sent, without the label's suffix.
        state.insert(QLatin1String(kStateKeys[i]),
                     seen_[i] ? jsonValue(values_[i].chopped(
                                    qsizetype(proto::kReadingRows[i].suffix.size())))
                              : QJsonValue());
    }
    state.insert(QStringLiteral("time"),
                 QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    publish(QStringLiteral("state"), QJsonDocument(state).toJson(QJsonDocument::Compact), true);
}

void Bridge::flushRx()
{
    rxFlushPosted_ = false;
    if (rx_.isEmpty())
        return;
    if (mqtt_->backlogged()) {
        if (rx_.size() > kRxHold) {
            if (rxDropped_ == 0)
                say(Level::Warning, QStringLiteral("the broker is slower than the line: raw "
                                                   "bytes are being dropped"));
            rxDropped_ += rx_.size() - kRxHold;
            rx_.remove(0, rx_.size() - kRxHold);
        }
        return; // sent when the backlog has gone out
    }
    publish(QStringLiteral("rx"), rx_, false);
    rx_.clear();
}

void Bridge::onBrokerUp()
{
    say(Level::Info,
        QStringLiteral("connected to the broker %1").arg(options_.mqtt.broker.display()));
    for (const char *leaf : {"load/+/set", "all/set"})
        mqtt_->subscribe(topic(QLatin1String(leaf)));
    if (options_.raw)
        mqtt_->subscribe(topic(QStringLiteral("tx")));
    if (options_.discovery) {
        mqtt_->subscribe(options_.discoveryPrefix + QStringLiteral("/status"));
        publishDiscovery(false);
    }
    statusKnown_ = false;
    publishStatus();
    publishRetainedValues();
}

void Bridge::publishRetainedValues()
{
    // The latest of everything, once: a reconnect brings no backlog of missed frames.
    for (std::size_t i = 0; i < values_.size(); ++i)
        changed_[i] = seen_[i];
    if (std::find(seen_.begin(), seen_.end(), true) != seen_.end())
        onFrameEnd();
    for (int n = 1; n <= proto::kLoadCount; ++n) {
        if (loads_[std::size_t(n - 1)])
            publish(QStringLiteral("load/%1").arg(n), *loads_[std::size_t(n - 1)] ? "ON" : "OFF",
                    true);
    }
}

void Bridge::publishDiscovery(bool remove)
{
    for (const DiscoveryConfig &c :
         discoveryConfigs(options_.discoveryPrefix, base_, options_.board))
        mqtt_->publish(c.topic, remove ? QByteArray() : c.payload, true);
}

void Bridge::publishStatus()
{
    const bool on = mqtt_->isConnected() && comm_->portOpen() && !stopping_;
    if (statusKnown_ && on == lastStatus_)
        return;
    if (mqtt_->isConnected()) {
        publish(QStringLiteral("status"), on ? "online" : "offline", true);
        statusKnown_ = true;
    }
    lastStatus_ = on;
    emit online(on);
}

void Bridge::publish(const QString &leaf, const QByteArray &payload, bool retain)
{
    const QString t = topic(leaf);
    // Formatting costs more than the publish; only --verbose pays it.
    if (mqtt_->publish(t, payload, retain) && options_.verbose)
        say(Level::Debug, QStringLiteral("sent %1 %2").arg(t, printable(payload)));
}

void Bridge::onMessage(const QString &t, const QByteArray &payload)
{
    if (options_.verbose)
        say(Level::Debug, QStringLiteral("received %1 %2").arg(t, printable(payload)));
    if (options_.discovery && t == options_.discoveryPrefix + QStringLiteral("/status")) {
        if (payload == "online")
            publishDiscovery(false); // Home Assistant restarted
        return;
    }
    const QString leaf = t.mid(base_.size() + 1);
    if (leaf == QLatin1String("all/set")) {
        setAllFromMessage(payload);
        return;
    }
    if (leaf == QLatin1String("tx") && options_.raw) {
        writeRaw(payload);
        return;
    }
    static const QRegularExpression load(QStringLiteral("^load/([0-9]+)/set$"));
    const auto m = load.match(leaf);
    bool ok = false;
    const int n = m.hasMatch() ? m.captured(1).toInt(&ok) : 0;
    if (!ok || !proto::isLoadNumber(n)) {
        refuse(QStringLiteral("no such command topic: %1").arg(t));
        return;
    }
    setLoadFromMessage(n, payload);
}

void Bridge::setLoadFromMessage(int load, const QByteArray &payload)
{
    const auto on = parseSwitch(payload);
    if (!on) {
        refuse(
            QStringLiteral("load %1: %2 is neither ON nor OFF").arg(load).arg(printable(payload)));
        return;
    }
    if (send(QByteArray(1, proto::loadLetter(load, *on)), "load command"))
        setLoad(load, *on);
}

void Bridge::setAllFromMessage(const QByteArray &payload)
{
    const auto on = parseSwitch(payload);
    if (!on) {
        refuse(QStringLiteral("all: %1 is neither ON nor OFF").arg(printable(payload)));
        return;
    }
    // As the panel's All OFF: the all-off letter, then the off-letter of each load that was on.
    QByteArray letters(1, *on ? proto::kAllOnLetter : proto::kAllOffLetter);
    if (!*on) {
        for (int n = proto::kFirstLoad; n <= proto::kLastLoad; ++n) {
            if (loads_[std::size_t(n - 1)].value_or(false))
                letters += proto::loadLetter(n, false);
        }
    }
    if (!send(letters, "all-loads command"))
        return;
    for (int n = proto::kFirstLoad; n <= proto::kLastLoad; ++n)
        setLoad(n, *on);
}

void Bridge::writeRaw(const QByteArray &payload)
{
    if (payload.size() > kMaxTxBytes) {
        refuse(QStringLiteral("tx: %1 bytes, at most %2 per message")
                   .arg(payload.size())
                   .arg(kMaxTxBytes));
        return;
    }
    send(payload, "raw bytes");
}

bool Bridge::send(const QByteArray &letters, const char *what)
{
    if (!comm_->portOpen()) {
        refuse(
            QStringLiteral("%1 not sent: the board's line is not open").arg(QLatin1String(what)));
        return false;
    }
    try {
        comm_->setOutput(QString::fromLatin1(letters));
    } catch (const CommError &e) {
        refuse(QStringLiteral("%1 not sent: %2").arg(QLatin1String(what), e.message()));
        return false;
    }
    return true;
}

void Bridge::setLoad(int load, bool on)
{
    loads_[std::size_t(load - 1)] = on;
    publish(QStringLiteral("load/%1").arg(load), on ? "ON" : "OFF", true);
}

void Bridge::restoreLoads()
{
    QByteArray letters;
    for (int n = proto::kFirstLoad; n <= proto::kLastLoad; ++n) {
        if (const auto on = loads_[std::size_t(n - 1)])
            letters += proto::loadLetter(n, *on);
    }
    if (letters.isEmpty())
        return;
    if (send(letters, "load restore"))
        say(Level::Info, QStringLiteral("loads restored (%1)").arg(QString::fromLatin1(letters)));
}

void Bridge::refuse(const QString &why)
{
    ++refused_;
    say(Level::Notice, QStringLiteral("refused: %1 (%2 refused so far)").arg(why).arg(refused_));
}

} // namespace quorvane::bridge
