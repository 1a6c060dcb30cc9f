// Undo, redo, GENERATE's history and the Grubhole: every step comes back exactly, parameters
// and lanes (loop, crop, shift, automatic offset and the audio the lane actually plays).
#include "support/ProcessorRig.h"

namespace
{
// Candidates for one lane, each a different tone so that play buffers tell them apart.
void fillLane (TapegrubProcessor& p, int lane, const juce::StringArray& names, int bars = 2)
{
    tgtest::setCandidates (p, lane, names, bars, [lane, bars] (int k)
    {
        const double step = 0.002 * (lane + 1) + 0.0007 * k;
        return tgtest::makeBuffer (bars * 88200, [step] (int c, int i)
                                   { return (0.2 + 0.1 * c) * std::sin (i * step) * (1.0 + (i % 22050) / 22050.0) / 2.0; });
    });
}

juce::StringArray namesOf (const char* stem, int count)
{
    juce::StringArray names;
    for (int k = 0; k < count; ++k)
        names.add (juce::String (stem) + " " + juce::String (k + 1));
    return names;
}

std::uint64_t hashOf (const juce::AudioBuffer<float>& b)
{
    std::uint64_t h = 1469598103934665603ull;
    for (int c = 0; c < b.getNumChannels(); ++c)
    {
        const auto* bytes = reinterpret_cast<const unsigned char*> (b.getReadPointer (c));
        for (size_t i = 0; i < sizeof (float) * (size_t) b.getNumSamples(); ++i)
            h = (h ^ bytes[i]) * 1099511628211ull;
    }
    return h;
}

// Everything a user step may change, including what the audio thread is pointed at.
struct State
{
    juce::String params;
    std::array<juce::String, 7> loop;
    std::array<int, 7> cropLen {}, cropStart {}, beatShift {}, autoSemi {}, viewShift {}, viewSamples {};
    std::array<std::uint64_t, 7> play {};
};

State capture (TapegrubProcessor& p)
{
    State s;
    s.params = p.parameters.copyState().toXmlString();
    for (size_t i = 0; i < 7; ++i)
    {
        const auto& l = p.engine.lanes[i];
        s.loop[i] = l.loopName;
        s.cropLen[i] = l.cropLen;
        s.cropStart[i] = l.cropStart;
        s.beatShift[i] = l.beatShift;
        s.autoSemi[i] = l.autoSemi;
        s.play[i] = hashOf (l.play);
        s.viewShift[i] = p.laneViews[i].beatShift;
        s.viewSamples[i] = p.laneViews[i].numSamples;
    }
    return s;
}

void expectSame (const State& a, const State& b, const std::string& where)
{
    SCOPED_TRACE (where);
    EXPECT_TRUE (a.params == b.params) << "parameters differ";
    for (size_t i = 0; i < 7; ++i)
    {
        EXPECT_EQ (a.loop[i], b.loop[i]) << "lane " << i;
        EXPECT_EQ (a.cropLen[i], b.cropLen[i]) << "lane " << i;
        EXPECT_EQ (a.cropStart[i], b.cropStart[i]) << "lane " << i;
        EXPECT_EQ (a.beatShift[i], b.beatShift[i]) << "lane " << i;
        EXPECT_EQ (a.autoSemi[i], b.autoSemi[i]) << "lane " << i;
        EXPECT_EQ (a.play[i], b.play[i]) << "lane " << i << ": play buffer";
        EXPECT_EQ (a.viewShift[i], b.viewShift[i]) << "lane " << i << ": view shift";
        EXPECT_EQ (a.viewSamples[i], b.viewSamples[i]) << "lane " << i << ": view";
    }
}

std::array<juce::String, 7> loops (const TapegrubProcessor& p)
{
    return p.engine.captureSet().loop;
}

struct ParameterCounter : juce::AudioProcessorListener
{
    void audioProcessorParameterChanged (juce::AudioProcessor*, int index, float) override { ++changes[index]; }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    std::map<int, int> changes;
};
} // namespace

TEST (Undo, KeepsTheLastSixtyFourSteps)
{
    TapegrubProcessor p;
    auto* vol = p.parameters.getParameter ("vol_0");
    for (int step = 1; step <= 65; ++step)
    {
        p.pushUndo();
        vol->setValueNotifyingHost ((float) step / 100.0f);
    }
    EXPECT_EQ (p.undoStack.size(), 64u);

    for (int step = 65; step >= 2; --step)
    {
        ASSERT_NEAR (vol->getValue(), (float) step / 100.0f, 1e-6f);
        ASSERT_TRUE (p.undoStep()) << step;
    }
    // The first step fell off the list: its value stays.
    EXPECT_NEAR (vol->getValue(), 0.01f, 1e-6f);
    EXPECT_FALSE (p.undoStep());
    EXPECT_NEAR (vol->getValue(), 0.01f, 1e-6f);

    EXPECT_EQ (p.redoStack.size(), 64u);
    for (int step = 2; step <= 65; ++step)
    {
        ASSERT_TRUE (p.redoStep());
        ASSERT_NEAR (vol->getValue(), (float) step / 100.0f, 1e-6f);
    }
    EXPECT_FALSE (p.redoStep());
}

