// Cost of one uncached transposition of a 4-bar loop at 120 BPM and 44.1 kHz (352800
// samples, stereo): a drum loop split at its onsets, and a held chord stretched whole as
// small shifts of the tonal lanes are. Also the play-buffer rebuild that precedes it.
#include "engine/LoopEngine.h"
#include "../tests/engine/SignalHelpers.h"

#include <benchmark/benchmark.h>

namespace
{
constexpr double kRate = 44100.0;

void loadLane (tg::Lane& lane, int laneIndex, const std::vector<float>& x)
{
    const int n = (int) x.size();
    lane.source.setSize (2, n);
    lane.source.copyFrom (0, 0, x.data(), n);
    lane.source.copyFrom (1, 0, x.data(), n, 0.7f);
    lane.sampleRate = kRate;
    lane.bpm = 120.0;
    lane.bars = 4;
    lane.loopName = "Bench Loop";
    lane.rebuildPlayBuffer (laneIndex);
}

std::vector<float> chordLoop()
{
    auto x = std::vector<float> ((size_t) tgtest::loopLength (120.0, 4, kRate), 0.0f);
    for (const double hz : { 110.0, 220.0, 261.63, 329.63 })
        tgtest::addSine (x, hz, 0.15, kRate);
    return x;
}

void shiftRepeatedly (benchmark::State& state, tg::Lane& lane, float semitones)
{
    for (auto _ : state)
    {
        benchmark::DoNotOptimize (lane.shifted (semitones));
        state.PauseTiming();
        lane.pitched.clear(); // force a fresh computation next time
        lane.retired.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed (state.iterations() * lane.play.getNumSamples());
}

void BM_ShiftDrumLoopUp3OnPerc (benchmark::State& state)
{
    tg::Lane lane;
    loadLane (lane, tg::perc2, tgtest::drumLoop (120.0, 4, kRate));
    shiftRepeatedly (state, lane, 3.0f);
}
BENCHMARK (BM_ShiftDrumLoopUp3OnPerc)->Unit (benchmark::kMillisecond);

void BM_ShiftChordUp2OnLead (benchmark::State& state)
{
    tg::Lane lane;
    loadLane (lane, tg::lead, chordLoop());
    shiftRepeatedly (state, lane, 2.0f);
}
BENCHMARK (BM_ShiftChordUp2OnLead)->Unit (benchmark::kMillisecond);

void BM_ShiftDrumLoopDown12OnKick (benchmark::State& state)
{
    tg::Lane lane;
    loadLane (lane, tg::kick, tgtest::drumLoop (120.0, 4, kRate));
    shiftRepeatedly (state, lane, -12.0f);
}
BENCHMARK (BM_ShiftDrumLoopDown12OnKick)->Unit (benchmark::kMillisecond);

void BM_RebuildPlayBufferCroppedLead (benchmark::State& state)
{
    tg::Lane lane;
    loadLane (lane, tg::lead, chordLoop());
    lane.cropLen = 2;
    lane.cropStart = 1;
    lane.beatShift = 3;
    for (auto _ : state)
    {
        lane.rebuildPlayBuffer (tg::lead);
        lane.retired.clear();
    }
}
BENCHMARK (BM_RebuildPlayBufferCroppedLead)->Unit (benchmark::kMillisecond);
} // namespace
