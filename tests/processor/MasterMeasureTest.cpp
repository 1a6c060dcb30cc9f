// The measuring halves of Auto Mix (K-weighted 95th-percentile block loudness, the volume it
// leads to) and Phase Guard (the low-end polarity test of BASS against KICK).
#include "processor/MasterMeasure.h"
#include "engine/SignalHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace
{
using tgtest::kPi;
using cd = std::complex<double>;
constexpr double kSr = 44100.0;
constexpr int kHop = 2205, kBlock = 8820;

// Magnitude of the K-weighting (44.1 kHz design: shelf then high-pass) at hz, from its
// transfer function.
double kWeightingGain (double hz)
{
    const cd z1 = std::exp (cd (0.0, -2.0 * kPi * hz / kSr)); // z^-1
    auto biquad = [&] (double b0, double b1, double b2, double a1, double a2)
    { return (b0 + b1 * z1 + b2 * z1 * z1) / (1.0 + a1 * z1 + a2 * z1 * z1); };

    double K = std::tan (kPi * 1681.974450955533 / 44100.0), Q = 0.7071752369554196;
    const double Vh = 1.5848647011308556, Vb = 1.2587209302325617;
    double a0 = 1 + K / Q + K * K;
    const cd shelf = biquad ((Vh + Vb * K / Q + K * K) / a0, 2 * (K * K - Vh) / a0, (Vh - Vb * K / Q + K * K) / a0,
                             2 * (K * K - 1) / a0, (1 - K / Q + K * K) / a0);
    K = std::tan (kPi * 38.13547087602444 / 44100.0);
    Q = 0.5003270373238773;
    a0 = 1 + K / Q + K * K;
    const cd highPass = biquad (1, -2, 1, 2 * (K * K - 1) / a0, (1 - K / Q + K * K) / a0);
    return std::abs (shelf * highPass);
}

// Loudness of a steady sine of the given peak level on `channels` channels.
double sineLoudness (double hz, double amplitude, int channels)
{
    const double g = kWeightingGain (hz);
    return -0.691 + 10.0 * std::log10 (channels * 0.5 * amplitude * amplitude * g * g);
}

juce::AudioBuffer<float> stereo (const std::vector<float>& left, const std::vector<float>& right)
{
    juce::AudioBuffer<float> b (2, (int) left.size());
    b.copyFrom (0, 0, left.data(), (int) left.size());
    b.copyFrom (1, 0, right.data(), (int) right.size());
    return b;
}

juce::AudioBuffer<float> mono (const std::vector<float>& x)
{
    juce::AudioBuffer<float> b (1, (int) x.size());
    b.copyFrom (0, 0, x.data(), (int) x.size());
    return b;
}

double dbToGain (double db) { return std::pow (10.0, db / 20.0); }
} // namespace

//==============================================================================================
TEST (MasterMeasureLoudness, SteadySineReadsItsKWeightedLevel)
{
    // BS.1770's calibration point: a full-scale 997 Hz sine reads -3.01 on one channel and
    // about 0 on both; the exact figure follows from the filter's gain at that frequency.
    struct Case { double hz, amplitude; bool both; double reference; };
    for (const auto& c : { Case { 997.0, 1.0, true, 0.0 }, Case { 997.0, 1.0, false, -3.01 },
                           Case { 1000.0, 0.1, true, -20.0 }, Case { 60.0, 0.5, true, NAN },
                           Case { 8000.0, 0.5, false, NAN } })
    {
        SCOPED_TRACE (testing::Message() << c.hz << " Hz x " << c.amplitude << (c.both ? " stereo" : " left only"));
        const int count = (int) (2.0 * kSr);
        const auto s = tgtest::sine (c.hz, c.amplitude, count, kSr);
        const std::vector<float> silent ((size_t) count, 0.0f);
        const double measured = tgdsp::kWeightedLoudness95 (stereo (s, c.both ? s : silent));

        EXPECT_NEAR (measured, sineLoudness (c.hz, c.amplitude, c.both ? 2 : 1), 0.01);
        if (! std::isnan (c.reference))
            EXPECT_NEAR (measured, c.reference, 0.1);
    }
}

TEST (MasterMeasureLoudness, NothingAudibleReadsMinus120)
{
    EXPECT_EQ (tgdsp::kWeightedLoudness95 (juce::AudioBuffer<float> (2, 0)), -120.0);
    EXPECT_EQ (tgdsp::kWeightedLoudness95 (juce::AudioBuffer<float>()), -120.0);

    juce::AudioBuffer<float> silence (2, 88200);
    silence.clear();
    EXPECT_EQ (tgdsp::kWeightedLoudness95 (silence), -120.0);
}

TEST (MasterMeasureLoudness, BlocksAtMinus70OrBelowAreIgnored)
{
    // Steady sines either side of the gate: above it they read their level, below it nothing
    // is kept at all.
    const double unit = sineLoudness (1000.0, 1.0, 2);
    struct Case { double levelDb, expected; };
    for (const auto& c : { Case { -20.0, -20.0 }, Case { -69.0, -69.0 }, Case { -71.0, -120.0 } })
    {
        const auto s = tgtest::sine (1000.0, dbToGain (c.levelDb - unit), (int) kSr, kSr);
        EXPECT_NEAR (tgdsp::kWeightedLoudness95 (stereo (s, s)), c.expected, 0.01) << c.levelDb;
    }

    // 0.4 s of loud sine, then 9.6 s far below the gate. The loud blocks are under 5 % of all
    // blocks, so only the gate keeps the quiet ones from deciding the percentile.
    auto s = tgtest::sine (1000.0, 1.0, (int) (10 * kSr), kSr);
    for (size_t i = (size_t) (0.4 * kSr); i < s.size(); ++i)
        s[i] *= 1e-5f;
    EXPECT_NEAR (tgdsp::kWeightedLoudness95 (stereo (s, s)), unit, 0.01);
}

