// Auto Mix (lane volumes from the measured loudness of each lane's offline render) and Phase
// Guard (BASS polarity against the KICK's low end), driven through the processor.
#include "processor/MasterMeasure.h"
#include "support/ProcessorRig.h"

#include <cmath>

namespace
{
constexpr double kLoopRate = 44100.0;
constexpr int kBar = 88200; // one bar at 120 BPM and 44.1 kHz

juce::AudioBuffer<float> sineLoop (double hz, double amplitude, int length = kBar, double phase = 0.0)
{
    return tgtest::makeBuffer (length, [=] (int, int i) {
        return amplitude * std::sin (2.0 * juce::MathConstants<double>::pi * hz * i / kLoopRate + phase);
    });
}

float volume (TapegrubProcessor& p, int lane)
{
    return p.parameters.getRawParameterValue (TapegrubProcessor::volId (lane))->load();
}

std::array<float, 7> volumes (TapegrubProcessor& p)
{
    std::array<float, 7> v {};
    for (int lane = 0; lane < 7; ++lane)
        v[(size_t) lane] = volume (p, lane);
    return v;
}

double laneLoudness (TapegrubProcessor& p, int lane)
{
    return tgdsp::kWeightedLoudness95 (p.renderLane (lane, 2));
}

// Tones for the seven lanes (HATS to LEAD are high-passed at 150 Hz, so they sit above it).
void loadEveryLane (TapegrubProcessor& p)
{
    const double hz[] { 80.0, 110.0, 6000.0, 1500.0, 800.0, 3000.0, 440.0 };
    const double amplitude[] { 0.4, 0.3, 0.2, 0.3, 0.25, 0.2, 0.3 };
    for (int lane = 0; lane < 7; ++lane)
        tgtest::installLoop (p, lane, sineLoop (hz[lane], amplitude[lane]), kLoopRate, 120.0, 1);
}
} // namespace

TEST (MasterTools, AutoMixBringsEveryLaneToItsTarget)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    loadEveryLane (p);
    tgtest::setParam (p, "automix", 1.0f);

    p.autoMixLevels (-1);
    for (int lane = 0; lane < 7; ++lane)
    {
        SCOPED_TRACE (lane);
        EXPECT_NEAR (laneLoudness (p, lane), tgdsp::kTargetDb[(size_t) lane] - 12.0, 0.05);
        EXPECT_GT (volume (p, lane), 0.02f);
        EXPECT_LT (volume (p, lane), 4.0f);
    }

    // A second pass finds every lane on target and leaves it there.
    const auto settled = volumes (p);
    p.autoMixLevels (-1);
    for (int lane = 0; lane < 7; ++lane)
        EXPECT_NEAR (volume (p, lane), settled[(size_t) lane], 1e-3f * settled[(size_t) lane]) << lane;
}

TEST (MasterTools, AutoMixLeavesMutedAndUnsoloedLanesAlone)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    loadEveryLane (p);
    tgtest::setParam (p, "automix", 1.0f);
    tgtest::setParam (p, "mute_0", 1.0f);
    tgtest::setParam (p, "solo_2", 1.0f);
    tgtest::setParam (p, "solo_3", 1.0f);
    tgtest::setParam (p, "mute_3", 1.0f); // soloed but muted
    const auto before = volumes (p);

    p.autoMixLevels (-1);
    const auto after = volumes (p);
    for (int lane = 0; lane < 7; ++lane)
    {
        if (lane != tg::hats)
        {
            EXPECT_EQ (after[(size_t) lane], before[(size_t) lane]) << lane;
        }
    }
    EXPECT_NE (after[tg::hats], before[tg::hats]);
    EXPECT_NEAR (laneLoudness (p, tg::hats), tgdsp::kTargetDb[tg::hats] - 12.0, 0.05);
}

