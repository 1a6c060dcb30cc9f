// Pack loading through the processor: the worker, the completion on the message thread,
// superseded and abandoned loads, blending and replacing, and failures that change nothing.
#include "engine/DemoPack.h"
#include "support/PackFixtures.h"
#include "support/ProcessorRig.h"

#include <set>

namespace
{
using tg::demo::Drum;

using tgtest::pumpUntil;
using tgtest::TempFolder;
using Entries = tgtest::PackEntries;

juce::MemoryBlock drumLoop (Drum drum, const char* steps) { return tgtest::drumLoopWav (drum, steps); }
Entries packA() { return tgtest::drumPackA(); }
Entries packB() { return tgtest::drumPackB(); }
juce::File writeFolder (const juce::File& folder, const Entries& entries) { return tgtest::writePackFolder (folder, entries); }

struct Outcome
{
    int calls = 0;
    bool ok = false;
};

std::shared_ptr<Outcome> startLoad (TapegrubProcessor& p, const juce::File& pack, bool isFolder, bool add = false)
{
    auto outcome = std::make_shared<Outcome>();
    p.loadPackAsync (pack, isFolder, [outcome] (bool ok) { ++outcome->calls; outcome->ok = ok; }, {}, add);
    return outcome;
}

// Starts a load and waits for its onDone; the load's success.
bool load (TapegrubProcessor& p, const juce::File& pack, bool isFolder, bool add = false)
{
    auto outcome = startLoad (p, pack, isFolder, add);
    EXPECT_TRUE (pumpUntil ([&] { return outcome->calls > 0; })) << pack.getFullPathName();
    EXPECT_EQ (outcome->calls, 1);
    return outcome->ok;
}

std::set<juce::String> allCandidates (const TapegrubProcessor& p)
{
    std::set<juce::String> names;
    for (const auto& lane : p.engine.lanes)
        for (const auto& loop : lane.loops)
            names.insert (loop.name);
    return names;
}

juce::StringArray candidates (const tg::Lane& lane)
{
    juce::StringArray names;
    for (const auto& loop : lane.loops)
        names.add (loop.name);
    return names;
}

std::array<int, 4> counters (const tg::LoopEngine& e)
{
    return { e.loopCount, e.oneShotCount, e.movedCount, e.skippedCount };
}
} // namespace

