// The per-lane colour stages: Raw's fades, delay and top-end softening, Sparkle's exciter
// response and ramps, and the rules that tell the live render when to skip either one.
#include "processor/ColourStages.h"
#include "engine/SignalHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <vector>

namespace
{
using tgtest::kPi;
using cd = std::complex<double>;

double rms (const float* x, int count)
{
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += (double) x[i] * x[i];
    return std::sqrt (sum / count);
}

// Response of y += (1 - a) (x - y), a one-pole low-pass, at w radians per sample.
cd onePole (double a, double w)
{
    return (1.0 - a) / (1.0 - a * std::exp (cd (0.0, -w)));
}

std::vector<float> noise (int count, std::uint32_t seed, float level = 0.5f)
{
    tgtest::Noise n (seed);
    std::vector<float> out ((size_t) count);
    for (auto& s : out)
        s = level * n.next();
    return out;
}

// Runs count samples of silence through raw, one sample per call, and returns mixFade after
// each of the given sample counts.
std::vector<float> fadeAfter (tgdsp::RawFx& raw, double sr, float mix, std::vector<int> counts)
{
    std::vector<float> fades;
    int done = 0;
    for (int c : counts)
    {
        for (; done < c; ++done)
        {
            float l = 0.0f, r = 0.0f;
            raw.process (&l, &r, 1, sr, mix);
        }
        fades.push_back (raw.mixFade);
    }
    return fades;
}
} // namespace

//==============================================================================================
TEST (ColourStagesRaw, UnpreparedInstanceSizesItselfOnFirstUse)
{
    // An offline render uses a fresh instance: 30 ms delay lines (1323 samples at 44.1 kHz),
    // at least 16 however low the rate.
    struct Case { double sr; int n; };
    for (const auto& c : { Case { 44100.0, 1323 }, Case { 48000.0, 1440 }, Case { 400.0, 16 } })
    {
        tgdsp::RawFx raw;
        auto in = noise (64, 3);
        auto out = in;
        raw.process (out.data(), nullptr, 64, c.sr, 0.0f);
        EXPECT_EQ (raw.N, c.n) << c.sr;
        EXPECT_EQ (raw.delayL.size(), (size_t) c.n);
        EXPECT_EQ (raw.delayR.size(), (size_t) c.n);
        EXPECT_EQ (0, std::memcmp (in.data(), out.data(), in.size() * sizeof (float))) << "off: untouched";
    }
}

TEST (ColourStagesRaw, FadesInOver40MsOutOver10MsThenBypassesBitExact)
{
    for (double sr : { 44100.0, 48000.0 })
    {
        SCOPED_TRACE (sr);
        tgdsp::RawFx raw;
        raw.prepare (sr);
        const int in = (int) std::lround (0.04 * sr), out = (int) std::lround (0.01 * sr);

        // The first processed sample is still fully dry.
        float first[2] { 0.3f, -0.7f };
        raw.process (&first[0], &first[1], 1, sr, 0.4f);
        EXPECT_EQ (first[0], 0.3f);
        EXPECT_EQ (first[1], -0.7f);

        const auto up = fadeAfter (raw, sr, 0.4f, { in / 4, in / 2, in - 2, in + 2 });
        EXPECT_NEAR (up[0], 0.25f, 1e-3f);
        EXPECT_NEAR (up[1], 0.5f, 1e-3f);
        EXPECT_LT (up[2], 1.0f);
        EXPECT_EQ (up[3], 1.0f);
        EXPECT_TRUE (tgdsp::rawShouldRun (raw, 0.0f)) << "switched off, still fading";

        // Switched off: linear fade back within 10 ms (the count restarts from here).
        const auto down = fadeAfter (raw, sr, 0.0f, { out / 2, out - 2, out + 2 });
        EXPECT_NEAR (down[0], 0.5f, 3e-3f);
        EXPECT_GT (down[1], 0.0f);
        EXPECT_EQ (down[2], 0.0f);
        EXPECT_FALSE (tgdsp::rawShouldRun (raw, 0.0f)) << "faded out: the live render skips it";

        // Even when called, a faded-out Raw leaves the audio bit-exact.
        auto l = noise (512, 7), r = noise (512, 8);
        const auto l0 = l, r0 = r;
        raw.process (l.data(), r.data(), 512, sr, 0.0f);
        EXPECT_EQ (0, std::memcmp (l.data(), l0.data(), l.size() * sizeof (float)));
        EXPECT_EQ (0, std::memcmp (r.data(), r0.data(), r.size() * sizeof (float)));
    }
}

