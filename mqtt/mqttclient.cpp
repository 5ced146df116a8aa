// SPDX-License-Identifier: MIT
#include "mqtt/mqttclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QUrl>

#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvane::mqtt {
namespace {

constexpr int kHousekeepingMs = 1000;
// Lookups handed to QHostInfo whose answer has not come, given up on or not.
std::atomic<int> runningLookups{0};
// Packets handled per readable socket; the notifier fires again for the rest.
constexpr int kPacketsPerRead = 64;

QString lowerFirst(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

QString errnoText(int error)
{
    return lowerFirst(QString::fromLocal8Bit(std::strerror(error)));
}

// What a refused set-up call of the client library means, or nothing when it was taken.
std::optional<QString> refusal(int rc, const QString &what)
{
    if (rc == MOSQ_ERR_SUCCESS)
        return std::nullopt;
    QString why = lowerFirst(QString::fromUtf8(mosquitto_strerror(rc)));
    if (why.endsWith(QLatin1Char('.')))
        why.chop(1);
    return QStringLiteral("the MQTT client library refused %1: %2").arg(what, why);
}

} // namespace

std::optional<BrokerAddress> BrokerAddress::parse(const QString &url, QString *error)
{
    const QUrl u(url, QUrl::StrictMode);
    BrokerAddress a;
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))) {
        *error = QStringLiteral("'%1' is not a broker address; use mqtt://HOST[:PORT] or "
                                "mqtts://HOST[:PORT]")
                     .arg(url);
        return std::nullopt;
    }
    if (u.host().isEmpty()) {
        *error = QStringLiteral("'%1' names no broker host").arg(url);
        return std::nullopt;
    }
    if (!(u.path().isEmpty() || u.path() == QLatin1String("/")) || u.hasQuery() ||
        !u.userInfo().isEmpty()) {
        *error = QStringLiteral("'%1': a broker address is only mqtt[s]://HOST[:PORT]; give the "
                                "user name with --username")
                     .arg(url);
        return std::nullopt;
    }
    a.tls = scheme == QLatin1String("mqtts");
    a.host = u.host();
    const int port = u.port(a.tls ? 8883 : 1883);
    if (port < 1 || port > 65535) {
        *error = QStringLiteral("'%1': no such port").arg(url);
        return std::nullopt;
    }
    a.port = quint16(port);
    return a;
}

QString BrokerAddress::display() const
{
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

std::optional<QString> checkCaFile(const QString &path)
{
    QFile f(path);
    QString why;
    if (QFileInfo(path).isDir())
        why = errnoText(EISDIR);
    else if (!f.open(QIODevice::ReadOnly))
        why = lowerFirst(f.errorString());
    if (!why.isEmpty())
        return QStringLiteral("cannot read the CA file %1: %2").arg(path, why);
    // The TLS library takes PEM only, and says little when it finds none.
    if (!f.readAll().contains("CERTIFICATE-----"))
        return QStringLiteral("the CA file %1 holds no certificate (PEM)").arg(path);
    return std::nullopt;
}

MqttClient::MqttClient(ClientSettings settings, QObject *parent)
    : QObject(parent), settings_(std::move(settings))
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    setupFailure_ = setUp();

    housekeeping_.setInterval(kHousekeepingMs);
    connect(&housekeeping_, &QTimer::timeout, this, &MqttClient::onHousekeeping);
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &MqttClient::attempt);
    connectTimeout_.setSingleShot(true);
    connect(&connectTimeout_, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no answer from the broker")); });
    resolveTimeout_.setSingleShot(true);
    connect(&resolveTimeout_, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("no answer from the name server for '%1' within %2 s")
                 .arg(settings_.broker.host)
                 .arg(settings_.resolveTimeoutMs / 1000.0),
             Failure::Name);
    });
}