TEST (PackLoader, FolderAndZipSkipJunkAndReportProgressInOrder)
{
    const auto wavOf = [] (Drum drum) { return drumLoop (drum, "X...X..xX...X.x."); };
    const Entries cluttered {
        { "Drums/Kick Loop Boom 120bpm.WAV", wavOf (Drum::kick) },
        { "Drums/Hats Loop Tick 120bpm.wav", wavOf (Drum::closedHat) },
        // Clutter that holds perfectly good audio: it must be skipped by its path alone.
        { "__MACOSX/Drums/._Clap Loop Junk 120bpm.wav", wavOf (Drum::clap) },
        { "Drums/.hidden/Clap Loop Hidden 120bpm.wav", wavOf (Drum::clap) },
        { "Drums/._Kick Loop Fork 120bpm.wav", wavOf (Drum::kick) },
        { "Drums/Clap Loop Cover 120bpm.m4a", wavOf (Drum::clap) },
        { ".DS_Store", juce::MemoryBlock ("\0\0\0\1Bud1", 8) },
        { "Drums/notes.txt", juce::MemoryBlock ("not audio", 9) },
    };
    const std::set<juce::String> kept { "Kick Loop Boom 120bpm", "Hats Loop Tick 120bpm" };
    const juce::StringArray phases { "READING LOOPS", "SORTING ONTO LANES", "CHECKING TEMPOS", "LOCKING TO THE GRID", "READY" };

    TempFolder temp;
    for (const bool isFolder : { true, false })
    {
        SCOPED_TRACE (isFolder ? "folder" : "zip");
        juce::File pack;
        if (isFolder)
        {
            pack = writeFolder (temp.folder.getChildFile ("Cluttered"), cluttered);
        }
        else
        {
            pack = temp.folder.getChildFile ("Cluttered.zip");
            auto entries = cluttered;
            entries.insert (entries.begin(), { "Drums/", {} });
            ASSERT_TRUE (tg::demo::writeZip (pack, entries));
        }

        tgtest::Rig rig;
        auto& p = rig.processor;
        auto outcome = startLoad (p, pack, isFolder);
        const auto sink = p.loadProgress;

        // What an editor polling the sink sees: the phases in order, the bar never going back.
        juce::StringArray seen;
        float lastFraction = 0.0f;
        bool fractionWentBack = false;
        const auto poll = [&]
        {
            const float f = sink->fraction.load();
            fractionWentBack = fractionWentBack || f < lastFraction;
            lastFraction = f;
            const auto message = sink->getMessage();
            if (seen.isEmpty() || seen[seen.size() - 1] != message)
                seen.add (message);
        };
        ASSERT_TRUE (pumpUntil ([&] { poll(); return outcome->calls > 0; }));
        poll();

        ASSERT_TRUE (outcome->ok);
        EXPECT_FALSE (fractionWentBack);
        EXPECT_EQ (sink->fraction.load(), 1.0f);
        EXPECT_EQ (seen[0], "READING LOOPS");
        EXPECT_EQ (seen[seen.size() - 1], "READY");
        for (int i = 1; i < seen.size(); ++i)
            EXPECT_LT (phases.indexOf (seen[i - 1]), phases.indexOf (seen[i])) << seen.joinIntoString (" | ");

        EXPECT_EQ (allCandidates (p), kept);
        EXPECT_EQ (p.engine.loopCount, 2);
        EXPECT_EQ (p.engine.packName, "Cluttered");
        EXPECT_TRUE (p.engine.packLoaded);
        EXPECT_EQ (p.lastPackPath, pack.getFullPathName());
        EXPECT_EQ (p.lastPackIsFolder, isFolder);
        ASSERT_EQ (p.packChain.size(), 1u);
        EXPECT_EQ (p.packChain[0], std::make_pair (pack, isFolder));
        EXPECT_EQ (p.engine.lanes[tg::kick].loopName, "Kick Loop Boom 120bpm");
        EXPECT_GT (p.laneViews[tg::kick].numSamples, 0) << "the loaded lanes are re-armed";
    }
}

TEST (PackLoader, BackToBackLoadsApplyOnlyTheSecond)
{
    TempFolder temp;
    const auto a = writeFolder (temp.folder.getChildFile ("A"), packA());
    const auto b = writeFolder (temp.folder.getChildFile ("B"), packB());

    tgtest::Rig rig;
    auto& p = rig.processor;
    auto first = startLoad (p, a, true);
    auto second = startLoad (p, b, true);
    ASSERT_TRUE (pumpUntil ([&] { return first->calls > 0 && second->calls > 0; }));

    EXPECT_FALSE (first->ok);
    EXPECT_TRUE (second->ok);
    EXPECT_EQ (p.engine.packName, "B");
    EXPECT_EQ (allCandidates (p), (std::set<juce::String> { "Kick Loop Knock 120bpm", "Clap Loop Crack 120bpm" }));
    ASSERT_EQ (p.packChain.size(), 1u);
    EXPECT_EQ (p.packChain[0].first, b);
    EXPECT_EQ (p.lastPackPath, b.getFullPathName());

    // The superseded worker still ran to its end; nothing of it lands later.
    juce::MessageManager::getInstance()->runDispatchLoopUntil (100);
    EXPECT_EQ (first->calls, 1);
    EXPECT_EQ (p.engine.packName, "B");
}

TEST (PackLoader, DestroyedProcessorJoinsItsWorkerAndOnlyReportsFailure)
{
    TempFolder temp;
    const auto a = writeFolder (temp.folder.getChildFile ("A"), packA());

    // Destroyed while the worker reads, and destroyed after the worker posted its result.
    for (const bool letWorkerFinish : { false, true })
    {
        SCOPED_TRACE (letWorkerFinish ? "after the worker" : "during the worker");
        auto p = std::make_unique<TapegrubProcessor>();
        auto outcome = std::make_shared<Outcome>();
        auto applied = std::make_shared<int> (0);
        p->loadPackAsync (a, true, [outcome] (bool ok) { ++outcome->calls; outcome->ok = ok; }, [applied] { ++*applied; });
        const auto sink = p->loadProgress;

        if (letWorkerFinish)
        {
            const auto until = juce::Time::getMillisecondCounter() + 20000;
            while (sink->fraction.load() < 1.0f && juce::Time::getMillisecondCounter() < until)
                juce::Thread::sleep (2);
            ASSERT_EQ (sink->fraction.load(), 1.0f);
        }

        p.reset(); // joins the worker: from here on nothing writes to the sink
        const auto fraction = sink->fraction.load();
        const auto message = sink->getMessage();

        ASSERT_TRUE (pumpUntil ([&] { return outcome->calls > 0; }, 5000));
        juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
        EXPECT_EQ (outcome->calls, 1);
        EXPECT_FALSE (outcome->ok);
        EXPECT_EQ (*applied, 0);
        EXPECT_EQ (sink->fraction.load(), fraction);
        EXPECT_EQ (sink->getMessage(), message);
    }
}

