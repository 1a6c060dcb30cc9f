// The engine's small operations: putting a loop on a lane and capturing or re-applying
// the lanes' picks by name. Message thread, or a loader thread on its private engine.
#include "LoopEngine.h"

namespace tg
{
const char* verdictName (IngestRecord::Verdict verdict) noexcept
{
    switch (verdict)
    {
        case IngestRecord::Verdict::loop:     return "loop";
        case IngestRecord::Verdict::oneShot:  return "one-shot";
        case IngestRecord::Verdict::texture:  return "texture";
        case IngestRecord::Verdict::noise:    return "noise";
        case IngestRecord::Verdict::unplaced: return "unplaced";
    }
    return "unplaced";
}

void LoopEngine::assignLoop (int lane, const Loop& loop)
{
    auto& l = lanes[(size_t) lane];
    l.source.makeCopyOf (loop.audio);
    l.sampleRate = loop.sampleRate;
    l.loopName = loop.name;
    l.bpm = loop.bpm;
    l.fullKit = loop.fullKit;
    l.bars = loop.bars;
    l.cropLen = 0;
    l.cropStart = 0;
    l.beatShift = 0;
    l.rebuildPlayBuffer (lane);
    refreshNotches (lane);
}

LoopEngine::LoopSet LoopEngine::captureSet() const
{
    LoopSet set;
    for (size_t i = 0; i < (size_t) numLanes; ++i)
    {
        set.loop[i] = lanes[i].loopName;
        set.cropLen[i] = lanes[i].cropLen;
        set.cropStart[i] = lanes[i].cropStart;
    }
    return set;
}

void LoopEngine::applySet (const LoopSet& set)
{
    for (int lane = 0; lane < numLanes; ++lane)
    {
        auto& l = lanes[(size_t) lane];
        const auto& name = set.loop[(size_t) lane];
        const int len = set.cropLen[(size_t) lane];
        const int start = set.cropStart[(size_t) lane];

        if (l.hold || l.loops.empty() || name.isEmpty())
            continue;

        int wantLen = len, wantStart = start;
        bool loopKept = true;

        if (name != l.loopName)
        {
            // The first candidate of that name: duplicates always resolve the same way.
            int found = -1;
            for (size_t j = 0; j < l.loops.size(); ++j)
                if (l.loops[j].name == name)
                {
                    found = (int) j;
                    break;
                }

            if (found >= 0)
            {
                l.pick = found;
                assignLoop (lane, l.loops[(size_t) found]);
            }
            else
            {
                // A loop from another pack: its crop means nothing for the loop we keep.
                loopKept = false;
                if (len > 0)
                    wantLen = wantStart = 0;
            }
        }

        // A crop window that runs past the loop's end is dropped rather than wrapped.
        if (loopKept && len > 0 && start + len > l.bars)
            wantLen = wantStart = 0;

        if (wantLen == l.cropLen && wantStart == l.cropStart)
            continue;

        l.cropLen = wantLen;
        l.cropStart = wantStart;
        l.rebuildPlayBuffer (lane);
        refreshNotches (lane);
    }
}

void LoopEngine::refreshNotches (int lane)
{
    auto& l = lanes[(size_t) lane];
    if (isTonalLane (lane) || l.mono.getNumChannels() < 1)
    {
        l.notches.clear();
        return;
    }
    l.notches = analyseResonances (l.mono.getReadPointer (0), l.mono.getNumSamples(), l.sampleRate);
}
} // namespace tg