TEST (Undo, UndoThenRedoRetracesEveryStepExactly)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    p.random.setSeed (11);
    fillLane (p, tg::kick, namesOf ("Kick", 3));
    fillLane (p, tg::hats, namesOf ("Hats", 2));
    fillLane (p, tg::clap, namesOf ("Clap", 3));

    std::vector<State> states { capture (p) };
    const std::vector<std::function<void()>> steps {
        [&] { p.pushUndo(); p.setCrop (tg::kick, 1, 1, true); },
        [&] { p.shiftLane (tg::kick, 1); },  // cropped: the shift lives in the play buffer
        [&] { p.shiftLane (tg::hats, 3); },  // uncropped: the shift is played live
        [&] { p.rerollLane (tg::clap); },
        [&] { p.pushUndo(); tgtest::setParam (p, "vol_2", 2.0f); tgtest::setParam (p, "fx_1_3", 0.7f); },
        [&] { p.shiftLane (tg::kick, -1); }, // back to no shift, still cropped
        [&] { p.pushUndo(); p.setCrop (tg::kick, 0, 0, false); },
    };
    for (const auto& step : steps)
    {
        step();
        states.push_back (capture (p));
    }
    ASSERT_EQ (p.undoStack.size(), steps.size());

    for (size_t i = states.size() - 1; i-- > 0;)
    {
        ASSERT_TRUE (p.undoStep());
        expectSame (capture (p), states[i], "undo to state " + std::to_string (i));
    }
    EXPECT_FALSE (p.undoStep());

    for (size_t i = 1; i < states.size(); ++i)
    {
        ASSERT_TRUE (p.redoStep());
        expectSame (capture (p), states[i], "redo to state " + std::to_string (i));
    }
    EXPECT_FALSE (p.redoStep());
}

TEST (Undo, UndoOfGenerateRestoresLoopsCropsShiftsAndOffsets)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    p.random.setSeed (5);
    fillLane (p, tg::kick, namesOf ("Kick", 3));
    fillLane (p, tg::hats, namesOf ("Hats", 3));
    fillLane (p, tg::clap, namesOf ("Clap", 3));
    fillLane (p, tg::perc1, namesOf ("Conga", 3));
    fillLane (p, tg::lead, namesOf ("Keys", 3));

    p.setCrop (tg::kick, 1, 1, false);
    p.shiftLane (tg::kick, 2);
    p.shiftLane (tg::hats, 3);
    p.shiftLane (tg::perc1, 1);
    p.engine.lanes[tg::lead].autoSemi = 1;
    p.refreshLanePlay (tg::lead);
    tgtest::setParam (p, "hold_4", 1.0f);
    p.undoStack.clear();

    const auto before = capture (p);
    ASSERT_TRUE (p.generateGroove());
    const auto after = capture (p);
    for (const int lane : { tg::kick, tg::hats, tg::clap, tg::lead })
        EXPECT_NE (after.loop[(size_t) lane], before.loop[(size_t) lane]) << "lane " << lane;
    EXPECT_EQ (after.loop[tg::perc1], before.loop[tg::perc1]) << "held";
    EXPECT_EQ (after.beatShift[tg::perc1], 1) << "held";
    EXPECT_EQ (p.undoStack.size(), 1u);
    EXPECT_EQ (p.generateHistory.size(), 1u);

    ASSERT_TRUE (p.undoStep());
    expectSame (capture (p), before, "undo of GENERATE");
    ASSERT_TRUE (p.redoStep());
    expectSame (capture (p), after, "redo of GENERATE");
}

TEST (Undo, GrubholeStepsBackThroughThreeGenerations)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    p.random.setSeed (3);
    fillLane (p, tg::kick, namesOf ("Kick", 4));
    fillLane (p, tg::clap, namesOf ("Clap", 4));
    fillLane (p, tg::perc2, namesOf ("Shaker", 4));

    std::vector<std::array<juce::String, 7>> beforeGeneration;
    for (int g = 0; g < 4; ++g)
    {
        beforeGeneration.push_back (loops (p));
        ASSERT_TRUE (p.generateGroove());
    }
    EXPECT_EQ (p.generateHistory.size(), 3u);
    const auto undoDepth = p.undoStack.size();

    for (int g = 3; g >= 1; --g)
    {
        ASSERT_TRUE (p.grubholeStep());
        EXPECT_EQ (loops (p), beforeGeneration[(size_t) g]) << "back before generation " << g;
        EXPECT_EQ (p.laneViews[tg::kick].left, p.engine.lanes[tg::kick].play.getReadPointer (0));
    }
    EXPECT_EQ (p.undoStack.size(), undoDepth + 3) << "each Grubhole step is an undo step";
    const auto last = loops (p);
    EXPECT_FALSE (p.grubholeStep());
    EXPECT_EQ (loops (p), last);

    ASSERT_TRUE (p.undoStep());
    EXPECT_EQ (loops (p), beforeGeneration[2]) << "undoing the last Grubhole step";

    // An empty engine records no generation at all.
    TapegrubProcessor empty;
    EXPECT_FALSE (empty.generateGroove());
    EXPECT_TRUE (empty.undoStack.empty());
    EXPECT_TRUE (empty.generateHistory.empty());
}

