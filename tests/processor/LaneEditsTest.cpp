// One-lane edits: beat shifts that wrap, crops that carry the shift in the play buffer,
// re-rolls that never repeat themselves, effect dials, and audibility under mute and solo.
#include "support/ProcessorRig.h"

namespace
{
// A stereo loop whose every sample tells where it sits: sample i of n holds i / n.
juce::AudioBuffer<float> ramp (int n)
{
    return tgtest::makeBuffer (n, [n] (int, int i) { return (double) i / n; });
}

constexpr double kSamplesPerBar = 88200.0; // 120 BPM at 44.1 kHz

// Candidates named names[0..] on one lane, the first one playing.
void fillLane (TapegrubProcessor& p, int lane, const juce::StringArray& names, int bars = 2)
{
    tgtest::setCandidates (p, lane, names, bars, [bars] (int k)
    {
        const double step = 0.06 + 0.01 * k; // radians per sample: a few hundred Hz
        return tgtest::makeBuffer (bars * (int) kSamplesPerBar, [step] (int, int i) { return 0.4 * std::sin (i * step); });
    });
}
} // namespace

TEST (LaneEdits, BeatShiftWrapsWithinTheLoop)
{
    struct Case
    {
        const char* name;
        int bars, cropLen, cropStart;
        std::vector<std::pair<int, int>> deltaThenShift;
    };
    const Case cases[] {
        { "uncropped 2 bars", 2, 0, 0, { { -1, 7 }, { 9, 0 }, { 17, 1 } } },
        { "1 bar", 1, 0, 0, { { -5, 3 }, { -4, 3 } } },
        { "4 bars cropped to 1: counted over the loop", 4, 1, 2, { { -1, 15 }, { 16, 15 }, { 3, 2 } } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        tgtest::Rig rig;
        auto& p = rig.processor;
        tgtest::installLoop (p, tg::hats, ramp (c.bars * (int) kSamplesPerBar), 44100.0, 120.0, c.bars);
        if (c.cropLen > 0)
            p.setCrop (tg::hats, c.cropLen, c.cropStart, false);

        size_t steps = 0;
        for (const auto& [delta, shift] : c.deltaThenShift)
        {
            p.shiftLane (tg::hats, delta);
            EXPECT_EQ (p.engine.lanes[tg::hats].beatShift, shift) << "after " << delta;
            EXPECT_EQ (p.laneViews[tg::hats].beatShift, c.cropLen > 0 ? 0 : shift) << "after " << delta;
            EXPECT_EQ (p.undoStack.size(), ++steps);
        }
    }

    // A lane with nothing to play does not move and records nothing.
    tgtest::Rig rig;
    rig.processor.shiftLane (tg::clap, 1);
    EXPECT_EQ (rig.processor.engine.lanes[tg::clap].beatShift, 0);
    EXPECT_TRUE (rig.processor.undoStack.empty());
}

TEST (LaneEdits, ShiftingACroppedLaneMovesItsCropWindow)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    const int n = 2 * (int) kSamplesPerBar;
    tgtest::installLoop (p, tg::kick, ramp (n), 44100.0, 120.0, 2);
    const auto& kick = p.engine.lanes[tg::kick];
    const auto& view = p.laneViews[tg::kick];

    // Uncropped: the buffer stays, the view plays the shift.
    const int refreshes = p.laneRefreshCount (tg::kick);
    p.shiftLane (tg::kick, 2);
    EXPECT_FLOAT_EQ (kick.play.getSample (0, 0), 0.0f);
    EXPECT_EQ (view.beatShift, 2);
    EXPECT_EQ (p.laneRefreshCount (tg::kick), refreshes + 1);

    // Cropped to the first bar: a shift of -1 (7 of 8 beats) starts the window 1.75 bars in,
    // wrapping round the loop's end.
    p.setCrop (tg::kick, 1, 0, true);
    EXPECT_FLOAT_EQ (kick.play.getSample (0, 0), 0.0f);
    p.shiftLane (tg::kick, -1);
    ASSERT_EQ (kick.beatShift, 7);
    ASSERT_EQ (kick.play.getNumSamples(), (int) kSamplesPerBar);
    const int start = (int) (1.75 * kSamplesPerBar);
    EXPECT_FLOAT_EQ (kick.play.getSample (0, 0), (float) start / n);
    EXPECT_FLOAT_EQ (kick.play.getSample (1, n - start - 1), (float) (n - 1) / n);
    EXPECT_FLOAT_EQ (kick.play.getSample (0, n - start), 0.0f);
    EXPECT_EQ (view.left, kick.play.getReadPointer (0));
    EXPECT_EQ (view.numSamples, (int) kSamplesPerBar);
    EXPECT_EQ (view.beatShift, 0) << "the window already holds the shift";

    // Removing the crop with a reset gives back the whole loop, unshifted.
    p.setCrop (tg::kick, 0, 0, true);
    EXPECT_EQ (kick.cropLen, 0);
    EXPECT_EQ (kick.cropStart, 0);
    EXPECT_EQ (kick.beatShift, 0);
    EXPECT_EQ (kick.playBars, 2);
    ASSERT_EQ (kick.play.getNumSamples(), n);
    EXPECT_FLOAT_EQ (kick.play.getSample (0, 0), 0.0f);
    EXPECT_FLOAT_EQ (kick.play.getSample (1, n - 1), (float) (n - 1) / n);
    EXPECT_EQ (view.beatShift, 0);
    EXPECT_EQ (view.numSamples, n);

    // Without the reset a crop keeps the shift.
    p.shiftLane (tg::kick, 3);
    p.setCrop (tg::kick, 1, 1, false);
    EXPECT_EQ (kick.beatShift, 3);
    EXPECT_FLOAT_EQ (kick.play.getSample (0, 0), (float) (int) (1.75 * kSamplesPerBar) / n);
}

