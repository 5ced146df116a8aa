// SPDX-License-Identifier: MIT
// An MQTT client on libmosquitto, driven from the Qt event loop: the client's socket is
// watched by socket notifiers and its housekeeping runs on a timer, so everything stays on
// the calling thread. The broker's name is looked up off the event loop (QHostInfo) before
// every connect, so a name server that does not answer never holds the loop. Used by the
// bridge and by the panel's remote ports alike.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>
#include <vector>

struct mosquitto;
struct mosquitto_message;
class QHostInfo;
class QSocketNotifier;

namespace quorvane::mqtt {

// mqtt://host[:port] (1883) or mqtts://host[:port] (8883, TLS).
struct BrokerAddress {
    QString host;
    quint16 port = 1883;
    bool tls = false;

    // Fills `error` and returns nothing for anything else.
    [[nodiscard]] static std::optional<BrokerAddress> parse(const QString &url, QString *error);
    QString display() const; // "broker.lan:1883"
};

// Why `path` cannot serve as the CA file of a TLS connection (missing, unreadable, a
// directory, no PEM certificate in it), or nothing when it can.
[[nodiscard]] std::optional<QString> checkCaFile(const QString &path);

struct ClientSettings {
    BrokerAddress broker;
    QString clientId;
    QString username;
    QString password;
    QString caFile;        // TLS: verify against this CA; empty: the system's store
    bool insecure = false; // TLS: accept any certificate and host name
    QString willTopic;     // empty: no Last Will
    QByteArray willPayload;
    bool willRetain = true;
    int keepAliveSeconds = 30;
    int connectTimeoutMs = 10000;
    // A name server that has not answered by then counts as a failed connect.
    int resolveTimeoutMs = 5000;
};

class MqttClient : public QObject {
    Q_OBJECT
public:
    // What a failed connection needs looked at.
    enum class Failure { Network, Credentials, Tls, Name };

    explicit MqttClient(ClientSettings settings, QObject *parent = nullptr);
    ~MqttClient() override;
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Connects; with reconnect on (the default) a failed or lost connection is tried again
    // after 1 s, doubling up to 30 s. Returns why it cannot even try: a setting the client
    // library refused or a CA file it could not use. Nothing is retried then.
    [[nodiscard]] std::optional<QString> start();
    // Disconnects cleanly (the broker does not publish the Last Will) and stops retrying.
    // Whatever was published before is sent first, waiting at most `flushMs`.
    void stop(int flushMs = 500);
    void setReconnect(bool on) { reconnect_ = on; }
    bool isConnected() const { return state_ == State::Connected; }
    const ClientSettings &settings() const { return settings_; }

    // False when not connected or the client refused the message. QoS 1 messages are sent
    // again until the broker has them, across reconnects of this client.
    // `mid`, when given, receives the message's id, which published() names.
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false, int qos = 0,
                 int *mid = nullptr);
    bool subscribe(const QString &filter, int qos = 0);
    // Messages are waiting for the socket: the broker or the network is slower than we publish.
    bool backlogged() const;
    bool unsubscribe(const QString &filter);

    // A lookup some client gave up on is still waiting for its name server. Qt waits for it
    // at exit, which a name server that never answers makes a minute or more.
    static bool lookupsRunning();

    static constexpr int kMaxIdBytes = 65535; // MQTT's bound on client IDs, user names, topics
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;

signals:
    void connected();
    // A connection that was up went down, or could not be made; `reason` says why in words
    // a user can act on ("connection refused", "TLS: certificate verify failed", ...).
    void disconnected(const QString &reason);
    void connectFailed(const QString &reason, mqtt::MqttClient::Failure failure);
    void message(const QString &topic, const QByteArray &payload, bool retained);
    // The broker answered a subscription: granted, its messages come from now on; refused
    // (its ACL, most often), none ever will on this connection.
    void subscribed(const QString &filter, bool granted);
    // The broker has the message of that id (QoS 1: it acknowledged it).
    void published(int mid);
    // The backlog has gone out.
    void drained();

private:
    enum class State { Idle, Resolving, Connecting, Connected };
    struct Event {
        enum Kind { Connack, Lost, Message, Suback, Puback } kind;
        int code = 0;
        QString topic;
        QByteArray payload;
        bool retained = false;
    };

    std::optional<QString> setUp();
    std::optional<QString> setUpTls();
    std::optional<QString> verifyTheName();
    void forget();
    void attempt();
    void onResolved(const QHostInfo &info);
    void connectTo(const QString &address);
    void watchSocket();
    void unwatchSocket();
    void onReadable();
    void onWritable();
    void onHousekeeping();
    void afterLoop(int rc);
    void watchWrites();
    void deliver();
    void fail(const QString &reason, Failure failure = Failure::Network);
    void scheduleRetry();
    QString describe(int rc) const;
    static Failure classify(int rc);

    static void onConnectCb(mosquitto *, void *self, int rc);
    static void onDisconnectCb(mosquitto *, void *self, int rc);
    static void onMessageCb(mosquitto *, void *self, const mosquitto_message *m);
    static void onSubscribeCb(mosquitto *, void *self, int mid, int count, const int *qos);
    static void onPublishCb(mosquitto *, void *self, int mid);
    static void onLogCb(mosquitto *, void *self, int level, const char *text);

    ClientSettings settings_;
    mosquitto *mosq_ = nullptr;
    State state_ = State::Idle;
    bool reconnect_ = true;
    bool stopped_ = true;
    int retryMs_ = kFirstRetryMs;
    QSocketNotifier *readable_ = nullptr;
    QSocketNotifier *writable_ = nullptr;
    QTimer housekeeping_;
    QTimer retry_;
    QTimer connectTimeout_;
    QTimer resolveTimeout_;
    int lookupId_ = -1;
    unsigned lookups_ = 0;            // which of a name's addresses the next connect takes
    QHash<int, QString> subscribing_; // message id -> filter, until the broker answers
    std::vector<Event> events_;       // raised inside libmosquitto's calls, delivered after them
    QString lastError_; // libmosquitto's last logged error, for the reason of a failure
    std::optional<QString> setupFailure_;
    bool drainedOwed_ = false; // a publish had to wait for the socket: drained() is due
};

} // namespace quorvane::mqtt
