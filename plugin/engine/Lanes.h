#pragma once
// The seven lanes, in their fixed order. Several rules single lanes out by index.
#include <juce_core/juce_core.h>

namespace tg
{
constexpr int numLanes = 7;

enum LaneIndex { kick = 0, bass = 1, hats = 2, clap = 3, perc1 = 4, perc2 = 5, lead = 6 };

// "KICK", "BASS", "HATS", "CLAP", "PERC 1", "PERC 2", "LEAD": labels in lane rows and toasts.
const char* laneLabel (int lane) noexcept;

// BASS and LEAD: no resonance notches, never length-gated, never borrow candidates.
constexpr bool isTonalLane (int lane) noexcept { return lane == bass || lane == lead; }
} // namespace tg
