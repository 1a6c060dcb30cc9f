// The saved session: the byte layout and schema hosts store, saving while a restore is still
// loading, the chain of pack loads that brings the lanes back, and blobs that must change
// nothing.
#include "engine/DemoPack.h"
#include "support/PackFixtures.h"
#include "support/ProcessorRig.h"

#include <thread>

namespace
{
using tg::demo::Drum;
using Pack = std::pair<juce::File, bool>;

using tgtest::pumpUntil;
using tgtest::TempFolder;

// One drum at 120 BPM, written into folder as a WAV of the given name.
void addLoop (const juce::File& folder, const juce::String& name, Drum drum, const char* steps, int bars = 2)
{
    tgtest::writePackFolder (folder, { { name + ".wav", tgtest::drumLoopWav (drum, steps, bars) } });
}

juce::File packA (const juce::File& folder) { return tgtest::writePackFolder (folder, tgtest::drumPackA()); }
juce::File packB (const juce::File& folder) { return tgtest::writePackFolder (folder, tgtest::drumPackB()); }

bool load (TapegrubProcessor& p, const juce::File& pack, bool add = false)
{
    int calls = 0;
    bool result = false;
    p.loadPackAsync (pack, true, [&] (bool ok) { ++calls; result = ok; }, {}, add);
    EXPECT_TRUE (pumpUntil ([&] { return calls > 0; }));
    return result;
}

// A restore has run to its end once the chain let go of the saved element.
bool waitForRestore (TapegrubProcessor& p)
{
    return pumpUntil ([&] { return ! p.restoreInProgress.load(); });
}

juce::MemoryBlock stateOf (TapegrubProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    return block;
}

// The XML text of a state block, as written: everything between the header and the zero.
juce::String xmlTextOf (const juce::MemoryBlock& block)
{
    if (block.getSize() < 9)
        return {};
    const auto length = juce::ByteOrder::littleEndianInt (static_cast<const char*> (block.getData()) + 4);
    return juce::String::fromUTF8 (static_cast<const char*> (block.getData()) + 8, (int) length);
}

// The "TG" element exactly as its bytes appear in the state (it is the root's last child).
juce::String sessionText (const juce::MemoryBlock& block)
{
    const auto xml = xmlTextOf (block);
    return xml.substring (xml.indexOf ("<TG "), xml.lastIndexOf ("</PARAMS>"));
}

juce::ValueTree sessionTree (const juce::MemoryBlock& block)
{
    if (auto xml = juce::AudioProcessor::getXmlFromBinary (block.getData(), (int) block.getSize()))
        return juce::ValueTree::fromXml (*xml).getChildWithName ("TG");
    return {};
}

// A session as the plug-in writes it, built by hand: parameters of `params`, then a "TG"
// element naming packs and, for some lanes, the loop they played.
juce::MemoryBlock sessionBlob (TapegrubProcessor& params, const std::vector<Pack>& packs,
                               const std::map<int, juce::String>& loops, const juce::String& packName)
{
    juce::ValueTree tg ("TG");
    tg.setProperty ("packPath", packs.empty() ? juce::String() : packs[0].first.getFullPathName(), nullptr);
    tg.setProperty ("packIsFolder", ! packs.empty() && packs[0].second, nullptr);
    tg.setProperty ("packName", packName, nullptr);
    tg.setProperty ("page", 0, nullptr);
    for (const auto& [file, isFolder] : packs)
        tg.appendChild (juce::ValueTree ("PACK", { { "path", file.getFullPathName() }, { "folder", isFolder } }), nullptr);
    for (int i = 0; i < TapegrubProcessor::numLanes; ++i)
    {
        const auto it = loops.find (i);
        tg.appendChild (juce::ValueTree ("LANE", { { "i", i }, { "loop", it != loops.end() ? it->second : juce::String() },
                                                   { "cropLen", 0 }, { "cropStart", 0 }, { "autoSemi", 0 }, { "beatShift", 0 } }),
                        nullptr);
    }

    auto tree = params.parameters.copyState();
    tree.appendChild (tg, nullptr);
    juce::MemoryBlock block;
    juce::AudioProcessor::copyXmlToBinary (*tree.createXml(), block);
    return block;
}

void restore (TapegrubProcessor& p, const juce::MemoryBlock& block)
{
    p.setStateInformation (block.getData(), (int) block.getSize());
}

juce::StringArray attributeNames (const juce::XmlElement& e)
{
    juce::StringArray names;
    for (int i = 0; i < e.getNumAttributes(); ++i)
        names.add (e.getAttributeName (i));
    return names;
}

bool samePlayBuffer (const tg::Lane& a, const tg::Lane& b)
{
    if (a.play.getNumSamples() != b.play.getNumSamples() || a.play.getNumChannels() != b.play.getNumChannels())
        return false;
    for (int c = 0; c < a.play.getNumChannels(); ++c)
        if (std::memcmp (a.play.getReadPointer (c), b.play.getReadPointer (c), sizeof (float) * (size_t) a.play.getNumSamples()) != 0)
            return false;
    return true;
}
} // namespace

