// SPDX-License-Identifier: MIT
// quorvane-bridge as it runs, against a Mosquitto of our own on loopback, with boards on
// pseudo-terminals: state latency, command latency, a flood, its footprint, and 20 bridges
// on one broker; and --soak ROUNDS, faults over and over. Prints one JSON object per figure
// (per round) on stdout.
#include "broker.h"
#include "gate.h"
#include "mqtt/mqttclient.h"
#include "pacer.h"
#include "ptyhelper.h"
#include "web/history.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include <poll.h>
#include <sys/wait.h>

using quorvane::mqtt::MqttClient;

namespace {

void report(const QJsonObject &o)
{
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool spinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        spin(5);
    }
    return true;
}

// CPU time (ns, all threads, as the scheduler counts it) and context switches of a process:
// those where it slept until something woke it, and those where another program took the
// core from it, which say how busy the machine was rather than what the bridge did.
struct Usage {
    double cpuNs = 0;
    double switches = 0;
    double preempted = 0;
};
Usage usageOf(qint64 pid)
{
    Usage u;
    const QString base = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(base + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
        if (stat.open(QIODevice::ReadOnly))
            u.cpuNs += stat.readAll().split(' ').value(0).toDouble();
        QFile status(base + QLatin1Char('/') + task + QStringLiteral("/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:"))
                    u.switches += line.split(':').value(1).trimmed().toDouble();
                else if (line.startsWith("nonvoluntary_ctxt_switches:"))
                    u.preempted += line.split(':').value(1).trimmed().toDouble();
            }
        }
    }
    return u;
}

double memoryMb(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field)))
                       .trimmed()
                       .split(' ')
                       .value(0)
                       .toDouble() /
                   1024.0;
    }
    return -1;
}

struct BridgeProcess {
    QProcess process;
    // `wrapper`: a command that runs the bridge (a profiler), the bridge's path and options
    // after its own.
    BridgeProcess(const TestBroker &broker, const QString &device, const QString &board,
                  const QStringList &extra = {}, QStringList wrapper = {})
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QStringList arguments = QStringList{QStringLiteral("--device"), device,
                                                  QStringLiteral("--broker"), broker.url(),
                                                  QStringLiteral("--board"), board,
                                                  QStringLiteral("--no-discovery")} +
                                      extra;
        if (wrapper.isEmpty()) {
            process.start(QStringLiteral(QUORVANE_BRIDGE_EXE), arguments);
        } else {
            const QString program = wrapper.takeFirst();
            process.start(program, wrapper + QStringList{QStringLiteral(QUORVANE_BRIDGE_EXE)} +
                                       arguments);
        }
        process.waitForStarted();
    }
    ~BridgeProcess()
    {
        process.terminate();
        process.waitForFinished(3000);
    }
    qint64 pid() const { return process.processId(); }
};

// A subscriber that notes when it first saw each frame's state, by its in-door value.
struct StateWatch {
    MqttClient client;
    std::map<QString, std::map<long, std::int64_t>> seen; // board -> seq -> when
    explicit StateWatch(const TestBroker &broker, const char *filter)
        : client(broker.clientSettings(QStringLiteral("bench-watch")))
    {
        QObject::connect(&client, &MqttClient::connected, &client,
                         [this, filter] { client.subscribe(QString::fromLatin1(filter)); });
        QObject::connect(&client, &MqttClient::message, &client,
                         [this](const QString &topic, const QByteArray &payload, bool) {
                             const QJsonObject o = QJsonDocument::fromJson(payload).object();
                             const long seq = long(o.value(QStringLiteral("indoor")).toDouble(-1));
                             auto &board = seen[topic.section(QLatin1Char('/'), 1, 1)];
                             board.emplace(seq, monotonicNs());
                         });
        if (const auto refused = client.start())
            qFatal("the bench's client cannot start: %s", qPrintable(*refused));
        spinUntil([this] { return client.isConnected(); }, 5000);
        spin(200);
    }
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::size_t(p * double(v.size() - 1))];
}

// Frames numbered from kFirstFrame written at 9600-baud pace to `fd`, with what `pid` used
// meanwhile.
constexpr long kFirstFrame = 1000;
struct PacedRun {
    double wall = 0; // seconds
    Usage before, after;
    double cpuShare() const { return (after.cpuNs - before.cpuNs) / 1e9 / wall; }
    double wakeupsPerSecond() const { return (after.switches - before.switches) / wall; }
    double preemptedPerSecond() const { return (after.preempted - before.preempted) / wall; }
};
PacedRun runPaced(int fd, int frames, FrameTimes &zAt, qint64 pid)
{
    PacedRun run;
    run.before = usageOf(pid);
    const std::int64_t start = monotonicNs();
    const pid_t child = paceFrames(fd, frames, kFirstFrame, zAt);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0)
        spin(100);
    spin(100);
    run.wall = double(monotonicNs() - start) / 1e9;
    run.after = usageOf(pid);
    return run;
}

// Each frame's time from its "Z" at the board to when it was first seen, for those seen.
void addLatencies(std::vector<double> &ms, const std::map<long, std::int64_t> &seen,
                  const FrameTimes &zAt, int frames)
{
    for (int i = 0; i < frames; ++i) {
        const auto it = seen.find(kFirstFrame + i);
        if (it != seen.end())
            ms.push_back(double(it->second - zAt[i]) / 1e6);
    }
}

