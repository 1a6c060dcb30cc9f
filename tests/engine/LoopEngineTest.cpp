// The engine's records and its small operations: defaults, assigning a loop to a lane,
// capturing and re-applying the lanes' picks by name, and moving lanes.
#include "engine/LoopEngine.h"
#include "SignalHelpers.h"

#include <gtest/gtest.h>

namespace
{
constexpr double kRate = 8000.0; // small buffers keep the rebuilds cheap
constexpr double kBpm = 120.0;   // 16000 samples per bar at kRate

// A stereo loop of the given bars: noise plus a strong resonance near 1 kHz, so that the
// resonance analysis has something to find.
tg::Loop makeLoop (const juce::String& name, int bars, std::uint32_t seed = 1)
{
    const int n = tgtest::loopLength (kBpm, bars, kRate);
    tgtest::Noise noise (seed);
    tg::Loop loop;
    loop.name = name;
    loop.sampleRate = kRate;
    loop.bpm = kBpm;
    loop.bars = bars;
    loop.audio.setSize (2, n);
    for (int i = 0; i < n; ++i)
    {
        const float v = 0.05f * noise.next() + 0.5f * (float) std::sin (2.0 * tgtest::kPi * 1023.0 * i / kRate);
        loop.audio.setSample (0, i, v);
        loop.audio.setSample (1, i, -0.5f * v);
    }
    return loop;
}

using tgtest::sameAudio;

void expectNotchesMatchMono (const tg::Lane& lane, int index)
{
    if (tg::isTonalLane (index))
    {
        EXPECT_TRUE (lane.notches.empty()) << "lane " << index;
        return;
    }
    const auto expected = tg::analyseResonances (lane.mono.getReadPointer (0), lane.mono.getNumSamples(), lane.sampleRate);
    ASSERT_EQ (lane.notches.size(), expected.size()) << "lane " << index;
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ (lane.notches[i].frequency, expected[i].frequency);
        EXPECT_EQ (lane.notches[i].gainDb, expected[i].gainDb);
    }
}

TEST (LoopEngineModel, NewEngineDefaults)
{
    const tg::LoopEngine engine;
    for (int i = 0; i < tg::numLanes; ++i)
    {
        const auto& lane = engine.lanes[(size_t) i];
        EXPECT_EQ (lane.pick, -1);
        EXPECT_TRUE (lane.loopName.isEmpty());
        EXPECT_TRUE (lane.loops.empty());
        EXPECT_EQ (lane.bpm, 120.0);
        EXPECT_EQ (lane.bars, 1);
        EXPECT_EQ (lane.sampleRate, 44100.0);
        EXPECT_EQ (lane.cropLen, 0);
        EXPECT_EQ (lane.cropStart, 0);
        EXPECT_EQ (lane.beatShift, 0);
        EXPECT_EQ (lane.playBars, 1);
        EXPECT_EQ (lane.keyRoot, -1);
        EXPECT_TRUE (lane.keyMinor);
        EXPECT_EQ (lane.keyConfidence, 0.0f);
        EXPECT_FALSE (lane.keyNamed);
        EXPECT_FALSE (lane.tonal);
        EXPECT_FALSE (lane.hold);
        EXPECT_EQ (lane.autoSemi, 0);
        EXPECT_EQ (lane.source.getNumChannels(), 0);
        EXPECT_EQ (lane.play.getNumChannels(), 0);
        EXPECT_TRUE (lane.pitched.empty());
    }
    EXPECT_EQ (engine.packBpm, 125.0);
    EXPECT_TRUE (engine.packName.isEmpty());
    EXPECT_EQ (engine.loopCount + engine.oneShotCount + engine.movedCount + engine.skippedCount, 0);
    EXPECT_FALSE (engine.packLoaded);
    EXPECT_EQ (engine.cancel, nullptr);
}

TEST (LoopEngineModel, VerdictNames)
{
    using V = tg::IngestRecord::Verdict;
    const std::pair<V, const char*> cases[] = {
        { V::loop, "loop" }, { V::oneShot, "one-shot" }, { V::texture, "texture" },
        { V::noise, "noise" }, { V::unplaced, "unplaced" },
    };
    for (const auto& [verdict, name] : cases)
        EXPECT_STREQ (tg::verdictName (verdict), name);
}

