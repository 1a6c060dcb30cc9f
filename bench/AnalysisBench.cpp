// Loop analysis cost per loop, on a generated 4-bar drum loop at 44.1 kHz (8 s at 120 BPM,
// so tempo detection scores three candidates over the full six-second envelope).
#include "engine/Conditioning.h"
#include "engine/Tempo.h"
#include "../tests/engine/SignalHelpers.h"

#include <benchmark/benchmark.h>

namespace
{
const std::vector<float>& fourBarLoop()
{
    static const auto loop = tgtest::drumLoop (120.0, 4, 44100.0);
    return loop;
}

void BM_DetectLoopBpm (benchmark::State& state)
{
    const auto& loop = fourBarLoop();
    for (auto _ : state)
    {
        int bars = 0;
        benchmark::DoNotOptimize (tg::detectLoopBpm (loop.data(), (int) loop.size(), 44100.0, bars, 0.0));
        benchmark::DoNotOptimize (bars);
    }
}
BENCHMARK (BM_DetectLoopBpm)->Unit (benchmark::kMillisecond);

void BM_AnalyseResonances (benchmark::State& state)
{
    const auto& loop = fourBarLoop();
    for (auto _ : state)
        benchmark::DoNotOptimize (tg::analyseResonances (loop.data(), (int) loop.size(), 44100.0));
}
BENCHMARK (BM_AnalyseResonances)->Unit (benchmark::kMillisecond);

void BM_DetectOnsets (benchmark::State& state)
{
    const auto& loop = fourBarLoop();
    for (auto _ : state)
        benchmark::DoNotOptimize (tg::detectOnsets (loop.data(), (int) loop.size(), 44100.0));
}
BENCHMARK (BM_DetectOnsets)->Unit (benchmark::kMicrosecond);
} // namespace
