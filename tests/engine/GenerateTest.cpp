// GENERATE and the single-lane pick: distinct names across lanes, at most one full kit,
// reproducible draws for a seed, held lanes left alone, and LEAD's semitone wobble.
#include "engine/LoopEngine.h"

#include <gtest/gtest.h>
#include <set>

namespace
{
constexpr double kRate = 8000.0; // short buffers keep the play-buffer rebuilds cheap

tg::Loop makeLoop (const juce::String& name, bool fullKit = false)
{
    tg::Loop loop;
    loop.name = name;
    loop.sampleRate = kRate;
    loop.bpm = 120.0;
    loop.bars = 1;
    loop.fullKit = fullKit;
    loop.audio.setSize (2, 16000);
    juce::Random noise (name.hashCode64());

    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < loop.audio.getNumSamples(); ++i)
            loop.audio.setSample (ch, i, 0.3f * (noise.nextFloat() - 0.5f));

    return loop;
}

std::vector<tg::Loop> makeLoops (std::initializer_list<const char*> names)
{
    std::vector<tg::Loop> loops;

    for (auto* name : names)
        loops.push_back (makeLoop (name));

    return loops;
}

// Puts candidate i on the lane as its sounding loop.
void play (tg::LoopEngine& engine, int lane, int index)
{
    engine.lanes[(size_t) lane].pick = index;
    engine.assignLoop (lane, engine.lanes[(size_t) lane].loops[(size_t) index]);
}

// Seeds spread over the whole range: juce::Random's first draw from a small seed is tiny,
// so consecutive small seeds would all pick index 0.
juce::int64 spreadSeed (int i)
{
    return (juce::int64) ((juce::uint64) i * 0x9E3779B97F4A7C15ull >> 16);
}

// True when `random` has made exactly `draws` 32-bit draws since it was seeded with seed.
bool drewExactly (juce::Random& random, juce::int64 seed, int draws)
{
    juce::Random fresh (seed);

    for (int i = 0; i < draws; ++i)
        fresh.nextInt();

    return random.nextInt() == fresh.nextInt();
}

std::vector<juce::String> soundingNames (const tg::LoopEngine& engine)
{
    std::vector<juce::String> names;

    for (const auto& lane : engine.lanes)
        if (lane.play.getNumSamples() > 0)
            names.push_back (lane.loopName);

    return names;
}
} // namespace

TEST (GeneratePick, NoCandidatesGivesMinusOneWithoutADraw)
{
    tg::LoopEngine engine;
    juce::Random random (7);
    EXPECT_EQ (tg::pickDistinctIdx (engine.lanes.data(), tg::hats, random), -1);
    EXPECT_TRUE (drewExactly (random, 7, 0));
}

TEST (GeneratePick, ChoosesUniformlyAmongUnusedWithOneDraw)
{
    // HATS offers A..E; it plays A itself and KICK plays C; PERC2 has D as a candidate only
    // (not sounding), so D stays available. The first-choice list is therefore B, D, E.
    tg::LoopEngine engine;
    engine.lanes[tg::hats].loops = makeLoops ({ "A", "B", "C", "D", "E" });
    engine.lanes[tg::kick].loops = makeLoops ({ "C" });
    engine.lanes[tg::perc2].loops = makeLoops ({ "D" });
    play (engine, tg::hats, 0);
    play (engine, tg::kick, 0);

    const std::vector<int> firstChoice { 1, 3, 4 };
    std::set<int> seen;

    for (int i = 1; i <= 40; ++i)
    {
        const auto seed = spreadSeed (i);
        juce::Random random (seed), reference (seed);
        const int idx = tg::pickDistinctIdx (engine.lanes.data(), tg::hats, random);
        EXPECT_EQ (idx, firstChoice[(size_t) reference.nextInt ((int) firstChoice.size())]) << "seed " << seed;
        EXPECT_TRUE (drewExactly (random, seed, 1)) << "seed " << seed;
        seen.insert (idx);
    }

    EXPECT_EQ (seen, std::set<int> (firstChoice.begin(), firstChoice.end()));
}