std::optional<QString> MqttClient::setUp()
{
    // The library takes a client ID one byte longer than a connection can carry.
    const QByteArray id = settings_.clientId.toUtf8();
    if (id.isEmpty() || id.size() > kMaxIdBytes)
        return QStringLiteral("the client ID must be 1 to %1 bytes").arg(kMaxIdBytes);
    mosq_ = mosquitto_new(id.constData(), true, this);
    if (!mosq_)
        return QStringLiteral("cannot make an MQTT client: %1").arg(errnoText(errno));
    if (auto refused =
            refusal(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311),
                    QStringLiteral("MQTT 3.1.1")))
        return refused;
    mosquitto_connect_callback_set(mosq_, &MqttClient::onConnectCb);
    mosquitto_disconnect_callback_set(mosq_, &MqttClient::onDisconnectCb);
    mosquitto_message_callback_set(mosq_, &MqttClient::onMessageCb);
    mosquitto_subscribe_callback_set(mosq_, &MqttClient::onSubscribeCb);
    mosquitto_publish_callback_set(mosq_, &MqttClient::onPublishCb);
    mosquitto_log_callback_set(mosq_, &MqttClient::onLogCb);
    if (!settings_.username.isEmpty() || !settings_.password.isEmpty()) {
        const QByteArray password = settings_.password.toUtf8();
        if (auto refused = refusal(
                mosquitto_username_pw_set(mosq_, settings_.username.toUtf8().constData(),
                                          password.isEmpty() ? nullptr : password.constData()),
                QStringLiteral("the user name or password")))
            return refused;
    }
    if (!settings_.willTopic.isEmpty()) {
        const int rc = mosquitto_will_set(
            mosq_, settings_.willTopic.toUtf8().constData(), int(settings_.willPayload.size()),
            settings_.willPayload.constData(), 1, settings_.willRetain);
        if (rc == MOSQ_ERR_INVAL)
            return QStringLiteral("'%1' is not a topic to leave a Last Will on (no + or #)")
                .arg(settings_.willTopic);
        if (auto refused = refusal(rc, QStringLiteral("the Last Will")))
            return refused;
    }
    return settings_.broker.tls ? setUpTls() : std::nullopt;
}

std::optional<QString> MqttClient::verifyTheName()
{
    // The client connects to the address the lookup gave, and the library would check the
    // certificate against that. The certificate is the name's: this TLS context, which the
    // library takes as it is, has OpenSSL check the chain and the name during the handshake,
    // before a password is sent.
    if (QHostAddress().setAddress(settings_.broker.host))
        return std::nullopt; // an address given: the library's own check is the right one
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    const QByteArray name = settings_.broker.host.toUtf8();
    const QByteArray ca = settings_.caFile.toLocal8Bit();
    std::optional<QString> refused;
    if (!ctx || X509_VERIFY_PARAM_set1_host(SSL_CTX_get0_param(ctx), name.constData(), 0) != 1 ||
        (ca.isEmpty() ? SSL_CTX_set_default_verify_paths(ctx)
                      : SSL_CTX_load_verify_locations(ctx, ca.constData(), nullptr)) != 1)
        refused = QStringLiteral("cannot set up the TLS check of %1").arg(settings_.broker.host);
    if (!refused) {
        // What the library would set on a context of its own.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_COMPRESSION);
        refused = refusal(mosquitto_void_option(mosq_, MOSQ_OPT_SSL_CTX, ctx),
                          QStringLiteral("the TLS context"));
    }
    if (!refused)
        refused = refusal(mosquitto_int_option(mosq_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0),
                          QStringLiteral("the TLS context as it is"));
    SSL_CTX_free(ctx); // the library holds its own reference
    return refused;
}

std::optional<QString> MqttClient::setUpTls()
{
    if (settings_.caFile.isEmpty()) {
        if (auto refused = refusal(mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1),
                                   QStringLiteral("the system's certificates")))
            return refused;
    } else {
        if (auto wrong = checkCaFile(settings_.caFile))
            return wrong;
        if (auto refused =
                refusal(mosquitto_tls_set(mosq_, settings_.caFile.toLocal8Bit().constData(),
                                          nullptr, nullptr, nullptr, nullptr),
                        QStringLiteral("the CA file %1").arg(settings_.caFile)))
            return refused;
    }
    if (!settings_.insecure)
        return verifyTheName();
    if (auto refused =
            refusal(mosquitto_tls_opts_set(mosq_, 0 /* SSL_VERIFY_NONE */, nullptr, nullptr),
                    QStringLiteral("TLS without certificate checks")))
        return refused;
    return refusal(mosquitto_tls_insecure_set(mosq_, true),
                   QStringLiteral("TLS without host name checks"));
}

