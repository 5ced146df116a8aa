// SPDX-License-Identifier: MIT
// The bridge: owns the board's line through the panel's comm control and mirrors it on an
// MQTT broker. Readings and commanded load states go out retained; load commands and raw
// bytes come in. One thread, the Qt event loop.
#pragma once

#include "bridge/options.h"
#include "mqtt/mqttclient.h"
#include "serial/commcontrol.h"
#include "serial/linerecorder.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvane::bridge {

class Bridge : public QObject {
    Q_OBJECT
public:
    enum class Level { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };
    using LogSink = std::function<void(Level, const QString &)>;

    static constexpr int kLineRetryMs = 2000;
    static constexpr int kMaxTxBytes = 64;
    // At most one state per this many ms; only a line far faster than the board's is held.
    static constexpr int kMinStateMs = 10;

    explicit Bridge(Options options, QObject *parent = nullptr);
    ~Bridge() override;

    // Where log lines go; stderr by default (with journald's level prefixes under systemd).
    void setLogSink(LogSink sink) { log_ = std::move(sink); }
    void start();
    // Publishes offline, disconnects cleanly and closes the line.
    void stop();

    int refusedCount() const { return refused_; }
    QString topic(const QString &leaf) const { return base_ + QLatin1Char('/') + leaf; }
    const serial::CommControl &line() const { return *comm_; }

    static LogSink stderrSink();

signals:
    void online(bool on); // the status topic's value changed

private:
    void openLine();
    void onComm();
    void onFrameEnd();
    void flushRx();
    void onBrokerUp();
    void onMessage(const QString &topic, const QByteArray &payload);
    void setLoadFromMessage(int load, const QByteArray &payload);
    void setAllFromMessage(const QByteArray &payload);
    void writeRaw(const QByteArray &payload);
    bool send(const QByteArray &letters, const char *what);
    void setLoad(int load, bool on);
    void restoreLoads();
    void publishStatus();
    void publishRetainedValues();
    void publishDiscovery(bool remove);
    void publish(const QString &leaf, const QByteArray &payload, bool retain);
    void refuse(const QString &why);
    void say(Level level, const QString &text) const;

    Options options_;
    QString base_; // PREFIX/BOARD
    std::unique_ptr<serial::CommControl> comm_;
    std::unique_ptr<mqtt::MqttClient> mqtt_;
    LogSink log_;
    QTimer lineRetry_;
    QTimer stateLater_;
    QElapsedTimer sinceState_;

    std::string buffer_;
    std::array<QString, 4> values_;            // latest text of each reading, as the panel shows it
    std::array<bool, 4> seen_{};               // a value has arrived since start
    std::array<bool, 4> changed_{};            // since the last frame end
    std::array<std::optional<bool>, 5> loads_; // what was last commanded
    QByteArray rx_;                            // received bytes not yet published
    bool rxFlushPosted_ = false;
    qint64 rxDropped_ = 0;
    bool framePending_ = false; // a frame ended while the broker was backlogged
    bool lastStatus_ = false;
    bool statusKnown_ = false;
    bool lineWasLost_ = false;
    bool stopping_ = false;
    int refused_ = 0;
};

} // namespace quorvane::bridge