TEST (LaneEdits, RerollNeverRepeatsOrTakesAnotherLanesLoop)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    p.random.setSeed (21);
    fillLane (p, tg::hats, { "X", "Y", "Z" });
    fillLane (p, tg::clap, { "Y", "W" }); // CLAP plays Y

    for (int i = 0; i < 20; ++i)
    {
        const auto before = p.engine.lanes[tg::hats].loopName;
        const auto depth = p.undoStack.size();
        p.rerollLane (tg::hats);
        const auto& hats = p.engine.lanes[tg::hats];
        ASSERT_NE (hats.loopName, before);
        ASSERT_NE (hats.loopName, "Y");
        EXPECT_EQ (hats.loops[(size_t) hats.pick].name, hats.loopName);
        EXPECT_EQ (p.undoStack.size(), depth + 1);
        EXPECT_EQ (p.laneViews[tg::hats].left, hats.play.getReadPointer (0));
    }
    const auto rolled = p.engine.lanes[tg::hats].loopName;
    ASSERT_TRUE (p.undoStep());
    EXPECT_NE (p.engine.lanes[tg::hats].loopName, rolled);

    // A lane with a single candidate keeps it, but still records a step and re-levels it.
    fillLane (p, tg::perc2, { "Only" });
    tgtest::setParam (p, "automix", 1.0f);
    tgtest::setParam (p, "vol_5", 4.0f);
    const auto depth = p.undoStack.size();
    p.rerollLane (tg::perc2);
    EXPECT_EQ (p.engine.lanes[tg::perc2].loopName, "Only");
    EXPECT_EQ (p.undoStack.size(), depth + 1);
    EXPECT_LT (tgparams::readFloat (p.paramCache().vol[5], 4.0f), 3.9f) << "Auto Mix ran for the lane";
}

TEST (LaneEdits, RerolledLeadLandsWithinASemitone)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    p.random.setSeed (8);
    fillLane (p, tg::lead, { "Keys 1", "Keys 2", "Keys 3" }, 1);
    fillLane (p, tg::bass, { "Bass 1", "Bass 2" }, 1);

    std::map<int, int> leadOffsets;
    for (int i = 0; i < 40; ++i)
    {
        p.rerollLane (tg::lead);
        ++leadOffsets[p.engine.lanes[tg::lead].autoSemi];
        p.engine.lanes[tg::bass].autoSemi = 5;
        p.rerollLane (tg::bass);
        ASSERT_EQ (p.engine.lanes[tg::bass].autoSemi, 0) << "only the LEAD wobbles";
    }
    for (const auto& [offset, count] : leadOffsets)
        EXPECT_TRUE (offset >= -1 && offset <= 1) << offset;
    EXPECT_GT (leadOffsets[0], 0);
    EXPECT_GT (leadOffsets[1] + leadOffsets[-1], 0);
}

TEST (LaneEdits, LaneFxSetsTheRawDialAndTellsTheHost)
{
    TapegrubProcessor p;
    struct Case
    {
        int lane, fx;
        float value, raw;
    };
    const Case cases[] { { 2, 4, 0.25f, 0.25f }, { 6, 0, 1.7f, 1.0f }, { 0, 6, -1.0f, 0.0f }, { 3, 0, 0.5f, 0.5f } };
    for (const auto& c : cases)
    {
        p.setLaneFX (c.lane, c.fx, c.value);
        EXPECT_FLOAT_EQ (tgparams::readFloat (p.paramCache().fx[(size_t) c.lane][(size_t) c.fx], -1.0f), c.raw)
            << c.lane << "/" << c.fx;
    }
}

TEST (LaneEdits, LaneEnabledUnderMuteAndSolo)
{
    TapegrubProcessor p;
    struct Case
    {
        const char* name;
        unsigned muted, soloed, audible; // bit i: lane i
    };
    const Case cases[] {
        { "nothing set", 0, 0, 0x7f },
        { "mute BASS", 0x02, 0, 0x7d },
        { "solo HATS", 0, 0x04, 0x04 },
        { "solo HATS and PERC 2, PERC 2 muted", 0x20, 0x24, 0x04 },
        { "solo a muted KICK only", 0x01, 0x01, 0x00 },
        { "everything soloed", 0, 0x7f, 0x7f },
    };
    for (const auto& c : cases)
    {
        for (int lane = 0; lane < 7; ++lane)
        {
            tgtest::setParam (p, "mute_" + juce::String (lane), (c.muted >> lane) & 1u ? 1.0f : 0.0f);
            tgtest::setParam (p, "solo_" + juce::String (lane), (c.soloed >> lane) & 1u ? 1.0f : 0.0f);
        }
        for (int lane = 0; lane < 7; ++lane)
            EXPECT_EQ (p.laneEnabled (lane), ((c.audible >> lane) & 1u) != 0) << c.name << ", lane " << lane;
    }
}