MqttClient::~MqttClient()
{
    if (!stopped_)
        stop(100);
    unwatchSocket();
    mosquitto_destroy(mosq_);
}

std::optional<QString> MqttClient::start()
{
    if (setupFailure_)
        return setupFailure_;
    stopped_ = false;
    retryMs_ = kFirstRetryMs;
    attempt();
    return std::nullopt;
}

void MqttClient::attempt()
{
    if (stopped_ || state_ != State::Idle)
        return;
    lastError_.clear();
    if (QHostAddress().setAddress(settings_.broker.host)) {
        connectTo(settings_.broker.host);
        return;
    }
    // The client library would look the name up itself, inside this thread, for as long as
    // the name server takes; QHostInfo asks from a thread of its own.
    state_ = State::Resolving;
    resolveTimeout_.start(settings_.resolveTimeoutMs);
    // The answer is waited for even when given up on, so the lookups still running are known.
    // Under the application object, so that a lookup still running at exit goes with it.
    auto *waiter = new QObject(QCoreApplication::instance());
    ++runningLookups;
    lookupId_ =
        QHostInfo::lookupHost(settings_.broker.host, waiter,
                              [waiter, self = QPointer<MqttClient>(this)](const QHostInfo &info) {
                                  --runningLookups;
                                  waiter->deleteLater();
                                  if (self)
                                      self->onResolved(info);
                              });
}

bool MqttClient::lookupsRunning()
{
    return runningLookups.load() > 0;
}

void MqttClient::onResolved(const QHostInfo &info)
{
    if (state_ != State::Resolving || info.lookupId() != lookupId_)
        return; // given up on already
    lookupId_ = -1;
    resolveTimeout_.stop();
    QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        fail(QStringLiteral("host name '%1' not found").arg(settings_.broker.host), Failure::Name);
        return;
    }
    // IPv4 first, as brokers on a home network mostly listen there; each retry takes the
    // next address, so one that does not answer does not stop the others being tried.
    std::stable_partition(addresses.begin(), addresses.end(), [](const QHostAddress &a) {
        return a.protocol() == QAbstractSocket::IPv4Protocol;
    });
    connectTo(addresses[qsizetype(lookups_++ % unsigned(addresses.size()))].toString());
}

void MqttClient::connectTo(const QString &address)
{
    state_ = State::Idle;
    errno = 0;
    const int rc = mosquitto_connect_async(mosq_, address.toUtf8().constData(),
                                           settings_.broker.port, settings_.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        fail(describe(rc), classify(rc));
        return;
    }
    state_ = State::Connecting;
    watchSocket();
    connectTimeout_.start(settings_.connectTimeoutMs);
    housekeeping_.start();
}

void MqttClient::watchSocket()
{
    unwatchSocket();
    const int fd = mosquitto_socket(mosq_);
    if (fd < 0)
        return;
    readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, &MqttClient::onReadable);
    writable_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(writable_, &QSocketNotifier::activated, this, &MqttClient::onWritable);
    writable_->setEnabled(mosquitto_want_write(mosq_));
}