TEST (Undo, WithoutAPackOnlyParametersComeBack)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    const int generation = p.playGeneration.load();

    // Recorded before any pack: undo brings the parameter back and leaves the lane alone.
    p.pushUndo();
    tgtest::setParam (p, "vol_0", 3.0f);
    fillLane (p, tg::kick, namesOf ("Kick", 2));
    p.shiftLane (tg::kick, 2);
    p.undoStack.erase (p.undoStack.end() - 1); // keep only the pack-less snapshot
    auto lane = capture (p);

    ASSERT_TRUE (p.undoStep());
    EXPECT_NEAR (tgparams::readFloat (p.paramCache().vol[0], 0.0f), 0.75f, 1e-4f);
    auto now = capture (p);
    now.params = lane.params = {};
    expectSame (now, lane, "lanes untouched");
    EXPECT_GT (p.playGeneration.load(), generation);

    // No pack at all, either side.
    TapegrubProcessor bare;
    bare.pushUndo();
    tgtest::setParam (bare, "root", 2.0f);
    ASSERT_TRUE (bare.undoStep());
    EXPECT_EQ (tgparams::readChoice (bare.paramCache().root, -1), 9);
    EXPECT_EQ (bare.laneViews[0].numSamples, 0);
}

TEST (Undo, NothingToUndoAndRedoAfterANewStep)
{
    TapegrubProcessor p;
    ParameterCounter host;
    p.addListener (&host);
    auto* vol = p.parameters.getParameter ("vol_6");
    const int volIndex = vol->getParameterIndex();

    EXPECT_FALSE (p.undoStep());
    EXPECT_FALSE (p.redoStep());
    EXPECT_TRUE (host.changes.empty());

    p.pushUndo();
    vol->setValueNotifyingHost (0.9f);
    host.changes.clear();
    ASSERT_TRUE (p.undoStep());
    EXPECT_NEAR (vol->getValue(), p.parameters.getParameter ("vol_6")->getDefaultValue(), 1e-6f);
    EXPECT_GE (host.changes[volIndex], 1) << "the host hears about the undone knob";

    // A new step drops the redo list.
    p.pushUndo();
    vol->setValueNotifyingHost (0.2f);
    EXPECT_FALSE (p.redoStep());
    EXPECT_NEAR (vol->getValue(), 0.2f, 1e-6f);
    p.removeListener (&host);
}

TEST (Undo, UndoingAKeyChangeKeepsItsRedo)
{
    // A BASS lane offering an A minor and a B minor loop: each root change swaps the bass and
    // records the state just before the swap.
    TapegrubProcessor p;
    tgtest::setParam (p, "automix", 0.0f);
    fillLane (p, 1, { "Bass Am 120", "Bass Bm 120" });
    p.handleUpdateNowIfNeeded();

    tgtest::setParam (p, "root", 11.0f); // B minor
    p.handleUpdateNowIfNeeded();
    ASSERT_EQ (p.engine.lanes[1].loopName, "Bass Bm 120");
    tgtest::setParam (p, "root", 9.0f); // back to A minor
    p.handleUpdateNowIfNeeded();
    ASSERT_EQ (p.engine.lanes[1].loopName, "Bass Am 120");
    ASSERT_EQ (p.undoStack.size(), 2u);

    // Undo twice: the second brings back root B with the A minor bass it had at that moment.
    // The restored root must not start a re-pick (and an undo step) of its own.
    ASSERT_TRUE (p.undoStep());
    p.handleUpdateNowIfNeeded();
    ASSERT_TRUE (p.undoStep());
    p.handleUpdateNowIfNeeded();
    EXPECT_EQ (tgparams::readChoice (p.paramCache().root, 9), 11);
    EXPECT_EQ (p.engine.lanes[1].loopName, "Bass Am 120");
    EXPECT_EQ (p.redoStack.size(), 2u);

    ASSERT_TRUE (p.redoStep());
    ASSERT_TRUE (p.redoStep());
    p.handleUpdateNowIfNeeded();
    EXPECT_EQ (p.engine.lanes[1].loopName, "Bass Am 120");
    EXPECT_EQ (tgparams::readChoice (p.paramCache().root, 9), 9);
}
