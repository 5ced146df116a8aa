// SPDX-License-Identifier: MIT
#include "board/session.h"

#include "protocol/commands.h"

namespace quorvane::board {
namespace proto = quorvane::protocol;
using serial::CommControl;
using serial::CommError;

Session::Session(SessionOptions options, QObject *parent)
    : QObject(parent), options_(std::move(options)), buffer_(proto::kInitialBuffer)
{
    std::shared_ptr<const serial::PortMap> map;
    if (options_.device.isEmpty())
        map = std::make_shared<serial::SystemPortMap>();
    else
        map = std::make_shared<serial::FixedPortMap>(QMap<int, QString>{{1, options_.device}});
    comm_ = std::make_unique<CommControl>(std::move(map));
    // Notified from the first received character, and each notification takes all that is
    // waiting: one a read of the line, not one a character as in the panel's window.
    comm_->setRThreshold(1);
    comm_->setInputLen(0);
    comm_->setReadInterval(options_.readIntervalMs >= 0
                               ? std::chrono::milliseconds(options_.readIntervalMs)
                               : kReadInterval);
    connect(comm_.get(), &CommControl::OnComm, this, &Session::onComm);
    lineRetry_.setInterval(kLineRetryMs);
    connect(&lineRetry_, &QTimer::timeout, this, &Session::openLine);
    silence_.setSingleShot(true);
    connect(&silence_, &QTimer::timeout, this, &Session::onSilence);
}

Session::~Session() = default;

void Session::say(Level level, const QString &text) const
{
    if (log_)
        log_(level, text);
}

QString Session::lineName() const
{
    return options_.device.isEmpty() ? QStringLiteral("port %1").arg(options_.port)
                                     : options_.device;
}

void Session::start()
{
    stopped_ = false;
    uptime_.start();
    openLine();
}

void Session::stop()
{
    stopped_ = true;
    lineRetry_.stop();
    silence_.stop();
    if (comm_->portOpen())
        comm_->setPortOpen(false);
    updateAvailability();
}

void Session::openLine()
{
    if (stopped_)
        return;
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
    say(Level::Info, QStringLiteral("line open on %1").arg(lineName()));
    if (lineWasLost_ && options_.restoreLoads)
        restoreLoads();
    lineWasLost_ = false;
    // A board just found gets the silence's length to say something.
    silent_ = false;
    if (options_.silenceMs > 0)
        silence_.start(options_.silenceMs);
    emit lineChanged(true);
    updateAvailability();
}

void Session::onFrameEnd()
{
    ++counters_.frames;
    newestFrame_ = QDateTime::currentDateTimeUtc();
    sinceFrame_.start();
    lastMinute_.add(uptimeMs());
    if (options_.silenceMs > 0)
        silence_.start(options_.silenceMs);
    if (std::exchange(silent_, false))
        say(Level::Info, QStringLiteral("the board is sending again"));
    emit frameEnded(std::exchange(changed_, 0));
    updateAvailability();
}

void Session::onSilence()
{
    if (!lineOpen())
        return;
    silent_ = true;
    say(Level::Warning, QStringLiteral("no frame from the board for %1 s: it is offline until it "
                                       "sends again")
                            .arg(options_.silenceMs / 1000.0));
    updateAvailability();
}

void Session::updateAvailability()
{
    const bool now = available();
    if (now == lastAvailable_)
        return;
    lastAvailable_ = now;
    emit availabilityChanged(now);
}

int Session::framesInLastMinute() const
{
    return int(lastMinute_.total(uptimeMs()));
}

std::optional<QDateTime> Session::newestFrame() const
{
    return newestFrame_.isValid() ? std::optional(newestFrame_) : std::nullopt;
}

std::optional<qint64> Session::newestFrameAgeMs() const
{
    return sinceFrame_.isValid() ? std::optional(sinceFrame_.elapsed()) : std::nullopt;
}

void Session::onComm()
{
    const qint16 event = comm_->commEvent();
    if (event == CommControl::EvReceive) {
        const QByteArray bytes = comm_->input().toLatin1();
        emit received(bytes);
        // The panel's reception, one character at a time, so frames read together end each
        // on its own.
        for (const char c : bytes) {
            const auto result =
                proto::receive(buffer_, std::string_view(&c, 1),
                               [this](proto::Reading r, std::string_view text) { onReading(r, text); });
            if (result == proto::ReceiveResult::Parsed)
                onFrameEnd();
        }
    } else if (event == CommControl::EvDeviceLost) {
        say(Level::Warning, QStringLiteral("the board's line was lost; retrying every %1 s")
                                .arg(kLineRetryMs / 1000));
        ++counters_.lineLosses;
        lineWasLost_ = true;
        silence_.stop();
        emit lineChanged(false);
        updateAvailability();
        if (!stopped_)
            lineRetry_.start();
    }
}

void Session::onReading(proto::Reading r, std::string_view text)
{
    const auto i = std::size_t(r);
    const QString value = QString::fromLatin1(text.data(), qsizetype(text.size()));
    if (readings_[i] != value)
        changed_ |= 1u << i;
    readings_[i] = value;
}

QString Session::boardValue(std::size_t i) const
{
    return readings_[i] ? readings_[i]->chopped(qsizetype(proto::kReadingRows[i].suffix.size()))
                        : QString();
}

std::optional<bool> Session::load(int n) const
{
    return proto::isLoadNumber(n) ? loads_[std::size_t(n - proto::kFirstLoad)] : std::nullopt;
}

namespace {

// Letters as a log line can hold them: control bytes escaped, a long run cut.
QString shown(const QByteArray &bytes)
{
    QString s;
    for (char c : bytes.left(16)) {
        const auto u = static_cast<unsigned char>(c);
        s += (u >= 0x20 && u < 0x7f) ? QString(QLatin1Char(c))
                                     : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return bytes.size() > 16 ? s + QStringLiteral("...") : s;
}

} // namespace

QString Origin::describe() const
{
    switch (kind) {
    case Kind::Mqtt:
        break;
    case Kind::RemotePanel:
        return QStringLiteral("a remote panel");
    case Kind::Web:
        return QStringLiteral("the web page (%1)").arg(peer);
    case Kind::Restore:
        return QStringLiteral("the restore after a line loss");
    }
    return QStringLiteral("MQTT");
}

void Session::report(Report what, quint64 count)
{
    switch (what) {
    case Report::BrokerReconnect:
        counters_.brokerReconnects += count;
        break;
    case Report::RefusedCommand:
        counters_.refusedCommands += count;
        break;
    case Report::RawBytesDropped:
        counters_.rawBytesDropped += count;
        break;
    }
}

Health Session::health() const
{
    Health h;
    h.uptimeMs = uptimeMs();
    h.lineOpen = lineOpen();
    h.available = available();
    h.silent = silent_;
    h.counters = counters_;
    h.framesLastMinute = framesInLastMinute();
    h.newestFrame = newestFrame();
    h.newestFrameAgeMs = newestFrameAgeMs();
    h.subscriptionsRefused = subscriptionsRefused_;
    return h;
}

std::optional<QString> Session::switchLoad(int n, bool on, const Origin &origin)
{
    const QString what = QStringLiteral("load %1 %2").arg(n).arg(on ? "on" : "off");
    if (auto error = send(QByteArray(1, proto::loadLetter(n, on)), what, origin))
        return error;
    commanded(n, on, origin);
    return std::nullopt;
}

std::optional<QString> Session::switchAll(bool on, const Origin &origin)
{
    QByteArray letters(1, on ? proto::kAllOnLetter : proto::kAllOffLetter);
    if (!on) {
        for (int n = proto::kFirstLoad; n <= proto::kLastLoad; ++n) {
            if (load(n).value_or(false))
                letters += proto::loadLetter(n, false);
        }
    }
    if (auto error = send(letters, QStringLiteral("all loads %1").arg(on ? "on" : "off"), origin))
        return error;
    for (int n = proto::kFirstLoad; n <= proto::kLastLoad; ++n)
        commanded(n, on, origin);
    return std::nullopt;
}

std::optional<QString> Session::sendRaw(const QByteArray &bytes, const Origin &origin)
{
    return send(bytes, QStringLiteral("raw bytes"), origin);
}

std::optional<QString> Session::send(const QByteArray &letters, const QString &what,
                                     const Origin &origin)
{
    if (!comm_->portOpen())
        return QStringLiteral("%1 not sent: the board's line is not open").arg(what);
    try {
        comm_->setOutput(QString::fromLatin1(letters));
    } catch (const CommError &e) {
        return QStringLiteral("%1 not sent: %2").arg(what, e.message());
    }
    say(Level::Info,
        QStringLiteral("%1 (%2) from %3").arg(what, shown(letters), origin.describe()));
    return std::nullopt;
}

void Session::commanded(int n, bool on, const Origin &origin)
{
    loads_[std::size_t(n - proto::kFirstLoad)] = on;
    emit loadCommanded(n, on, origin);
}

void Session::restoreLoads()
{
    QByteArray letters;
    for (int n = proto::kFirstLoad; n <= proto::kLastLoad; ++n) {
        if (const auto on = load(n))
            letters += proto::loadLetter(n, *on);
    }
    if (letters.isEmpty())
        return;
    if (const auto error =
            send(letters, QStringLiteral("load restore"), Origin{Origin::Kind::Restore, {}}))
        say(Level::Warning, *error);
}

} // namespace quorvane::board
