// Ingest: what a producer hears from a pack. Rejection of one-shots, textures and noise,
// lane correction by sound, the pack tempo and its re-check, fallback borrowing and the
// initial picks, progress and cancellation. Packs are synthesized by the demo generator.
#include "engine/DemoPack.h"
#include "engine/LoopEngine.h"

#include <gtest/gtest.h>
#include <set>

namespace
{
using tg::demo::Drum;
using Verdict = tg::IngestRecord::Verdict;
constexpr double kRate = tg::demo::kSampleRate;

juce::AudioBuffer<float> stereo (const juce::AudioBuffer<float>& mono)
{
    juce::AudioBuffer<float> out (2, mono.getNumSamples());
    out.clear();
    tg::demo::mixInto (out, mono);
    return out;
}

// A steady hats-only groove: no low end at all.
juce::AudioBuffer<float> hatsGroove (double bpm, int bars)
{
    return stereo (tg::demo::drumPattern (Drum::closedHat, "XoxoXoxoXoxoXoxo", bpm, bars));
}

// Kick on every beat: almost all of its spectrum below 180 Hz.
juce::AudioBuffer<float> kickGroove (double bpm, int bars)
{
    return stereo (tg::demo::drumPattern (Drum::kick, "X...X...X...X...", bpm, bars));
}

struct Pack
{
    std::vector<std::pair<juce::String, juce::AudioBuffer<float>>> files;
    std::vector<double> rates;

    Pack& add (const juce::String& path, juce::AudioBuffer<float> audio, double rate = kRate)
    {
        files.emplace_back (path, std::move (audio));
        rates.push_back (rate);
        return *this;
    }

    bool ingestInto (tg::LoopEngine& engine, const juce::String& name = "Pack")
    {
        return engine.ingest (files, rates, name);
    }
};

const tg::IngestRecord& recordOf (const tg::LoopEngine& engine, const juce::String& path)
{
    for (const auto& r : engine.ingestReport)
        if (r.path == path)
            return r;

    static const tg::IngestRecord none;
    ADD_FAILURE() << "no record for " << path;
    return none;
}

std::vector<juce::String> candidateNames (const tg::Lane& lane)
{
    std::vector<juce::String> names;

    for (const auto& loop : lane.loops)
        names.push_back (loop.name);

    return names;
}
} // namespace

TEST (IngestRejection, OneShotsTexturesNoiseAndUnplacedFiles)
{
    // A 4 s file holding a single kick followed by silence: all its energy in ~0.5 s.
    juce::AudioBuffer<float> singleHit (1, (int) (4.0 * kRate));
    singleHit.clear();
    tg::demo::mixInto (singleHit, tg::demo::drumHit (Drum::kick));

    // The same noise level as the wash, but gated into sixteenths: dynamic, so it is kept.
    auto gatedNoise = stereo (tg::demo::whiteNoise (4.0, 3));
    const double sixteenth = 60.0 / 120.0 / 4.0 * kRate;
    for (int i = 0; i < gatedNoise.getNumSamples(); ++i)
        if (std::fmod (i, sixteenth) > 0.3 * sixteenth)
            for (int ch = 0; ch < 2; ++ch)
                gatedNoise.setSample (ch, i, 0.0f);

    struct Case
    {
        juce::String path;
        juce::AudioBuffer<float> audio;
        Verdict verdict;
    };

    std::vector<Case> cases;
    cases.push_back ({ "Drums/Kick Loop.wav", kickGroove (120.0, 1), Verdict::loop });
    cases.back().audio.setSize (2, (int) (0.8 * kRate), true); // 0.8 s: too short for a loop
    cases.back().verdict = Verdict::oneShot;
    cases.push_back ({ "Drums/Kick Loop 120bpm.wav", kickGroove (120.0, 2), Verdict::loop });
    cases.push_back ({ "Drums/Kick Loop 2.wav", stereo (singleHit), Verdict::oneShot });
    cases.push_back ({ "Perc/Shaker Loop.wav", stereo (tg::demo::whiteNoise (10.0, 9)), Verdict::noise });
    cases.push_back ({ "Perc/Shaker Loop 120bpm.wav", gatedNoise, Verdict::loop });
    cases.push_back ({ "FX/Vinyl Crackle Loop.wav", kickGroove (120.0, 2), Verdict::texture });
    cases.push_back ({ "Drums/Snare One Shot.wav", kickGroove (120.0, 2), Verdict::oneShot });
    cases.push_back ({ "Misc/Untitled 3.wav", kickGroove (120.0, 2), Verdict::unplaced });

    Pack pack;
    for (auto& c : cases)
        pack.add (c.path, c.audio);

    tg::LoopEngine engine;
    EXPECT_TRUE (pack.ingestInto (engine, "Rejects"));

    ASSERT_EQ (engine.ingestReport.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i)
    {
        EXPECT_EQ (engine.ingestReport[i].path, cases[i].path);
        EXPECT_EQ (engine.ingestReport[i].verdict, cases[i].verdict) << cases[i].path;
    }

    EXPECT_EQ (engine.loopCount, 2);
    EXPECT_EQ (engine.oneShotCount, 3);
    EXPECT_EQ (engine.skippedCount, 2); // the texture and the noise; unplaced files are not counted
    EXPECT_EQ (engine.packName, "Rejects");
}