TEST (GeneratePick, FullKitOnlyWhenNothingElseIsFree)
{
    // PERC2 sounds a full kit. HATS: KitA, Plain, KitB.
    struct Case
    {
        const char* description;
        std::vector<const char*> takenByClapAndPerc1; // other sounding names besides PERC2's kit
        std::vector<int> allowed;                     // indices HATS may return
        bool anyCandidate;                            // falls back to nextInt(count)
    };

    const Case cases[] {
        { "a plain loop is free", {}, { 1 }, false },
        { "plain taken: kits are second choice", { "Plain" }, { 0, 2 }, false },
        { "all taken: any candidate", { "Plain", "KitA" }, { 0, 1, 2 }, true },
    };

    for (const auto& c : cases)
    {
        tg::LoopEngine engine;
        engine.lanes[tg::perc2].loops = { makeLoop ("Kit Sounding", true) };
        play (engine, tg::perc2, 0);
        engine.lanes[tg::hats].loops = { makeLoop ("KitA", true), makeLoop ("Plain"), makeLoop ("KitB", true) };

        int lane = tg::clap;
        for (auto* name : c.takenByClapAndPerc1)
        {
            engine.lanes[(size_t) lane].loops = makeLoops ({ name });
            play (engine, lane, 0);
            lane = tg::perc1;
        }

        // With every candidate taken the draw spans all three, in candidate order.
        if (c.anyCandidate)
        {
            engine.lanes[tg::lead].loops = makeLoops ({ "KitB" });
            play (engine, tg::lead, 0);
        }

        for (int i = 1; i <= 20; ++i)
        {
            const auto seed = spreadSeed (i);
            juce::Random random (seed), reference (seed);
            const int idx = tg::pickDistinctIdx (engine.lanes.data(), tg::hats, random);
            EXPECT_NE (std::find (c.allowed.begin(), c.allowed.end(), idx), c.allowed.end()) << c.description;

            if (c.anyCandidate)
                EXPECT_EQ (idx, reference.nextInt (3)) << c.description;

            EXPECT_TRUE (drewExactly (random, seed, 1)) << c.description;
        }
    }
}

TEST (GeneratePick, CurrentLoopReturnsOnlyWhenItIsTheOnlyChoice)
{
    tg::LoopEngine engine;
    engine.lanes[tg::clap].loops = makeLoops ({ "Only" });
    play (engine, tg::clap, 0);
    engine.lanes[tg::clap].cropLen = 1;
    engine.lanes[tg::clap].beatShift = 2;
    engine.lanes[tg::clap].rebuildPlayBuffer (tg::clap);

    juce::Random random (3);
    EXPECT_EQ (tg::pickDistinctIdx (engine.lanes.data(), tg::clap, random), 0);

    // GENERATE re-assigns the same loop, resetting crop and shift.
    engine.generate (random);
    EXPECT_EQ (engine.lanes[tg::clap].loopName, "Only");
    EXPECT_EQ (engine.lanes[tg::clap].cropLen, 0);
    EXPECT_EQ (engine.lanes[tg::clap].beatShift, 0);
}

namespace
{
// Every drum lane offers the same names (as after fallback borrowing), two of them full
// kits; BASS and LEAD have their own. With seven plain loops for five lanes every lane always
// has a free plain loop, so distinct names and a single kit are always possible.
tg::LoopEngine borrowedEngine()
{
    tg::LoopEngine engine;

    for (int lane : { tg::kick, tg::hats, tg::clap, tg::perc1, tg::perc2 })
    {
        engine.lanes[(size_t) lane].loops = makeLoops ({ "Kick", "Hats", "Clap", "Shaker", "Conga", "Rim", "Tamb" });
        engine.lanes[(size_t) lane].loops.push_back (makeLoop ("Drums A", true));
        engine.lanes[(size_t) lane].loops.push_back (makeLoop ("Drums B", true));
    }

    engine.lanes[tg::bass].loops = makeLoops ({ "Bass 1", "Bass 2" });
    engine.lanes[tg::lead].loops = makeLoops ({ "Keys 1", "Keys 2", "Keys 3" });
    return engine;
}
} // namespace

TEST (Generate, NamesStayDistinctAndOneKitAtMost)
{
    for (int i = 1; i <= 25; ++i)
    {
        const auto seed = spreadSeed (i);
        auto engine = borrowedEngine();
        juce::Random random (seed);

        for (int round = 0; round < 4; ++round)
        {
            engine.generate (random);
            const auto names = soundingNames (engine);
            ASSERT_EQ (names.size(), (size_t) tg::numLanes);
            EXPECT_EQ (std::set<juce::String> (names.begin(), names.end()).size(), names.size())
                << "seed " << seed << " round " << round;

            int kits = 0;
            for (const auto& lane : engine.lanes)
                kits += lane.fullKit ? 1 : 0;

            EXPECT_LE (kits, 1) << "seed " << seed << " round " << round;
        }
    }
}