// Frame end written at the board to `state` at a subscriber, at 9600-baud pace; and what
// the bridge costs meanwhile.
QJsonObject stateLatency(const QStringList &extra, int kFrames = 500)
{
    TestBroker broker;
    broker.start();
    PtyPair board;
    BridgeProcess bridge(broker, board.path(), QStringLiteral("b1"), extra);
    StateWatch watch(broker, "quorvane/b1/state");
    spin(500);
    FrameTimes zAt(kFrames);
    const PacedRun run = runPaced(board.master(), kFrames, zAt, bridge.pid());
    std::vector<double> ms;
    addLatencies(ms, watch.seen[QStringLiteral("b1")], zAt, kFrames);
    const QJsonObject o{{"figure", "bridge_state_latency"},
                        {"options", extra.join(QLatin1Char(' '))},
                        {"frames", double(ms.size())},
                        {"median_ms", percentile(ms, 0.5)},
                        {"p99_ms", percentile(ms, 0.99)},
                        {"cpu_share_of_core", run.cpuShare()},
                        {"wakeups_per_s", run.wakeupsPerSecond()},
                        {"preempted_per_s", run.preemptedPerSecond()},
                        {"rss_mb", memoryMb(bridge.pid(), "VmRSS:")}};
    report(o);
    return o;
}

// The instructions the bridge executes per frame at 9600-baud pace, all of its work counted
// (reads, reception, the state's JSON and publishing, its timers), from valgrind's callgrind,
// which counts where the processor's own counters are not offered (virtual machines). A core
// that retires N instructions a second spends instructions / N seconds on each frame. The
// kernel's share (wake-ups, system calls) is not in it.
QJsonObject instructionsPerFrame(int kFrames = 150)
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("callgrind.out"));
    TestBroker broker;
    broker.start();
    PtyPair board;
    BridgeProcess bridge(broker, board.path(), QStringLiteral("b1"), {},
                         {QStringLiteral("valgrind"), QStringLiteral("--tool=callgrind"),
                          QStringLiteral("--instr-atstart=no"),
                          QStringLiteral("--callgrind-out-file=") + out});
    StateWatch watch(broker, "quorvane/b1/state");
    // Under valgrind the bridge takes seconds to come up: it is ready once a frame's state
    // comes out.
    FrameTimes warmZ(1);
    const pid_t warm = paceFrames(board.master(), 1, kFirstFrame - 1, warmZ);
    spinUntil([&] { return watch.seen[QStringLiteral("b1")].count(kFirstFrame - 1) > 0; }, 30000);
    waitpid(warm, nullptr, 0);
    spin(300);
    auto control = [&](const QString &what) {
        QProcess c;
        c.start(QStringLiteral("callgrind_control"), {what, QString::number(bridge.pid())});
        c.waitForFinished(20000);
        return c.exitStatus() == QProcess::NormalExit && c.exitCode() == 0;
    };
    const bool counting = control(QStringLiteral("--instr=on"));
    FrameTimes zAt(kFrames);
    runPaced(board.master(), kFrames, zAt, bridge.pid());
    spin(300);
    control(QStringLiteral("--dump"));
    // The dump is the file named, with the dump's number after it.
    double instructions = -1;
    for (const QFileInfo &f : QDir(dir.path()).entryInfoList({QStringLiteral("callgrind.out*")})) {
        QFile file(f.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("summary:") || line.startsWith("totals:"))
                instructions = std::max(instructions, line.split(' ').value(1).toDouble());
        }
        if (instructions > 0)
            break;
    }
    std::vector<double> ms;
    addLatencies(ms, watch.seen[QStringLiteral("b1")], zAt, kFrames);
    const QJsonObject o{{"figure", "bridge_instructions_per_frame"},
                        {"counted", counting && instructions > 0},
                        {"frames", double(kFrames)},
                        {"states_seen", double(ms.size())},
                        {"instructions", instructions},
                        {"instructions_per_frame", instructions / kFrames}};
    report(o);
    return o;
}

