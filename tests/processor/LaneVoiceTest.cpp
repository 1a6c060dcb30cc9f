// The lane voice's effect rack, punch, length gate and De-Res notches against closed-form
// values, played through processBlock on one lane; and the offline lane render's length and
// end fades. KICK and BASS play their loops raw; the other lanes' play buffers are high-passed
// at 150 Hz, so their cases use tones well above that.
#include "support/ProcessorRig.h"

#include <cmath>
#include <complex>
#include <functional>
#include <set>

namespace
{
constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr int kBar120 = 96000; // one bar at 120 BPM and 48 kHz
constexpr double kPi = juce::MathConstants<double>::pi;

juce::AudioBuffer<float> sineLoop (int length, double hz, double amplitude, double rate = kRate)
{
    return tgtest::makeBuffer (length, [=] (int, int i) { return amplitude * std::sin (2.0 * kPi * hz * i / rate); });
}

juce::AudioBuffer<float> constantLoop (int length, double value)
{
    return tgtest::makeBuffer (length, [=] (int, int) { return value; });
}

float raw (TapegrubProcessor& p, const juce::String& id)
{
    return p.parameters.getRawParameterValue (id)->load();
}

struct Played
{
    juce::AudioBuffer<float> out;
    float vol = 0.0f;
};

// One lane alone, 1 bar at 120 BPM: setup runs once the loop is installed, then one block
// lets the 4 ms fade-in pass and samples are played from the host's ppq 0.
Played playLane (int lane, juce::AudioBuffer<float> loop, const std::function<void (TapegrubProcessor&)>& setup,
                 int samples)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::installLoop (p, lane, std::move (loop), kRate, 120.0, 1);
    setup (p);
    tgtest::render (p, rig.head, kBlock, kBlock);
    rig.head.ppq = 0.0;
    return { tgtest::render (p, rig.head, samples, kBlock), raw (p, TapegrubProcessor::volId (lane)) };
}

// Replaces a lane's onsets (positions in play-buffer samples) the way lane audio is changed.
void setOnsets (TapegrubProcessor& p, int lane, std::vector<int> onsets)
{
    p.takeLanesOffline (lane);
    p.engine.lanes[(size_t) lane].onsets = std::move (onsets);
    p.refreshLanePlay (lane);
}

double rms (const juce::AudioBuffer<float>& b, int channel, int start, int length)
{
    return b.getRMSLevel (channel, start, length);
}

bool sameAudio (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    if (a.getNumSamples() != b.getNumSamples() || a.getNumChannels() != b.getNumChannels())
        return false;
    for (int c = 0; c < a.getNumChannels(); ++c)
        for (int k = 0; k < a.getNumSamples(); ++k)
            if (a.getSample (c, k) != b.getSample (c, k))
                return false;
    return true;
}

// Magnitude response of the bilinear Butterworth second-order section at f, corner fc.
double butterworthGain (double fc, double f, bool lowPass)
{
    const double r = std::tan (kPi * f / kRate) / std::tan (kPi * fc / kRate);
    return 1.0 / std::sqrt (1.0 + std::pow (lowPass ? r : 1.0 / r, 4.0));
}
} // namespace

TEST (LaneVoice, PanScalesOneSide)
{
    struct Case
    {
        float pan;
        double left, right;
    };
    const Case cases[] { { 0.5f, 1.0, 1.0 }, { 1.0f, 0.0, 1.0 }, { 0.75f, 0.5, 1.0 }, { 0.25f, 1.0, 0.5 }, { 0.0f, 1.0, 0.0 } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.pan);
        const auto r = playLane (tg::kick, constantLoop (kBar120, 0.5),
                                 [&c] (TapegrubProcessor& p) { tgtest::setParam (p, "fx_0_1", c.pan); }, 2 * kBlock);
        const double level = 0.5 * r.vol;
        EXPECT_NEAR (r.out.getSample (0, 700), level * c.left, 1e-6);
        EXPECT_NEAR (r.out.getSample (1, 700), level * c.right, 1e-6);
    }
}