TEST (IngestRejection, AllRejectedLeavesThePackUnloaded)
{
    Pack pack;
    pack.add ("Kick One Shot.wav", kickGroove (120.0, 2)).add ("Vinyl Crackle.wav", kickGroove (120.0, 2));

    tg::LoopEngine engine;
    engine.packName = "Before";
    EXPECT_FALSE (pack.ingestInto (engine, "After"));
    EXPECT_FALSE (engine.packLoaded);
    EXPECT_EQ (engine.packName, "Before");
    EXPECT_EQ (engine.oneShotCount, 1);
    EXPECT_EQ (engine.skippedCount, 1);

    for (const auto& lane : engine.lanes)
        EXPECT_TRUE (lane.loops.empty());
}

TEST (IngestLanes, OnlyKitWideNamesAreCorrectedBySound)
{
    struct Case
    {
        const char* path;
        juce::AudioBuffer<float> audio;
        int laneByName;
        int lane;
    };

    const Case cases[] {
        // "drum loop" places on PERC2 without a primary keyword; PERC2 is never corrected.
        { "Drum Loop 120bpm.wav", hatsGroove (120.0, 2), tg::perc2, tg::perc2 },
        // "bass" is primary: a bass loop with no low end stays on BASS.
        { "Bass Loop 120bpm.wav", hatsGroove (120.0, 2), tg::bass, tg::bass },
        // "top" is secondary: a top loop full of kick moves to PERC2; one of hats stays.
        { "Top Loop 120bpm.wav", kickGroove (120.0, 2), tg::hats, tg::perc2 },
        { "Tops/Groove 120bpm.wav", hatsGroove (120.0, 2), tg::hats, tg::hats },
        // "hats" is primary: no correction even with a kick-heavy sound.
        { "Hats Loop 120bpm.wav", kickGroove (120.0, 2), tg::hats, tg::hats },
    };

    for (const auto& c : cases)
    {
        Pack pack;
        pack.add (c.path, c.audio);
        tg::LoopEngine engine;
        ASSERT_TRUE (pack.ingestInto (engine)) << c.path;

        const auto& r = recordOf (engine, c.path);
        EXPECT_EQ (r.laneByName, c.laneByName) << c.path;
        EXPECT_EQ (r.lane, c.lane) << c.path;
        EXPECT_EQ (engine.movedCount, c.lane != c.laneByName ? 1 : 0) << c.path;
        EXPECT_EQ (engine.lanes[(size_t) c.lane].loops.front().name, r.name) << c.path;
    }
}

TEST (IngestLanes, ClapWithoutBackbeatMovesToPerc2)
{
    struct Case
    {
        const char* path;
        const char* steps;
        int lane;
    };

    const Case cases[] {
        { "Clap Loop 120bpm.wav", "....X.......X...", tg::clap },          // beats 2 and 4
        { "Clap Groove 120bpm.wav", "X..x..X.x.X..x.x", tg::perc2 },       // syncopated, no backbeat
        { "Snare Roll 120bpm.wav", "....X.x.x.x.X.x.", tg::perc2 },        // many slots, backbeat a minority
    };

    for (const auto& c : cases)
    {
        Pack pack;
        pack.add (c.path, stereo (tg::demo::drumPattern (Drum::clap, c.steps, 120.0, 2)));
        tg::LoopEngine engine;
        ASSERT_TRUE (pack.ingestInto (engine)) << c.path;
        EXPECT_EQ (recordOf (engine, c.path).laneByName, tg::clap) << c.path;
        EXPECT_EQ (recordOf (engine, c.path).lane, c.lane) << c.path;
        EXPECT_EQ (engine.movedCount, c.lane == tg::clap ? 0 : 1) << c.path;
    }
}

