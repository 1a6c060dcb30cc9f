// The key lock: how far each lane is retuned towards the chosen key, and the re-pick that
// swaps BASS and LEAD loops named too far from it for in-key candidates.
#include "support/ProcessorRig.h"

#include <cmath>
#include <functional>

namespace
{
constexpr int kC = 0, kCs = 1, kDs = 3, kE = 4, kF = 5, kG = 7, kGs = 8, kA = 9, kAs = 10, kB = 11;

juce::AudioBuffer<float> toneLoop (double hz)
{
    return tgtest::makeBuffer (8192, [hz] (int, int i) {
        return 0.3 * std::sin (2.0 * juce::MathConstants<double>::pi * hz * i / 44100.0);
    });
}

// Gives a lane these candidates (in this order) and makes the first one its current loop.
void setCandidates (TapegrubProcessor& p, int lane, const juce::StringArray& names)
{
    tgtest::setCandidates (p, lane, names, 1, [] (int i) { return toneLoop (110.0 * (i + 1)); });
}

void keyLock (TapegrubProcessor& p, bool on, int root = kA, bool minor = true)
{
    tgtest::setParam (p, "keyon", on ? 1.0f : 0.0f);
    tgtest::setParam (p, "root", (float) root);
    tgtest::setParam (p, "scale", minor ? 1.0f : 0.0f);
}

// The processor's next draw equals the next draw of a generator seeded alike: nothing was drawn.
bool nothingDrawn (TapegrubProcessor& p, juce::Random reference)
{
    return p.random.nextInt (1 << 30) == reference.nextInt (1 << 30);
}
} // namespace

TEST (KeyLock, LaneKeySemitones)
{
    struct Case
    {
        const char* what;
        int lane;
        bool keyOn;
        int root;
        bool wantMinor;
        int keyRoot;
        bool keyMinor, named;
        float confidence;
        int semis;
    };
    const Case cases[] {
        { "KICK is never retuned", tg::kick, true, kA, true, kAs, true, true, 1.0f, 0 },
        { "HATS are never retuned", tg::hats, true, kA, true, kAs, true, true, 1.0f, 0 },
        { "key lock off", tg::bass, false, kA, true, kAs, true, true, 1.0f, 0 },
        { "no key", tg::bass, true, kA, true, -1, true, true, 1.0f, 0 },
        { "bass C major under A minor: relative key", tg::bass, true, kA, true, kC, false, true, 1.0f, 0 },
        { "bass B minor under A minor: 2 away", tg::bass, true, kA, true, kB, true, true, 1.0f, 0 },
        { "bass Bb minor under A minor", tg::bass, true, kA, true, kAs, true, true, 1.0f, -1 },
        { "bass G# minor under A minor", tg::bass, true, kA, true, kGs, true, true, 1.0f, 1 },
        { "bass C# major under A minor (A# minor)", tg::bass, true, kA, true, kCs, false, true, 1.0f, -1 },
        { "bass A minor under C major", tg::bass, true, kC, false, kA, true, true, 1.0f, 0 },
        { "bass A# minor under C major (C# major)", tg::bass, true, kC, false, kAs, true, true, 1.0f, -1 },
        { "bass B major under C major", tg::bass, true, kC, false, kB, false, true, 1.0f, 1 },
        { "bass key from audio only", tg::bass, true, kA, true, kAs, true, false, 1.0f, 0 },
        { "lead Bb minor under A minor", tg::lead, true, kA, true, kAs, true, true, 1.0f, -1 },
        { "clap E, root A: on the fifth", tg::clap, true, kA, true, kE, false, false, 0.7f, 0 },
        { "clap F, root A: down to the fifth", tg::clap, true, kA, true, kF, false, false, 0.7f, -1 },
        { "clap F minor: mode ignored", tg::clap, true, kA, true, kF, true, false, 0.7f, -1 },
        { "clap F, unsure", tg::clap, true, kA, true, kF, false, false, 0.59f, 0 },
        { "clap F, unsure but named", tg::clap, true, kA, true, kF, false, true, 0.3f, -1 },
        { "clap B, root A: up two", tg::clap, true, kA, true, kB, false, false, 0.9f, -2 },
        { "perc 1 G, root A", tg::perc1, true, kA, true, kG, false, false, 0.9f, 2 },
        { "perc 2 D#, root A: to the fifth", tg::perc2, true, kA, true, kDs, false, false, 0.9f, 1 },
        { "perc 2 C, root A: too far", tg::perc2, true, kA, true, kC, false, false, 0.9f, 0 },
        { "perc 1 C, root C#", tg::perc1, true, kCs, true, kC, false, false, 0.9f, 1 },
        { "perc 2, key lock off", tg::perc2, false, kA, true, kF, false, true, 1.0f, 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        TapegrubProcessor p;
        keyLock (p, c.keyOn, c.root, c.wantMinor);
        auto& l = p.engine.lanes[(size_t) c.lane];
        l.keyRoot = c.keyRoot;
        l.keyMinor = c.keyMinor;
        l.keyNamed = c.named;
        l.keyConfidence = c.confidence;
        EXPECT_EQ (p.laneKeySemis (c.lane), c.semis);
    }

    TapegrubProcessor p;
    EXPECT_EQ (p.laneKeySemis (-1), 0);
    EXPECT_EQ (p.laneKeySemis (7), 0);
}

TEST (KeyLock, OutOfKeyBassIsSwappedForAnInKeyCandidate)
{
    // Under A minor: Am (0), C major (relative A, 0) and Bbm (-1) are in key; Em is not.
    const juce::StringArray names { "Bass Bm 120", "Bass Am 120", "Bass Em 120", "Bass Cmaj 120", "Bass Bbm 120" };
    const int inKey[] { 1, 3, 4 };

    for (const juce::int64 seed : { 1, 2, 3, 4, 5, 6 })
    {
        SCOPED_TRACE (seed);
        tgtest::Rig rig;
        auto& p = rig.processor;
        keyLock (p, true);
        setCandidates (p, tg::bass, names);
        auto& l = p.engine.lanes[tg::bass];
        l.autoSemi = 1;
        ASSERT_EQ (l.loopName, "Bass Bm 120");

        p.random.setSeed (seed);
        juce::Random reference (seed);
        const int expected = inKey[reference.nextInt (3)];
        const int refreshes = p.laneRefreshCount (tg::bass);

        p.repickForKey (true);

        EXPECT_EQ (l.pick, expected);
        EXPECT_EQ (l.loopName, names[expected]);
        EXPECT_EQ (l.autoSemi, 0);
        EXPECT_EQ (p.undoStack.size(), 1u);
        EXPECT_EQ (p.laneRefreshCount (tg::bass), refreshes + 1);
        EXPECT_EQ (p.laneViews[tg::bass].numSamples, l.play.getNumSamples());
    }
}

// One undo step for a call that changes lanes, however many; none for a call that changes none.
TEST (KeyLock, OneUndoStepPerCallThatChangesALane)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    keyLock (p, true);
    p.handleUpdateNowIfNeeded();
    setCandidates (p, tg::bass, { "Bass Bm", "Bass Am", "Bass Dm" });
    setCandidates (p, tg::lead, { "Lead Em", "Lead Am", "Lead Dm" });

    p.repickForKey (true);
    EXPECT_EQ (p.engine.lanes[tg::bass].loopName, "Bass Am");
    EXPECT_EQ (p.engine.lanes[tg::lead].loopName, "Lead Am");
    EXPECT_EQ (p.undoStack.size(), 1u);

    p.repickForKey (true);
    EXPECT_EQ (p.undoStack.size(), 1u);

    // A key change from the editor goes through the message thread's update.
    tgtest::setParam (p, "root", 2.0f); // D minor
    p.handleUpdateNowIfNeeded();
    EXPECT_EQ (p.engine.lanes[tg::bass].loopName, "Bass Dm");
    EXPECT_EQ (p.engine.lanes[tg::lead].loopName, "Lead Dm");
    EXPECT_EQ (p.undoStack.size(), 2u);

    // Undo brings the A minor picks back.
    ASSERT_TRUE (p.undoStep());
    EXPECT_EQ (p.engine.lanes[tg::bass].loopName, "Bass Am");
}