TEST (Generate, SameSeedSameGroove)
{
    auto a = borrowedEngine();
    auto b = borrowedEngine();
    juce::Random ra (2024), rb (2024);

    for (int round = 0; round < 5; ++round)
    {
        a.generate (ra);
        b.generate (rb);

        for (int lane = 0; lane < tg::numLanes; ++lane)
        {
            EXPECT_EQ (a.lanes[(size_t) lane].pick, b.lanes[(size_t) lane].pick);
            EXPECT_EQ (a.lanes[(size_t) lane].loopName, b.lanes[(size_t) lane].loopName);
        }

        EXPECT_EQ (a.lanes[tg::lead].autoSemi, b.lanes[tg::lead].autoSemi);
    }
}

TEST (Generate, HeldLanesUntouchedAndAllHeldDrawsNothing)
{
    auto engine = borrowedEngine();
    juce::Random first (5);
    engine.generate (first);

    auto& hats = engine.lanes[tg::hats];
    hats.hold = true;
    hats.cropLen = 1;
    hats.beatShift = 3;
    hats.autoSemi = 2;
    hats.rebuildPlayBuffer (tg::hats);
    const auto heldName = hats.loopName;
    const auto heldPick = hats.pick;

    juce::Random random (6);
    engine.generate (random);
    EXPECT_EQ (hats.loopName, heldName);
    EXPECT_EQ (hats.pick, heldPick);
    EXPECT_EQ (hats.cropLen, 1);
    EXPECT_EQ (hats.beatShift, 3);
    EXPECT_EQ (hats.autoSemi, 2);

    // The held loop counts as taken for everybody else.
    for (int lane = 0; lane < tg::numLanes; ++lane)
        if (lane != tg::hats)
            EXPECT_NE (engine.lanes[(size_t) lane].loopName, heldName) << "lane " << lane;

    for (auto& lane : engine.lanes)
        lane.hold = true;

    std::array<juce::String, tg::numLanes> before;
    for (int lane = 0; lane < tg::numLanes; ++lane)
        before[(size_t) lane] = engine.lanes[(size_t) lane].loopName;

    juce::Random untouched (99);
    engine.generate (untouched);
    EXPECT_TRUE (drewExactly (untouched, 99, 0));

    for (int lane = 0; lane < tg::numLanes; ++lane)
        EXPECT_EQ (engine.lanes[(size_t) lane].loopName, before[(size_t) lane]);
}

TEST (Generate, OneDrawPerLaneThenLeadWobble)
{
    // Lanes with candidates: KICK, CLAP and LEAD. Each gets one draw in lane order, then
    // LEAD's autoSemi takes one nextFloat, and a second one when the first is >= 0.5.
    std::set<int> outcomes;

    for (int i = 1; i <= 60; ++i)
    {
        const auto seed = spreadSeed (i);
        tg::LoopEngine engine;
        engine.lanes[tg::kick].loops = makeLoops ({ "K1", "K2", "K3" });
        engine.lanes[tg::clap].loops = makeLoops ({ "C1", "C2" });
        engine.lanes[tg::lead].loops = makeLoops ({ "L1", "L2", "L3", "L4" });
        engine.lanes[tg::kick].autoSemi = 5; // reset to 0 by the new pick

        juce::Random random (seed), reference (seed);
        engine.generate (random);

        EXPECT_EQ (engine.lanes[tg::kick].pick, reference.nextInt (3));
        EXPECT_EQ (engine.lanes[tg::clap].pick, reference.nextInt (2));
        EXPECT_EQ (engine.lanes[tg::lead].pick, reference.nextInt (4));
        EXPECT_EQ (engine.lanes[tg::kick].autoSemi, 0);

        int expectedSemi = 0;
        if (reference.nextFloat() >= 0.5f)
            expectedSemi = reference.nextFloat() < 0.5f ? 1 : -1;

        EXPECT_EQ (engine.lanes[tg::lead].autoSemi, expectedSemi) << "seed " << seed;
        EXPECT_EQ (random.nextInt(), reference.nextInt()) << "seed " << seed;
        outcomes.insert (expectedSemi);
    }

    EXPECT_EQ (outcomes, (std::set<int> { -1, 0, 1 }));
}

TEST (Generate, HeldLeadKeepsItsWobbleAndDrawsNoFloat)
{
    tg::LoopEngine engine;
    engine.lanes[tg::bass].loops = makeLoops ({ "B1", "B2" });
    engine.lanes[tg::lead].loops = makeLoops ({ "L1", "L2" });
    engine.lanes[tg::lead].hold = true;
    engine.lanes[tg::lead].autoSemi = -1;

    juce::Random random (11);
    engine.generate (random);
    EXPECT_EQ (engine.lanes[tg::lead].autoSemi, -1);
    EXPECT_TRUE (drewExactly (random, 11, 1)); // BASS only
}