TEST (IngestTempo, PackTempoIsTheMostCommonWithTiesToTheSlower)
{
    struct Case
    {
        std::vector<double> tempos;
        double packBpm;
    };

    const Case cases[] {
        { { 125, 120, 125, 120, 120 }, 120.0 },
        { { 125, 125, 120, 120 }, 120.0 },
        { { 125, 120, 125 }, 125.0 },
        { { 124 }, 124.0 },
    };

    for (const auto& c : cases)
    {
        Pack pack;
        int k = 0;
        for (auto bpm : c.tempos)
            pack.add ("Kick Loop " + juce::String (++k) + " " + juce::String ((int) bpm) + "bpm.wav", kickGroove (bpm, 1));

        tg::LoopEngine engine;
        ASSERT_TRUE (pack.ingestInto (engine));
        EXPECT_DOUBLE_EQ (engine.packBpm, c.packBpm);
    }

    // No accepted loop: the engine keeps its tempo.
    Pack rejects;
    rejects.add ("Kick One Shot.wav", kickGroove (120.0, 1));
    tg::LoopEngine engine;
    rejects.ingestInto (engine);
    EXPECT_DOUBLE_EQ (engine.packBpm, 125.0);
}

TEST (IngestTempo, OnlyDetectedTemposAreRechecked)
{
    // One bar at 123 BPM of hits at irregular times: detected alone, its length allows only
    // 123. In a 120 BPM pack it is detected again with 120 as the hint, and with no beat
    // grid to argue against the hint it snaps to the pack. The same audio with its tempo in
    // the name keeps 123.
    const int length = tg::demo::loopLength (123.0, 1);
    juce::AudioBuffer<float> scattered (1, length);
    scattered.clear();
    const auto hat = tg::demo::drumHit (Drum::closedHat);
    juce::Random positions (1);

    for (int k = 0; k < 14; ++k)
    {
        const int at = k == 0 ? 0 : positions.nextInt (length - hat.getNumSamples());
        scattered.addFrom (0, at, hat, 0, 0, hat.getNumSamples(), 0.5f + 0.5f * positions.nextFloat());
    }

    const auto odd = stereo (scattered);

    Pack pack;
    pack.add ("Kick Loop 1 120bpm.wav", kickGroove (120.0, 1))
        .add ("Kick Loop 2 120bpm.wav", kickGroove (120.0, 1))
        .add ("Kick Loop 3 120bpm.wav", kickGroove (120.0, 1))
        .add ("Shaker Groove.wav", odd)
        .add ("Shaker Groove 123bpm.wav", odd);

    tg::LoopEngine engine;
    ASSERT_TRUE (pack.ingestInto (engine));
    ASSERT_DOUBLE_EQ (engine.packBpm, 120.0);

    const auto& detected = recordOf (engine, "Shaker Groove.wav");
    EXPECT_FALSE (detected.bpmFromName);
    EXPECT_DOUBLE_EQ (detected.bpm, 120.0);
    EXPECT_EQ (detected.bars, 1);

    const auto& named = recordOf (engine, "Shaker Groove 123bpm.wav");
    EXPECT_TRUE (named.bpmFromName);
    EXPECT_DOUBLE_EQ (named.bpm, 123.0);

    // The lane's candidates carry the same decisions.
    for (const auto& loop : engine.lanes[tg::perc2].loops)
        EXPECT_DOUBLE_EQ (loop.bpm, loop.bpmFromName ? 123.0 : 120.0) << loop.name;
}

TEST (IngestTempo, RecordsAndLoopsAreConditioned)
{
    // Three bars named at 120 BPM become their first two bars. 7 s named 100 BPM is 2.92
    // bars: 3 by rounding, then conditioned to 2 bars of 105840 samples.
    Pack pack;
    pack.add ("Kick Loop 120bpm.wav", kickGroove (120.0, 3))
        .add ("Drums\\Hats Loop.v2 100bpm.wav", hatsGroove (120.0, 4));
    pack.files[1].second.setSize (2, (int) (7.0 * kRate), true);

    tg::LoopEngine engine;
    ASSERT_TRUE (pack.ingestInto (engine));

    const auto& kick = recordOf (engine, "Kick Loop 120bpm.wav");
    EXPECT_EQ (kick.name, "Kick Loop 120bpm");
    EXPECT_EQ (kick.bars, 2);
    EXPECT_EQ (kick.samples, 2 * 88200);
    EXPECT_EQ (engine.lanes[tg::kick].loops.front().audio.getNumSamples(), 2 * 88200);
    EXPECT_EQ (engine.lanes[tg::kick].loops.front().bars, 2);

    const auto& hats = recordOf (engine, "Drums\\Hats Loop.v2 100bpm.wav");
    EXPECT_EQ (hats.name, "Hats Loop.v2 100bpm"); // folders and the last extension go, inner dots stay
    EXPECT_TRUE (hats.bpmFromName);
    EXPECT_DOUBLE_EQ (hats.bpm, 100.0);
    EXPECT_EQ (hats.bars, 2);
    EXPECT_EQ (hats.samples, 2 * 105840);
}

