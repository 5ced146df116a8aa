// SPDX-License-Identifier: MIT
#include "remote/remotelink.h"

#include "mqtt/wire.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <atomic>

namespace quorvane::remote {

bool RemoteTarget::looksRemote(const QString &target)
{
    return target.startsWith(QLatin1String("mqtt://"), Qt::CaseInsensitive) ||
           target.startsWith(QLatin1String("mqtts://"), Qt::CaseInsensitive);
}

std::optional<RemoteTarget> RemoteTarget::parse(const QString &url, QString *error)
{
    const QUrl u(url, QUrl::StrictMode);
    if (!u.password().isEmpty()) {
        *error = QStringLiteral("'%1': no password in the address; give it in "
                                "QUORVANE_MQTT_PASSWORD or with --password-file")
                     .arg(u.toDisplayString(QUrl::RemovePassword));
        return std::nullopt;
    }
    QUrl broker = u;
    broker.setPath(QString());
    broker.setQuery(QString());
    broker.setUserInfo(QString());
    const auto address = mqtt::BrokerAddress::parse(broker.toString(), error);
    if (!address) {
        *error = QStringLiteral("'%1' is not a board behind a bridge; use "
                                "mqtt[s]://[USER@]HOST[:PORT]/BOARD[?prefix=P]")
                     .arg(url);
        return std::nullopt;
    }
    RemoteTarget t;
    t.broker = *address;
    t.user = u.userName();
    t.board = u.path().mid(1);
    if (!mqtt::isValidBoardId(t.board)) {
        *error = QStringLiteral("'%1': '%2' is not a board ID (1 to 32 of a-z, 0-9, _ and -)")
                     .arg(url, t.board);
        return std::nullopt;
    }
    const QUrlQuery query(u);
    t.prefix = query.hasQueryItem(QStringLiteral("prefix"))
                   ? query.queryItemValue(QStringLiteral("prefix"), QUrl::FullyDecoded)
                   : QString::fromLatin1(mqtt::kDefaultPrefix);
    const auto items = query.queryItems();
    if (!mqtt::isValidTopicPrefix(t.prefix) ||
        std::any_of(items.begin(), items.end(),
                    [](const auto &i) { return i.first != QLatin1String("prefix"); })) {
        *error = QStringLiteral("'%1': the only option is ?prefix=P, a topic prefix without "
                                "wildcards")
                     .arg(url);
        return std::nullopt;
    }
    return t;
}

QString RemoteTarget::describe() const
{
    return QStringLiteral("%1 via %2").arg(board, broker.host);
}

QString RemoteTarget::topic(const char *leaf) const
{
    return mqtt::boardTopic(prefix, board, leaf);
}

RemoteLink::RemoteLink(RemoteTarget target, QString password, QObject *parent)
    : ByteLink(parent), target_(std::move(target)), password_(std::move(password))
{
}

RemoteLink::~RemoteLink()
{
    close();
}

std::optional<LinkFailure> RemoteLink::open()
{
    static std::atomic<int> serial{0};
    mqtt::ClientSettings s;
    s.broker = target_.broker;
    s.username = target_.user;
    s.password = password_;
    s.connectTimeoutMs = kOpenTimeoutMs;
    s.clientId = QStringLiteral("quorvane-panel-%1-%2-%3")
                     .arg(QSysInfo::machineHostName())
                     .arg(QCoreApplication::applicationPid())
                     .arg(++serial);
    client_ = std::make_unique<mqtt::MqttClient>(s);
    client_->setReconnect(false);
    inbox_.clear();
    inboxHead_ = 0;
    status_.clear();

    // The port opens only once the bridge says the board is there; wait for that, with the
    // user's clicks held until it is decided.
    QEventLoop wait;
    QString failure;
    auto failureKind = mqtt::MqttClient::Failure::Network;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &wait, &QEventLoop::quit);
    connect(client_.get(), &mqtt::MqttClient::connected, &wait, [this] {
        client_->subscribe(target_.topic(mqtt::leaf::kStatus));
        client_->subscribe(target_.topic(mqtt::leaf::kRx));
    });
    connect(client_.get(), &mqtt::MqttClient::connectFailed, &wait,
            [&](const QString &why, mqtt::MqttClient::Failure kind) {
                failure = why;
                failureKind = kind;
                wait.quit();
            });
    connect(client_.get(), &mqtt::MqttClient::message, this, &RemoteLink::onMessage);
    connect(this, &RemoteLink::statusSeen, &wait, &QEventLoop::quit);
    deadline.start(kOpenTimeoutMs);
    if (const auto refused = client_->start())
        failure = *refused;
    if (failure.isEmpty() && status_.isEmpty())
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    disconnect(client_.get(), nullptr, &wait, nullptr);