TEST (MasterMeasureLoudness, TakesThe95thPercentileOfOverlappingBlocks)
{
    // 12 blocks of 0.2 s with 75 % overlap (15 hops). The last `loudHops` hops are 20 dB up;
    // each block averages 4 hops. Sorted ascending, the pick is index lround(11 x 0.95) = 10,
    // the second loudest block, which holds one loud hop when two are loud and none when one is.
    const int count = 11 * kHop + kBlock;
    const double base = sineLoudness (1000.0, 0.1, 2);
    struct Case { int loudHops; double expected; };
    for (const auto& c : { Case { 1, base }, Case { 2, base + 10.0 * std::log10 ((3.0 + 100.0) / 4.0) } })
    {
        auto s = tgtest::sine (1000.0, 0.1, count, kSr);
        for (int i = count - c.loudHops * kHop; i < count; ++i)
            s[(size_t) i] *= 10.0f;
        EXPECT_NEAR (tgdsp::kWeightedLoudness95 (stereo (s, s)), c.expected, 0.01) << c.loudHops;
    }

    // A render shorter than a block is measured as one block of its own length.
    const auto shortSine = tgtest::sine (1000.0, 0.1, 4410, kSr);
    EXPECT_NEAR (tgdsp::kWeightedLoudness95 (stereo (shortSine, shortSine)), base, 0.01);
}

TEST (MasterMeasureAutoMix, VolumeMovesLoudnessToTargetMinus12WithinLimits)
{
    struct Case { double current, loudness, target, expected; };
    for (const auto& c : { Case { 0.8, -12.0, 0.0, 0.8 },
                           Case { 0.8, -18.0, 0.0, 0.8 * dbToGain (6.0) },
                           Case { 1.0, -20.0, -3.0, dbToGain (5.0) },
                           Case { 1.0, -40.0, -3.0, 4.0 },     // would need +25 dB
                           Case { 0.8, 30.0, 0.0, 0.02 },      // would need -42 dB
                           Case { 0.0, -10.0, -6.0, 0.02 },    // a silent knob still lands in range
                           Case { 0.5, -120.0, 0.0, 0.5 },     // nothing measured: left alone
                           Case { 3.9, -119.0, 0.0, 3.9 } })
        EXPECT_NEAR (tgdsp::autoMixVolume (c.current, c.loudness, c.target), c.expected, 1e-9)
            << c.current << " " << c.loudness << " " << c.target;

    EXPECT_EQ (tgdsp::kTargetDb.size(), 7u);
    EXPECT_EQ (tgdsp::kTargetDb[0], 0.0) << "KICK is the reference";
}

//==============================================================================================
TEST (MasterMeasurePhaseGuard, FlipsBassWhenItsLowEndOpposesTheKickOverTheFirstBar)
{
    // 120 BPM at 44.1 kHz: one bar is 88200 samples.
    const int bar = 88200;
    auto sub = [] (int count, double sign, int from = 0, int to = -1)
    {
        auto x = tgtest::sine (60.0, 0.5, count, kSr);
        for (int i = from; i < (to < 0 ? count : to); ++i)
            x[(size_t) i] *= (float) sign;
        return x;
    };
    auto withHats = [] (std::vector<float> x, double amplitude)
    {
        tgtest::addSine (x, 3000.0, amplitude, kSr);
        return x;
    };

    // sr and bpm describe the KICK loop; they set the bar the correlation runs over.
    struct Case { const char* what; std::vector<float> kick, bass; double bpm, sr; bool flips; };
    const int threeQuarters = bar * 3 / 4;
    const std::vector<Case> cases {
        { "antiphase", sub (bar, 1), sub (bar, -1), 120.0, kSr, true },
        { "in phase", sub (bar, 1), sub (bar, 1), 120.0, kSr, false },
        { "antiphase, bass 1023 samples", sub (bar, 1), sub (1023, -1), 120.0, kSr, false },
        { "antiphase, kick 1023 samples", sub (1023, 1), sub (bar, -1), 120.0, kSr, false },
        { "antiphase, both 1024 samples", sub (1024, 1), sub (1024, -1), 120.0, kSr, true },
        { "antiphase, bass half a bar", sub (bar, 1), sub (bar / 2, -1), 120.0, kSr, true },
        // Opposed only above the 180 Hz low-pass: unfiltered, the highs would outweigh the lows.
        { "antiphase highs only", withHats (sub (bar, 0.3), 1.0), withHats (sub (bar, 0.3), -1.0), 120.0, kSr, false },
        // Only the first bar of the kick loop counts: opposed for 3/4 of it, in phase after.
        { "opposed early, 120 BPM", sub (3 * bar, 1), sub (3 * bar, -1, 0, threeQuarters), 120.0, kSr, true },
        { "opposed after bar 1", sub (3 * bar, 1), sub (3 * bar, -1, bar), 120.0, kSr, false },
        { "opposed early, 60 BPM (bar twice as long)", sub (3 * bar, 1), sub (3 * bar, -1, 0, threeQuarters), 60.0, kSr, false },
        { "opposed early, kick loop at 88.2 kHz", sub (3 * bar, 1), sub (3 * bar, -1, 0, threeQuarters), 120.0, 2 * kSr, false },
        { "no tempo", sub (bar, 1), sub (bar, -1), 0.0, kSr, false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (tgdsp::phaseGuardFlipsBass (mono (c.kick), c.sr, c.bpm, mono (c.bass)), c.flips) << c.what;

    EXPECT_FALSE (tgdsp::phaseGuardFlipsBass (juce::AudioBuffer<float>(), kSr, 120.0, mono (sub (bar, -1))));
}
