// SPDX-License-Identifier: MIT
// Telemetry reception cost: streaming throughput and the parse of a growing buffer.
#include "protocol/telemetry.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace quorvane::protocol;

namespace {

constexpr std::string_view kFrame = "XPir:1YLig:64YTp1:28YTp2:31YZ";

struct CountingSink {
    std::size_t readings = 0;
    std::size_t bytes = 0;
    void operator()(Reading, std::string_view text)
    {
        ++readings;
        bytes += text.size();
    }
};

// Standard frames, one character per call, as the panel feeds them.
void BM_ReceiveStream(benchmark::State &state)
{
    std::string stream;
    while (stream.size() < (1u << 20))
        stream += kFrame;
    std::string buffer(kInitialBuffer);
    buffer.reserve(kBufferBound);
    CountingSink sink;
    for (auto _ : state) {
        for (const char &c : stream)
            receive(buffer, std::string_view(&c, 1), sink);
        benchmark::DoNotOptimize(sink.readings);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
    state.counters["chars/s"] =
        benchmark::Counter(double(stream.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReceiveStream)->Unit(benchmark::kMillisecond);

// One parse of a buffer of the given size. "piled": frames without X, the first one wins
// quickly; "no tags": payload that holds no tag, so every search runs to the end; "late":
// candidates for every first letter all the way, and the tags at the end.
void parseOf(benchmark::State &state, std::string buffer)
{
    CountingSink sink;
    for (auto _ : state) {
        extractReadings(buffer, sink);
        benchmark::DoNotOptimize(sink.bytes);
    }
}

std::string sized(std::string_view unit, std::size_t size, std::string_view tail = {})
{
    std::string s;
    while (s.size() + unit.size() + tail.size() <= size)
        s += unit;
    s += tail;
    s.resize(size, '0');
    return s;
}

void BM_ParsePiled(benchmark::State &state)
{
    parseOf(state, sized(kFrame.substr(1, kFrame.size() - 2), std::size_t(state.range(0))));
}
void BM_ParseNoTags(benchmark::State &state)
{
    parseOf(state, sized("0123456789 abcdefg ", std::size_t(state.range(0))));
}
void BM_ParseLateTags(benchmark::State &state)
{
    parseOf(state,
            sized("p l t P L T Tp ", std::size_t(state.range(0)), "Pir:1YLig:64YTp1:28YTp2:31Y"));
}
// The worst a buffer can do: tags first, then nothing but ":" (every one a candidate) and no
// terminator, so every search runs to the end.
void BM_ParseWorstCase(benchmark::State &state)
{
    std::string buffer = "pir:lig:tp1:tp2:";
    buffer.resize(std::size_t(state.range(0)), ':');
    parseOf(state, buffer);
}
void BM_ParseColonsThenTags(benchmark::State &state)
{
    parseOf(state, sized(":", std::size_t(state.range(0)), "Pir:1YLig:64YTp1:28YTp2:31Y"));
}
// Every ":" preceded three bytes earlier by a letter that can start a tag.
void BM_ParseTagStartsThenTags(benchmark::State &state)
{
    parseOf(state, sized("p:", std::size_t(state.range(0)), "Pir:1YLig:64YTp1:28YTp2:31Y"));
}
BENCHMARK(BM_ParseTagStartsThenTags)->RangeMultiplier(4)->Range(64, int(kBufferBound));
BENCHMARK(BM_ParseWorstCase)->RangeMultiplier(4)->Range(64, int(kBufferBound));
BENCHMARK(BM_ParseColonsThenTags)->RangeMultiplier(4)->Range(64, int(kBufferBound));
BENCHMARK(BM_ParsePiled)->RangeMultiplier(4)->Range(64, int(kBufferBound));
BENCHMARK(BM_ParseNoTags)->RangeMultiplier(4)->Range(64, int(kBufferBound));
BENCHMARK(BM_ParseLateTags)->RangeMultiplier(4)->Range(64, int(kBufferBound));

} // namespace

BENCHMARK_MAIN();
