// One-lane edits: shift, crop, re-roll, effect dials, audibility. Message thread only.
// Every change that replaces lane audio takes the lane offline first and refreshes it after.
#include "TapegrubProcessor.h"

using namespace tgparams;

namespace
{
bool validLane (int lane) noexcept { return lane >= 0 && lane < TapegrubProcessor::numLanes; }
} // namespace

void TapegrubProcessor::shiftLane (int lane, int delta)
{
    if (! validLane (lane))
        return;
    auto& l = engine.lanes[(size_t) lane];
    if (l.play.getNumSamples() < 1)
        return;

    pushUndo();
    const int b = l.cropLen > 0 ? l.bars : l.playBars;
    const int beats = 4 * juce::jmax (b, 1);
    l.beatShift = (beats + ((delta + l.beatShift) % beats)) % beats;

    if (l.cropLen > 0)
    {
        // A cropped lane carries its shift in the crop window.
        takeLanesOffline (lane);
        l.rebuildPlayBuffer (lane);
    }
    refreshLanePlay (lane);
    playGeneration.fetch_add (1);
}

void TapegrubProcessor::setCrop (int lane, int cropLen, int cropStart, bool resetShift)
{
    if (! validLane (lane))
        return;
    auto& l = engine.lanes[(size_t) lane];
    l.cropLen = cropLen;
    l.cropStart = cropStart;
    if (resetShift)
        l.beatShift = 0;

    takeLanesOffline (lane);
    l.rebuildPlayBuffer (lane);
    refreshLanePlay (lane);
}

void TapegrubProcessor::rerollLane (int lane)
{
    // Only lanes 0..6: a negative index would take every lane offline and bring none back.
    if (! validLane (lane))
        return;

    pushUndo();
    takeLanesOffline (lane);

    {
        const int idx = tg::pickDistinctIdx (engine.lanes.data(), lane, random);
        if (idx >= 0)
        {
            auto& l = engine.lanes[(size_t) lane];
            l.pick = idx;
            engine.assignLoop (lane, l.loops[(size_t) idx]);
            l.autoSemi = 0;
            if (lane == tg::lead && random.nextFloat() >= 0.5f)
                l.autoSemi = random.nextFloat() < 0.5f ? 1 : -1;
        }

        refreshLanePlay (lane);
        if (lane == tg::kick || lane == tg::bass)
            refreshPhaseGuard();
    }

    autoMixLevels (lane);
}

void TapegrubProcessor::setLaneFX (int lane, int fx, float value)
{
    if (auto* p = parameters.getParameter (fxId (lane, fx)))
        p->setValueNotifyingHost (p->convertTo0to1 (value));
}

bool TapegrubProcessor::laneEnabled (int lane) const
{
    if (! validLane (lane) || readSwitch (cache.mute[(size_t) lane], false))
        return false;

    for (int i = 0; i < numLanes; ++i)
        if (readSwitch (cache.solo[(size_t) i], false))
            return readSwitch (cache.solo[(size_t) lane], false);
    return true;
}