// load/N/set published to the letter read at the board, one at a time.
QJsonObject commandLatency(int commands = 1000)
{
    TestBroker broker;
    broker.start();
    PtyPair board;
    BridgeProcess bridge(broker, board.path(), QStringLiteral("b1"));
    MqttClient app(broker.clientSettings(QStringLiteral("bench-app")));
    if (const auto refused = app.start())
        qFatal("the bench's client cannot start: %s", qPrintable(*refused));
    spinUntil([&] { return app.isConnected(); }, 5000);
    spin(800);
    std::vector<double> ms;
    QByteArray want, got;
    for (int i = 0; i < commands; ++i) {
        const int load = 1 + i % 5;
        const bool on = (i / 5) % 2 == 0;
        want += char('A' + 2 * (load - 1) + (on ? 0 : 1));
        const std::int64_t t0 = monotonicNs();
        app.publish(QStringLiteral("quorvane/b1/load/%1/set").arg(load), on ? "ON" : "OFF");
        pollfd p{board.master(), POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            break;
        ms.push_back(double(monotonicNs() - t0) / 1e6);
        char c[16];
        const ssize_t n = ::read(board.master(), c, sizeof c);
        if (n > 0)
            got.append(c, n);
        QCoreApplication::processEvents();
    }
    const QJsonObject o{{"figure", "bridge_command_latency"},
                        {"commands", double(ms.size())},
                        {"in_order", got == want},
                        {"median_ms", percentile(ms, 0.5)},
                        {"p99_ms", percentile(ms, 0.99)}};
    report(o);
    return o;
}

// --gate: CI's check against gross regressions, a few seconds of each figure.
int gateRun(const QStringList &extra)
{
    PerfGate gate;
    const QJsonObject s = stateLatency(extra, 150);
    gate.check(s.value("frames").toDouble() == 150, "every frame's state at 9600-baud pace",
               s.value("frames").toDouble());
    // About twice what the bridge does with its 25 ms read clock (a state within 26 ms at
    // p99, 40 wake-ups a second, under 1% of a core): the panel's 12 ms clock fails the
    // wake-ups, a clock twice as slow the latency.
    gate.check(s.value("p99_ms").toDouble() < 50, "frame end to state p99 < 50 ms",
               s.value("p99_ms").toDouble());
    gate.check(s.value("wakeups_per_s").toDouble() < 80, "wake-ups at 9600-baud pace < 80/s",
               s.value("wakeups_per_s").toDouble());
    gate.check(s.value("cpu_share_of_core").toDouble() < 0.02,
               "CPU at 9600-baud pace < 2% of a core", s.value("cpu_share_of_core").toDouble());
    const QJsonObject c = commandLatency(200);
    gate.check(c.value("commands").toDouble() == 200 && c.value("in_order").toBool(),
               "every command at the board, in order", c.value("commands").toDouble());
    gate.check(c.value("p99_ms").toDouble() < 40, "command p99 < 40 ms",
               c.value("p99_ms").toDouble());
    return gate.exitCode();
}

// Frames as fast as the line takes them for 5 s: the bridge stays up, its memory bounded,
// and the last frame's state is out soon after the flood ends.
void flood()
{
    TestBroker broker;
    broker.start();
    PtyPair board;
    BridgeProcess bridge(broker, board.path(), QStringLiteral("b1"));
    StateWatch watch(broker, "quorvane/b1/state");
    spin(500);
    FloodWriter writer(board.master());
    spin(5000);
    writer.stop();
    // Intermediate states are skipped under a flood: wait for the last complete frame or a
    // later one (a stop may leave part of one more chunk on the line).
    const long last = writer.lastSeq();
    const auto &seen = watch.seen[QStringLiteral("b1")];
    const bool caughtUp = spinUntil([&] { return seen.lower_bound(last) != seen.end(); }, 10000);
    const double afterMs =
        caughtUp ? double(seen.lower_bound(last)->second - writer.endedAt()) / 1e6 : -1;
    report({{"figure", "bridge_flood"},
            {"alive", bridge.process.state() == QProcess::Running},
            {"chars_per_s", double(writer.chars()) / 5.0},
            {"states_received", double(seen.size())},
            {"latest_state_after_flood_ms", afterMs},
            {"peak_rss_mb", memoryMb(bridge.pid(), "VmHWM:")}});
}

// 20 bridges, 20 boards at 9600-baud pace, one broker: every frame's state arrives.
void scale()
{
    constexpr int kBoards = 20;
    constexpr int kFrames = 300;
    TestBroker broker;
    broker.start();
    std::vector<std::unique_ptr<PtyPair>> boards;
    std::vector<std::unique_ptr<BridgeProcess>> bridges;
    for (int i = 0; i < kBoards; ++i) {
        boards.push_back(std::make_unique<PtyPair>());
        bridges.push_back(std::make_unique<BridgeProcess>(broker, boards.back()->path(),
                                                          QStringLiteral("b%1").arg(i)));
    }
    StateWatch watch(broker, "quorvane/+/state");
    spin(1500);
    std::vector<std::unique_ptr<FrameTimes>> times;
    std::vector<pid_t> pacers;
    std::vector<Usage> before;
    for (auto &b : bridges)
        before.push_back(usageOf(b->pid()));
    const Usage broker0 = usageOf(broker.pid());
    const std::int64_t start = monotonicNs();
    for (int i = 0; i < kBoards; ++i) {
        times.push_back(std::make_unique<FrameTimes>(kFrames));
        pacers.push_back(
            paceFrames(boards[std::size_t(i)]->master(), kFrames, 1000, *times.back()));
    }
    for (pid_t p : pacers) {
        int status = 0;
        while (waitpid(p, &status, WNOHANG) == 0)
            spin(100);
    }
    spin(300);
    const double wall = double(monotonicNs() - start) / 1e9;
    double cpu = 0;
    for (std::size_t i = 0; i < bridges.size(); ++i)
        cpu += usageOf(bridges[i]->pid()).cpuNs - before[i].cpuNs;
    const double brokerCpu = usageOf(broker.pid()).cpuNs - broker0.cpuNs;
    long received = 0;
    for (const auto &[board, frames] : watch.seen) {
        for (const auto &[seq, when] : frames)
            received += (seq >= 1000 && seq < 1000 + kFrames) ? 1 : 0;
    }
    report({{"figure", "bridge_scale"},
            {"bridges", kBoards},
            {"frames_sent", double(kBoards * kFrames)},
            {"states_received", double(received)},
            {"lost", double(kBoards * kFrames - received)},
            {"bridges_cpu_share_of_core", cpu / 1e9 / wall},
            {"broker_cpu_share_of_core", brokerCpu / 1e9 / wall}});
}

// --soak ROUNDS: the bridge left alone with everything that goes wrong in a house, again and
// again. Each round, in turn: the broker killed and restarted (with commands stored at it
// meanwhile), frozen and thawed, the board unplugged and plugged back, a line flood, a storm of
// hostile messages and a burst of commands. After each: online again, the newest frame's
// state out, the commands at the board in order and nothing else. Memory and descriptors
// must not grow.
namespace soak {

constexpr const char *kBoard = "soak";
constexpr long kFirstSeq = 1'000'000; // above anything a flood numbers its frames with
constexpr int kBeatMs = 200;          // the board's frames; finer than a real board's second
constexpr int kRecoverMs = 20000;
constexpr int kShortFreezeMs = 4000; // well within the bridge's 30 s keep-alive
// Past the keep-alive and the 30 s the client then gives the broker to answer its ping:
// the bridge has to give the connection up and make a new one.
constexpr int kLongFreezeMs = 65000;
constexpr int kBurst = 50;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif

char letter(int load, bool on)
{
    return char('A' + 2 * (load - 1) + (on ? 0 : 1));
}

// A client of the soak's own that is connected and, when it subscribes, acknowledged.
// `onMessage` is in place before the retained messages come.
std::unique_ptr<MqttClient>
connectedClient(const TestBroker &broker, const QString &id, const QStringList &filters = {},
                const std::function<void(const QString &, const QByteArray &)> &onMessage = {})
{
    auto client = std::make_unique<MqttClient>(broker.clientSettings(id));
    if (onMessage)
        QObject::connect(client.get(), &MqttClient::message, client.get(),
                         [onMessage](const QString &t, const QByteArray &payload, bool) {
                             onMessage(t, payload);
                         });
    int acknowledged = 0;
    QObject::connect(client.get(), &MqttClient::connected, client.get(),
                     [c = client.get(), filters] {
                         for (const QString &f : filters)
                             c->subscribe(f, 1);
                     });
    QObject::connect(client.get(), &MqttClient::subscribed, client.get(),
                     [&acknowledged] { ++acknowledged; });
    if (const auto refused = client->start())
        qWarning("soak client: %s", qPrintable(*refused));
    spinUntil([&] { return client->isConnected() && acknowledged >= int(filters.size()); }, 5000);
    QObject::disconnect(client.get(), &MqttClient::subscribed, nullptr, nullptr);
    return client;
}

class Soak {
public:
    explicit Soak(int rounds) : rounds_(rounds) {}
    int run();

private:
    QString topic(const QString &leaf) const
    {
        return QStringLiteral("quorvane/%1/%2").arg(QLatin1String(kBoard), leaf);
    }
    void fail(const QString &what)
    {
        failed_ << what;
        std::fprintf(stderr, "soak round %d: %s\n", round_, qPrintable(what));
    }
    void beat();
    void drain();
    void plug();
    void connectClients();
    double recover(const QString &fault, std::int64_t endedAt);
    bool expectLetters(const QByteArray &want, const QString &what, int ms = 3000);
    void brokerKill();
    void brokerFreeze(int ms);
    void unplug();
    void flood();
    void storm();
    void burst();
    void finalCheck();
    bool bridgeHealthy(bool running = true);
    void startBridge();

    int rounds_;
    int round_ = 0;
    TestBroker broker_;
    QTemporaryDir dir_;
    QString link_ = dir_.filePath(QStringLiteral("board"));
    std::unique_ptr<PtyPair> board_;
    QProcess bridge_;
    QString errPath_ = dir_.filePath(QStringLiteral("bridge.log"));
    std::unique_ptr<MqttClient> watch_, app_;
    QHash<QString, QByteArray> last_; // leaf -> newest payload the watcher saw
    long newestState_ = -1;           // "indoor" of the newest state
    long seq_ = kFirstSeq;
    QTimer heartbeat_;
    QByteArray letters_; // read at the board since the last check
    std::array<std::optional<bool>, 5> commanded_;
    QStringList failed_;
    QJsonObject recovery_;
};

void Soak::beat()
{
    drain();
    if (!board_ || board_->master() < 0)
        return;
    // One try: a line nobody reads must not hold the soak up; a torn frame is skipped.
    const QByteArray frame = numberedFrame(++seq_);
    [[maybe_unused]] const ssize_t n = ::write(board_->master(), frame.constData(), frame.size());
}

void Soak::drain()
{
    if (!board_ || board_->master() < 0)
        return;
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(board_->master(), buf, sizeof buf)) > 0)
        letters_.append(buf, n);
}

