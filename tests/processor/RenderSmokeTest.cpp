#include "support/ProcessorRig.h"

TEST (RenderSmoke, ALoadedLaneSounds)
{
    tgtest::Rig rig;
    auto ramp = tgtest::makeBuffer (96000, [] (int, int i) { return 0.5 * std::sin (i * 0.05); });
    tgtest::installLoop (rig.processor, 0, std::move (ramp), 48000.0, 120.0, 1);
    const auto out = tgtest::render (rig.processor, rig.head, 48000, 512);
    EXPECT_GT (out.getMagnitude (0, 48000), 0.1f);
    EXPECT_LE (out.getMagnitude (0, 48000), 0.999f);
}