// Drive on a full-scale sine: tanh(k x) / tanh(k) x makeup, so the peak is the makeup gain
// 0.9 k^-0.4 + 0.1 and the wave is squared off.
TEST (LaneVoice, DrivePeaksAtItsMakeupGain)
{
    auto drive = [] (float dial) {
        return playLane (tg::kick, sineLoop (kBar120, 200.0, 1.0), [dial] (TapegrubProcessor& p) {
            tgtest::setParam (p, "vol_0", 1.0f);
            tgtest::setParam (p, "fx_0_2", dial);
        }, 12000);
    };

    for (const float dial : { 1.0f, 0.5f, 0.25f })
    {
        SCOPED_TRACE (dial);
        const double k = 7.0 * dial + 1.0;
        const auto r = drive (dial);
        ASSERT_NEAR (r.vol, 1.0f, 1e-6f);
        const double peak = r.out.getMagnitude (0, 1000, 10000);
        EXPECT_NEAR (peak, 0.9 * std::pow (k, -0.4) + 0.1, 2e-4);
        if (dial == 1.0f)
        {
            EXPECT_GT (rms (r.out, 0, 1000, 9600) / peak, 0.9); // a sine would give 0.707
        }
    }

    EXPECT_TRUE (sameAudio (drive (0.02f).out, drive (0.0f).out));
}

// Crush rounds to steps of 1 / q, q = round((1 - dial) x 24 + 2). Checked offline, where no
// limiter stands between the rack and the measurement.
TEST (LaneVoice, CrushQuantisesToItsSteps)
{
    auto crushed = [] (float dial) {
        TapegrubProcessor p;
        tgtest::neutralMaster (p);
        tgtest::setParam (p, "vol_0", 1.0f);
        tgtest::setParam (p, "fx_0_3", dial);
        p.hostBpm.store (120.0);
        tgtest::installLoop (p, tg::kick, sineLoop (88200, 100.0, 1.0, 44100.0), 44100.0, 120.0, 1);
        return p.renderLane (tg::kick, 2);
    };

    struct Case
    {
        float dial;
        int steps;
    };
    for (const auto& c : { Case { 1.0f, 2 }, Case { 0.9375f, 4 }, Case { 0.5f, 14 }, Case { 0.03f, 25 } })
    {
        SCOPED_TRACE (c.dial);
        const auto out = crushed (c.dial);
        std::set<long> levels;
        for (int k = 0; k < out.getNumSamples(); ++k)
        {
            const double scaled = out.getSample (0, k) * c.steps;
            ASSERT_NEAR (scaled, std::round (scaled), 1e-4) << k;
            levels.insert (std::lround (scaled));
        }
        EXPECT_EQ ((int) levels.size(), 2 * c.steps + 1);
        EXPECT_EQ (*levels.rbegin(), c.steps);
    }

    EXPECT_TRUE (sameAudio (crushed (0.02f), crushed (0.0f)));
}

