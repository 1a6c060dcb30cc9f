// Tempo from names and audio, onsets, and the FFT behind the tempo envelope.
#include "engine/Tempo.h"
#include "SignalHelpers.h"

#include <gtest/gtest.h>

#include <complex>

using tgtest::loopLength;

namespace
{
struct PathCase
{
    const char* path;
    int bpm;
};

TEST (TempoExplicit, ReadsStatedTempoFromPath)
{
    const PathCase cases[] = {
        { "Kick_120bpm.wav", 120 },
        { "bpm120 kick", 120 },
        { "Loop 120bpm", 120 },
        { "loop_120_bpm", 120 },
        { "Loop 120 BPM.wav", 120 },
        { "BPM120", 120 },
        { "bpm-95", 95 },
        { "loop.99.bpm", 99 },
        { "120bpm", 120 },            // run at the very start
        { "bpm 70 and bpm 200", 70 }, // range is inclusive
        { "Drums bpm 200", 200 },
        { "Packs/Tempo 140 BPM/Kick.wav", 140 }, // directories count too
        { "C:\\Packs\\bpm_128\\Kick 90.wav", 128 },
        // Several numbers: the first qualifying run wins, unqualified runs are passed over.
        { "Kick 90 120bpm", 120 },
        { "bpm_95 loop 120bpm", 95 },
        { "Take 2 bpm 101 v3", 101 },
        // Nothing stated.
        { "Kick 120.wav", 0 },
        { "Kick_250bpm", 0 },     // out of range
        { "Kick_1200bpm", 0 },    // four digits
        { "Loop 1200bpm", 0 },
        { "bpm 69", 0 },
        { "Kick 120__bpm", 0 },   // only one separator may sit between
        { "bpm__120", 0 },
        { "Kick 120+bpm", 0 },    // "+" is not a separator
        { "pm120", 0 },           // needs three characters before the number
        { "bpm120.5", 120 },      // "bpm" before still counts after a decimal tail
        { "", 0 },
    };
    for (const auto& c : cases)
        EXPECT_EQ (tg::explicitBpmFromPath (c.path), c.bpm) << c.path;
}

struct CorroborationCase
{
    const char* path;
    double seconds;
    int bpm;
    int bars; // -1: not written
};

TEST (TempoCorroborated, WeighsNumbersInTheFileNameAgainstDuration)
{
    const CorroborationCase cases[] = {
        { "Groove 120.wav", 4.0, 120, 2 },      // exactly 2 bars
        { "Groove 95.wav", 4.0, 95, 1 },        // h ~ 1.58: only floor fits, error 0.5
        { "Groove 95 120.wav", 4.0, 120, 2 },   // an exact fit beats a floor fit...
        { "Groove 120 95.wav", 4.0, 120, 2 },   // ...in either order
        { "Loop 120.wav", 3.6, 120, 2 },        // h = 1.8 rounds up within a quarter bar
        { "Loop 120.wav", 4.5, 120, 2 },        // h = 2.25: the quarter-bar edge still rounds
        { "Loop 120.wav", 4.6, 120, 2 },        // h = 2.3: floor fit
        { "Loop 80 160.wav", 6.0, 160, 4 },     // both exact: nearer 128 wins
        { "Loop 160 80.wav", 6.0, 160, 4 },
        { "Loop 100 150.wav", 4.80128, 150, 3 },// errors 0.0005 and 0.0008 tie: nearer 128 wins
        { "Loop 100 150.wav", 4.8096, 100, 2 }, // errors 0.004 and 0.006 do not tie
        { "Packs 120/Groove 95.wav", 4.0, 95, 1 },       // directory numbers are ignored
        { "C:\\Packs\\120\\Groove 95.wav", 4.0, 95, 1 },
        { "Groove 120.wav", 1.0, 0, -1 },       // h = 0.5: no whole bar
        { "Groove 60.wav", 4.0, 0, -1 },        // out of range
        { "Groove 1200.wav", 4.0, 0, -1 },      // four digits
        { "Groove.wav", 4.0, 0, -1 },
        { "Groove 120.wav", 0.0, 0, -1 },
        { "Groove 120.wav", -2.0, 0, -1 },
    };
    for (const auto& c : cases)
    {
        int bars = -1;
        EXPECT_EQ (tg::corroboratedBpmFromName (c.path, c.seconds, bars), c.bpm) << c.path << " " << c.seconds;
        EXPECT_EQ (bars, c.bars) << c.path << " " << c.seconds;
    }
}

struct LengthCase
{
    double seconds;
    double hint;
    double bpm;
    int bars;
    const char* why;
};

// Silence keeps the envelope flat, so these cases are decided by the candidate list, the
// hint and the tempo preferences alone.
TEST (TempoDetect, LengthAndHintDecideOnSilence)
{
    constexpr double sr = 44100.0;
    const LengthCase cases[] = {
        { 2.0, 0.0, 120.0, 1, "single candidate: 1 bar at 120" },
        { 4.0, 0.0, 120.0, 2, "120 x 2 bars beats 180 x 3 bars" },
        { 8.0, 0.0, 120.0, 4, "90/3, 120/4, 180/6" },
        { 5.34, 0.0, 180.0, 4, "90/2, 135/3, 180/4: 180 is nearer 128" },
        { 30.0, 0.0, 128.0, 16, "single candidate: 16 bars at 128" },
        { 1.0, 0.0, 200.0, 1, "all too fast: 240 clamped" },
        { 60.0, 0.0, 70.0, 16, "all too slow: 64 clamped" },
        { 2.0, 125.0, 125.0, 1, "hint fits 1 bar within +0.12" },
        { 2.0, 130.0, 130.0, 1, "hint 1.083 bars" },
        { 2.0, 117.0, 117.0, 1, "hint 0.975 bars within -0.04" },
        { 2.0, 135.0, 120.0, 1, "hint 1.125 bars: tail too long" },
        { 2.0, 115.0, 120.0, 1, "hint 0.958 bars: too short" },
        { 2.0, 120.6, 121.0, 1, "hint more than 0.5 BPM from 120 joins and rounds" },
        { 12.0, 100.0, 100.0, 6, "hint of 5 bars wins; bars come from the list" },
        { 1200.0 / 95.0, 95.0, 152.0, 8, "a hint of 5 bars pays the odd-length penalty" },
        { 240.0 / 120.2, 120.6, 120.0, 1, "hint 0.4 BPM from the 120.2 candidate is not added" },
    };
    const std::vector<float> silence ((size_t) (60.0 * sr), 0.0f);
    for (const auto& c : cases)
    {
        int bars = 0;
        const double bpm = tg::detectLoopBpm (silence.data(), (int) std::lround (c.seconds * sr), sr, bars, c.hint);
        EXPECT_EQ (bpm, c.bpm) << c.why;
        EXPECT_EQ (bars, c.bars) << c.why;
    }
}

TEST (TempoDetect, InvalidInputIsNeutral)
{
    const std::vector<float> x (1000, 0.1f);
    struct Case { const float* samples; int count; double sr; };
    for (const auto& c : { Case { nullptr, 1000, 44100.0 }, Case { x.data(), 0, 44100.0 },
                           Case { x.data(), -5, 44100.0 }, Case { x.data(), 1000, 0.0 } })
    {
        int bars = 7;
        EXPECT_EQ (tg::detectLoopBpm (c.samples, c.count, c.sr, bars, 0.0), 120.0);
        EXPECT_EQ (bars, 1);
    }
}

struct LoopCase
{
    double bpm;
    int bars;
    double sampleRate;
};

TEST (TempoDetect, FindsTempoAndBarsOfDrumLoops)
{
    const LoopCase cases[] = {
        { 120.0, 4, 44100.0 }, // 8 s: 90, 120 and 180 compete
        { 100.0, 2, 44100.0 }, // 4.8 s: 100, 150 and 200 compete
        { 120.0, 2, 48000.0 }, // 4 s: 120 and 180 compete
        { 90.0, 2, 44100.0 },  // 5.33 s: the groove overturns the 180 that silence gives
        { 140.0, 4, 48000.0 },
        { 160.0, 2, 44100.0 },
        { 128.0, 1, 44100.0 }, // single candidate
    };
    for (const auto& c : cases)
    {
        const auto loop = tgtest::drumLoop (c.bpm, c.bars, c.sampleRate);
        int bars = 0;
        EXPECT_EQ (tg::detectLoopBpm (loop.data(), (int) loop.size(), c.sampleRate, bars, 0.0), c.bpm)
            << c.bpm << " BPM, " << c.bars << " bars";
        EXPECT_EQ (bars, c.bars) << c.bpm << " BPM, " << c.bars << " bars";
    }
}

// Noise hits at a fixed period: the loop's pulse, not only its length, picks the tempo.
TEST (TempoDetect, PulsePeriodOverturnsLengthPreferences)
{
    struct Case { double seconds; double period; double bpm; int bars; const char* why; };
    const Case cases[] = {
        { 8.0, 1.0 / 3.0, 90.0, 3, "eighths at 90 fit 3 bars, not the 4 bars silence prefers" },
        { 8.0, 0.5, 120.0, 4, "beats at 120" },
        { 5.34, 2.0 / 3.0, 90.0, 2, "every other beat at 90, where silence gives 180" },
        { 5.34, 1.0, 180.0, 4, "every third beat at 180" },
    };
    constexpr double sr = 44100.0;
    for (const auto& c : cases)
    {
        std::vector<float> x ((size_t) std::lround (c.seconds * sr), 0.0f);
        for (int hit = 0; hit * c.period < c.seconds; ++hit)
            tgtest::addNoiseBurst (x, (int) std::lround (hit * c.period * sr), 3000, 0.8f, 0.01, sr, 5);

        int bars = 0;
        EXPECT_EQ (tg::detectLoopBpm (x.data(), (int) x.size(), sr, bars, 0.0), c.bpm) << c.why;
        EXPECT_EQ (bars, c.bars) << c.why;
    }
}

TEST (TempoOnsets, DegenerateInputGivesOnlyTheStart)
{
    const std::vector<float> silence (44100, 0.0f);
    EXPECT_EQ (tg::detectOnsets (nullptr, 100, 44100.0), std::vector<int> { 0 });
    EXPECT_EQ (tg::detectOnsets (silence.data(), 0, 44100.0), std::vector<int> { 0 });
    EXPECT_EQ (tg::detectOnsets (silence.data(), 100, 0.0), std::vector<int> { 0 });
    EXPECT_EQ (tg::detectOnsets (silence.data(), (int) silence.size(), 44100.0), std::vector<int> { 0 });
}

// Clicks every 10 ms, plain and accented (an accented train re-triggers every 20 ms): onsets
// must still keep the 45 ms minimum gap.
TEST (TempoOnsets, ClickTrainKeepsMinimumGap)
{
    for (double sr : { 44100.0, 48000.0 })
        for (bool accented : { false, true })
        {
            const int count = (int) (2.0 * sr);
            const auto clicks = accented ? tgtest::clickTrain (count, (int) (0.01 * sr), { 1.0f, 0.1f })
                                         : tgtest::clickTrain (count, (int) (0.01 * sr));
            const auto onsets = tg::detectOnsets (clicks.data(), count, sr);

            ASSERT_FALSE (onsets.empty());
            EXPECT_EQ (onsets.front(), 0);
            if (accented)
            {
                EXPECT_GT (onsets.size(), 10u) << "accents should keep re-triggering";
            }
            for (size_t i = 1; i < onsets.size(); ++i)
                EXPECT_GE (onsets[i] - onsets[i - 1], 0.045 * sr) << sr << " Hz, onset " << i;
        }
}

TEST (TempoOnsets, FindsHitsAtTheirFrames)
{
    constexpr double sr = 44100.0;
    constexpr int hop = 441;
    std::vector<float> x ((size_t) sr, 0.0f);
    for (int frame : { 0, 25, 50, 51, 80 }) // 51 comes 10 ms after 50: inside the gap
        tgtest::addNoiseBurst (x, frame * hop, 2000, 0.8f, 0.004, sr, (std::uint32_t) frame + 1);
    tgtest::addNoiseBurst (x, 90 * hop, 2000, 0.01f, 0.004, sr); // too quiet to count

    EXPECT_EQ (tg::detectOnsets (x.data(), (int) x.size(), sr), (std::vector<int> { 0, 25 * hop, 50 * hop, 80 * hop }));
}

// A short last frame is measured against a full hop, so a few loud samples there are diluted.
TEST (TempoOnsets, ShortLastFrameIsMeasuredOverAFullHop)
{
    constexpr double sr = 44100.0;
    constexpr int hop = 441;
    for (const auto& [level, expectOnset] : { std::pair { 0.05f, false }, std::pair { 0.3f, true } })
    {
        std::vector<float> x (10 * hop + 10, 0.0f);
        for (int i = 10 * hop; i < (int) x.size(); ++i)
            x[(size_t) i] = level;
        const auto onsets = tg::detectOnsets (x.data(), (int) x.size(), sr);
        EXPECT_EQ (onsets.size(), expectOnset ? 2u : 1u) << level;
    }
}

TEST (TempoFft, MatchesDirectDft)
{
    for (int n : { 1, 2, 8, 64, 1024 })
    {
        tgtest::Noise noise (99);
        std::vector<float> re ((size_t) n), im ((size_t) n);
        for (int i = 0; i < n; ++i)
        {
            re[(size_t) i] = noise.next();
            im[(size_t) i] = noise.next();
        }

        std::vector<std::complex<double>> expected ((size_t) n);
        for (int k = 0; k < n; ++k)
            for (int i = 0; i < n; ++i)
                expected[(size_t) k] += std::complex<double> (re[(size_t) i], im[(size_t) i])
                                        * std::polar (1.0, -2.0 * tgtest::kPi * k * i / n);

        tg::fftRadix2 (re.data(), im.data(), n);
        for (int k = 0; k < n; ++k)
        {
            EXPECT_NEAR (re[(size_t) k], expected[(size_t) k].real(), 1e-4 * n) << "n=" << n << " bin " << k;
            EXPECT_NEAR (im[(size_t) k], expected[(size_t) k].imag(), 1e-4 * n) << "n=" << n << " bin " << k;
        }
    }
}
} // namespace
