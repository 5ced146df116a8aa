// SPDX-License-Identifier: MIT
#include "bridge/mqttface.h"

#include "bridge/discovery.h"
#include "mqtt/wire.h"
#include "protocol/commands.h"
#include "protocol/telemetry.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QRandomGenerator>

#include <utility>

namespace quorvane::bridge {
namespace proto = quorvane::protocol;
using board::Level;

namespace {

// Raw bytes held while the broker is slower than the line; older ones are dropped past this.
constexpr qsizetype kRxHold = 64 * 1024;
// Commands, load states, availability and discovery must arrive; readings and state are
// corrected by the next frame.
constexpr int kSure = 1;

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
    if (payload.size() > mqtt::kMaxCommandBytes || !QUtf8StringView(payload).isValidUtf8())
        return std::nullopt;
    const QByteArray word = payload.trimmed().toUpper();
    if (word == mqtt::kOn)
        return true;
    if (word == mqtt::kOff)
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

// What to look at when the broker refuses; a new kind of failure is a warning here.
const char *hint(mqtt::MqttClient::Failure failure)
{
    switch (failure) {
    case mqtt::MqttClient::Failure::Network:
        break;
    case mqtt::MqttClient::Failure::Credentials:
        return "check --username and the password";
    case mqtt::MqttClient::Failure::Tls:
        return "check the broker's certificate and --cafile";
    case mqtt::MqttClient::Failure::Name:
        return "check the name server (/etc/resolv.conf) or give the broker's address";
    }
    return "is the broker running and listening there?";
}

QStringList topicsOf(const std::vector<DiscoveryConfig> &configs)
{
    QStringList topics;
    for (const DiscoveryConfig &c : configs)
        topics << c.topic;
    return topics;
}

QLatin1String readingName(std::size_t i)
{
    const std::string_view name = proto::kReadingRows[i].name;
    return QLatin1String(name.data(), qsizetype(name.size()));
}

} // namespace

MqttFace::MqttFace(board::Session &session, MqttOptions options, QObject *parent)
    : board::Face(parent), session_(session), options_(std::move(options)),
      base_(mqtt::boardBase(options_.prefix, options_.board)),
      mqtt_(std::make_unique<mqtt::MqttClient>(options_.client)),
      oldConfigs_(
          topicsOf(perEntityConfigs(options_.discoveryPrefix, options_.prefix, options_.board)))
{
    connect(mqtt_.get(), &mqtt::MqttClient::connected, this, &MqttFace::onBrokerUp);
    connect(mqtt_.get(), &mqtt::MqttClient::disconnected, this, [this](const QString &why) {
        say(Level::Warning, QStringLiteral("disconnected from the broker %1: %2; reconnecting")
                                .arg(options_.client.broker.display(), why));
        publishStatus();
    });
    connect(mqtt_.get(), &mqtt::MqttClient::connectFailed, this,
            [this](const QString &why, mqtt::MqttClient::Failure failure) {
                say(Level::Warning,
                    QStringLiteral("cannot connect to the broker %1: %2; %3; retrying")
                        .arg(options_.client.broker.display(), why, QLatin1String(hint(failure))));
            });
    connect(mqtt_.get(), &mqtt::MqttClient::drained, this, [this] {
        if (std::exchange(framePending_, false))
            onFrameEnd();
        flushRx();
    });
    connect(mqtt_.get(), &mqtt::MqttClient::message, this, &MqttFace::onMessage);
    connect(mqtt_.get(), &mqtt::MqttClient::subscribed, this, &MqttFace::onSubscribed);
    connect(mqtt_.get(), &mqtt::MqttClient::published, this, &MqttFace::onPublished);

    connect(&session_, &board::Session::frameEnded, this, [this](unsigned changed) {
        unpublished_ |= changed;
        onFrameEnd();
    });
    if (options_.raw)
        connect(&session_, &board::Session::received, this, &MqttFace::onReceived);
    connect(&session_, &board::Session::loadCommanded, this,
            [this](int n, bool on) { publishLoad(n, on); });
    connect(&session_, &board::Session::lineChanged, this, &MqttFace::publishStatus);
    connect(&session_, &board::Session::availabilityChanged, this, [this] {
        publishBoard();
        publishHealth();
    });

    healthClock_.setInterval(kHealthMs);
    connect(&healthClock_, &QTimer::timeout, this, &MqttFace::publishHealth);
    healthSoon_.setSingleShot(true);
    healthSoon_.setInterval(1000);
    connect(&healthSoon_, &QTimer::timeout, this, &MqttFace::publishHealth);
    announceLater_.setSingleShot(true);
    connect(&announceLater_, &QTimer::timeout, this, &MqttFace::announce);

    stateLater_.setSingleShot(true);
    connect(&stateLater_, &QTimer::timeout, this, [this] {
        if (std::exchange(framePending_, false))
            onFrameEnd();
    });
}

MqttFace::~MqttFace() = default;

QString MqttFace::topic(const QString &leaf) const
{
    return mqtt::boardTopic(options_.prefix, options_.board, leaf);
}

std::optional<QString> MqttFace::start()
{
    say(Level::Info,
        QStringLiteral("broker %1%2")
            .arg(options_.client.broker.display(),
                 options_.client.insecure ? QStringLiteral(" (TLS NOT VERIFIED: --insecure)")
                                          : QString()));
    if (options_.client.insecure)
        say(Level::Warning, QStringLiteral("--insecure: the broker's certificate is not checked; "
                                           "anyone on the network can pose as the broker"));
    if (const auto refused = mqtt_->start())
        say(Level::Error, QStringLiteral("cannot connect to the broker %1: %2")
                              .arg(options_.client.broker.display(), *refused));
    return std::nullopt;
}

void MqttFace::stop()
{
    if (stopping_)
        return;
    stopping_ = true;
    healthClock_.stop();
    healthSoon_.stop();
    announceLater_.stop();
    if (mqtt_->isConnected()) {
        // Nobody will say whether the board is sending once we are gone.
        publish(QLatin1String(mqtt::leaf::kBoard), mqtt::kOffline, true, kSure);
        publish(QLatin1String(mqtt::leaf::kStatus), mqtt::kOffline, true, kSure);
    }
    mqtt_->stop();
}

void MqttFace::onReceived(const QByteArray &bytes)
{
    rx_ += bytes;
    if (!rxFlushPosted_) {
        // Everything taken from the line in one read goes out as one message.
        rxFlushPosted_ = true;
        QMetaObject::invokeMethod(this, &MqttFace::flushRx, Qt::QueuedConnection);
    }
}

void MqttFace::onFrameEnd()
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
    publishState();
}