    std::optional<LinkFailure> result;
    if (!failure.isEmpty()) {
        const bool credentials = failureKind == mqtt::MqttClient::Failure::Credentials;
        result = LinkFailure{credentials ? CommError::Kind::BrokerCredentials
                                         : CommError::Kind::BrokerUnreachable,
                             QStringLiteral("the broker %1 cannot be reached: %2")
                                 .arg(target_.broker.display(), failure)};
    } else if (status_ == QLatin1String(mqtt::kOffline)) {
        result =
            LinkFailure{CommError::Kind::BoardOffline,
                        QStringLiteral("the bridge reports board '%1' offline").arg(target_.board)};
    } else if (status_ != QLatin1String(mqtt::kOnline)) {
        result = LinkFailure{
            CommError::Kind::NotFound,
            client_->isConnected()
                ? QStringLiteral("no bridge has announced board '%1' on %2")
                      .arg(target_.board, target_.broker.display())
                : QStringLiteral("the broker %1 did not answer").arg(target_.broker.display())};
    }
    if (result) {
        client_->stop(0);
        return result;
    }
    connect(client_.get(), &mqtt::MqttClient::disconnected, this, [this](const QString &why) {
        lose(QStringLiteral("the connection to the broker was lost: %1").arg(why));
    });
    open_ = true;
    if (inboxHead_ < inbox_.size())
        QMetaObject::invokeMethod(this, &ByteLink::readyRead, Qt::QueuedConnection);
    return std::nullopt;
}

void RemoteLink::onMessage(const QString &topic, const QByteArray &payload)
{
    if (topic == target_.topic(mqtt::leaf::kStatus)) {
        status_ = QString::fromUtf8(payload);
        if (!open_) {
            emit statusSeen();
        } else if (status_ != QLatin1String(mqtt::kOnline)) {
            lose(QStringLiteral("the bridge reports board '%1' offline").arg(target_.board));
        }
        return;
    }
    if (topic != target_.topic(mqtt::leaf::kRx))
        return;
    inbox_ += payload;
    if (open_)
        emit readyRead();
}

void RemoteLink::lose(const QString &reason)
{
    // The owner closes the link in answer, as for a serial device that went away.
    if (open_)
        emit lost(reason);
}

void RemoteLink::close()
{
    open_ = false;
    if (client_ && client_->isConnected()) {
        client_->unsubscribe(target_.topic(mqtt::leaf::kRx));
        client_->unsubscribe(target_.topic(mqtt::leaf::kStatus));
    }
    if (client_)
        client_->stop();
}

std::optional<LinkFailure> RemoteLink::write(const QByteArray &bytes)
{
    for (qsizetype at = 0; at < bytes.size(); at += mqtt::kMaxTxBytes) {
        if (!client_->publish(target_.topic(mqtt::leaf::kTx), bytes.mid(at, mqtt::kMaxTxBytes)))
            return LinkFailure{
                CommError::Kind::Io,
                QStringLiteral("the broker %1 is not connected").arg(target_.broker.display())};
    }
    return std::nullopt;
}

ByteLink::ReadResult RemoteLink::read(QByteArray &into, qsizetype max)
{
    ReadResult result;
    const qsizetype take = std::min(max, inbox_.size() - inboxHead_);
    if (take <= 0)
        return result;
    into.append(inbox_.constData() + inboxHead_, take);
    inboxHead_ += take;
    result.count = take;
    // Drop what was taken once it is half the inbox, so a reader that always leaves a rest
    // does not keep the whole history.
    if (inboxHead_ * 2 >= inbox_.size()) {
        inbox_.remove(0, inboxHead_);
        inboxHead_ = 0;
    }
    return result;
}

} // namespace quorvane::remote