TEST (PackLoader, AddBlendsNewNamesAndAlwaysAddsCounters)
{
    TempFolder temp;
    auto b = packB();
    b.push_back ({ "Clap Loop Smack 120bpm.wav", drumLoop (Drum::clap, "....X.......X..x") });
    const auto packs = std::array { writeFolder (temp.folder.getChildFile ("A"), packA()),
                                    writeFolder (temp.folder.getChildFile ("B"), b),
                                    writeFolder (temp.folder.getChildFile ("A again"), packA()) };

    tgtest::Rig rig;
    auto& p = rig.processor;
    ASSERT_TRUE (load (p, packs[0], true));
    const auto countersA = counters (p.engine);
    const auto kickBefore = candidates (p.engine.lanes[tg::kick]);
    const auto kickPlaying = p.engine.lanes[tg::kick].loopName;
    ASSERT_TRUE (p.engine.lanes[tg::clap].loops.empty());

    ASSERT_TRUE (load (p, packs[1], true, true));
    EXPECT_EQ (p.engine.packName, "A + B");
    auto kickAfter = kickBefore;
    kickAfter.add ("Kick Loop Knock 120bpm");
    EXPECT_EQ (candidates (p.engine.lanes[tg::kick]), kickAfter) << "new names go to the end";
    EXPECT_EQ (p.engine.lanes[tg::kick].loopName, kickPlaying) << "a playing lane keeps its loop";

    // The clap lane had nothing to play: it takes the last candidate it was given.
    const auto& clap = p.engine.lanes[tg::clap];
    ASSERT_EQ (clap.loops.size(), 2u);
    EXPECT_EQ (clap.pick, 1);
    EXPECT_EQ (clap.loopName, clap.loops.back().name);
    EXPECT_GT (p.laneViews[tg::clap].numSamples, 0);

    const auto countersB = counters (p.engine);
    EXPECT_EQ (countersB[0], countersA[0] + 3);
    ASSERT_EQ (p.packChain.size(), 2u);
    EXPECT_EQ (p.packChain[1].first, packs[1]);

    // Every name is known already: nothing is added and the name stays, the counters still grow.
    const auto lanesBefore = allCandidates (p);
    std::array<size_t, TapegrubProcessor::numLanes> sizes {};
    for (size_t i = 0; i < sizes.size(); ++i)
        sizes[i] = p.engine.lanes[i].loops.size();

    ASSERT_TRUE (load (p, packs[2], true, true));
    EXPECT_EQ (p.engine.packName, "A + B");
    EXPECT_EQ (allCandidates (p), lanesBefore);
    for (size_t i = 0; i < sizes.size(); ++i)
        EXPECT_EQ (p.engine.lanes[i].loops.size(), sizes[i]) << "lane " << i;
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ (counters (p.engine)[i], countersB[i] + countersA[i]) << "counter " << i;
    EXPECT_EQ (p.packChain.size(), 3u);
}