TEST (IngestPicks, TwoPerc2LoopsAreSharedWithoutRepeats)
{
    Pack pack;
    pack.add ("Shaker A 120bpm.wav", hatsGroove (120.0, 2)).add ("Shaker B 120bpm.wav", hatsGroove (120.0, 2));

    tg::LoopEngine engine;
    ASSERT_TRUE (pack.ingestInto (engine));

    const std::vector<juce::String> both { "Shaker A 120bpm", "Shaker B 120bpm" };
    EXPECT_EQ (candidateNames (engine.lanes[tg::kick]), both);
    EXPECT_EQ (engine.lanes[tg::kick].loopName, "Shaker A 120bpm");
    EXPECT_EQ (engine.lanes[tg::kick].pick, 0);
    EXPECT_EQ (candidateNames (engine.lanes[tg::hats]), both);
    EXPECT_EQ (engine.lanes[tg::hats].loopName, "Shaker B 120bpm");
    EXPECT_EQ (engine.lanes[tg::hats].pick, 1);
    EXPECT_GT (engine.lanes[tg::hats].play.getNumSamples(), 0);

    for (int lane : { tg::bass, tg::clap, tg::perc1, tg::perc2, tg::lead })
    {
        const auto& l = engine.lanes[(size_t) lane];
        EXPECT_TRUE (l.loops.empty()) << "lane " << lane;
        EXPECT_EQ (l.pick, -1) << "lane " << lane;
        EXPECT_TRUE (l.loopName.isEmpty()) << "lane " << lane;
        EXPECT_EQ (l.play.getNumSamples(), 0) << "lane " << lane;
    }
}

TEST (IngestPicks, StrictThenRelaxedKitAvoidance)
{
    // PERC2: one full-kit drum loop. HATS: a full-kit top loop, then a plain hats loop.
    Pack pack;
    pack.add ("Drum Loop 120bpm.wav", kickGroove (120.0, 2))
        .add ("Top Loop 120bpm.wav", hatsGroove (120.0, 2))
        .add ("Hats Loop 120bpm.wav", hatsGroove (120.0, 2));

    tg::LoopEngine engine;
    ASSERT_TRUE (pack.ingestInto (engine));
    ASSERT_EQ (recordOf (engine, "Top Loop 120bpm.wav").lane, tg::hats);

    // KICK borrows PERC2 and takes the kit. HATS avoids the second kit. CLAP borrows PERC2
    // (start 1) and finds its only name taken. PERC1 borrows PERC2 topped up from HATS and,
    // with no plain loop left, relaxes to the second kit. PERC2 itself has nothing left.
    EXPECT_EQ (engine.lanes[tg::kick].loopName, "Drum Loop 120bpm");
    EXPECT_EQ (engine.lanes[tg::hats].loopName, "Hats Loop 120bpm");
    EXPECT_TRUE (engine.lanes[tg::clap].loops.empty());
    EXPECT_EQ (candidateNames (engine.lanes[tg::perc1]),
               (std::vector<juce::String> { "Drum Loop 120bpm", "Top Loop 120bpm", "Hats Loop 120bpm" }));
    EXPECT_EQ (engine.lanes[tg::perc1].loopName, "Top Loop 120bpm");
    EXPECT_TRUE (engine.lanes[tg::perc2].loops.empty());
    EXPECT_TRUE (engine.lanes[tg::bass].loops.empty());
}