TEST (MasterTools, AutoMixScopeSwitchAndLimits)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::installLoop (p, tg::kick, sineLoop (80.0, 20.0), kLoopRate, 120.0, 1);  // far too loud
    tgtest::installLoop (p, tg::bass, sineLoop (110.0, 0.001), kLoopRate, 120.0, 1); // far too quiet
    tgtest::installLoop (p, tg::hats, sineLoop (6000.0, 0.0), kLoopRate, 120.0, 1);  // silent
    tgtest::installLoop (p, tg::clap, sineLoop (1500.0, 0.3), kLoopRate, 120.0, 1);
    const auto before = volumes (p);

    // Switched off (as the neutral rig has it): nothing moves.
    p.autoMixLevels (-1);
    EXPECT_EQ (volumes (p), before);

    tgtest::setParam (p, "automix", 1.0f);
    p.autoMixLevels (tg::clap);
    const auto oneLane = volumes (p);
    for (int lane = 0; lane < 7; ++lane)
    {
        if (lane != tg::clap)
        {
            EXPECT_EQ (oneLane[(size_t) lane], before[(size_t) lane]) << lane;
        }
    }
    EXPECT_NEAR (laneLoudness (p, tg::clap), tgdsp::kTargetDb[tg::clap] - 12.0, 0.05);

    p.autoMixLevels (-1);
    EXPECT_NEAR (volume (p, tg::kick), 0.02f, 1e-5f);
    EXPECT_EQ (volume (p, tg::bass), 4.0f);
    EXPECT_EQ (volume (p, tg::hats), before[tg::hats]);
}

TEST (MasterTools, PhaseGuardFlipsBassAgainstAnAntiphaseKick)
{
    struct Case
    {
        const char* what;
        double bassSign;
        bool guardOn;
        int kickLength;
        float polarity;
    };
    const Case cases[] {
        { "antiphase", -1.0, true, kBar, -1.0f },
        { "in phase", 1.0, true, kBar, 1.0f },
        { "antiphase, guard off", -1.0, false, kBar, 1.0f },
        { "antiphase, kick under 1024 samples", -1.0, true, 1000, 1.0f },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        tgtest::Rig rig;
        auto& p = rig.processor;
        tgtest::setParam (p, "phase", c.guardOn ? 1.0f : 0.0f);
        p.handleUpdateNowIfNeeded();
        tgtest::installLoop (p, tg::kick, sineLoop (60.0, 0.5, c.kickLength), kLoopRate, 120.0, 1);
        tgtest::installLoop (p, tg::bass, sineLoop (60.0, 0.5 * c.bassSign), kLoopRate, 120.0, 1);
        const auto upright = p.renderLane (tg::bass, 1);

        p.refreshPhaseGuard();
        for (int lane = 0; lane < 7; ++lane)
            EXPECT_EQ (p.laneViews[(size_t) lane].polarity, lane == tg::bass ? c.polarity : 1.0f) << lane;

        // The offline render follows the view's polarity.
        const auto now = p.renderLane (tg::bass, 1);
        for (int k = 0; k < now.getNumSamples(); k += 97)
            ASSERT_EQ (now.getSample (0, k), c.polarity * upright.getSample (0, k)) << k;
    }
}

// Switching Phase Guard off refreshes the lanes but keeps the polarity until the next
// recomputation, which then gives +1.
TEST (MasterTools, PhaseGuardSwitchWaitsForTheNextRecomputation)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::setParam (p, "phase", 1.0f);
    p.handleUpdateNowIfNeeded();
    tgtest::installLoop (p, tg::kick, sineLoop (60.0, 0.5), kLoopRate, 120.0, 1);
    tgtest::installLoop (p, tg::bass, sineLoop (60.0, -0.5), kLoopRate, 120.0, 1);
    p.refreshPhaseGuard();
    ASSERT_EQ (p.laneViews[tg::bass].polarity, -1.0f);

    tgtest::setParam (p, "phase", 0.0f);
    p.handleUpdateNowIfNeeded();
    EXPECT_EQ (p.laneViews[tg::bass].polarity, -1.0f);

    p.refreshPhaseGuard();
    EXPECT_EQ (p.laneViews[tg::bass].polarity, 1.0f);
}