TEST (ColourStagesRaw, LiveRunRule)
{
    struct Case { float mix, fade; bool runs; };
    for (const auto& c : { Case { 0.4f, 0.0f, true }, Case { 0.0006f, 0.0f, true }, Case { 0.0004f, 0.0f, false },
                           Case { 0.0f, 0.002f, true }, Case { 0.0f, 0.0009f, false }, Case { 0.0f, 0.0f, false } })
    {
        tgdsp::RawFx raw;
        raw.mixFade = c.fade;
        EXPECT_EQ (tgdsp::rawShouldRun (raw, c.mix), c.runs) << c.mix << " " << c.fade;
    }
}

TEST (ColourStagesRaw, DelaysTheLaneBySixMillisecondsPlusWobble)
{
    // A small click after the fade-in comes out where the delay line reads it: 6 ms plus the
    // wow (0.55 Hz, 3.1 ms) and flutter (6.3 Hz, 0.5 ms) excursions scaled by the amount.
    // Both oscillators start at phase 0 and advance before each sample.
    struct Case { double sr; float mix; };
    for (const auto& c : { Case { 44100.0, 0.001f }, Case { 44100.0, 0.4f }, Case { 48000.0, 1.0f } })
    {
        SCOPED_TRACE (testing::Message() << c.sr << " Hz, mix " << c.mix);
        tgdsp::RawFx raw;
        raw.prepare (c.sr);
        const int clickAt = (int) (0.1 * c.sr); // fade and amount have settled by then
        const int count = clickAt + (int) (0.02 * c.sr);
        std::vector<float> l ((size_t) count, 0.0f), r ((size_t) count, 0.0f);
        l[(size_t) clickAt] = 0.01f;
        raw.process (l.data(), r.data(), count, c.sr, c.mix);

        int peak = clickAt;
        for (int i = clickAt; i < count; ++i)
            if (std::abs (l[(size_t) i]) > std::abs (l[(size_t) peak]))
                peak = i;

        const double t = (peak + 1) / c.sr;
        const double delay = 0.006 * c.sr + 0.0031 * c.sr * c.mix * std::sin (2 * kPi * 0.55 * t)
                             + 0.0005 * c.sr * c.mix * std::sin (2 * kPi * 6.3 * t);
        EXPECT_NEAR (peak - clickAt, delay, 1.0);
        EXPECT_NEAR ((peak - clickAt) / c.sr, 0.006, 0.0015);
        EXPECT_EQ (r[(size_t) peak], 0.0f) << "channels have their own delay lines";
    }
}

TEST (ColourStagesRaw, SoftensTenKilohertzAtFullAmount)
{
    // Small signal at full amount: delay line with linear interpolation (over a sweeping
    // fraction, mean power gain 2/3 + cos(w)/3), then low + 0.55 x the saturated high band
    // (slope 2.6 / tanh 2.6 for small levels), then 22 % of what lies above 8.5 kHz removed.
    constexpr double sr = 44100.0, hz = 10000.0, amp = 0.01;
    const double w = 2 * kPi * hz / sr;
    const cd low = onePole (std::exp (-2 * kPi * 200 / sr), w);
    const cd top = onePole (std::exp (-2 * kPi * 8500 / sr), w);
    const cd shaped = low + (1.0 - low) * (0.55 * 2.6 / std::tanh (2.6));
    const cd softening = 0.78 + 0.22 * top;
    const double interp = std::sqrt (2.0 / 3.0 + std::cos (w) / 3.0);
    const double expected = amp / std::sqrt (2.0) * std::abs (shaped) * std::abs (softening) * interp;
    ASSERT_LT (std::abs (softening), 0.95) << "the fixture must make the softening visible";

    const int settle = (int) (0.1 * sr), count = settle + (int) sr;
    auto l = tgtest::sine (hz, amp, count, sr);
    tgdsp::RawFx raw;
    raw.prepare (sr);
    raw.process (l.data(), nullptr, count, sr, 1.0f);
    EXPECT_NEAR (rms (l.data() + settle, count - settle) / expected, 1.0, 0.01);

    // At full scale the saturation bounds the high band to 0.55 and the result is softer
    // than the input.
    auto loud = tgtest::sine (hz, 1.0, count, sr);
    tgdsp::RawFx rawLoud;
    rawLoud.prepare (sr);
    rawLoud.process (loud.data(), nullptr, count, sr, 1.0f);
    float peak = 0.0f;
    for (int i = settle; i < count; ++i)
        peak = std::max (peak, std::abs (loud[(size_t) i]));
    EXPECT_LT (peak, 0.6f);
    EXPECT_LT (rms (loud.data() + settle, count - settle), 1.0 / std::sqrt (2.0));
}

