// Cost of the live render: one 512-sample processBlock at 48 kHz with seven 4-bar drum loops
// (120 BPM, 44.1 kHz, so every lane is resampled), the host playing at 120 BPM.
//   ProcessBlockDefaults  every parameter at its default
//   ProcessBlockFullLoad  every dial of every lane active, Raw and Sparkle on, reverb sends
//                         on every lane, length gate on
//   ProcessBlockBareMix   the floor: the same seven loops read by linear interpolation and
//                         summed, nothing else
// rtFactor is seconds of audio rendered per second of CPU time.
#include "processor/SteadyPlayHead.h"
#include "processor/TapegrubProcessor.h"
#include "../tests/engine/SignalHelpers.h"

#include <benchmark/benchmark.h>

namespace
{
constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr double kLoopRate = 44100.0;
constexpr double kBpm = 120.0; // also SteadyPlayHead's default
constexpr int kBars = 4;

// Lane loops: a drum groove per lane, its right channel a little quieter than its left.
juce::AudioBuffer<float> laneLoop (int lane)
{
    const auto x = tgtest::drumLoop (kBpm, kBars, kLoopRate, (std::uint32_t) lane + 1);
    juce::AudioBuffer<float> b (2, (int) x.size());
    b.copyFrom (0, 0, x.data(), (int) x.size());
    b.copyFrom (1, 0, x.data(), (int) x.size(), 0.8f);
    return b;
}

void setParam (TapegrubProcessor& p, const juce::String& id, float plainValue)
{
    if (auto* param = p.parameters.getParameter (id))
        param->setValueNotifyingHost (param->convertTo0to1 (plainValue));
}

void reportRealTime (benchmark::State& state)
{
    state.counters["rtFactor"] = benchmark::Counter ((double) state.iterations() * kBlock / kRate,
                                                     benchmark::Counter::kIsRate);
}

// A prepared processor with seven loaded lanes, played by a host at 120 BPM.
struct Session
{
    explicit Session (bool fullLoad)
    {
        processor.setRateAndBufferSizeDetails (kRate, kBlock);
        processor.prepareToPlay (kRate, kBlock);
        processor.setPlayHead (&head);

        for (int lane = 0; lane < 7; ++lane)
        {
            tg::Loop loop;
            loop.name = "Groove " + juce::String (lane);
            loop.audio = laneLoop (lane);
            loop.sampleRate = kLoopRate;
            loop.bpm = kBpm;
            loop.bars = kBars;

            processor.takeLanesOffline (lane);
            auto& l = processor.engine.lanes[(size_t) lane];
            l.loops.clear();
            l.loops.push_back (std::move (loop));
            l.pick = 0;
            processor.engine.assignLoop (lane, l.loops[0]);
            processor.engine.packLoaded = true;
            processor.refreshLanePlay (lane);
        }

        if (fullLoad)
        {
            for (int lane = 0; lane < 7; ++lane)
            {
                const juce::String l (lane);
                setParam (processor, "fx_" + l + "_0", 0.6f);                        // pitch +2
                setParam (processor, "fx_" + l + "_1", 0.3f);                        // pan
                setParam (processor, "fx_" + l + "_2", 0.5f);                        // drive
                setParam (processor, "fx_" + l + "_3", 0.4f);                        // crush
                setParam (processor, "fx_" + l + "_4", lane % 2 == 0 ? 0.3f : 0.8f); // low- or high-pass
                setParam (processor, "fx_" + l + "_5", 0.4f);                        // reverb send
                setParam (processor, "fx_" + l + "_6", 0.8f);                        // punch
            }
            setParam (processor, "raw", 1.0f);
            setParam (processor, "sparkle", 1.0f);
            setParam (processor, "lenmode", 1.0f);
        }
        processor.handleUpdateNowIfNeeded(); // pitch-shifted copies and notches, before timing

        for (int i = 0; i < 100; ++i) // fades, filters and the reverb settle
            block();
    }

    void block()
    {
        processor.processBlock (buffer, midi);
        head.advance (kBlock, kRate);
    }

    TapegrubProcessor processor;
    SteadyPlayHead head; // kBpm, the play head's default tempo
    juce::AudioBuffer<float> buffer { 2, kBlock };
    juce::MidiBuffer midi;
};

void ProcessBlockDefaults (benchmark::State& state)
{
    Session session (false);
    for (auto _ : state)
    {
        session.block();
        benchmark::DoNotOptimize (session.buffer.getReadPointer (0));
    }
    reportRealTime (state);
}
BENCHMARK (ProcessBlockDefaults)->Unit (benchmark::kMicrosecond);

void ProcessBlockFullLoad (benchmark::State& state)
{
    Session session (true);
    for (auto _ : state)
    {
        session.block();
        benchmark::DoNotOptimize (session.buffer.getReadPointer (0));
    }
    reportRealTime (state);
}
BENCHMARK (ProcessBlockFullLoad)->Unit (benchmark::kMicrosecond);

// The least any seven-lane player must do: read each loop at the host's speed with linear
// interpolation and sum the lanes.
void ProcessBlockBareMix (benchmark::State& state)
{
    std::vector<juce::AudioBuffer<float>> loops;
    for (int lane = 0; lane < 7; ++lane)
        loops.push_back (laneLoop (lane));
    const double rate = kLoopRate / kRate; // same tempo, loop at 44.1 kHz: loop samples per output sample
    std::vector<double> readPos (loops.size(), 0.0);
    juce::AudioBuffer<float> out (2, kBlock);

    for (auto _ : state)
    {
        out.clear();
        float* outL = out.getWritePointer (0);
        float* outR = out.getWritePointer (1);
        for (size_t lane = 0; lane < loops.size(); ++lane)
        {
            const auto& loop = loops[lane];
            const int n = loop.getNumSamples();
            const float* l = loop.getReadPointer (0);
            const float* r = loop.getReadPointer (1);
            double src = readPos[lane];
            for (int k = 0; k < kBlock; ++k)
            {
                const int i0 = (int) src;
                const int i1 = i0 + 1 < n ? i0 + 1 : 0;
                const float f = (float) (src - i0);
                outL[k] += l[i0] + (l[i1] - l[i0]) * f;
                outR[k] += r[i0] + (r[i1] - r[i0]) * f;
                src += rate;
                if (src >= n)
                    src -= n;
            }
            readPos[lane] = src;
        }
        benchmark::DoNotOptimize (outL);
        benchmark::ClobberMemory();
    }
    reportRealTime (state);
}
BENCHMARK (ProcessBlockBareMix)->Unit (benchmark::kMicrosecond);
} // namespace