void MqttFace::publishState()
{
    QJsonObject state;
    for (std::size_t i = 0; i < board::Session::kReadingCount; ++i) {
        const auto &reading = session_.reading(i);
        if (reading && (unpublished_ & (1u << i)))
            publish(readingName(i), reading->toUtf8(), true);
        // The number is the value the board sent, without the label's suffix.
        state.insert(readingName(i), reading ? jsonValue(session_.boardValue(i)) : QJsonValue());
    }
    unpublished_ = 0;
    state.insert(QStringLiteral("time"),
                 QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    publish(QLatin1String(mqtt::leaf::kState), QJsonDocument(state).toJson(QJsonDocument::Compact),
            true);
}

void MqttFace::flushRx()
{
    rxFlushPosted_ = false;
    if (rx_.isEmpty())
        return;
    if (mqtt_->backlogged()) {
        if (rx_.size() > kRxHold) {
            if (session_.counters().rawBytesDropped == 0)
                say(Level::Warning, QStringLiteral("the broker is slower than the line: raw "
                                                   "bytes are being dropped"));
            session_.report(board::Report::RawBytesDropped, quint64(rx_.size() - kRxHold));
            rx_.remove(0, rx_.size() - kRxHold);
        }
        return; // sent when the backlog has gone out
    }
    publish(QLatin1String(mqtt::leaf::kRx), rx_, false);
    rx_.clear();
}

void MqttFace::onBrokerUp()
{
    say(Level::Info,
        QStringLiteral("connected to the broker %1").arg(options_.client.broker.display()));
    if (++connects_ > 1)
        session_.report(board::Report::BrokerReconnect);
    for (const char *leaf : {mqtt::leaf::kLoadSets, mqtt::leaf::kAllSet})
        mqtt_->subscribe(topic(leaf), kSure);
    if (options_.raw)
        mqtt_->subscribe(topic(mqtt::leaf::kTx), kSure);
    if (options_.discovery)
        mqtt_->subscribe(mqtt::discoveryStatusTopic(options_.discoveryPrefix), kSure);
    scanning_ = options_.discovery && options_.deviceDiscovery;
    found_.clear();
    toClear_.clear();
    deviceMid_ = -1;
    announce(); // the status goes out before the scan's subscriptions, so its echo ends it
    if (scanning_)
        startScan();
    healthClock_.start();
}

void MqttFace::onSubscribed(const QString &filter, bool granted)
{
    if (filter == topic(mqtt::leaf::kStatus) ||
        filter == mqtt::discoveryConfigFilter(options_.discoveryPrefix, options_.board)) {
        // The scan's own: a broker may well not let the bridge read these, and no command is
        // lost for it. Nothing is moved then; the device config goes out alone.
        if (!granted && scanning_) {
            say(Level::Notice,
                QStringLiteral("the broker does not let the bridge read %1: one-entity configs "
                               "of earlier versions cannot be found and moved to the device "
                               "config")
                    .arg(filter));
            finishScan();
        }
        return;
    }
    if (granted) {
        if (refused_.removeAll(filter) == 0)
            return;
        say(Level::Info,
            QStringLiteral("the broker grants the subscription to %1 now").arg(filter));
    } else {
        if (refused_.contains(filter))
            return; // said at its first refusal
        refused_ << filter;
        const QString who = options_.client.username.isEmpty()
                                ? QStringLiteral("anonymous clients")
                                : QStringLiteral("user '%1'").arg(options_.client.username);
        say(Level::Warning,
            QStringLiteral("the broker refused the subscription to %1: what is sent there never "
                           "reaches the bridge; check the broker's ACL for %2 (it must be allowed "
                           "to read %1); tried again at the next connect")
                .arg(filter, who));
    }
    session_.reportRefusedSubscriptions(refused_);
    if (!healthSoon_.isActive())
        healthSoon_.start();
}

void MqttFace::startScan()
{
    // At QoS 0, as is the echo, so the broker sends them in the order it took them.
    mqtt_->subscribe(mqtt::discoveryConfigFilter(options_.discoveryPrefix, options_.board), 0);
    mqtt_->subscribe(topic(mqtt::leaf::kStatus), 0);
}

void MqttFace::finishScan()
{
    if (!std::exchange(scanning_, false))
        return;
    mqtt_->unsubscribe(mqtt::discoveryConfigFilter(options_.discoveryPrefix, options_.board));
    mqtt_->unsubscribe(topic(mqtt::leaf::kStatus));
    QStringList moving;
    for (const QString &t : oldConfigs_) {
        if (found_.contains(t))
            moving << t;
    }
    found_.clear();
    if (!moving.isEmpty()) {
        // Home Assistant's documented order: each old config told to migrate, then the
        // device config, then the old ones cleared. Cleared first, the entities and their
        // history would go with them.
        say(Level::Info, QStringLiteral("Home Assistant discovery: moving this board's %1 "
                                        "one-entity configs to one device config; each entity "
                                        "keeps its id, name, area and history")
                             .arg(moving.size()));
        for (const QString &t : moving)
            mqtt_->publish(t, kMigrateDiscovery, true, kSure);
    }
    publishDiscovery(moving);
}

void MqttFace::onPublished(int mid)
{
    if (mid != deviceMid_ || toClear_.isEmpty())
        return;
    deviceMid_ = -1;
    for (const QString &t : std::as_const(toClear_))
        mqtt_->publish(t, QByteArray(), true, kSure);
    say(Level::Info, QStringLiteral("Home Assistant discovery: the device config is on the broker; "
                                    "cleared the %1 one-entity configs")
                         .arg(toClear_.size()));
    toClear_.clear();
}

void MqttFace::announce()
{
    // Everything a broker that lost its store, or a Home Assistant that just came up, needs
    // to show the board.
    if (options_.discovery && !scanning_)
        publishDiscovery();
    statusKnown_ = false;
    publishStatus();
    publishBoard();
    publishRetainedValues();
    publishHealth();
}

void MqttFace::publishRetainedValues()
{
    // The latest of everything, once: a reconnect brings no backlog of missed frames.
    bool any = false;
    for (std::size_t i = 0; i < board::Session::kReadingCount; ++i) {
        if (session_.reading(i)) {
            unpublished_ |= 1u << i;
            any = true;
        }
    }
    if (any)
        onFrameEnd();
    for (int n = proto::kFirstLoad; n <= proto::kLastLoad; ++n) {
        if (const auto on = session_.load(n))
            publishLoad(n, *on);
    }
}

void MqttFace::publishDiscovery(const QStringList &moving)
{
    if (!options_.deviceDiscovery) {
        for (const DiscoveryConfig &c :
             perEntityConfigs(options_.discoveryPrefix, options_.prefix, options_.board))
            mqtt_->publish(c.topic, c.payload, true, kSure);
        return;
    }
    const DiscoveryConfig c =
        deviceConfig(options_.discoveryPrefix, options_.prefix, options_.board);
    int mid = -1;
    if (mqtt_->publish(c.topic, c.payload, true, kSure, &mid) && !moving.isEmpty()) {
        toClear_ = moving;
        deviceMid_ = mid;
    }
}

void MqttFace::publishStatus()
{
    const bool on = mqtt_->isConnected() && session_.lineOpen() && !stopping_;
    if (statusKnown_ && on == lastStatus_)
        return;
    if (mqtt_->isConnected()) {
        publish(QLatin1String(mqtt::leaf::kStatus), on ? mqtt::kOnline : mqtt::kOffline, true,
                kSure);
        statusKnown_ = true;
    }
    lastStatus_ = on;
    emit online(on);
}

void MqttFace::publishBoard()
{
    if (!stopping_)
        publish(QLatin1String(mqtt::leaf::kBoard),
                session_.available() ? mqtt::kOnline : mqtt::kOffline, true, kSure);
}

QJsonObject MqttFace::health() const
{
    // Names and units as Home Assistant users' automations know them.
    const board::Health h = session_.health();
    return {
        {QStringLiteral("version"), QStringLiteral(QUORVANE_VERSION)},
        {QStringLiteral("uptime_s"), double(h.uptimeMs / 1000)},
        {QStringLiteral("line"), h.lineOpen ? QStringLiteral("open") : QStringLiteral("closed")},
        {QStringLiteral("board"), QLatin1String(h.available ? mqtt::kOnline : mqtt::kOffline)},
        {QStringLiteral("frames"), double(h.counters.frames)},
        {QStringLiteral("frames_last_minute"), h.framesLastMinute},
        {QStringLiteral("newest_frame"),
         h.newestFrame ? QJsonValue(h.newestFrame->toString(Qt::ISODateWithMs)) : QJsonValue()},
        {QStringLiteral("newest_frame_age_s"),
         h.newestFrameAgeMs ? QJsonValue(double(*h.newestFrameAgeMs) / 1000) : QJsonValue()},
        {QStringLiteral("line_losses"), double(h.counters.lineLosses)},
        {QStringLiteral("broker_reconnects"), double(h.counters.brokerReconnects)},
        {QStringLiteral("refused_commands"), double(h.counters.refusedCommands)},
        {QStringLiteral("raw_bytes_dropped"), double(h.counters.rawBytesDropped)},
        {QStringLiteral("subscriptions_refused"),
         QJsonObject{
             {QStringLiteral("count"), int(h.subscriptionsRefused.size())},
             {QStringLiteral("topics"), QJsonArray::fromStringList(h.subscriptionsRefused)}}},
    };
}

void MqttFace::publishHealth()
{
    healthSoon_.stop();
    if (!stopping_)
        publish(QLatin1String(mqtt::leaf::kHealth),
                QJsonDocument(health()).toJson(QJsonDocument::Compact), true);
}

void MqttFace::publishLoad(int n, bool on)
{
    publish(mqtt::leaf::load(n), on ? mqtt::kOn : mqtt::kOff, true, kSure);
}

void MqttFace::publish(const QString &leaf, const QByteArray &payload, bool retain, int qos)
{
    const QString t = topic(leaf);
    // Formatting costs more than the publish; only --verbose pays it.
    if (mqtt_->publish(t, payload, retain, qos) && options_.verbose)
        say(Level::Debug, QStringLiteral("sent %1 %2").arg(t, printable(payload)));
}

void MqttFace::onMessage(const QString &t, const QByteArray &payload, bool retained)
{
    if (options_.verbose)
        say(Level::Debug,
            QStringLiteral("received %1 %2%3")
                .arg(t, printable(payload), retained ? QStringLiteral(" (retained)") : QString()));
    if (options_.discovery && t == mqtt::discoveryStatusTopic(options_.discoveryPrefix)) {
        if (payload == mqtt::kOnline && !announceLater_.isActive())
            announceLater_.start(
                QRandomGenerator::global()->bounded(kAnnounceMinMs, kAnnounceMaxMs + 1));
        return;
    }
    if (t == topic(mqtt::leaf::kStatus)) {
        finishScan(); // our own, back: the broker has sent every config the scan found
        return;
    }
    if (!t.startsWith(base_ + QLatin1Char('/'))) {
        if (scanning_ && retained && !payload.isEmpty() && oldConfigs_.contains(t))
            found_.insert(t);
        return;
    }
    const QString leaf = t.mid(base_.size() + 1);
    if (retained && isCommand(leaf)) {
        // A stored command is old news replayed by the broker on every subscribe: acting on
        // it would switch a load at each start and reconnect, whatever was chosen since.
        refuseRetained(t, payload);
        return;
    }
    if (leaf == QLatin1String(mqtt::leaf::kAllSet)) {
        onAllCommand(payload);
        return;
    }
    if (leaf == QLatin1String(mqtt::leaf::kTx) && options_.raw) {
        onRawBytes(payload);
        return;
    }
    const auto n = mqtt::leaf::loadOfSet(leaf);
    if (!n || !proto::isLoadNumber(*n)) {
        refuse(QStringLiteral("no such command topic: %1").arg(t));
        return;
    }
    onLoadCommand(*n, payload);
}

void MqttFace::onLoadCommand(int load, const QByteArray &payload)
{
    const auto on = parseSwitch(payload);
    if (!on) {
        refuse(
            QStringLiteral("load %1: %2 is neither ON nor OFF").arg(load).arg(printable(payload)));
        return;
    }
    if (const auto error = session_.switchLoad(load, *on, {board::Origin::Kind::Mqtt, {}}))
        refuse(*error);
}

void MqttFace::onAllCommand(const QByteArray &payload)
{
    const auto on = parseSwitch(payload);
    if (!on) {
        refuse(QStringLiteral("all: %1 is neither ON nor OFF").arg(printable(payload)));
        return;
    }
    if (const auto error = session_.switchAll(*on, {board::Origin::Kind::Mqtt, {}}))
        refuse(*error);
}

void MqttFace::onRawBytes(const QByteArray &payload)
{
    if (payload.size() > mqtt::kMaxTxBytes) {
        refuse(QStringLiteral("tx: %1 bytes, at most %2 per message")
                   .arg(payload.size())
                   .arg(mqtt::kMaxTxBytes));
        return;
    }
    if (const auto error = session_.sendRaw(payload, {board::Origin::Kind::RemotePanel, {}}))
        refuse(*error);
}

bool MqttFace::isCommand(const QString &leaf) const
{
    return leaf == QLatin1String(mqtt::leaf::kAllSet) || leaf == QLatin1String(mqtt::leaf::kTx) ||
           mqtt::leaf::loadOfSet(leaf).has_value();
}

void MqttFace::refuseRetained(const QString &t, const QByteArray &payload)
{
    session_.report(board::Report::RefusedCommand);
    if (!healthSoon_.isActive())
        healthSoon_.start();
    if (retainedTold_.contains(t))
        return;
    retainedTold_.insert(t);
    say(Level::Warning,
        QStringLiteral("refused: a retained command on %1 (%2): stored commands are never acted "
                       "on; clear it with: mosquitto_pub -r -n -t '%1'")
            .arg(t, printable(payload)));
}

void MqttFace::refuse(const QString &why)
{
    session_.report(board::Report::RefusedCommand);
    if (!healthSoon_.isActive())
        healthSoon_.start();
    say(Level::Notice,
        QStringLiteral("refused: %1 (%2 refused so far)").arg(why).arg(refusedCount()));
}

} // namespace quorvane::bridge