void Soak::plug()
{
    board_ = std::make_unique<PtyPair>();
    QFile::remove(link_);
    QFile::link(board_->path(), link_);
}

void Soak::connectClients()
{
    // Fresh ones connect at once, where the old would wait out their own retry.
    watch_.reset();
    app_.reset();
    last_.clear();
    newestState_ = -1;
    watch_ = connectedClient(broker_, QStringLiteral("soak-watch"),
                             {topic(QStringLiteral("status")), topic(QStringLiteral("board")),
                              topic(QStringLiteral("state")), topic(QStringLiteral("health")),
                              topic(QStringLiteral("load/+"))},
                             [this](const QString &t, const QByteArray &payload) {
                                 const QString leaf = t.section(QLatin1Char('/'), 2);
                                 last_[leaf] = payload;
                                 if (leaf == QLatin1String("state"))
                                     newestState_ = long(QJsonDocument::fromJson(payload)
                                                             .object()
                                                             .value(QStringLiteral("indoor"))
                                                             .toDouble(-1));
                             });
    QObject::connect(watch_.get(), &MqttClient::disconnected, watch_.get(), [this] {
        last_.clear();
        newestState_ = -1;
    });
    app_ = connectedClient(broker_, QStringLiteral("soak-app"));
}

// From the fault's end to the bridge online with the board online and a state of a frame
// written after the end.
double Soak::recover(const QString &fault, std::int64_t endedAt)
{
    const long fresh = seq_ + 1;
    const bool back = spinUntil(
        [&] {
            return last_.value(QStringLiteral("status")) == "online" &&
                   last_.value(QStringLiteral("board")) == "online" && newestState_ >= fresh;
        },
        kRecoverMs);
    const double ms = double(monotonicNs() - endedAt) / 1e6;
    if (!back) {
        fail(QStringLiteral("%1: not back within %2 s (status %3, board %4, state %5)")
                 .arg(fault)
                 .arg(kRecoverMs / 1000)
                 .arg(QString::fromUtf8(last_.value(QStringLiteral("status"), "-")),
                      QString::fromUtf8(last_.value(QStringLiteral("board"), "-")))
                 .arg(newestState_));
        recovery_.insert(fault, -1);
        return -1;
    }
    recovery_.insert(fault, std::round(ms));
    return ms;
}