//==============================================================================================
TEST (ColourStagesSparkle, SilenceStaysSilent)
{
    tgdsp::SparkleState s;
    std::vector<float> l (2048, 0.0f), r (2048, 0.0f);
    tgdsp::processSparkle (s, l.data(), r.data(), 2048, 44100.0, 0.4f);
    for (size_t i = 0; i < l.size(); ++i)
        ASSERT_TRUE (l[i] == 0.0f && r[i] == 0.0f) << i;
    EXPECT_FLOAT_EQ (s.mix, 0.4f);
}

TEST (ColourStagesSparkle, SmallSignalResponseMatchesClosedForm)
{
    // At a steady mix g and a small level the exciter is linear:
    // H = 1 + g (0.4 (1 - Hair) + 0.3 x 2.5 (1 - Hpres)), one-pole low-passes at 9 and 3.5 kHz.
    constexpr double sr = 44100.0, amp = 0.001;
    constexpr float g = 0.4f;
    const int settle = 2000, count = settle + 44100;
    for (double hz : { 100.0, 1000.0, 5000.0, 12000.0, 16000.0 })
    {
        const double w = 2 * kPi * hz / sr;
        const cd air = onePole (std::exp (-2 * kPi * 9000 / sr), w);
        const cd pres = onePole (std::exp (-2 * kPi * 3500 / sr), w);
        const double gain = std::abs (1.0 + (double) g * (0.4 * (1.0 - air) + 0.75 * (1.0 - pres)));

        tgdsp::SparkleState s;
        s.mix = g;
        auto l = tgtest::sine (hz, amp, count, sr);
        tgdsp::processSparkle (s, l.data(), nullptr, count, sr, g);
        EXPECT_NEAR (rms (l.data() + settle, count - settle) / (amp / std::sqrt (2.0)), gain, 0.005 * gain) << hz;
        if (hz >= 12000.0)
        {
            EXPECT_GT (gain, 1.2) << "bright material gains clearly";
        }
        else if (hz <= 100.0)
        {
            EXPECT_LT (gain, 1.01) << "lows pass nearly untouched";
        }
    }
}

TEST (ColourStagesSparkle, SaturatedPartIsBounded)
{
    // However loud the input, the added presence part is at most 0.3 x mix.
    constexpr double sr = 44100.0;
    const int count = 8192;
    auto in = tgtest::sine (7000.0, 1.0, count, sr);
    auto out = in;
    tgdsp::SparkleState s;
    s.mix = 1.0f;
    tgdsp::processSparkle (s, out.data(), nullptr, count, sr, 1.0f);

    // Rebuild the linear air part from the input alone and check the remainder.
    const double cAir = 1.0 - std::exp (-2 * kPi * 9000 / sr);
    double air = 0.0, worst = 0.0;
    for (int i = 0; i < count; ++i)
    {
        air += cAir * (in[(size_t) i] - air);
        const double presencePart = out[(size_t) i] - in[(size_t) i] - 0.4 * (in[(size_t) i] - air);
        worst = std::max (worst, std::abs (presencePart));
    }
    EXPECT_LE (worst, 0.3 + 1e-5);
    EXPECT_GT (worst, 0.25) << "a full-scale 7 kHz sine drives it into saturation";
}

