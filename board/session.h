// SPDX-License-Identifier: MIT
// One board on one line, as every face of the bridge shows it: the line and its retry, the
// newest readings, what each load was last commanded, the one path commands take to the
// board, and counts of what happened. It says what changed and knows nothing of how it is
// shown. One thread, the Qt event loop.
#pragma once

#include "board/minutecount.h"
#include "protocol/telemetry.h"
#include "serial/commcontrol.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvane::board {

// Log levels as syslog and the journal number them.
enum class Level { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };
using LogSink = std::function<void(Level, const QString &)>;

struct SessionOptions {
    QString device;           // the board's serial device, or else
    int port = 0;             // its port, numbered as in the panel
    bool restoreLoads = true; // when the line comes back, send each load's commanded state
    int readIntervalMs = -1;  // Session::kReadInterval unless set
    // The board streams a frame a second: no frame end for this long and it is silent
    // (powered off, hung) though its line is open. 0: never silent.
    int silenceMs = 10000;
};

// Who gave a command: every command takes the one path, and the log and the faces can tell
// them apart.
struct Origin {
    enum class Kind {
        Mqtt,        // a load or all-loads command topic (Home Assistant, automations)
        RemotePanel, // raw letters on the tx topic: a panel reaching the board through a bridge
        Web,         // the web page or its API; `peer` is the client's address
        Restore,     // the session itself, sending the commanded states when the line came back
    };
    Kind kind = Kind::Mqtt;
    QString peer;
    // "MQTT", "a remote panel", "the web page (192.168.1.20)", "the restore after a line loss"
    QString describe() const;
};

struct Counters {
    quint64 frames = 0; // frame ends received
    quint64 lineLosses = 0;
    // What the faces report.
    quint64 brokerReconnects = 0;
    quint64 refusedCommands = 0;
    quint64 rawBytesDropped = 0;
};

// What a face can report of its own into the board's health.
enum class Report { BrokerReconnect, RefusedCommand, RawBytesDropped };

// How the board and its bridge are doing at one moment; every face formats this one.
struct Health {
    qint64 uptimeMs = 0;
    bool lineOpen = false;
    bool available = false;
    bool silent = false;
    Counters counters;
    int framesLastMinute = 0;
    std::optional<QDateTime> newestFrame; // UTC; nothing before the first
    std::optional<qint64> newestFrameAgeMs;
    // What a face asked for and was refused (the topics an MQTT broker's ACL denies): what
    // is sent there never reaches the board.
    QStringList subscriptionsRefused;
};

class Session : public QObject {
    Q_OBJECT
public:
    static constexpr int kLineRetryMs = 2000;
    // A busy line is read this often. Slower than the panel's clock, which keeps up with a
    // screen's refresh: a state within a few tens of ms is as good to a dashboard, and an
    // unattended bridge on a small computer wakes half as often. Frames that one read brings
    // together still end one by one.
    static constexpr std::chrono::milliseconds kReadInterval{25};
    static constexpr std::size_t kReadingCount = protocol::kReadingRows.size();

    explicit Session(SessionOptions options, QObject *parent = nullptr);
    ~Session() override;

    void setLogSink(LogSink sink) { log_ = std::move(sink); }
    // Opens the line, and keeps trying every kLineRetryMs while it cannot.
    void start();
    // Closes the line and stops trying.
    void stop();

    bool lineOpen() const { return comm_->portOpen(); }
    // "port 3", or the device path.
    QString lineName() const;
    // The board is there: its line is open and it is not silent.
    bool available() const { return lineOpen() && !silent_; }
    bool silent() const { return silent_; }
    serial::CommControl &line() { return *comm_; }
    const serial::CommControl &line() const { return *comm_; }

    // Reading i (in the order of protocol::kReadingRows) as the panel's label shows it, or
    // nothing before its first frame. Checked: a face that asks past the last stops there.
    const std::optional<QString> &reading(std::size_t i) const { return readings_.at(i); }
    // The value as the board sent it, without the label's suffix.
    QString boardValue(std::size_t i) const;
    // What load n was last commanded, or nothing since start.
    std::optional<bool> load(int n) const;
    const Counters &counters() const { return counters_; }
    // A face's own count, for the health every face shows.
    void report(Report what, quint64 count = 1);
    // What a face is refused now; empty once everything is granted.
    void reportRefusedSubscriptions(const QStringList &topics) { subscriptionsRefused_ = topics; }
    Health health() const;
    // Since start().
    qint64 uptimeMs() const { return uptime_.isValid() ? uptime_.elapsed() : 0; }
    // When the newest frame ended (UTC), and how long ago; nothing before the first.
    std::optional<QDateTime> newestFrame() const;
    std::optional<qint64> newestFrameAgeMs() const;
    int framesInLastMinute() const;

    // The one path commands take to the board, each with who gave it. Each returns why
    // nothing was sent, or nothing.
    [[nodiscard]] std::optional<QString> switchLoad(int n, bool on, const Origin &origin);
    // All off as the panel does it: the all-off letter, then the off-letter of each load
    // that was on.
    [[nodiscard]] std::optional<QString> switchAll(bool on, const Origin &origin);
    [[nodiscard]] std::optional<QString> sendRaw(const QByteArray &bytes, const Origin &origin);

signals:
    // A frame ended; bit i of `changed` is set for each reading new or different since the
    // frame before.
    void frameEnded(unsigned changed);
    // Bytes as they were read from the line.
    void received(const QByteArray &bytes);
    void loadCommanded(int n, bool on, const quorvane::board::Origin &origin);
    void lineChanged(bool open);
    // available() changed.
    void availabilityChanged(bool available);

private:
    void openLine();
    void onFrameEnd();
    void onSilence();
    void updateAvailability();
    void onComm();
    void onReading(protocol::Reading r, std::string_view text);
    [[nodiscard]] std::optional<QString> send(const QByteArray &letters, const QString &what,
                                              const Origin &origin);
    void commanded(int n, bool on, const Origin &origin);
    void restoreLoads();
    void say(Level level, const QString &text) const;

    SessionOptions options_;
    std::unique_ptr<serial::CommControl> comm_;
    LogSink log_;
    QTimer lineRetry_;
    std::string buffer_;
    std::array<std::optional<QString>, kReadingCount> readings_;
    unsigned changed_ = 0; // since the last frame end
    std::array<std::optional<bool>, protocol::kLoadCount> loads_;
    Counters counters_;
    QStringList subscriptionsRefused_;
    QTimer silence_;
    bool silent_ = false;
    bool lastAvailable_ = false;
    QElapsedTimer uptime_;
    QElapsedTimer sinceFrame_;
    QDateTime newestFrame_;
    mutable MinuteCount lastMinute_; // frame ends
    bool lineWasLost_ = false;
    bool stopped_ = true;
};

} // namespace quorvane::board