// Filter: low-pass from 200 Hz (dial 0) to 20 kHz (0.48), high-pass from 20 Hz (0.52) to
// 4 kHz (1); a Butterworth section, so -3 dB at the corner.
TEST (LaneVoice, FilterDialIsAButterworthAtItsCorner)
{
    auto play = [] (double hz, float dial) {
        return playLane (tg::kick, sineLoop (kBar120, hz, 0.5), [dial] (TapegrubProcessor& p) {
            tgtest::setParam (p, "fx_0_4", dial);
        }, 24000).out;
    };

    struct Case
    {
        float dial;
        double hz, corner;
        bool lowPass;
    };
    const double highCorner = 20.0 * std::sqrt (200.0);             // dial 0.76: halfway up the high-pass range
    const double lowCorner = 200.0 * std::pow (100.0, 0.45 / 0.48); // dial 0.45: near the top of the low-pass
    const Case cases[] {
        { 0.0f, 200.0, 200.0, true },   { 0.0f, 50.0, 200.0, true },    { 0.0f, 2000.0, 200.0, true },
        { 0.24f, 2000.0, 2000.0, true }, { 1.0f, 4000.0, 4000.0, false }, { 1.0f, 1000.0, 4000.0, false },
        { 1.0f, 16000.0, 4000.0, false }, { 0.76f, highCorner, highCorner, false },
        { 0.45f, lowCorner, lowCorner, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.dial) + " at " + juce::String (c.hz) + " Hz");
        const auto filtered = play (c.hz, c.dial);
        const auto open = play (c.hz, 0.5f);
        const double gain = rms (filtered, 0, 12000, 12000) / rms (open, 0, 12000, 12000);
        EXPECT_NEAR (gain, butterworthGain (c.corner, c.hz, c.lowPass), 0.005);
    }

    const auto open = play (1000.0, 0.5f);
    EXPECT_TRUE (sameAudio (play (1000.0, 0.49f), open));
    EXPECT_TRUE (sameAudio (play (1000.0, 0.51f), open));
}

// A De-Res notch is a peaking cut: its full depth at its centre frequency and, off centre, the
// bilinear image of the analogue peaking section (s^2 + s A / Q + 1) / (s^2 + s / (A Q) + 1).
// Only with De-Res on.
TEST (LaneVoice, DeResNotchCutsItsDepthAtItsCentre)
{
    auto play = [] (bool deres, bool notched, double hz = 1000.0) {
        return playLane (tg::kick, sineLoop (kBar120, hz, 0.5), [=] (TapegrubProcessor& p) {
            tgtest::setParam (p, "deres", deres ? 1.0f : 0.0f);
            p.handleUpdateNowIfNeeded();
            p.takeLanesOffline (tg::kick);
            p.engine.lanes[tg::kick].notches.clear();
            if (notched)
                p.engine.lanes[tg::kick].notches.push_back ({ 1000.0, 4.0, -12.0 });
            p.refreshLanePlay (tg::kick);
        }, 24000).out;
    };

    const auto open = play (true, false);
    const auto notched = play (true, true);
    for (int c = 0; c < 2; ++c)
        EXPECT_NEAR (rms (notched, c, 12000, 12000) / rms (open, c, 12000, 12000), std::pow (10.0, -12.0 / 20.0), 0.002) << c;

    const double a = std::pow (10.0, -12.0 / 40.0), q = 4.0, hz = 1200.0;
    const double w = std::tan (kPi * hz / kRate) / std::tan (kPi * 1000.0 / kRate);
    const double offCentre = std::abs (std::complex<double> (1.0 - w * w, w * a / q))
                             / std::abs (std::complex<double> (1.0 - w * w, w / (a * q)));
    EXPECT_NEAR (rms (play (true, true, hz), 0, 12000, 12000) / rms (play (true, false, hz), 0, 12000, 12000), offCentre, 0.003);
    EXPECT_TRUE (sameAudio (play (false, true), play (false, false)));
}

// Punch sets an onset to punchPeak (2.2 at 1.0, 0.25 at 0.0), decaying back to 1 with a 45 ms
// time constant: gain j samples after the onset = 1 + (peak - 1) exp(-(j + 1) / (0.045 sr)).
TEST (LaneVoice, PunchShapesEachOnset)
{
    struct Case
    {
        float dial;
        double excess; // peak - 1
    };
    const Case cases[] { { 1.0f, 1.2 }, { 0.75f, 0.6 }, { 0.0f, -0.75 }, { 0.25f, -0.375 }, { 0.51f, 0.0 } };
    constexpr int onset = 24000;

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.dial);
        const auto r = playLane (tg::kick, constantLoop (kBar120, 0.25), [&c] (TapegrubProcessor& p) {
            tgtest::setParam (p, "fx_0_6", c.dial);
            setOnsets (p, tg::kick, { 0, onset });
        }, 32000);

        // The host's ppq puts the onset within a hair of a sample boundary, so the voice may
        // cross it one sample late.
        const double level = 0.25 * r.vol;
        EXPECT_NEAR (r.out.getSample (0, onset - 1), level, 1e-4 * level);
        int hit = onset;
        if (std::abs (r.out.getSample (0, onset) - r.out.getSample (0, onset - 1)) < 1e-3 * level)
            ++hit;
        EXPECT_LE (hit, onset + 1);
        for (const int j : { 0, 50, 2159, 6000 })
        {
            const double expected = level * (1.0 + c.excess * std::exp (-(j + 1.0) / (0.045 * kRate)));
            EXPECT_NEAR (r.out.getSample (0, hit + j), expected, 1e-4 * level) << j;
        }
    }
}

