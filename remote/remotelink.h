// SPDX-License-Identifier: MIT
// A board behind a bridge, as a byte link: bytes from the board arrive on PREFIX/BOARD/rx,
// bytes for it go to PREFIX/BOARD/tx, and PREFIX/BOARD/status says whether it is there.
#pragma once

#include "mqtt/mqttclient.h"
#include "serial/bytelink.h"

#include <memory>

namespace quorvane::remote {
using serial::ByteLink;
using serial::CommError;
using serial::LinkFailure;

// mqtt[s]://[user@]host[:port]/BOARD[?prefix=P]
struct RemoteTarget {
    mqtt::BrokerAddress broker;
    QString user;
    QString board;
    QString prefix;

    static bool looksRemote(const QString &target);
    // Fills `error` and returns nothing when `url` is not a remote target.
    [[nodiscard]] static std::optional<RemoteTarget> parse(const QString &url, QString *error);
    QString describe() const; // "kitchen via broker.lan"
    QString topic(const char *leaf) const;
};

class RemoteLink final : public ByteLink {
    Q_OBJECT
public:
    static constexpr int kOpenTimeoutMs = 3000;

    RemoteLink(RemoteTarget target, QString password, QObject *parent = nullptr);
    ~RemoteLink() override;

    [[nodiscard]] std::optional<LinkFailure> open() override;
    void close() override;
    bool isOpen() const override { return open_; }
    [[nodiscard]] std::optional<LinkFailure> write(const QByteArray &bytes) override;
    ReadResult read(QByteArray &into, qsizetype max) override;
    // Messages arrive already batched; holding them back would only add delay.
    void setWakeOnData(bool) override {}

signals:
    void statusSeen();

private:
    void onMessage(const QString &topic, const QByteArray &payload);
    void lose(const QString &reason);

    RemoteTarget target_;
    QString password_;
    std::unique_ptr<mqtt::MqttClient> client_;
    QByteArray inbox_;
    qsizetype inboxHead_ = 0;
    bool open_ = false;
    QString status_; // the bridge's last word on the board: "online", "offline" or none yet
};

} // namespace quorvane::remote