bool Soak::expectLetters(const QByteArray &want, const QString &what, int ms)
{
    spinUntil(
        [&] {
            drain();
            return letters_.size() >= want.size();
        },
        ms);
    spin(300); // anything more than wanted
    drain();
    const bool ok = letters_ == want;
    if (!ok)
        fail(QStringLiteral("%1: the board got '%2', wanted '%3'")
                 .arg(what, QString::fromLatin1(letters_), QString::fromLatin1(want)));
    letters_.clear();
    return ok;
}

void Soak::brokerKill()
{
    broker_.kill();
    watch_.reset();
    app_.reset();
    last_.clear();
    newestState_ = -1;
    // The bridge finds the broker gone at once and tries again after 1 s, then 2 s more:
    // back at 1.5 s, the broker gets commands stored before the bridge is there to take them.
    spin(1500);
    if (!broker_.start()) {
        fail(QStringLiteral("the broker did not come back"));
        return;
    }
    const std::int64_t end = monotonicNs();
    {
        auto planter = connectedClient(broker_, QStringLiteral("soak-planter"));
        for (int n = 1; n <= 5; ++n)
            planter->publish(topic(QStringLiteral("load/%1/set").arg(n)), n % 2 ? "ON" : "OFF",
                             true, 1);
        planter->publish(topic(QStringLiteral("all/set")), "ON", true, 1);
        planter->publish(topic(QStringLiteral("tx")), "ACEGI", true, 1);
        spin(100);
        planter->stop(500);
    }
    connectClients();
    recover(QStringLiteral("broker_kill"), end);
    expectLetters({}, QStringLiteral("stored commands replayed at reconnect"), 500);
}

void Soak::brokerFreeze(int ms)
{
    ::kill(pid_t(broker_.pid()), SIGSTOP);
    spin(ms);
    ::kill(pid_t(broker_.pid()), SIGCONT);
    const std::int64_t end = monotonicNs();
    if (ms >= kLongFreezeMs || !watch_->isConnected() || !app_->isConnected())
        connectClients();
    recover(ms >= kLongFreezeMs ? QStringLiteral("broker_long_freeze")
                                : QStringLiteral("broker_freeze"),
            end);
    expectLetters({}, QStringLiteral("after the freeze"), 300);
}

void Soak::unplug()
{
    drain();
    board_.reset();
    QFile::remove(link_);
    if (!spinUntil([&] { return last_.value(QStringLiteral("status")) == "offline"; }, 4000))
        fail(QStringLiteral("status not offline with the board unplugged"));
    spin(1500);
    letters_.clear();
    plug();
    const std::int64_t end = monotonicNs();
    recover(QStringLiteral("unplug"), end);
    // The board back gets each load's commanded state again.
    QByteArray restore;
    for (int n = 1; n <= 5; ++n) {
        if (commanded_[std::size_t(n - 1)])
            restore += letter(n, *commanded_[std::size_t(n - 1)]);
    }
    expectLetters(restore, QStringLiteral("load restore after plugging back"));
}

void Soak::flood()
{
    heartbeat_.stop();
    drain();
    {
        FloodWriter writer(board_->master());
        spin(1500);
        writer.stop();
    }
    const std::int64_t end = monotonicNs();
    heartbeat_.start();
    beat();
    recover(QStringLiteral("flood"), end);
    expectLetters({}, QStringLiteral("after the flood"), 300);
}

