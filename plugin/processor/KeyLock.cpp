// Key re-pick: BASS and LEAD loops named too far from the chosen key are swapped for
// candidates named within a semitone of it. Message thread only.
#include "TapegrubProcessor.h"
#include "engine/KeyNames.h"

using namespace tgparams;


void TapegrubProcessor::repickForKey (bool withUndo)
{
    keyRepicks.fetch_add (1);

    if (! engine.packLoaded || ! readSwitch (cache.keyon, false))
        return;

    const int root = readChoice (cache.root, 9);
    const bool wantMinor = readChoice (cache.scale, 1) == 1;
    bool undoRecorded = false;

    for (const int lane : { (int) tg::bass, (int) tg::lead })
    {
        auto& l = engine.lanes[(size_t) lane];
        if (l.loops.empty() || l.loopName.isEmpty() || readSwitch (cache.hold[(size_t) lane], false))
            continue;

        int pc = 0;
        bool minor = true;
        if (! tg::keyFromName (l.loopName, pc, minor))
            continue;
        if (std::abs (tg::keyDistance (root, wantMinor, pc, minor)) <= 1)
            continue;

        std::vector<int> inKey;
        for (size_t i = 0; i < l.loops.size(); ++i)
        {
            int cpc = 0;
            bool cminor = true;
            if (l.loops[i].name != l.loopName && tg::keyFromName (l.loops[i].name, cpc, cminor)
                && std::abs (tg::keyDistance (root, wantMinor, cpc, cminor)) <= 1)
                inKey.push_back ((int) i);
        }
        if (inKey.empty())
            continue;

        const int chosen = inKey[(size_t) random.nextInt ((int) inKey.size())];

        if (withUndo)
        {
            if (! undoRecorded)
                pushUndo();
            undoRecorded = true;
            takeLanesOffline (lane);
        }

        l.pick = chosen;
        engine.assignLoop (lane, l.loops[(size_t) chosen]);
        l.autoSemi = 0;

        if (withUndo)
        {
            refreshLanePlay (lane);
            if (lane == tg::bass)
                refreshPhaseGuard();
            autoMixLevels (lane);
        }
    }
}