// An onset only counts when the voice crosses it, not when the host jumps past it.
TEST (LaneVoice, PunchIgnoresAnOnsetTheHostJumpedOver)
{
    constexpr int onset = 30000;
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::installLoop (p, tg::kick, constantLoop (kBar120, 0.25), kRate, 120.0, 1);
    tgtest::setParam (p, "fx_0_6", 1.0f);
    setOnsets (p, tg::kick, { onset });
    tgtest::render (p, rig.head, kBlock, kBlock);
    const double level = 0.25 * raw (p, "vol_0");

    rig.head.ppq = (onset + 100) / 24000.0; // lands 100 samples past the onset
    auto out = tgtest::render (p, rig.head, kBlock, kBlock);
    EXPECT_NEAR (out.getMagnitude (0, 0, kBlock), level, 1e-6);

    rig.head.ppq = (onset - 100) / 24000.0; // plays through it
    out = tgtest::render (p, rig.head, kBlock, kBlock);
    EXPECT_NEAR (out.getMagnitude (0, 0, kBlock), 2.2 * level, 1e-3 * level);
}

// The length gate holds each onset for `hold` seconds, then fades linearly over `fade`
// seconds, through a 2 ms one-pole: mid-fade it reads 0.5 plus the pole's 2 ms lag.
TEST (LaneVoice, LengthGateHoldsAndFadesPerLane)
{
    struct Case
    {
        int lane;
        float mode, trim;
        double hold, fade; // seconds; hold < 0: never gated
    };
    const Case cases[] {
        { tg::kick, 1, 0.5f, 0.0738, 0.0492 },  // S, 0.123 s
        { tg::hats, 1, 0.5f, 0.011, 0.03 },     // S, 0.041 s
        { tg::clap, 1, 0.5f, 0.011, 0.03 },
        { tg::perc1, 1, 0.5f, 0.011, 0.03 },
        { tg::perc2, 1, 0.5f, 0.011, 0.03 },
        { tg::kick, 2, 0.5f, 0.1422, 0.0948 },  // M, 0.237 s
        { tg::kick, 1, 1.0f, 0.1107, 0.0738 },  // trim 1: x 1.5
        { tg::kick, 1, 0.0f, 0.0315, 0.03 },    // trim 0: halved
        { tg::hats, 3, 0.0f, 0.105, 0.07 },     // L halved, 0.175 s
        { tg::bass, 1, 0.5f, -1.0, 0.0 },
        { tg::lead, 3, 1.0f, -1.0, 0.0 },
        { tg::kick, 0, 0.5f, -1.0, 0.0 },       // OFF
    };
    constexpr int onset = 48000;

    for (const auto& c : cases)
    {
        SCOPED_TRACE ("lane " + std::to_string (c.lane) + " mode " + std::to_string (c.mode) + " trim " + std::to_string (c.trim));
        auto play = [&c] (float mode) {
            return playLane (c.lane, sineLoop (kBar120, 1000.0, 0.5), [&c, mode] (TapegrubProcessor& p) {
                tgtest::setParam (p, "lenmode", mode);
                tgtest::setParam (p, "lentrim", c.trim);
                setOnsets (p, c.lane, { 0, onset });
            }, 62000).out;
        };
        const auto gated = play (c.mode);
        const auto open = play (0.0f);

        // Gain at sample centre, read at the nearest peak of the 1 kHz tone.
        auto gainNear = [&] (int centre) {
            int best = centre;
            for (int k = centre - 24; k <= centre + 24; ++k)
                if (std::abs (open.getSample (0, k)) > std::abs (open.getSample (0, best)))
                    best = k;
            return gated.getSample (0, best) / open.getSample (0, best);
        };
        auto gainAt = [&] (double secondsAfterOnset) { return gainNear (onset + (int) std::lround (secondsAfterOnset * kRate)); };

        if (c.hold < 0.0)
        {
            EXPECT_TRUE (sameAudio (gated, open));
            continue;
        }
        EXPECT_GT (gainAt (c.hold - 0.0005), 0.985);
        EXPECT_NEAR (gainAt (c.hold + 0.5 * c.fade), 0.5 + 0.002 / c.fade, 0.03);
        EXPECT_LT (std::abs (gainAt (c.hold + c.fade + 0.01)), 0.01);
        EXPECT_LT (std::abs (gainNear (onset - 1000)), 0.01); // closed until the next onset
    }
}