void MqttClient::unwatchSocket()
{
    // May be reached from a notifier's own signal.
    for (QSocketNotifier **n : {&readable_, &writable_}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
}

void MqttClient::onReadable()
{
    afterLoop(mosquitto_loop_read(mosq_, kPacketsPerRead));
#ifdef TCP_QUICKACK
    // Acknowledge at once. A broker with Nagle's algorithm on (Mosquitto's default) holds a
    // message for us while an acknowledgement of its own small packet (our QoS 1 PUBACK)
    // is outstanding, and a delayed ACK makes that up to 40 ms. Linux clears the flag as it
    // likes, so it is set after every read.
    if (readable_) {
        const int on = 1;
        ::setsockopt(int(readable_->socket()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
#endif
}

void MqttClient::onWritable()
{
    if (state_ == State::Connecting && readable_) {
        // A connection still being made reports its failure on the socket.
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(int(readable_->socket()), SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
            error != 0) {
            fail(errnoText(error));
            return;
        }
    }
    afterLoop(mosquitto_loop_write(mosq_, kPacketsPerRead));
}

void MqttClient::onHousekeeping()
{
    if (state_ == State::Idle)
        return;
    const int rc = mosquitto_loop_misc(mosq_);
    afterLoop(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_SUCCESS : rc);
}

void MqttClient::afterLoop(int rc)
{
    if (rc != MOSQ_ERR_SUCCESS) {
        const bool told = std::any_of(events_.begin(), events_.end(),
                                      [](const Event &e) { return e.kind == Event::Lost; });
        if (!told)
            events_.push_back({Event::Lost, rc, {}, {}, false});
    }
    deliver(); // ends by watching for writes
}

void MqttClient::deliver()
{
    QPointer<MqttClient> self(this);
    std::vector<Event> events;
    events.swap(events_);
    for (Event &e : events) {
        switch (e.kind) {
        case Event::Connack:
            if (e.code != 0) {
                // 4: bad user name or password, 5: not authorised.
                fail(QString::fromUtf8(mosquitto_connack_string(e.code)),
                     e.code == 4 || e.code == 5 ? Failure::Credentials : Failure::Network);
                break;
            }
            state_ = State::Connected;
            retryMs_ = kFirstRetryMs;
            connectTimeout_.stop();
            emit connected();
            break;
        case Event::Lost:
            if (state_ != State::Idle)
                fail(describe(e.code), classify(e.code));
            break;
        case Event::Message:
            emit message(e.topic, e.payload, e.retained);
            break;
        case Event::Suback: {
            // MQTT 3.1.1 grants a QoS of 0 to 2; 0x80 is a refusal.
            const bool granted = !e.payload.isEmpty() &&
                                 std::all_of(e.payload.cbegin(), e.payload.cend(), [](char c) {
                                     return static_cast<unsigned char>(c) < 0x80;
                                 });
            emit subscribed(subscribing_.take(e.code), granted);
            break;
        }
        case Event::Puback:
            emit published(e.code);
            break;
        }
        if (!self)
            return;
    }
    watchWrites();
}

void MqttClient::watchWrites()
{
    if (!writable_ || state_ == State::Idle)
        return;
    const bool waiting = mosquitto_want_write(mosq_);
    writable_->setEnabled(waiting);
    if (drainedOwed_ && !waiting && state_ == State::Connected) {
        drainedOwed_ = false;
        emit drained();
    }
}

bool MqttClient::backlogged() const
{
    return state_ == State::Connected && mosquitto_want_write(mosq_);
}

void MqttClient::fail(const QString &reason, Failure failure)
{
    const bool wasConnected = state_ == State::Connected;
    unwatchSocket();
    forget();
    state_ = State::Idle;
    drainedOwed_ = false;
    connectTimeout_.stop();
    housekeeping_.stop();
    events_.clear();
    QPointer<MqttClient> self(this);
    if (wasConnected)
        emit disconnected(reason);
    else
        emit connectFailed(reason, failure);
    if (self)
        scheduleRetry();
}

void MqttClient::scheduleRetry()
{
    if (!reconnect_ || stopped_)
        return;
    retry_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
}

void MqttClient::stop(int flushMs)
{
    stopped_ = true;
    retry_.stop();
    connectTimeout_.stop();
    housekeeping_.stop();
    if (state_ == State::Resolving)
        forget();
    else if (state_ != State::Idle) {
        const int fd = mosquitto_socket(mosq_);
        // The library closes its socket as soon as the disconnect is out. Closed with the
        // broker's answers unread, a socket is reset, and a broker that meets the reset drops
        // what it had not read yet: the last messages and the disconnect (it then sends the
        // Last Will). A second handle keeps the connection until the broker has closed it.
        const int held = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
        mosquitto_disconnect(mosq_);
        QElapsedTimer t;
        t.start();
        while (fd >= 0 && mosquitto_want_write(mosq_) && t.elapsed() < flushMs) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, int(flushMs - t.elapsed())) <= 0 ||
                mosquitto_loop_write(mosq_, kPacketsPerRead) != MOSQ_ERR_SUCCESS)
                break;
        }
        if (held >= 0) {
            ::shutdown(held, SHUT_WR);
            char unread[16384];
            for (pollfd p{held, POLLIN, 0}; t.elapsed() < flushMs;) {
                if (::poll(&p, 1, int(flushMs - t.elapsed())) <= 0)
                    break;
                const ssize_t n = ::read(held, unread, sizeof unread);
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                    break; // the broker has closed its end
            }
            ::close(held);
        }
    }
    unwatchSocket();
    subscribing_.clear();
    state_ = State::Idle;
    events_.clear();
}

void MqttClient::forget()
{
    // A lookup cannot be stopped once running; its answer is dropped when it comes.
    resolveTimeout_.stop();
    lookupId_ = -1;
    subscribing_.clear();
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain, int qos,
                         int *mid)
{
    if (state_ != State::Connected)
        return false;
    const int rc = mosquitto_publish(mosq_, mid, topic.toUtf8().constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (mosquitto_want_write(mosq_)) {
        drainedOwed_ = true;
        if (writable_)
            writable_->setEnabled(true);
    }
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString &filter, int qos)
{
    if (state_ != State::Connected)
        return false;
    int mid = 0;
    const int rc = mosquitto_subscribe(mosq_, &mid, filter.toUtf8().constData(), qos);
    if (rc == MOSQ_ERR_SUCCESS)
        subscribing_.insert(mid, filter);
    watchWrites();
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::unsubscribe(const QString &filter)
{
    if (state_ != State::Connected)
        return false;
    const int rc = mosquitto_unsubscribe(mosq_, nullptr, filter.toUtf8().constData());
    watchWrites();
    return rc == MOSQ_ERR_SUCCESS;
}

MqttClient::Failure MqttClient::classify(int rc)
{
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE)
        return Failure::Tls;
    if (rc == MOSQ_ERR_AUTH)
        return Failure::Credentials;
    return Failure::Network;
}

QString MqttClient::describe(int rc) const
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return errno != 0 ? errnoText(errno) : QStringLiteral("connection failed");
    case MOSQ_ERR_EAI:
        return QStringLiteral("host name '%1' not found").arg(settings_.broker.host);
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        return QStringLiteral("TLS failed%1")
            .arg(lastError_.isEmpty() ? QString() : QStringLiteral(": ") + lastError_);
    case MOSQ_ERR_CONN_LOST:
        return lastError_.isEmpty() ? QStringLiteral("connection lost")
                                    : QStringLiteral("connection lost: ") + lastError_;
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("the broker stopped answering");
    default:
        return QString::fromUtf8(mosquitto_strerror(rc));
    }
}

