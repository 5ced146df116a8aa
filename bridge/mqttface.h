// SPDX-License-Identifier: MIT
// The board session on an MQTT broker: readings, state and commanded load states go out
// retained; load commands and raw bytes come in and take the session's command path; Home
// Assistant discovery describes the board. Messages it cannot take are refused and counted.
#pragma once

#include "board/face.h"
#include "board/session.h"
#include "bridge/options.h"
#include "mqtt/mqttclient.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace quorvane::bridge {

class MqttFace : public board::Face {
    Q_OBJECT
public:
    // At most one state per this many ms; only a line far faster than the board's is held.
    static constexpr int kMinStateMs = 10;
    static constexpr int kHealthMs = 60'000;
    // Home Assistant asks to be told everything again when it starts; a bridge answers
    // after a random wait within this, so that many bridges do not answer at once.
    static constexpr int kAnnounceMinMs = 500;
    static constexpr int kAnnounceMaxMs = 2000;

    MqttFace(board::Session &session, MqttOptions options, QObject *parent = nullptr);
    ~MqttFace() override;

    QString name() const override { return QStringLiteral("mqtt"); }
    // Connects, and keeps trying; a broker that cannot be reached is logged, not fatal.
    std::optional<QString> start() override;
    // Publishes offline and disconnects cleanly.
    void stop() override;

    quint64 refusedCount() const { return session_.counters().refusedCommands; }
    // What the health topic says, as JSON.
    QJsonObject health() const;
    QString topic(const QString &leaf) const;
    QString topic(const char *leaf) const { return topic(QString::fromLatin1(leaf)); }

signals:
    void online(bool on); // the status topic's value changed

private:
    void onFrameEnd();
    void onReceived(const QByteArray &bytes);
    void flushRx();
    void onBrokerUp();
    void onSubscribed(const QString &filter, bool granted);
    void startScan();
    void finishScan();
    void onPublished(int mid);
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    bool isCommand(const QString &leaf) const;
    void refuseRetained(const QString &topic, const QByteArray &payload);
    void onLoadCommand(int load, const QByteArray &payload);
    void onAllCommand(const QByteArray &payload);
    void onRawBytes(const QByteArray &payload);
    void publishState();
    void publishLoad(int n, bool on);
    void publishStatus();
    void publishBoard();
    void publishHealth();
    void announce();
    void publishRetainedValues();
    void publishDiscovery(const QStringList &moving = {});
    void publish(const QString &leaf, const QByteArray &payload, bool retain, int qos = 0);
    void refuse(const QString &why);

    board::Session &session_;
    const MqttOptions options_;
    QString base_; // PREFIX/BOARD
    std::unique_ptr<mqtt::MqttClient> mqtt_;
    QTimer stateLater_;
    QTimer healthClock_;
    QTimer healthSoon_; // a refusal is told within a second, however many come
    QTimer announceLater_;
    QElapsedTimer sinceState_;

    unsigned unpublished_ = 0; // readings changed since they last went out
    QByteArray rx_;            // received bytes not yet published
    bool rxFlushPosted_ = false;
    bool framePending_ = false; // a frame ended while the broker was backlogged
    bool lastStatus_ = false;
    bool statusKnown_ = false;
    bool stopping_ = false;
    int connects_ = 0;
    QSet<QString> retainedTold_; // topics whose stored command was logged once
    QStringList refused_;        // subscriptions the broker refuses, as asked
    // Moving to the device config: the one-entity configs the broker still holds are found
    // at connect (the scan ends when our own status, published before it, comes back), told
    // to migrate, and cleared once the broker has the device config.
    const QStringList oldConfigs_; // every one-entity config topic, in table order
    bool scanning_ = false;
    QSet<QString> found_;
    QStringList toClear_;
    int deviceMid_ = -1;
};

} // namespace quorvane::bridge