// Everything a broken or hostile client might send; none of it may reach the board.
void Soak::storm()
{
    QRandomGenerator rng{quint32(round_)};
    auto storm = connectedClient(broker_, QStringLiteral("soak-storm"));
    const auto randomBytes = [&](int size) {
        QByteArray b(size, '\0');
        for (char &c : b)
            c = char(rng.bounded(256));
        return b;
    };
    const QByteArray big = randomBytes(1024 * 1024);
    int sent = 0;
    const auto send = [&](const QString &leaf, const QByteArray &payload, bool retain = false) {
        sent += storm->publish(topic(leaf), payload, retain, 1) ? 1 : 0;
        // Let the socket take it: 1 MB messages would otherwise pile up in this process.
        spinUntil([&] { return !storm->backlogged(); }, 2000);
    };
    for (const char *leaf : {"load/1/set", "all/set", "tx", "load/1/set/x"})
        send(QLatin1String(leaf), big);
    const QList<QByteArray> junk{
        "",
        "\xff\xfe",
        "O\x80N",
        QByteArray("ON\0", 3),
        "\xc0\xafON",
        "on please",
        "1",
        "TRUE",
        "ONON",
        QByteArray("ON") + QByteArray(15, ' '), // blanks are ignored, but not past 16 bytes
        "\xed\xa0\x80",                         // a lone surrogate
    };
    for (int n = 1; n <= 5; ++n) {
        for (const QByteArray &j : junk)
            send(QStringLiteral("load/%1/set").arg(n), j, n == 3);
    }
    for (const QByteArray &j : junk)
        send(QStringLiteral("all/set"), j);
    // Loads the board does not have and topics that only look like commands.
    for (const char *leaf :
         {"load/0/set", "load/6/set", "load/999999999/set", "load/9999999999/set", "load/-1/set",
          "load//set", "load/1.0/set", "load/ 1/set", "load/%2B/set", "load/*/set",
          "load/\xef\xbc\x8b/set", "load/\xef\xbc\x83", "load/1/set/", "LOAD/1/SET", "all/set/x",
          "all", "set", "tx/x", "$SYS/x"})
        send(QString::fromUtf8(leaf), "ON");
    send(QStringLiteral("tx"), QByteArray(65, 'A')); // over the 64 a message may carry
    send(QStringLiteral("tx"), {});
    // Random topics under the prefix with random payloads.
    const QString alphabet = QStringLiteral("abcxyz0123456789/ _-.$%*\u00fc\uff0b");
    for (int i = 0; i < 60; ++i) {
        QString t;
        const int len = 1 + int(rng.bounded(24));
        for (int k = 0; k < len; ++k)
            t += alphabet[int(rng.bounded(int(alphabet.size())))];
        // Not the commands themselves, and not the bridge's own topics: whoever may write
        // those can say anything in the bridge's name, which only the broker's ACLs prevent.
        static const QRegularExpression ours(
            QStringLiteral("^(tx|rx|all/set|load/[0-9]+(/set)?|status|board|health|state|pir|"
                           "light|indoor|outdoor)$"));
        if (ours.match(t).hasMatch())
            continue;
        send(t, randomBytes(int(rng.bounded(200))), i % 7 == 0);
    }
    // Home Assistant's birth and nonsense in its place.
    for (const QByteArray &p : {QByteArray("\xff"), QByteArray(), QByteArray("online")}) {
        sent += storm->publish(QStringLiteral("homeassistant/status"), p, false, 1) ? 1 : 0;
        spin(5);
    }
    spinUntil([&] { return !storm->backlogged(); }, 5000);
    storm->stop(2000);
    storm.reset();
    const std::int64_t end = monotonicNs();
    if (sent < 100)
        fail(QStringLiteral("the storm got out only %1 messages").arg(sent));
    recover(QStringLiteral("storm"), end);
    expectLetters({}, QStringLiteral("after the storm"), 500);
}

void Soak::burst()
{
    drain();
    if (!letters_.isEmpty())
        expectLetters({}, QStringLiteral("before the burst"), 0);
    QByteArray want;
    for (int i = 0; i < kBurst; ++i) {
        const int load = 1 + i % 5;
        const bool on = i % 2 == 0; // five loads, so each one alternates as well
        want += letter(load, on);
        commanded_[std::size_t(load - 1)] = on;
        app_->publish(topic(QStringLiteral("load/%1/set").arg(load)), on ? "ON" : "OFF", false, 1);
    }
    expectLetters(want, QStringLiteral("command burst"), 5000);
    const bool states = spinUntil(
        [&] {
            for (int n = 1; n <= 5; ++n) {
                if (last_.value(QStringLiteral("load/%1").arg(n)) !=
                    (*commanded_[std::size_t(n - 1)] ? "ON" : "OFF"))
                    return false;
            }
            return true;
        },
        3000);
    if (!states)
        fail(QStringLiteral("load/N does not say what was last commanded"));
}