void MqttClient::onConnectCb(mosquitto *, void *self, int rc)
{
    static_cast<MqttClient *>(self)->events_.push_back({Event::Connack, rc, {}, {}, false});
}

void MqttClient::onDisconnectCb(mosquitto *, void *self, int rc)
{
    if (rc != 0) // 0: we asked for it
        static_cast<MqttClient *>(self)->events_.push_back({Event::Lost, rc, {}, {}, false});
}

void MqttClient::onMessageCb(mosquitto *, void *self, const mosquitto_message *m)
{
    static_cast<MqttClient *>(self)->events_.push_back(
        {Event::Message, 0, QString::fromUtf8(m->topic),
         QByteArray(static_cast<const char *>(m->payload), m->payloadlen), m->retain});
}

void MqttClient::onSubscribeCb(mosquitto *, void *self, int mid, int count, const int *qos)
{
    QByteArray granted;
    for (int i = 0; i < count; ++i)
        granted += char(qos[i] & 0xff);
    static_cast<MqttClient *>(self)->events_.push_back({Event::Suback, mid, {}, granted, false});
}

void MqttClient::onPublishCb(mosquitto *, void *self, int mid)
{
    static_cast<MqttClient *>(self)->events_.push_back({Event::Puback, mid, {}, {}, false});
}

void MqttClient::onLogCb(mosquitto *, void *self, int level, const char *text)
{
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))
        static_cast<MqttClient *>(self)->lastError_ = QString::fromUtf8(text);
}

} // namespace quorvane::mqtt