TEST (LoopEngineAssign, ResetsCropAndShiftAndFillsNotchesExceptOnTonalLanes)
{
    tg::LoopEngine engine;
    const auto first = makeLoop ("First", 4, 1);
    const auto second = makeLoop ("Second Am", 2, 2);

    for (int i = 0; i < tg::numLanes; ++i)
    {
        SCOPED_TRACE (i);
        auto& lane = engine.lanes[(size_t) i];
        engine.assignLoop (i, first);
        lane.cropLen = 2;
        lane.cropStart = 1;
        lane.beatShift = 3;
        lane.rebuildPlayBuffer (i);
        lane.notches = { tg::Notch { 500.0, 8.0, -6.0 } }; // stale: must not survive
        ASSERT_EQ (lane.playBars, 2);

        engine.assignLoop (i, second);
        EXPECT_EQ (lane.cropLen, 0);
        EXPECT_EQ (lane.cropStart, 0);
        EXPECT_EQ (lane.beatShift, 0);
        EXPECT_EQ (lane.playBars, 2);
        EXPECT_EQ (lane.loopName, "Second Am");
        EXPECT_EQ (lane.bars, 2);
        EXPECT_TRUE (sameAudio (lane.source, second.audio));
        EXPECT_EQ (lane.play.getNumSamples(), second.audio.getNumSamples());
        EXPECT_EQ (lane.keyRoot, 9); // the play buffer was rebuilt for the new name
        EXPECT_EQ (lane.pick, -1);   // the caller sets pick
        expectNotchesMatchMono (lane, i);
        if (! tg::isTonalLane (i))
        {
            EXPECT_FALSE (lane.notches.empty()); // the 1 kHz resonance is found
        }
    }
}

// An engine whose lanes each offer the candidates A (4 bars), B (2 bars), C (1 bar), with
// A picked and cropped to bars 1..2 and shifted by a beat.
tg::LoopEngine makeStockedEngine()
{
    tg::LoopEngine engine;
    for (int i = 0; i < tg::numLanes; ++i)
    {
        auto& lane = engine.lanes[(size_t) i];
        lane.loops = { makeLoop ("A", 4, 1), makeLoop ("B", 2, 2), makeLoop ("C", 1, 3) };
        lane.pick = 0;
        engine.assignLoop (i, lane.loops[0]);
        lane.cropLen = 2;
        lane.cropStart = 1;
        lane.beatShift = 1;
        lane.rebuildPlayBuffer (i);
    }
    return engine;
}

TEST (LoopEngineSet, CaptureAndApplyRestoreLoopsAndCrops)
{
    auto engine = makeStockedEngine();
    const auto set = engine.captureSet();
    for (int i = 0; i < tg::numLanes; ++i)
    {
        EXPECT_EQ (set.loop[(size_t) i], "A");
        EXPECT_EQ (set.cropLen[(size_t) i], 2);
        EXPECT_EQ (set.cropStart[(size_t) i], 1);
    }

    for (int i = 0; i < tg::numLanes; ++i)
    {
        auto& lane = engine.lanes[(size_t) i];
        lane.pick = 1;
        engine.assignLoop (i, lane.loops[1]);
    }

    engine.applySet (set);
    for (int i = 0; i < tg::numLanes; ++i)
    {
        SCOPED_TRACE (i);
        const auto& lane = engine.lanes[(size_t) i];
        EXPECT_EQ (lane.pick, 0);
        EXPECT_EQ (lane.loopName, "A");
        EXPECT_EQ (lane.cropLen, 2);
        EXPECT_EQ (lane.cropStart, 1);
        EXPECT_EQ (lane.beatShift, 0); // the loop change reset it; undo restores it itself
        EXPECT_EQ (lane.playBars, 2);
        EXPECT_EQ (lane.play.getNumSamples(), 2 * 16000);
        expectNotchesMatchMono (lane, i);
    }
}