void Soak::finalCheck()
{
    heartbeat_.stop();
    drain();
    const long newest = ++seq_;
    const QByteArray frame = numberedFrame(newest);
    PtyPair::writeAll(board_->master(), frame);
    if (!spinUntil(
            [&] {
                return newestState_ == newest &&
                       last_.value(QStringLiteral("status")) == "online" &&
                       last_.value(QStringLiteral("board")) == "online";
            },
            3000))
        fail(QStringLiteral("the newest frame's state (%1) is not out, or not online (state %2)")
                 .arg(newest)
                 .arg(newestState_));
    heartbeat_.start();
    expectLetters({}, QStringLiteral("stray letters"), 0);
}

// Still running, and nothing from the sanitizers in what it wrote.
bool Soak::bridgeHealthy(bool running)
{
    bool ok = true;
    if (running && bridge_.state() != QProcess::Running) {
        fail(QStringLiteral("the bridge is not running (exit code %1)").arg(bridge_.exitCode()));
        ok = false;
    }
    QFile err(errPath_);
    if (err.open(QIODevice::ReadOnly)) {
        const QByteArray text = err.readAll();
        for (const char *marker : {"ERROR: AddressSanitizer", "runtime error:", "LeakSanitizer"}) {
            if (text.contains(marker)) {
                fail(QStringLiteral("the bridge's stderr has a sanitizer report (%1); see %2")
                         .arg(QLatin1String(marker), errPath_));
                ok = false;
            }
        }
    }
    return ok;
}

void Soak::startBridge()
{
    bridge_.setStandardOutputFile(QProcess::nullDevice());
    bridge_.setStandardErrorFile(errPath_);
    // With discovery, as a house with Home Assistant runs it.
    bridge_.start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                  {QStringLiteral("--device"), link_, QStringLiteral("--broker"), broker_.url(),
                   QStringLiteral("--board"), QLatin1String(kBoard)});
    bridge_.waitForStarted();
}

int Soak::run()
{
    const std::int64_t started = monotonicNs();
    dir_.setAutoRemove(false); // the bridge's log stays for a look after a failure
    if (!broker_.start()) {
        std::fprintf(stderr, "soak: the broker did not start\n");
        return 1;
    }
    plug();
    startBridge();
    connectClients();
    QObject::connect(&heartbeat_, &QTimer::timeout, [this] { beat(); });
    heartbeat_.start(kBeatMs);
    recover(QStringLiteral("start"), monotonicNs());
    int failures = failed_.isEmpty() ? 0 : 1;
    double slowest = 0;
    double rssFirst = -1, rssLast = -1;
    int fdsFirst = -1, fdsLast = -1;
    const auto fds = [this] {
        return int(QDir(QStringLiteral("/proc/%1/fd").arg(bridge_.processId()))
                       .entryList(QDir::Files | QDir::System)
                       .size());
    };
    const int longFreezeRound = rounds_ >= 3 ? rounds_ / 2 + 1 : 0;
    for (round_ = 1; round_ <= rounds_; ++round_) {
        failed_.clear();
        recovery_ = {};
        const std::int64_t t0 = monotonicNs();
        brokerKill();
        brokerFreeze(kShortFreezeMs);
        if (round_ == longFreezeRound)
            brokerFreeze(kLongFreezeMs);
        unplug();
        flood();
        storm();
        burst();
        finalCheck();
        const bool alive = bridgeHealthy();
        double worst = 0;
        for (const QJsonValue v : std::as_const(recovery_))
            worst = std::max(worst, v.toDouble());
        slowest = std::max(slowest, worst);
        const QJsonObject health =
            QJsonDocument::fromJson(last_.value(QStringLiteral("health"))).object();
        const double rss = memoryMb(bridge_.processId(), "VmRSS:");
        const int descriptors = fds();
        if (round_ == 1) {
            rssFirst = rss;
            fdsFirst = descriptors;
        }
        rssLast = rss;
        fdsLast = descriptors;
        failures += failed_.isEmpty() ? 0 : 1;
        report({{"figure", "bridge_soak_round"},
                {"round", round_},
                {"ok", failed_.isEmpty()},
                {"failed", QJsonArray::fromStringList(failed_)},
                {"recovery_ms", recovery_},
                {"slowest_recovery_ms", worst},
                {"broker_reconnects", health.value(QStringLiteral("broker_reconnects"))},
                {"refused_commands", health.value(QStringLiteral("refused_commands"))},
                {"rss_mb", std::round(rss * 100) / 100},
                {"fds", descriptors},
                {"seconds", std::round(double(monotonicNs() - t0) / 1e8) / 10}});
        if (!alive)
            break;
    }
    heartbeat_.stop();
    // A clean stop, where LeakSanitizer has its say.
    bridge_.terminate();
    const bool ended = bridge_.waitForFinished(10000);
    failed_.clear();
    bridgeHealthy(false);
    const bool cleanExit = ended && bridge_.exitStatus() == QProcess::NormalExit &&
                           bridge_.exitCode() == 0 && failed_.isEmpty();
    // AddressSanitizer holds freed memory back (its quarantine) until it reaches a bound far
    // above ours: there LeakSanitizer at the bridge's exit says whether memory was lost.
    const bool memoryFlat = kAsan || rssLast - rssFirst <= 2.0;
    const bool fdsFlat = fdsLast <= fdsFirst;
    report({{"figure", "bridge_soak"},
            {"rounds", round_ - 1},
            {"failures", failures},
            {"slowest_recovery_ms", slowest},
            {"rss_first_mb", std::round(rssFirst * 100) / 100},
            {"rss_last_mb", std::round(rssLast * 100) / 100},
            {"fds_first", fdsFirst},
            {"fds_last", fdsLast},
            {"clean_exit", cleanExit},
            {"memory_bound", kAsan ? "left to LeakSanitizer" : "2 MB after round 1"},
            {"seconds", std::round(double(monotonicNs() - started) / 1e9)}});
    if (failures == 0 && cleanExit)
        dir_.setAutoRemove(true);
    else
        std::fprintf(stderr, "soak: the bridge's log: %s\n", qPrintable(errPath_));
    return failures == 0 && cleanExit && memoryFlat && fdsFlat ? 0 : 1;
}

} // namespace soak

