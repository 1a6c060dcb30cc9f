// GENERATE and single-lane re-roll: one random pick per lane that keeps every lane on a
// different loop and at most one whole-kit loop sounding. The order of random draws is part
// of the behaviour (a session's seed reproduces its groove), so keep it exactly as written.
#include "LoopEngine.h"

namespace tg
{
namespace
{
bool isSounding (const Lane& lane) noexcept { return lane.play.getNumSamples() > 0; }
} // namespace

int pickDistinctIdx (const Lane* lanes, int lane, juce::Random& random)
{
    const auto& own = lanes[lane];
    const auto count = (int) own.loops.size();

    if (count == 0)
        return -1;

    // Names and kit flags of what the other lanes play right now; a held lane counts too.
    juce::StringArray taken;
    bool kitTaken = false;

    for (int j = 0; j < numLanes; ++j)
    {
        if (j == lane || ! isSounding (lanes[j]))
            continue;

        taken.add (lanes[j].loopName);
        kitTaken = kitTaken || lanes[j].fullKit;
    }

    std::vector<int> first, second;

    for (int i = 0; i < count; ++i)
    {
        const auto& loop = own.loops[(size_t) i];

        if (loop.name == own.loopName || taken.contains (loop.name))
            continue;

        (loop.fullKit && kitTaken ? second : first).push_back (i);
    }

    // Exactly one draw whenever the lane has candidates, whichever list it comes from.
    if (! first.empty())
        return first[(size_t) random.nextInt ((int) first.size())];

    if (second.empty())
        return random.nextInt (count);

    return second[(size_t) random.nextInt ((int) second.size())];
}

void LoopEngine::generate (juce::Random& random)
{
    bool leadPicked = false;

    // Index order matters: each new pick is sounding by the time the next lane chooses.
    for (int lane = 0; lane < numLanes; ++lane)
    {
        auto& target = lanes[(size_t) lane];

        if (target.hold)
            continue;

        const auto idx = pickDistinctIdx (lanes.data(), lane, random);

        if (idx < 0)
            continue;

        target.pick = idx;
        assignLoop (lane, target.loops[(size_t) idx]);

        if (lane == LaneIndex::lead)
            leadPicked = true;
        else
            target.autoSemi = 0;
    }

    // LEAD's -1/0/+1 semitone wobble: 0 half the time, +1 and -1 a quarter each. Drawn after
    // all picks so that the picks' draws do not depend on it.
    if (leadPicked)
    {
        auto& lead = lanes[(size_t) LaneIndex::lead];

        if (random.nextFloat() < 0.5f)
            lead.autoSemi = 0;
        else
            lead.autoSemi = random.nextFloat() < 0.5f ? 1 : -1;
    }
}
} // namespace tg