TEST (LoopEngineSet, ApplyCases)
{
    struct Case
    {
        const char* what;
        const char* name; // wanted loop
        int cropLen, cropStart;
        bool hold, noCandidates;
        // expected afterwards
        int pick;
        const char* loopName;
        int expectLen, expectStart;
        bool rebuilt; // play rebuilt and notches recomputed
    };
    const Case cases[] = {
        // The stocked lane plays A (4 bars) cropped to (2, 1) with beatShift 1.
        { "same loop and crop: untouched", "A", 2, 1, false, false, 0, "A", 2, 1, false },
        { "same loop, new crop", "A", 1, 3, false, false, 0, "A", 1, 3, true },
        { "same loop, crop past the end", "A", 2, 3, false, false, 0, "A", 0, 0, true },
        { "same loop, crop exactly to the end", "A", 2, 2, false, false, 0, "A", 2, 2, true },
        { "same loop, no crop", "A", 0, 0, false, false, 0, "A", 0, 0, true },
        { "other loop with crop", "B", 1, 1, false, false, 1, "B", 1, 1, true },
        { "other loop, crop past its end", "B", 2, 1, false, false, 1, "B", 0, 0, true },
        { "other loop, no crop", "C", 0, 0, false, false, 2, "C", 0, 0, true },
        { "unknown name with a crop clears the crop", "Gone", 2, 1, false, false, 0, "A", 0, 0, true },
        { "unknown name without a crop takes it as is", "Gone", 0, 1, false, false, 0, "A", 0, 1, true },
        { "empty name: untouched", "", 0, 0, false, false, 0, "A", 2, 1, false },
        { "held lane: untouched", "B", 0, 0, true, false, 0, "A", 2, 1, false },
        { "lane without candidates: untouched", "B", 0, 0, false, true, 0, "A", 2, 1, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto engine = makeStockedEngine();
        constexpr int laneIndex = tg::clap;
        auto& lane = engine.lanes[laneIndex];
        lane.hold = c.hold;
        if (c.noCandidates)
            lane.loops.clear();
        lane.notches.clear(); // a rebuild recomputes them: their return marks one

        auto set = engine.captureSet();
        set.loop[laneIndex] = c.name;
        set.cropLen[laneIndex] = c.cropLen;
        set.cropStart[laneIndex] = c.cropStart;
        engine.applySet (set);

        EXPECT_EQ (lane.pick, c.pick);
        EXPECT_EQ (lane.loopName, c.loopName);
        EXPECT_EQ (lane.cropLen, c.expectLen);
        EXPECT_EQ (lane.cropStart, c.expectStart);
        EXPECT_EQ (! lane.notches.empty(), c.rebuilt);
        const int expectBars = c.expectLen > 0 ? c.expectLen : lane.bars;
        EXPECT_EQ (lane.playBars, expectBars);
        EXPECT_EQ (lane.play.getNumSamples(), expectBars * 16000);
        EXPECT_EQ (lane.beatShift, std::string (c.loopName) == "A" ? 1 : 0);

        // Every other lane was asked for what it already had.
        for (int i = 0; i < tg::numLanes; ++i)
            if (i != laneIndex)
            {
                EXPECT_EQ (engine.lanes[(size_t) i].cropLen, 2);
            }
    }
}

TEST (LoopEngineSet, DuplicateNamesSelectTheFirst)
{
    tg::LoopEngine engine;
    auto& lane = engine.lanes[tg::perc1];
    lane.loops = { makeLoop ("Other", 1, 1), makeLoop ("Dup", 2, 2), makeLoop ("Dup", 4, 3) };
    lane.pick = 2;
    engine.assignLoop (tg::perc1, lane.loops[2]);

    auto set = engine.captureSet();
    set.loop[tg::perc1] = "Other";
    engine.applySet (set);
    ASSERT_EQ (lane.pick, 0);

    set.loop[tg::perc1] = "Dup";
    engine.applySet (set);
    EXPECT_EQ (lane.pick, 1);
    EXPECT_EQ (lane.bars, 2);
    EXPECT_TRUE (sameAudio (lane.source, lane.loops[1].audio));
}

TEST (LoopEngineModel, LanesMoveWithAllTheirBuffers)
{
    tg::LoopEngine engine;
    engine.lanes[tg::hats].loops = { makeLoop ("Hat Loop", 2) };
    engine.lanes[tg::hats].pick = 0;
    engine.assignLoop (tg::hats, engine.lanes[tg::hats].loops[0]);
    auto& from = engine.lanes[tg::hats];
    from.shifted (3.0f);
    from.retired.emplace_back (2, 10);
    from.hold = true;
    from.autoSemi = -1;

    const float* source = from.source.getReadPointer (0);
    const float* play = from.play.getReadPointer (0);
    const float* mono = from.mono.getReadPointer (0);
    const float* pitched = from.pitched.at (3).getReadPointer (0);
    const auto onsets = from.onsets;
    const auto notches = from.notches.size();

    tg::LoopEngine other;
    other.lanes[tg::lead] = std::move (from);
    const auto& to = other.lanes[tg::lead];

    // Moved, not copied: the same sample memory now belongs to the new lane.
    EXPECT_EQ (to.source.getReadPointer (0), source);
    EXPECT_EQ (to.play.getReadPointer (0), play);
    EXPECT_EQ (to.mono.getReadPointer (0), mono);
    ASSERT_EQ (to.pitched.count (3), 1u);
    EXPECT_EQ (to.pitched.at (3).getReadPointer (0), pitched);
    EXPECT_EQ (to.retired.size(), 1u);
    EXPECT_EQ (to.loops.size(), 1u);
    EXPECT_EQ (to.pick, 0);
    EXPECT_EQ (to.loopName, "Hat Loop");
    EXPECT_EQ (to.onsets, onsets);
    EXPECT_EQ (to.notches.size(), notches);
    EXPECT_TRUE (to.hold);
    EXPECT_EQ (to.autoSemi, -1);

    EXPECT_TRUE (from.loops.empty());
    EXPECT_TRUE (from.pitched.empty());
    EXPECT_TRUE (from.retired.empty());
    EXPECT_TRUE (from.onsets.empty());
    EXPECT_TRUE (from.notches.empty());
}
} // namespace
