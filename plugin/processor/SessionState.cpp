// The saved session: parameters plus a "TG" element naming the packs and what each lane
// played, and the chain of loads that brings a saved session back.
#include "TapegrubProcessor.h"

using namespace tgparams;

namespace
{
const juce::Identifier kTg ("TG"), kPack ("PACK"), kLane ("LANE");

bool packExists (const juce::File& f)
{
    return f.getFullPathName().isNotEmpty() && f.exists();
}
} // namespace

juce::ValueTree TapegrubProcessor::buildSessionElement() const
{
    juce::ValueTree tg (kTg);
    const bool haveChain = ! packChain.empty();
    tg.setProperty ("packPath", haveChain ? packChain.front().first.getFullPathName() : lastPackPath, nullptr);
    tg.setProperty ("packIsFolder", haveChain ? packChain.front().second : lastPackIsFolder, nullptr);
    tg.setProperty ("packName", engine.packName, nullptr);
    tg.setProperty ("page", page.load(), nullptr);

    for (const auto& [file, isFolder] : packChain)
    {
        juce::ValueTree pack (kPack);
        pack.setProperty ("path", file.getFullPathName(), nullptr);
        pack.setProperty ("folder", isFolder, nullptr);
        tg.appendChild (pack, nullptr);
    }

    for (int i = 0; i < numLanes; ++i)
    {
        const auto& l = engine.lanes[(size_t) i];
        juce::ValueTree lane (kLane);
        lane.setProperty ("i", i, nullptr);
        lane.setProperty ("loop", l.loopName, nullptr);
        lane.setProperty ("cropLen", l.cropLen, nullptr);
        lane.setProperty ("cropStart", l.cropStart, nullptr);
        lane.setProperty ("autoSemi", l.autoSemi, nullptr);
        lane.setProperty ("beatShift", l.beatShift, nullptr);
        tg.appendChild (lane, nullptr);
    }
    return tg;
}

void TapegrubProcessor::getStateInformation (juce::MemoryBlock& block)
{
    auto tree = parameters.copyState();

    // A session still loading (or whose packs are missing) is saved back exactly as restored.
    if (pendingState.isValid() && (restoreInProgress.load() || ! engine.packLoaded))
        tree.appendChild (pendingState.createCopy(), nullptr);
    else
        tree.appendChild (buildSessionElement(), nullptr);

    if (auto xml = tree.createXml())
        copyXmlToBinary (*xml, block);
}

void TapegrubProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (! juce::MessageManager::existsAndIsCurrentThread())
    {
        // Restores touch the engine: always on the message thread, never on a dead processor.
        juce::MemoryBlock copy (data, data != nullptr && sizeInBytes > 0 ? (size_t) sizeInBytes : 0);
        auto alive = aliveFlag;
        juce::MessageManager::callAsync ([this, alive, copy = std::move (copy)]
        {
            if (alive->load())
                restoreOnMessageThread (copy.getData(), (int) copy.getSize());
        });
        return;
    }

    restoreOnMessageThread (data, sizeInBytes);
}

void TapegrubProcessor::restoreOnMessageThread (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 8)
        return;

    auto xml = getXmlFromBinary (data, sizeInBytes);
    if (xml == nullptr || ! xml->hasTagName (parameters.state.getType()))
        return;

    auto tree = juce::ValueTree::fromXml (*xml);
    if (! tree.isValid())
        return;

    auto tg = tree.getChildWithName (kTg);
    if (tg.isValid())
        tree.removeChild (tg, nullptr);

    parameters.replaceState (tree);
    cacheParams();
    takeLanesOffline (-1);

    if (tg.isValid())
    {
        pendingState = tg.createCopy();
        restoreInProgress.store (true);
        page.store ((int) tg.getProperty ("page", 0));
        engine.packName = tg.getProperty ("packName", juce::String()).toString();

        auto list = std::make_shared<PackList>();
        for (const auto& child : tg)
            if (child.hasType (kPack))
                list->emplace_back (juce::File (child.getProperty ("path", juce::String()).toString()),
                                    (bool) child.getProperty ("folder", false));
        if (list->empty())
            list->emplace_back (juce::File (tg.getProperty ("packPath", juce::String()).toString()),
                                (bool) tg.getProperty ("packIsFolder", false));

        const bool anyExists = std::any_of (list->begin(), list->end(), [] (const auto& p) { return packExists (p.first); });
        if (anyExists)
        {
            lastPackPath = list->front().first.getFullPathName();
            lastPackIsFolder = list->front().second;
            restorePackChain (list, 0, tg.createCopy(), true);
        }
    }
    else
    {
        pendingState = {};
        restoreInProgress.store (false);
    }

    rearmLanes();
    copyHoldFlagsFromParameters();
    keyDirty.store (false);
}

void TapegrubProcessor::restorePackChain (std::shared_ptr<const PackList> list, size_t index, juce::ValueTree tg, bool first)
{
    size_t a = index;
    while (a < list->size() && ! packExists ((*list)[a].first))
        ++a;
    if (a >= list->size())
        return;

    size_t b = a + 1;
    while (b < list->size() && ! packExists ((*list)[b].first))
        ++b;
    const bool last = b >= list->size();

    auto alive = aliveFlag;
    auto onApplied = [this, tg] { applySavedLanes (tg); };
    auto onDone = [this, alive, list, b, tg, first, last] (bool ok)
    {
        if (! alive->load())
            return;

        if (last)
        {
            copyHoldFlagsFromParameters();
            if ((ok || ! first) && engine.packLoaded)
            {
                pendingState = {};
                restoreInProgress.store (false);
            }
        }
        else if (restoreInProgress.load())
        {
            // A pack that failed while nothing had loaded leaves the next one to replace.
            restorePackChain (list, b, tg, first && ! ok);
        }
    };

    loadPackAsync ((*list)[a].first, (*list)[a].second, std::move (onDone), std::move (onApplied), ! first, true);
}

void TapegrubProcessor::applySavedLanes (const juce::ValueTree& tg)
{
    tg::LoopEngine::LoopSet set;
    std::array<int, numLanes> shifts {};

    for (const auto& child : tg)
    {
        const int i = child.hasProperty ("i") ? (int) child.getProperty ("i") : -1;
        if (i < 0 || i >= numLanes)
            continue;
        const auto l = (size_t) i;
        set.loop[l] = child.getProperty ("loop", juce::String()).toString();
        set.cropLen[l] = (int) child.getProperty ("cropLen", 0);
        set.cropStart[l] = (int) child.getProperty ("cropStart", 0);
        if (! engine.lanes[l].hold)
            engine.lanes[l].autoSemi = (int) child.getProperty ("autoSemi", 0);
        shifts[l] = (int) child.getProperty ("beatShift", 0);
    }

    engine.applySet (set);

    for (int i = 0; i < numLanes; ++i)
    {
        auto& lane = engine.lanes[(size_t) i];
        // A held lane keeps its own loop (applySet skips it), so the session's offset and
        // shift, saved for another loop, are not its to take.
        if (lane.hold)
            continue;
        lane.beatShift = shifts[(size_t) i];
        if (lane.cropLen > 0 && lane.beatShift != 0)
            lane.rebuildPlayBuffer (i);
    }

    if (tg.hasProperty ("packName"))
        engine.packName = tg.getProperty ("packName").toString();
}