// Frame end written at the board to the state on open pages (WebSocket clients in this
// process, as the page's own is), at 9600-baud pace; and the bridge's CPU meanwhile beside
// the same bridge without --http.
QJsonObject webLatency(int pageCount = 5, int kFrames = 500)
{
    const QJsonObject without = stateLatency({}, kFrames);
    TestBroker broker;
    broker.start();
    PtyPair board;
    const quint16 port = freeLocalPort();
    BridgeProcess bridge(broker, board.path(), QStringLiteral("b1"),
                         {QStringLiteral("--http"), QStringLiteral("127.0.0.1:%1").arg(port)});
    StateWatch watch(broker, "quorvane/b1/state");
    spinUntil([&] { return acceptsConnections(port); }, 5000);
    std::vector<std::unique_ptr<QWebSocket>> pages;
    std::vector<std::map<long, std::int64_t>> seen(static_cast<std::size_t>(pageCount));
    int open = 0;
    for (int i = 0; i < pageCount; ++i) {
        auto page = std::make_unique<QWebSocket>();
        QObject::connect(page.get(), &QWebSocket::connected, [&open] { ++open; });
        QObject::connect(
            page.get(), &QWebSocket::textMessageReceived, [&seen, i](const QString &text) {
                const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
                const long seq = long(o.value(QStringLiteral("readings"))[QStringLiteral("indoor")]
                                          .toString()
                                          .toLong());
                seen[std::size_t(i)].emplace(seq, monotonicNs());
            });
        page->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/live").arg(port)));
        pages.push_back(std::move(page));
    }
    spinUntil([&] { return open == pageCount; }, 5000);
    spin(500);
    FrameTimes zAt(kFrames);
    const PacedRun run = runPaced(board.master(), kFrames, zAt, bridge.pid());
    std::vector<double> ms;
    for (const auto &page : seen)
        addLatencies(ms, page, zAt, kFrames);
    const double cpu = run.cpuShare();
    const double cpuWithout = without.value("cpu_share_of_core").toDouble();
    const QJsonObject o{{"figure", "web_page_latency"},
                        {"pages", pageCount},
                        {"page_states", double(ms.size())},
                        {"expected", double(pageCount * kFrames)},
                        {"median_ms", percentile(ms, 0.5)},
                        {"p99_ms", percentile(ms, 0.99)},
                        {"cpu_share_of_core", cpu},
                        {"cpu_share_without_http", cpuWithout},
                        {"cpu_points_above", (cpu - cpuWithout) * 100},
                        {"rss_mb", memoryMb(bridge.pid(), "VmRSS:")}};
    report(o);
    return o;
}

// A full day of history (every 10-second slot filled) as memory of this process.
QJsonObject historyMemory()
{
    const double before = memoryMb(QCoreApplication::applicationPid(), "VmRSS:");
    auto history = std::make_unique<quorvane::web::History>();
    quorvane::record::FrameValues values{"1", "64", "-12.5", "-40"};
    const qint64 t0 = 1'796'835'190'000;
    for (std::size_t k = 0; k < quorvane::web::History::kSlots * 2; ++k)
        history->add(t0 + qint64(k) * 5000, values); // two frames per slot
    const double after = memoryMb(QCoreApplication::applicationPid(), "VmRSS:");
    const QJsonObject o{{"figure", "web_history_day_memory"},
                        {"points", double(history->size())},
                        {"rss_delta_mb", after - before}};
    report(o);
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const bool all = args.size() == 1;
    if (const qsizetype at = args.indexOf(QStringLiteral("--soak")); at >= 0) {
        bool ok = false;
        const int rounds = args.value(at + 1).toInt(&ok);
        return soak::Soak(ok && rounds > 0 ? rounds : 30).run();
    }
    if (args.contains(QStringLiteral("--gate")))
        return gateRun(args.mid(args.indexOf(QStringLiteral("--gate")) + 1));
    if (all || args.contains(QStringLiteral("--latency"))) {
        stateLatency({});
        stateLatency({QStringLiteral("--read-interval"), QStringLiteral("2")});
    }
    if (args.contains(QStringLiteral("--instructions")))
        instructionsPerFrame();
    if (all || args.contains(QStringLiteral("--commands")))
        commandLatency();
    if (all || args.contains(QStringLiteral("--flood")))
        flood();
    if (all || args.contains(QStringLiteral("--scale")))
        scale();
    if (all || args.contains(QStringLiteral("--web"))) {
        webLatency();
        historyMemory();
    }
    return 0;
}
