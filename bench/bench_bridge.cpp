// SPDX-License-Identifier: MIT
// quorvane-bridge as it runs, against a Mosquitto of our own on loopback, with boards on
// pseudo-terminals: state latency, command latency, a flood, its footprint, and 20 bridges
// on one broker. Prints one JSON object per figure on stdout.
#include "broker.h"
#include "mqtt/mqttclient.h"
#include "pacer.h"
#include "ptyhelper.h"
#include "web/history.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
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

// CPU time (ns, all threads, as the scheduler counts it) and context switches of a process.
struct Usage {
    double cpuNs = 0;
    double switches = 0;
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
                if (line.startsWith("voluntary_ctxt_switches:") ||
                    line.startsWith("nonvoluntary_ctxt_switches:"))
                    u.switches += line.split(':').value(1).trimmed().toDouble();
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
    BridgeProcess(const TestBroker &broker, const QString &device, const QString &board,
                  const QStringList &extra = {})
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                      QStringList{QStringLiteral("--device"), device, QStringLiteral("--broker"),
                                  broker.url(), QStringLiteral("--board"), board,
                                  QStringLiteral("--no-discovery")} +
                          extra);
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
        client.start();
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
    constexpr long kFirst = 1000;
    FrameTimes zAt(kFrames);
    const Usage u0 = usageOf(bridge.pid());
    const std::int64_t start = monotonicNs();
    const pid_t child = paceFrames(board.master(), kFrames, kFirst, zAt);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0)
        spin(100);
    spin(100);
    const double wall = double(monotonicNs() - start) / 1e9;
    const Usage u1 = usageOf(bridge.pid());
    std::vector<double> ms;
    const auto &seen = watch.seen[QStringLiteral("b1")];
    for (int i = 0; i < kFrames; ++i) {
        const auto it = seen.find(kFirst + i);
        if (it != seen.end())
            ms.push_back(double(it->second - zAt[i]) / 1e6);
    }
    const QJsonObject o{{"figure", "bridge_state_latency"},
                        {"options", extra.join(QLatin1Char(' '))},
                        {"frames", double(ms.size())},
                        {"median_ms", percentile(ms, 0.5)},
                        {"p99_ms", percentile(ms, 0.99)},
                        {"cpu_share_of_core", (u1.cpuNs - u0.cpuNs) / 1e9 / wall},
                        {"wakeups_per_s", (u1.switches - u0.switches) / wall},
                        {"rss_mb", memoryMb(bridge.pid(), "VmRSS:")}};
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
    app.start();
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
    int failures = 0;
    const auto gate = [&](bool ok, const char *what, double value) {
        std::printf("gate %s: %s (%g)\n", ok ? "ok" : "FAILED", what, value);
        std::fflush(stdout);
        failures += ok ? 0 : 1;
    };
    const QJsonObject s = stateLatency(extra, 150);
    gate(s.value("frames").toDouble() == 150, "every frame's state at 9600-baud pace",
         s.value("frames").toDouble());
    gate(s.value("p99_ms").toDouble() < 40, "frame end to state p99 < 40 ms",
         s.value("p99_ms").toDouble());
    gate(s.value("wakeups_per_s").toDouble() < 300, "wake-ups at 9600-baud pace < 300/s",
         s.value("wakeups_per_s").toDouble());
    const QJsonObject c = commandLatency(200);
    gate(c.value("commands").toDouble() == 200 && c.value("in_order").toBool(),
         "every command at the board, in order", c.value("commands").toDouble());
    gate(c.value("p99_ms").toDouble() < 40, "command p99 < 40 ms", c.value("p99_ms").toDouble());
    return failures == 0 ? 0 : 1;
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
    constexpr long kFirst = 1000;
    FrameTimes zAt(kFrames);
    const Usage u0 = usageOf(bridge.pid());
    const std::int64_t start = monotonicNs();
    const pid_t child = paceFrames(board.master(), kFrames, kFirst, zAt);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0)
        spin(100);
    spin(100);
    const double wall = double(monotonicNs() - start) / 1e9;
    const Usage u1 = usageOf(bridge.pid());
    std::vector<double> ms;
    for (const auto &page : seen) {
        for (int i = 0; i < kFrames; ++i) {
            const auto it = page.find(kFirst + i);
            if (it != page.end())
                ms.push_back(double(it->second - zAt[i]) / 1e6);
        }
    }
    const double cpu = (u1.cpuNs - u0.cpuNs) / 1e9 / wall;
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
    if (args.contains(QStringLiteral("--gate")))
        return gateRun(args.mid(args.indexOf(QStringLiteral("--gate")) + 1));
    if (all || args.contains(QStringLiteral("--latency"))) {
        stateLatency({});
        stateLatency({QStringLiteral("--read-interval"), QStringLiteral("2")});
    }
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