TEST (SessionState, ByteLayoutAndSchema)
{
    TempFolder temp;
    const auto a = packA (temp.folder.getChildFile ("A"));
    const auto b = packB (temp.folder.getChildFile ("B"));

    tgtest::Rig rig;
    auto& p = rig.processor;
    ASSERT_TRUE (load (p, a));
    ASSERT_TRUE (load (p, b, true));
    p.setCrop (tg::kick, 1, 1, false);
    p.shiftLane (tg::kick, 3);
    p.page = 2;

    const auto block = stateOf (p);
    const auto* bytes = static_cast<const juce::uint8*> (block.getData());
    ASSERT_GT (block.getSize(), 9u);
    EXPECT_EQ (std::memcmp (bytes, "VC2!", 4), 0);
    EXPECT_EQ (juce::ByteOrder::littleEndianInt (bytes), 0x21324356u);
    EXPECT_EQ (juce::ByteOrder::littleEndianInt (bytes + 4), block.getSize() - 9);
    EXPECT_EQ (bytes[block.getSize() - 1], 0);

    const auto text = xmlTextOf (block);
    EXPECT_TRUE (text.startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>")) << text.substring (0, 60);
    EXPECT_FALSE (text.containsAnyOf ("\r\n"));
    EXPECT_FALSE (text.containsChar (0));

    const auto xml = juce::parseXML (text);
    ASSERT_NE (xml, nullptr);
    EXPECT_EQ (xml->getTagName(), "PARAMS");
    ASSERT_EQ (xml->getNumChildElements(), 94);
    EXPECT_EQ (attributeNames (*xml->getChildElement (0)), juce::StringArray ({ "id", "value" }));
    EXPECT_TRUE (xml->getChildElement (0)->hasTagName ("PARAM"));

    const auto* tg = xml->getChildElement (93);
    ASSERT_EQ (tg->getTagName(), "TG");
    EXPECT_EQ (attributeNames (*tg), juce::StringArray ({ "packPath", "packIsFolder", "packName", "page" }));
    EXPECT_EQ (tg->getStringAttribute ("packPath"), a.getFullPathName());
    EXPECT_EQ (tg->getStringAttribute ("packIsFolder"), "1");
    EXPECT_EQ (tg->getStringAttribute ("packName"), "A + B");
    EXPECT_EQ (tg->getStringAttribute ("page"), "2");

    ASSERT_EQ (tg->getNumChildElements(), 2 + 7);
    for (int i = 0; i < 2; ++i)
    {
        const auto* pack = tg->getChildElement (i);
        EXPECT_EQ (pack->getTagName(), "PACK");
        EXPECT_EQ (attributeNames (*pack), juce::StringArray ({ "path", "folder" }));
        EXPECT_EQ (pack->getStringAttribute ("path"), (i == 0 ? a : b).getFullPathName());
        EXPECT_EQ (pack->getStringAttribute ("folder"), "1");
    }
    for (int lane = 0; lane < 7; ++lane)
    {
        const auto* e = tg->getChildElement (2 + lane);
        const auto& l = p.engine.lanes[(size_t) lane];
        EXPECT_EQ (e->getTagName(), "LANE");
        EXPECT_EQ (attributeNames (*e), juce::StringArray ({ "i", "loop", "cropLen", "cropStart", "autoSemi", "beatShift" }));
        EXPECT_EQ (e->getStringAttribute ("i"), juce::String (lane));
        EXPECT_EQ (e->getStringAttribute ("loop"), l.loopName);
        EXPECT_EQ (e->getStringAttribute ("autoSemi"), juce::String (l.autoSemi));
    }
    const auto* kick = tg->getChildElement (2);
    EXPECT_EQ (kick->getStringAttribute ("loop"), "Kick Loop Boom 120bpm");
    EXPECT_EQ (kick->getStringAttribute ("cropLen"), "1");
    EXPECT_EQ (kick->getStringAttribute ("cropStart"), "1");
    EXPECT_EQ (kick->getStringAttribute ("beatShift"), "3");
}

TEST (SessionState, WithoutAPackLanesAreEmptyAndOnlyParametersComeBack)
{
    juce::MemoryBlock block;
    {
        TapegrubProcessor p;
        tgtest::setParam (p, "vol_3", 2.0f);
        block = stateOf (p);
    }

    const auto tg = sessionTree (block);
    ASSERT_TRUE (tg.isValid());
    EXPECT_EQ (tg["packPath"].toString(), "");
    EXPECT_EQ (tg["packIsFolder"].toString(), "0");
    EXPECT_EQ (tg["packName"].toString(), "");
    ASSERT_EQ (tg.getNumChildren(), 7);
    for (const auto& lane : tg)
    {
        EXPECT_TRUE (lane.hasType ("LANE"));
        EXPECT_EQ (lane["loop"].toString(), "");
        for (auto* id : { "cropLen", "cropStart", "autoSemi", "beatShift" })
            EXPECT_EQ (lane[id].toString(), "0") << id;
    }

    // Read back into a processor that plays something: its lanes stay as they were.
    tgtest::Rig rig;
    auto& q = rig.processor;
    tgtest::installLoop (q, tg::kick, tgtest::makeBuffer (96000, [] (int, int i) { return 0.3 * std::sin (i * 0.01); }),
                         48000.0, 120.0, 2, "Mine");
    restore (q, block);
    EXPECT_NEAR (tgparams::readFloat (q.paramCache().vol[3], 0.0f), 2.0f, 1e-4f);
    EXPECT_EQ (q.engine.lanes[tg::kick].loopName, "Mine");
    EXPECT_EQ (q.laneViews[tg::kick].left, q.engine.lanes[tg::kick].play.getReadPointer (0));
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    EXPECT_EQ (sessionText (stateOf (q)), sessionText (block));
}

TEST (SessionState, SavingWhileRestoringWritesTheRestoredElementBack)
{
    TempFolder temp;
    const auto a = packA (temp.folder.getChildFile ("A"));
    const auto b = packB (temp.folder.getChildFile ("B"));

    juce::MemoryBlock saved;
    std::array<juce::String, 7> loops;
    {
        tgtest::Rig rig;
        auto& p = rig.processor;
        ASSERT_TRUE (load (p, a));
        ASSERT_TRUE (load (p, b, true));
        p.page = 3;
        saved = stateOf (p);
        for (size_t i = 0; i < loops.size(); ++i)
            loops[i] = p.engine.lanes[i].loopName;
    }

    tgtest::Rig rig;
    auto& q = rig.processor;
    restore (q, saved);
    ASSERT_TRUE (q.restoreInProgress.load());
    EXPECT_EQ (q.page.load(), 3);
    EXPECT_EQ (sessionText (stateOf (q)), sessionText (saved)) << "byte for byte while the packs load";

    ASSERT_TRUE (waitForRestore (q));
    EXPECT_FALSE (q.pendingState.isValid());
    for (size_t i = 0; i < loops.size(); ++i)
        EXPECT_EQ (q.engine.lanes[i].loopName, loops[i]) << "lane " << i;
    ASSERT_EQ (q.packChain.size(), 2u);
    EXPECT_EQ (q.packChain[0].first, a);
    EXPECT_EQ (q.packChain[1].first, b);
    EXPECT_EQ (sessionText (stateOf (q)), sessionText (saved)) << "the live state says the same";
}

TEST (SessionState, SessionWhosePackMovedKeepsItsElement)
{
    TempFolder temp;
    const auto a = packA (temp.folder.getChildFile ("A"));

    juce::MemoryBlock saved;
    {
        tgtest::Rig rig;
        ASSERT_TRUE (load (rig.processor, a));
        tgtest::setParam (rig.processor, "vol_2", 1.5f);
        saved = stateOf (rig.processor);
    }
    ASSERT_TRUE (a.moveFileTo (temp.folder.getChildFile ("A moved")));

    tgtest::Rig rig;
    auto& q = rig.processor;
    restore (q, saved);
    juce::MessageManager::getInstance()->runDispatchLoopUntil (200);

    EXPECT_NEAR (tgparams::readFloat (q.paramCache().vol[2], 0.0f), 1.5f, 1e-4f);
    EXPECT_FALSE (q.engine.packLoaded);
    EXPECT_TRUE (q.packChain.empty());
    EXPECT_TRUE (q.pendingState.isValid());
    EXPECT_EQ (sessionText (stateOf (q)), sessionText (saved));
    const auto out = tgtest::render (q, rig.head, 24000, 512);
    EXPECT_EQ (out.getMagnitude (0, 24000), 0.0f);
}

TEST (SessionState, ChainSkipsMissingAndEmptyPacks)
{
    TempFolder temp;
    const auto a = packA (temp.folder.getChildFile ("A"));
    const auto b = packB (temp.folder.getChildFile ("B"));
    const auto empty = temp.folder.getChildFile ("No Loops");
    ASSERT_TRUE (empty.createDirectory());
    ASSERT_TRUE (empty.getChildFile ("readme.txt").replaceWithText ("nothing to hear"));
    const auto missing = temp.folder.getChildFile ("Gone");
    const auto old = temp.folder.getChildFile ("Old");
    addLoop (old, "Kick Loop Old 120bpm", Drum::kick, "X.......X.......");
    addLoop (old, "Clap Loop Old 120bpm", Drum::clap, "....X.......X...");

    // Kick Loop Knock only exists in B: the kick lane is right only once B has been blended.
    const std::map<int, juce::String> lanes { { tg::kick, "Kick Loop Knock 120bpm" },
                                              { tg::hats, "Hats Loop Tick 120bpm" },
                                              { tg::clap, "Clap Loop Crack 120bpm" } };
    struct Case
    {
        const char* name;
        std::vector<Pack> packs;
        std::vector<juce::File> chain;
        std::array<const char*, 4> loops; // KICK, BASS, HATS, CLAP after the restore
    };
    const Case cases[] {
        { "missing, A, B", { { missing, true }, { a, true }, { b, true } }, { a, b },
          { "Kick Loop Knock 120bpm", "", "Hats Loop Tick 120bpm", "Clap Loop Crack 120bpm" } },
        { "no loops, A", { { empty, true }, { a, true } }, { a }, { "Kick Loop Boom 120bpm", "", "Hats Loop Tick 120bpm", "" } },
        { "A, missing", { { a, true }, { missing, true } }, { a }, { "Kick Loop Boom 120bpm", "", "Hats Loop Tick 120bpm", "" } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        tgtest::Rig rig;
        auto& q = rig.processor;
        ASSERT_TRUE (load (q, old)); // what played before: the first pack that loads replaces it
        restore (q, sessionBlob (q, c.packs, lanes, "My Session"));
        ASSERT_TRUE (waitForRestore (q));
        juce::MessageManager::getInstance()->runDispatchLoopUntil (100); // nothing else is coming

        EXPECT_FALSE (q.pendingState.isValid());
        ASSERT_EQ (q.packChain.size(), c.chain.size());
        for (size_t i = 0; i < c.chain.size(); ++i)
            EXPECT_EQ (q.packChain[i].first, c.chain[i]) << i;
        EXPECT_EQ (q.engine.packName, "My Session");
        for (size_t lane = 0; lane < c.loops.size(); ++lane)
            EXPECT_EQ (q.engine.lanes[lane].loopName, c.loops[lane]) << "lane " << lane;
        for (const auto& lane : q.engine.lanes)
            for (const auto& loop : lane.loops)
                EXPECT_FALSE (loop.name.contains ("Old")) << loop.name;
        EXPECT_EQ (q.lastPackPath, c.chain.back().getFullPathName()) << "the last pack that loaded";
    }
}

TEST (SessionState, CropStartAndShiftComeBack)
{
    TempFolder temp;
    const auto pack = temp.folder.getChildFile ("Long");
    addLoop (pack, "Kick Loop Long 120bpm", Drum::kick, "X...X..xX...X.x.X.X.X...X...Xx..", 4);
    addLoop (pack, "Hats Loop Tick 120bpm", Drum::closedHat, "..X...X...X...X.");

    tgtest::Rig source;
    auto& p = source.processor;
    ASSERT_TRUE (load (p, pack));
    ASSERT_EQ (p.engine.lanes[tg::kick].bars, 4);
    p.setCrop (tg::kick, 2, 1, false);
    p.shiftLane (tg::kick, 3);
    p.shiftLane (tg::hats, 5);

    tgtest::Rig rig;
    auto& q = rig.processor;
    restore (q, stateOf (p));
    ASSERT_TRUE (waitForRestore (q));

    const auto& kick = q.engine.lanes[tg::kick];
    EXPECT_EQ (kick.loopName, "Kick Loop Long 120bpm");
    EXPECT_EQ (kick.cropLen, 2);
    EXPECT_EQ (kick.cropStart, 1);
    EXPECT_EQ (kick.beatShift, 3);
    EXPECT_TRUE (samePlayBuffer (kick, p.engine.lanes[tg::kick])) << "the crop window carries the shift";
    EXPECT_EQ (q.laneViews[tg::kick].beatShift, 0);

    const auto& hats = q.engine.lanes[tg::hats];
    EXPECT_EQ (hats.beatShift, 5);
    EXPECT_EQ (hats.cropLen, 0);
    EXPECT_TRUE (samePlayBuffer (hats, p.engine.lanes[tg::hats]));
    EXPECT_EQ (q.laneViews[tg::hats].beatShift, 5) << "an uncropped lane is shifted live";
}

TEST (SessionState, RestoresNeverTouchADeadProcessor)
{
    TempFolder temp;
    const auto a = packA (temp.folder.getChildFile ("A"));
    juce::MemoryBlock saved;
    {
        tgtest::Rig rig;
        ASSERT_TRUE (load (rig.processor, a));
        tgtest::setParam (rig.processor, "vol_4", 3.0f);
        saved = stateOf (rig.processor);
    }
    const auto fromAnotherThread = [&saved] (TapegrubProcessor& p)
    {
        std::thread host ([&] { p.setStateInformation (saved.getData(), (int) saved.getSize()); });
        host.join();
    };

    // Alive: the call is carried over to the message thread.
    {
        tgtest::Rig rig;
        auto& p = rig.processor;
        fromAnotherThread (p);
        EXPECT_LT (tgparams::readFloat (p.paramCache().vol[4], 0.0f), 1.0f) << "nothing happens on the caller's thread";
        ASSERT_TRUE (pumpUntil ([&] { return tgparams::readFloat (p.paramCache().vol[4], 0.0f) > 2.9f; }));
        ASSERT_TRUE (waitForRestore (p));
        EXPECT_TRUE (p.engine.packLoaded);
    }

    // Destroyed before the message thread got to the restore, and destroyed mid-chain.
    {
        auto p = std::make_unique<TapegrubProcessor>();
        fromAnotherThread (*p);
        p.reset();
        juce::MessageManager::getInstance()->runDispatchLoopUntil (200);
    }
    {
        auto p = std::make_unique<TapegrubProcessor>();
        restore (*p, saved);
        ASSERT_TRUE (p->restoreInProgress.load());
        p.reset();
        juce::MessageManager::getInstance()->runDispatchLoopUntil (300);
    }
}

TEST (SessionState, BadBlobsChangeNothingAndLongLengthsReadToTheEnd)
{
    TempFolder temp;
    const auto a = packA (temp.folder.getChildFile ("A"));
    tgtest::Rig rig;
    auto& p = rig.processor;
    ASSERT_TRUE (load (p, a));
    tgtest::setParam (p, "vol_1", 0.5f);
    const auto good = stateOf (p);
    tgtest::setParam (p, "vol_1", 2.5f);
    const auto views = p.laneViews;

    const auto withLength = [&] (juce::uint32 length)
    {
        auto block = good;
        const auto le = juce::ByteOrder::swapIfBigEndian (length);
        block.copyFrom (&le, 4, 4);
        return block;
    };
    auto wrongMagic = good;
    static_cast<char*> (wrongMagic.getData())[3] = '?';
    juce::MemoryBlock garbage (4096);
    juce::Random (7).fillBitsRandomly (garbage.getData(), garbage.getSize());

    const std::pair<const char*, juce::MemoryBlock> bad[] {
        { "header only", juce::MemoryBlock (good.getData(), 8) },
        { "cut inside the XML", juce::MemoryBlock (good.getData(), good.getSize() / 2) },
        { "wrong magic", wrongMagic },
        { "zero length", withLength (0) },
        { "garbage", garbage },
    };
    for (const auto& [name, block] : bad)
    {
        SCOPED_TRACE (name);
        restore (p, block);
        EXPECT_NEAR (tgparams::readFloat (p.paramCache().vol[1], 0.0f), 2.5f, 1e-4f);
        EXPECT_FALSE (p.restoreInProgress.load());
        EXPECT_FALSE (p.pendingState.isValid());
        EXPECT_EQ (p.engine.packName, "A");
        for (size_t i = 0; i < views.size(); ++i)
            EXPECT_EQ (p.laneViews[i].left, views[i].left) << "lane " << i;
    }

    // A stated length past the end of the data: the text is read up to the end.
    restore (p, withLength ((juce::uint32) good.getSize() + 5000));
    EXPECT_NEAR (tgparams::readFloat (p.paramCache().vol[1], 0.0f), 0.5f, 1e-4f);
    EXPECT_TRUE (p.restoreInProgress.load());
    ASSERT_TRUE (waitForRestore (p));
}

TEST (SessionState, HeldLaneKeepsWhatItHeldThroughARestore)
{
    TempFolder temp;
    const auto a = packA (temp.folder.getChildFile ("A"));
    const auto b = packB (temp.folder.getChildFile ("B"));

    // The session holds its kick lane, which played A's kick unshifted.
    juce::MemoryBlock saved;
    {
        tgtest::Rig rig;
        ASSERT_TRUE (load (rig.processor, a));
        tgtest::setParam (rig.processor, "hold_0", 1.0f);
        saved = stateOf (rig.processor);
    }

    tgtest::Rig rig;
    auto& q = rig.processor;
    ASSERT_TRUE (load (q, b));
    q.setCrop (tg::kick, 1, 1, false);
    q.shiftLane (tg::kick, 2);
    q.engine.lanes[tg::kick].autoSemi = 1;
    const auto& kick = q.engine.lanes[tg::kick];
    const auto loopName = kick.loopName;
    const auto* play = kick.play.getReadPointer (0);
    ASSERT_EQ (loopName, "Kick Loop Knock 120bpm");

    restore (q, saved);
    ASSERT_TRUE (waitForRestore (q));
    EXPECT_TRUE (kick.hold);
    EXPECT_EQ (kick.loopName, loopName);
    EXPECT_EQ (kick.loops.size(), 1u);
    EXPECT_EQ (kick.cropLen, 1);
    EXPECT_EQ (kick.cropStart, 1);
    EXPECT_EQ (kick.beatShift, 2);
    EXPECT_EQ (kick.autoSemi, 1);
    EXPECT_EQ (kick.play.getReadPointer (0), play);
    EXPECT_EQ (q.engine.lanes[tg::hats].loopName, "Hats Loop Tick 120bpm") << "the other lanes come from the session";
}
