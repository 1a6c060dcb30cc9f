// Snapshots, undo and redo, and the generation history behind GENERATE and the Grubhole.
// Message thread only.
#include "TapegrubProcessor.h"

using namespace tgparams;

TapegrubProcessor::Snap TapegrubProcessor::captureSnap()
{
    Snap snap;
    snap.params = parameters.copyState().createCopy();
    snap.set = engine.captureSet();
    snap.packLoaded = engine.packLoaded;
    for (size_t lane = 0; lane < (size_t) numLanes; ++lane)
    {
        snap.beatShift[lane] = engine.lanes[lane].beatShift;
        snap.autoSemi[lane] = engine.lanes[lane].autoSemi;
    }
    return snap;
}

void TapegrubProcessor::pushUndo()
{
    if ((int) undoStack.size() > maxUndoSteps - 1)
        undoStack.erase (undoStack.begin());
    undoStack.push_back (captureSnap());
    redoStack.clear();
}

void TapegrubProcessor::copyHoldFlagsFromParameters()
{
    for (size_t lane = 0; lane < (size_t) numLanes; ++lane)
        engine.lanes[lane].hold = readSwitch (cache.hold[lane], false);
}

void TapegrubProcessor::refreshAllLanes()
{
    for (int lane = 0; lane < numLanes; ++lane)
        refreshLanePlay (lane);
}

void TapegrubProcessor::applySnap (const Snap& snap)
{
    if (snap.params.isValid())
        parameters.replaceState (snap.params.createCopy());

    // The snapshot's lanes already belong to its key settings: a key re-pick triggered by the
    // restored parameters would change them again and, recording its own step, drop the redo list.
    keyDirty.store (false);

    if (snap.packLoaded && engine.packLoaded)
    {
        takeLanesOffline (-1);
        copyHoldFlagsFromParameters();
        engine.applySet (snap.set);

        for (size_t lane = 0; lane < (size_t) numLanes; ++lane)
        {
            auto& l = engine.lanes[lane];
            const int cutWithShift = l.beatShift; // what the current crop window was cut with
            l.beatShift = snap.beatShift[lane];
            l.autoSemi = snap.autoSemi[lane];
            // The crop window holds the shift: recut it when it must hold one, and also when
            // it still holds one that the snapshot does not have.
            if (l.cropLen > 0 && (l.beatShift != 0 || cutWithShift != 0))
                l.rebuildPlayBuffer ((int) lane);
        }

        refreshAllLanes();
        refreshPhaseGuard();
    }

    playGeneration.fetch_add (1);
}

// Undo and redo are mirror images: the current state goes onto the other list, then the
// newest snapshot of this one is applied.
bool TapegrubProcessor::stepHistory (std::vector<Snap>& from, std::vector<Snap>& to)
{
    if (from.empty())
        return false;

    to.push_back (captureSnap());
    const Snap snap = std::move (from.back());
    from.pop_back();
    applySnap (snap);
    return true;
}

bool TapegrubProcessor::undoStep() { return stepHistory (undoStack, redoStack); }
bool TapegrubProcessor::redoStep() { return stepHistory (redoStack, undoStack); }

bool TapegrubProcessor::generateGroove()
{
    const bool anyLoops = std::any_of (engine.lanes.begin(), engine.lanes.end(),
                                       [] (const tg::Lane& l) { return ! l.loops.empty(); });
    if (! anyLoops)
        return false;

    pushUndo();
    if ((int) generateHistory.size() >= maxGenerateHistory)
        generateHistory.erase (generateHistory.begin());
    generateHistory.push_back ({ engine.captureSet() });

    copyHoldFlagsFromParameters();
    takeLanesOffline (-1);
    engine.generate (random);
    repickForKey (false);
    refreshAllLanes();
    refreshPhaseGuard();
    autoMixLevels (-1);
    return true;
}

bool TapegrubProcessor::grubholeStep()
{
    if (generateHistory.empty())
        return false;

    pushUndo();
    takeLanesOffline (-1);
    copyHoldFlagsFromParameters();
    engine.applySet (generateHistory.back().set);
    refreshAllLanes();
    refreshPhaseGuard();
    generateHistory.pop_back();
    autoMixLevels (-1);
    return true;
}
