#include "Lanes.h"

namespace tg
{
const char* laneLabel (int lane) noexcept
{
    static const char* const labels[numLanes] { "KICK", "BASS", "HATS", "CLAP", "PERC 1", "PERC 2", "LEAD" };
    return lane >= 0 && lane < numLanes ? labels[lane] : "";
}
} // namespace tg