TEST (IngestPicks, BorrowingTopsUpToSixAndOwnListsKeepTheirSize)
{
    // Eight PERC2 loops and one PERC1 loop; nothing else.
    Pack pack;
    pack.add ("Conga Loop 120bpm.wav", kickGroove (120.0, 2));
    for (int i = 1; i <= 8; ++i)
        pack.add ("Shaker " + juce::String (i) + " 120bpm.wav", hatsGroove (120.0, 2));

    tg::LoopEngine engine;
    ASSERT_TRUE (pack.ingestInto (engine));

    // KICK borrows PERC2 whole (8, more than the cap, kept); CLAP borrows PERC1 and tops up
    // from PERC2 to six; PERC2 keeps its own eight.
    EXPECT_EQ (engine.lanes[tg::kick].loops.size(), 8u);
    EXPECT_EQ (candidateNames (engine.lanes[tg::clap]),
               (std::vector<juce::String> { "Conga Loop 120bpm", "Shaker 1 120bpm", "Shaker 2 120bpm",
                                            "Shaker 3 120bpm", "Shaker 4 120bpm", "Shaker 5 120bpm" }));
    EXPECT_EQ (engine.lanes[tg::perc2].loops.size(), 8u);
    EXPECT_TRUE (engine.lanes[tg::bass].loops.empty());
    EXPECT_TRUE (engine.lanes[tg::lead].loops.empty());

    // Every lane that picked plays a different name.
    std::set<juce::String> picked;
    int pickedLanes = 0;
    for (const auto& lane : engine.lanes)
        if (lane.loopName.isNotEmpty())
        {
            picked.insert (lane.loopName);
            ++pickedLanes;
        }

    EXPECT_EQ (pickedLanes, 5);
    EXPECT_EQ ((int) picked.size(), pickedLanes);
}

TEST (IngestProgress, PhasesAndFractionsInOrder)
{
    Pack pack;
    pack.add ("Kick Loop 120bpm.wav", kickGroove (120.0, 2))
        .add ("Kick One Shot.wav", kickGroove (120.0, 2))
        .add ("Hats Loop 120bpm.wav", hatsGroove (120.0, 2))
        .add ("Vinyl Crackle.wav", hatsGroove (120.0, 2));

    std::vector<std::pair<float, juce::String>> reports;
    tg::LoopEngine engine;
    engine.progress = [&] (float fraction, const juce::String& message) { reports.emplace_back (fraction, message); };
    ASSERT_TRUE (pack.ingestInto (engine));

    const std::vector<std::pair<float, juce::String>> expected {
        { 0.45f + 0.4f * 1.0f / 4.0f, "SORTING ONTO LANES" },
        { 0.45f + 0.4f * 3.0f / 4.0f, "SORTING ONTO LANES" },
        { 0.87f, "CHECKING TEMPOS" },
        { 0.93f, "LOCKING TO THE GRID" },
        { 1.0f, "READY" },
    };

    ASSERT_EQ (reports.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_NEAR (reports[i].first, expected[i].first, 1e-6f) << i;
        EXPECT_EQ (reports[i].second, expected[i].second) << i;
    }
}

TEST (IngestProgress, CancelReturnsFalseBeforeTouchingLanes)
{
    for (bool cancelMidway : { false, true })
    {
        Pack pack;
        pack.add ("Kick Loop 120bpm.wav", kickGroove (120.0, 2)).add ("Hats Loop 120bpm.wav", hatsGroove (120.0, 2));

        tg::LoopEngine engine;
        engine.packName = "Old";
        engine.cancel = std::make_shared<std::atomic<bool>> (! cancelMidway);

        // Midway: the flag goes up once the first file has been sorted.
        engine.progress = [&] (float, const juce::String&) { engine.cancel->store (true); };

        EXPECT_FALSE (pack.ingestInto (engine, "New"));
        EXPECT_FALSE (engine.packLoaded);
        EXPECT_EQ (engine.packName, "Old");

        for (const auto& lane : engine.lanes)
        {
            EXPECT_TRUE (lane.loops.empty());
            EXPECT_EQ (lane.pick, -1);
            EXPECT_EQ (lane.source.getNumChannels(), 0);
        }
    }
}

TEST (IngestPicks, SameFileNameInTwoFoldersIsOneName)
{
    Pack pack;
    pack.add ("Kicks/Loop 1.wav", kickGroove (120.0, 2)).add ("Kicks/Loop 2.wav", kickGroove (120.0, 2));
    pack.add ("Perc/Loop 1.wav", hatsGroove (120.0, 2));

    tg::LoopEngine engine;
    ASSERT_TRUE (pack.ingestInto (engine));
    ASSERT_EQ (recordOf (engine, "Perc/Loop 1.wav").name, "Loop 1");

    // KICK plays its first loop, "Loop 1"; PERC2's own "Loop 1" may not sound again, so the
    // lanes that borrow it and PERC2 itself are emptied.
    EXPECT_EQ (engine.lanes[tg::kick].loopName, "Loop 1");
    EXPECT_TRUE (engine.lanes[tg::perc2].loopName.isEmpty());
    EXPECT_TRUE (engine.lanes[tg::hats].loopName.isEmpty());
}