// Situations in which nothing may change and no random number may be drawn.
TEST (KeyLock, LanesThatAreNeverRepicked)
{
    struct Case
    {
        const char* what;
        std::function<void (TapegrubProcessor&)> setup;
        int lane;
        const char* keeps;
    };
    const Case cases[] {
        { "key lock off", [] (TapegrubProcessor& p) { keyLock (p, false); }, tg::bass, "Bass Bm" },
        { "no pack loaded", [] (TapegrubProcessor& p) { p.engine.packLoaded = false; }, tg::bass, "Bass Bm" },
        { "held lane", [] (TapegrubProcessor& p) { tgtest::setParam (p, "hold_1", 1.0f); }, tg::bass, "Bass Bm" },
        { "no in-key candidate",
          [] (TapegrubProcessor& p) { setCandidates (p, tg::bass, { "Bass Bm", "Bass Em", "Bass F#m" }); },
          tg::bass, "Bass Bm" },
        { "lead named without a key",
          [] (TapegrubProcessor& p) {
              setCandidates (p, tg::bass, { "Bass Am", "Bass Bbm" });
              setCandidates (p, tg::lead, { "Lead Loop", "Lead Am" });
          },
          tg::lead, "Lead Loop" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        tgtest::Rig rig;
        auto& p = rig.processor;
        keyLock (p, true);
        setCandidates (p, tg::bass, { "Bass Bm", "Bass Am" });
        c.setup (p);

        p.random.setSeed (77);
        p.repickForKey (true);
        EXPECT_EQ (p.engine.lanes[(size_t) c.lane].loopName, c.keeps);
        EXPECT_TRUE (p.undoStack.empty());
        EXPECT_TRUE (nothingDrawn (p, juce::Random (77)));
    }
}

// Without undo the caller owns the refresh: the lane changes, nothing is recorded or refreshed.
TEST (KeyLock, RepickWithoutUndoLeavesTheRefreshToTheCaller)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    keyLock (p, true);
    setCandidates (p, tg::bass, { "Bass Bm", "Bass Am" });
    p.takeLanesOffline (-1);
    const int refreshes = p.laneRefreshCount (tg::bass);

    p.repickForKey (false);
    EXPECT_EQ (p.engine.lanes[tg::bass].loopName, "Bass Am");
    EXPECT_TRUE (p.undoStack.empty());
    EXPECT_EQ (p.laneRefreshCount (tg::bass), refreshes);
    EXPECT_EQ (p.laneViews[tg::bass].left, nullptr);
}