TEST (LaneVoice, RenderLaneLengthFollowsTheTempo)
{
    struct Case
    {
        double hostBpm, packBpm;
        int count;
    };
    const Case cases[] {
        { 120.0, 125.0, 176400 }, // 2 x 88200
        { 170.0, 125.0, 124517 }, // truncated, not rounded
        { 0.0, 100.0, 211680 },   { 400.0, 100.0, 211680 }, { 20.0, 100.0, 211680 },
        { 0.0, 0.0, 169344 },     { 0.0, -3.0, 169344 },    // 125 BPM
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::to_string (c.hostBpm) + " / " + std::to_string (c.packBpm));
        TapegrubProcessor p;
        tgtest::neutralMaster (p);
        tgtest::installLoop (p, tg::kick, constantLoop (88200, 0.5), 44100.0, 120.0, 1);
        p.hostBpm.store (c.hostBpm);
        p.engine.packBpm = c.packBpm;
        const auto out = p.renderLane (tg::kick, 2);
        EXPECT_EQ (out.getNumChannels(), 2);
        EXPECT_EQ (out.getNumSamples(), c.count);
    }

    TapegrubProcessor empty;
    const auto none = empty.renderLane (tg::hats, 2);
    EXPECT_EQ (none.getNumChannels(), 0);
    EXPECT_EQ (none.getNumSamples(), 0);
}

// A render that starts mid-loop (beat shift) fades in and out over 88 samples at its ends,
// where the loop-edge fade would leave it at full level.
TEST (LaneVoice, ShiftedRenderFadesAtBothEnds)
{
    TapegrubProcessor p;
    tgtest::neutralMaster (p);
    tgtest::installLoop (p, tg::kick, constantLoop (88200, 0.5), 44100.0, 120.0, 1);
    p.engine.lanes[tg::kick].beatShift = 1;
    p.refreshLanePlay (tg::kick);
    p.hostBpm.store (120.0);

    const auto out = p.renderLane (tg::kick, 2);
    const int count = out.getNumSamples();
    ASSERT_EQ (count, 176400);
    const double level = 0.5 * raw (p, "vol_0");

    for (const int j : { 0, 1, 44, 88 })
        EXPECT_NEAR (out.getSample (0, j), level * j / 88.2, 1e-6) << j;
    for (const int j : { 1, 44, 88 })
        EXPECT_NEAR (out.getSample (1, count - j), level * j / 88.2, 1e-6) << j;
    EXPECT_NEAR (out.getSample (0, 89), level, 1e-6);
    EXPECT_NEAR (out.getSample (0, 10000), level, 1e-6);
    EXPECT_NEAR (out.getSample (0, count - 89), level, 1e-6);
    EXPECT_NEAR (out.getSample (0, 22050), 0.0, 1e-6); // the loop seam, one beat in
}