TEST (PackLoader, ReplaceKeepsHeldLanesExactly)
{
    TempFolder temp;
    const auto a = writeFolder (temp.folder.getChildFile ("A"), packA());
    const auto b = writeFolder (temp.folder.getChildFile ("B"), packB());

    tgtest::Rig rig;
    auto& p = rig.processor;
    ASSERT_TRUE (load (p, a, true));
    p.setCrop (tg::kick, 1, 1, false);
    tgtest::setParam (p, "hold_0", 1.0f);

    const auto& kick = p.engine.lanes[tg::kick];
    const auto names = candidates (kick);
    const auto pick = kick.pick;
    const auto loopName = kick.loopName;
    const auto* source = kick.source.getReadPointer (0);
    const auto* play = kick.play.getReadPointer (0);

    // The hook runs once the engine holds the new pack, while every lane is still offline.
    juce::String packAtHook;
    bool offlineAtHook = false;
    auto outcome = std::make_shared<Outcome>();
    p.loadPackAsync (b, true, [outcome] (bool ok) { ++outcome->calls; outcome->ok = ok; },
                     [&]
                     {
                         packAtHook = p.engine.packName;
                         offlineAtHook = std::all_of (p.laneViews.begin(), p.laneViews.end(),
                                                      [] (const LanePlayView& v) { return v.numSamples == 0; });
                     });
    ASSERT_TRUE (pumpUntil ([&] { return outcome->calls > 0; }));
    ASSERT_TRUE (outcome->ok);
    EXPECT_EQ (packAtHook, "B");
    EXPECT_TRUE (offlineAtHook);

    EXPECT_EQ (candidates (kick), names);
    EXPECT_EQ (kick.pick, pick);
    EXPECT_EQ (kick.loopName, loopName);
    EXPECT_EQ (kick.cropLen, 1);
    EXPECT_EQ (kick.cropStart, 1);
    EXPECT_EQ (kick.source.getReadPointer (0), source) << "the held lane's audio was not even moved";
    EXPECT_EQ (kick.play.getReadPointer (0), play);
    EXPECT_EQ (p.laneViews[tg::kick].left, play) << "and it plays again";

    // Lanes that were not held took the new pack, empty ones included.
    EXPECT_TRUE (p.engine.lanes[tg::hats].loops.empty());
    EXPECT_EQ (p.engine.lanes[tg::hats].loopName, "");
    EXPECT_EQ (p.laneViews[tg::hats].numSamples, 0);
    EXPECT_EQ (p.engine.lanes[tg::clap].loopName, "Clap Loop Crack 120bpm");
    EXPECT_EQ (p.engine.packName, "B");
}

TEST (PackLoader, PacksWithoutLoopsFailAndLeaveThePreviousPackPlaying)
{
    TempFolder temp;
    const auto a = writeFolder (temp.folder.getChildFile ("A"), packA());
    const auto unsupported = writeFolder (temp.folder.getChildFile ("Docs"),
                                          { { "readme.txt", juce::MemoryBlock ("read me", 7) },
                                            { "Kick Loop Boom 120bpm.m4a", drumLoop (Drum::kick, "X...X...X...X...") },
                                            { "cover.png", juce::MemoryBlock ("\x89PNG", 4) } });
    const auto notAZip = temp.folder.getChildFile ("Not a zip.zip");
    ASSERT_TRUE (notAZip.replaceWithText ("hello"));
    const auto junkZip = temp.folder.getChildFile ("Junk.zip");
    ASSERT_TRUE (tg::demo::writeZip (junkZip, { { "__MACOSX/._Kick Loop 120bpm.wav", drumLoop (Drum::kick, "X...") } }));

    tgtest::Rig rig;
    auto& p = rig.processor;
    ASSERT_TRUE (load (p, a, true));
    const auto views = p.laneViews;

    const std::pair<juce::File, bool> failing[] {
        { unsupported, true }, { temp.folder.getChildFile ("missing"), true }, { notAZip, false }, { junkZip, false }, { notAZip, true },
    };
    for (const auto& [pack, isFolder] : failing)
    {
        SCOPED_TRACE (pack.getFileName());
        p.pushUndo();
        EXPECT_FALSE (load (p, pack, isFolder));
        EXPECT_EQ (p.engine.packName, "A");
        EXPECT_EQ (p.lastPackPath, a.getFullPathName());
        ASSERT_EQ (p.packChain.size(), 1u);
        EXPECT_EQ (p.packChain[0].first, a);
        EXPECT_TRUE (p.undoStack.empty()) << "every load clears the history when it starts";
        for (size_t i = 0; i < views.size(); ++i)
        {
            EXPECT_EQ (p.laneViews[i].left, views[i].left) << "lane " << i;
            EXPECT_EQ (p.laneViews[i].numSamples, views[i].numSamples) << "lane " << i;
        }
    }

    const auto out = tgtest::render (p, rig.head, 48000, 512);
    EXPECT_GT (out.getMagnitude (0, 48000), 0.05f);
}