TEST (ColourStagesSparkle, SwitchingOffRampsWithin10MsThenSkips)
{
    constexpr double sr = 44100.0;
    tgdsp::SparkleState s;
    s.mix = 0.4f;
    EXPECT_TRUE (tgdsp::sparkleShouldRun (s, 0.0f));

    // Both channels see the same ramp: identical input gives identical output.
    auto l = noise (100, 11), r = l;
    tgdsp::processSparkle (s, l.data(), r.data(), 100, sr, 0.0f);
    EXPECT_EQ (0, std::memcmp (l.data(), r.data(), l.size() * sizeof (float)));
    EXPECT_NEAR (s.mix, 0.4f - 100.0f / 441.0f, 1e-5f);

    auto l2 = noise (441, 12), r2 = noise (441, 13);
    tgdsp::processSparkle (s, l2.data(), r2.data(), 441, sr, 0.0f);
    EXPECT_EQ (s.mix, 0.0f);
    EXPECT_FALSE (tgdsp::sparkleShouldRun (s, 0.0f));
}

TEST (ColourStagesSparkle, LiveRunRule)
{
    // Target 0 means switched off: then only a smoothed mix above 0.001 keeps it running.
    struct Case { float target, mix; bool runs; };
    for (const auto& c : { Case { 0.4f, 0.0f, true }, Case { 0.0f, 0.4f, true }, Case { 0.0f, 0.0012f, true },
                           Case { 0.0f, 0.0008f, false }, Case { 0.0003f, 0.0008f, true },
                           Case { 0.0003f, 0.0004f, false }, Case { 0.0f, 0.0f, false } })
    {
        tgdsp::SparkleState s;
        s.mix = c.mix;
        EXPECT_EQ (tgdsp::sparkleShouldRun (s, c.target), c.runs) << c.target << " " << c.mix;
    }
}

//==============================================================================================
TEST (ColourStages, NullChannelIsSkippedAndTheOtherUnaffected)
{
    // One channel processed alone comes out exactly as it does beside the other.
    constexpr double sr = 44100.0;
    constexpr int count = 4096;
    const auto l0 = noise (count, 21), r0 = noise (count, 22);

    auto runRaw = [&] (bool withLeft, bool withRight)
    {
        tgdsp::RawFx raw;
        raw.prepare (sr);
        auto l = l0, r = r0;
        raw.process (withLeft ? l.data() : nullptr, withRight ? r.data() : nullptr, count, sr, 0.7f);
        return std::make_pair (l, r);
    };
    auto runSparkle = [&] (bool withLeft, bool withRight)
    {
        tgdsp::SparkleState s;
        auto l = l0, r = r0;
        tgdsp::processSparkle (s, withLeft ? l.data() : nullptr, withRight ? r.data() : nullptr, count, sr, 0.7f);
        EXPECT_FLOAT_EQ (s.mix, 0.7f) << "the ramp advances whichever channels are present";
        return std::make_pair (l, r);
    };

    for (auto run : { std::function<std::pair<std::vector<float>, std::vector<float>> (bool, bool)> (runRaw),
                      std::function<std::pair<std::vector<float>, std::vector<float>> (bool, bool)> (runSparkle) })
    {
        const auto both = run (true, true);
        const auto leftOnly = run (true, false);
        const auto rightOnly = run (false, true);
        EXPECT_NE (both.first, l0) << "the fixture must be processed";
        EXPECT_EQ (leftOnly.first, both.first);
        EXPECT_EQ (leftOnly.second, r0);
        EXPECT_EQ (rightOnly.second, both.second);
        EXPECT_EQ (rightOnly.first, l0);
    }

    tgdsp::SparkleState s;
    tgdsp::processSparkle (s, nullptr, nullptr, 441, sr, 1.0f);
    EXPECT_FLOAT_EQ (s.mix, 1.0f);
    tgdsp::RawFx raw;
    raw.prepare (sr);
    raw.process (nullptr, nullptr, 1770, sr, 1.0f); // 40 ms and a little
    EXPECT_EQ (raw.mixFade, 1.0f);
}
