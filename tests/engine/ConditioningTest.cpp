// Mono fold, lead-in trim and bar snapping, and resonance notches.
#include "engine/Conditioning.h"
#include "SignalHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

namespace
{
constexpr double kSr = 44100.0;
constexpr int kBar120 = 88200; // samples per bar at 120 BPM, 44.1 kHz

juce::AudioBuffer<float> bufferOf (std::initializer_list<std::vector<float>> channels)
{
    const auto& first = *channels.begin();
    juce::AudioBuffer<float> buffer ((int) channels.size(), (int) first.size());
    int ch = 0;
    for (const auto& samples : channels)
        buffer.copyFrom (ch++, 0, samples.data(), (int) samples.size());
    return buffer;
}

TEST (ConditioningMono, AveragesChannels)
{
    const std::vector<float> left { 0.5f, -0.25f, 1.0f, 0.0f };
    const std::vector<float> minusLeft { -0.5f, 0.25f, -1.0f, 0.0f };

    juce::AudioBuffer<float> mono (3, 10); // stale shape and content must not survive
    mono.clear();
    mono.setSample (0, 0, 9.0f);

    tg::makeMonoSum (bufferOf ({ left, minusLeft }), mono);
    ASSERT_EQ (mono.getNumChannels(), 1);
    ASSERT_EQ (mono.getNumSamples(), 4);
    EXPECT_EQ (mono.getMagnitude (0, 0, 4), 0.0f) << "L and -L fold to silence";

    tg::makeMonoSum (bufferOf ({ { 1.0f, 1.0f }, { 2.0f, -2.0f }, { 6.0f, 0.0f } }), mono);
    ASSERT_EQ (mono.getNumSamples(), 2);
    EXPECT_FLOAT_EQ (mono.getSample (0, 0), 3.0f);
    EXPECT_FLOAT_EQ (mono.getSample (0, 1), -1.0f / 3.0f);

    tg::makeMonoSum (juce::AudioBuffer<float> (2, 0), mono);
    EXPECT_EQ (mono.getNumChannels(), 1);
    EXPECT_EQ (mono.getNumSamples(), 0);

    auto inPlace = bufferOf ({ { 1.0f, 0.0f }, { 0.0f, 1.0f } });
    tg::makeMonoSum (inPlace, inPlace);
    ASSERT_EQ (inPlace.getNumChannels(), 1);
    EXPECT_FLOAT_EQ (inPlace.getSample (0, 0), 0.5f);
    EXPECT_FLOAT_EQ (inPlace.getSample (0, 1), 0.5f);
}

// A stereo loop: leadIn samples of near-silence (noise at leadInLevel), then body samples of
// loud noise, different in each channel.
juce::AudioBuffer<float> stereoLoop (int leadIn, int body, float leadInLevel = 0.0f)
{
    tgtest::Noise noise (3);
    juce::AudioBuffer<float> buffer (2, leadIn + body);
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < leadIn + body; ++i)
            buffer.setSample (ch, i, (i < leadIn ? leadInLevel : 0.5f) * noise.next());
    return buffer;
}

struct ConditionCase
{
    const char* what;
    double bpm;
    int leadIn;     // samples of silence before the audio
    int body;       // samples of audio
    int barsIn;
    int barsOut;
    int length;     // samples kept
    int start;      // first kept sample of the original
    float leadInLevel = 0.0f;
};

TEST (ConditioningLoop, TrimsLeadInAndSnapsToPowerOfTwoBars)
{
    const ConditionCase cases[] = {
        { "0.5 s lead-in is kept", 120, 22050, 2 * kBar120 - 22050, 2, 2, 2 * kBar120, 0 },
        // First loud 88-sample block starts at 88176; 132 samples (3 ms) of silence stay.
        { "a silent first bar is cut and no longer counts", 120, kBar120, 2 * kBar120, 3, 2, 2 * kBar120, 88044 },
        { "lead-in of 0.96 bars is kept", 120, 84672, 2 * kBar120 - 84672, 2, 2, 2 * kBar120, 0 },
        { "lead-in of 0.98 bars is cut", 120, 86436, 2 * kBar120, 3, 2, 2 * kBar120, 86284 },
        { "noise under 2% of the peak is silence", 120, kBar120, 2 * kBar120, 3, 2, 2 * kBar120, 88044, 0.005f },
        { "noise over 2% of the peak is audio", 120, kBar120, 2 * kBar120, 3, 2, 2 * kBar120, 0, 0.05f },
        { "3 bars -> first 2", 120, 0, 3 * kBar120, 3, 2, 2 * kBar120, 0 },
        { "5 bars -> first 4", 120, 0, 5 * kBar120, 5, 4, 4 * kBar120, 0 },
        { "6 bars -> first 4", 120, 0, 6 * kBar120, 6, 4, 4 * kBar120, 0 },
        { "12 bars -> first 8", 120, 0, 12 * kBar120, 12, 8, 8 * kBar120, 0 },
        { "16 bars -> first 8", 120, 0, 16 * kBar120, 16, 8, 8 * kBar120, 0 },
        { "exact 4 bars untouched", 120, 0, 4 * kBar120, 4, 4, 4 * kBar120, 0 },
        { "1.7 bars -> 1 bar", 120, 0, 149940, 2, 1, kBar120, 0 },
        { "1.8 bars stays 2 bars, never lengthened", 120, 0, 158760, 2, 2, 158760, 0 },
        { "3.7 bars of 4 -> 2", 120, 0, 326340, 4, 2, 2 * kBar120, 0 },
        { "3.8 bars of 4 stays 4", 120, 0, 335160, 4, 4, 335160, 0 },
        { "bars 0 counts as 1", 120, 0, 2 * kBar120, 0, 1, kBar120, 0 },
        { "silence is snapped, never trimmed", 120, 3 * kBar120, 0, 3, 2, 2 * kBar120, 0 },
        { "only the incomplete last 2 ms block is loud: no lead-in", 120, 3 * kBar120 + 20, 20, 3, 2, 2 * kBar120, 0 },
        { "two silent bars come off the bar count", 120, 2 * kBar120, 4 * kBar120, 4, 2, 2 * kBar120, 176220 },
        { "half a bar after a silent bar: trimmed, 1 bar, short", 120, kBar120, 44100, 2, 1, 44256, 88044 },
        // 130 BPM: 81415.38 samples per bar; 2 bars round to 162831.
        { "fractional bar length rounds", 130, 0, 203538, 2, 2, 162831, 0 },
    };

    for (const auto& c : cases)
    {
        const auto original = stereoLoop (c.leadIn, c.body, c.leadInLevel);
        auto buffer = original;
        int bars = c.barsIn;
        tg::conditionLoopBuffer (buffer, kSr, c.bpm, bars);

        EXPECT_EQ (bars, c.barsOut) << c.what;
        ASSERT_EQ (buffer.getNumChannels(), 2) << c.what;
        ASSERT_EQ (buffer.getNumSamples(), c.length) << c.what;
        for (int ch = 0; ch < 2; ++ch)
            for (int i : { 0, 1, c.length / 2, c.length - 1 })
                ASSERT_EQ (buffer.getSample (ch, i), original.getSample (ch, c.start + i))
                    << c.what << ", channel " << ch << ", sample " << i;
    }
}

TEST (ConditioningLoop, DegenerateInputIsLeftAlone)
{
    struct Case { const char* what; double sr; double bpm; int channels; int samples; };
    const Case cases[] = {
        { "bpm 0", kSr, 0.0, 2, 3 * kBar120 },
        { "negative bpm", kSr, -120.0, 2, 3 * kBar120 },
        { "sample rate 0", 0.0, 120.0, 2, 3 * kBar120 },
        { "bar shorter than a sample", kSr, 1.0e8, 2, 3 * kBar120 },
        { "no samples", kSr, 120.0, 2, 0 },
        { "no channels", kSr, 120.0, 0, 0 },
    };
    for (const auto& c : cases)
    {
        juce::AudioBuffer<float> buffer (c.channels, c.samples);
        buffer.clear();
        int bars = 3;
        tg::conditionLoopBuffer (buffer, c.sr, c.bpm, bars);
        EXPECT_EQ (bars, 3) << c.what;
        EXPECT_EQ (buffer.getNumSamples(), c.samples) << c.what;
        EXPECT_EQ (buffer.getNumChannels(), c.channels) << c.what;
    }
}

double bandHz (int band) { return 80.0 * std::pow (100.0, band / 47.0); }

// One sine on every resonance band at equal level (a flat band spectrum), with the listed
// bands raised by the given dB. boostFrom: sample where the raised bands start.
std::vector<float> bandComb (const std::map<int, double>& boostDb, int count, int boostFrom = 0)
{
    std::vector<float> x ((size_t) count, 0.0f);
    for (int band = 0; band < 48; ++band)
    {
        const double phase = 2.39996 * band; // spread phases so the sum does not pile up
        tgtest::addSine (x, bandHz (band), 0.01, kSr, phase);
        if (const auto it = boostDb.find (band); it != boostDb.end())
            tgtest::addSine (x, bandHz (band), 0.01 * (std::pow (10.0, it->second / 20.0) - 1.0), kSr, phase, boostFrom);
    }
    return x;
}

struct ResonanceCase
{
    const char* what;
    std::map<int, double> boostDb;
    std::vector<std::pair<int, double>> notches; // band, gain dB; strongest first
};

TEST (ConditioningResonance, NotchesTheMostProminentPeaks)
{
    const ResonanceCase cases[] = {
        { "flat", {}, {} },
        { "20 dB peak is cut by 12", { { 24, 20.0 } }, { { 24, -12.0 } } },
        { "9 dB peak is cut by 9", { { 24, 9.0 } }, { { 24, -9.0 } } },
        { "7 dB is not a peak", { { 24, 7.0 } }, {} },
        // Six of the twelve neighbours (up to six bands away) sit 6 dB up: the median is 6 dB.
        { "prominence is over the neighbourhood median",
          { { 24, 16.0 }, { 18, 6.0 }, { 19, 6.0 }, { 27, 6.0 }, { 28, 6.0 }, { 29, 6.0 }, { 30, 6.0 } },
          { { 24, -10.0 } } },
        { "lowest band", { { 0, 20.0 } }, { { 0, -12.0 } } },
        { "highest band", { { 47, 10.0 } }, { { 47, -10.0 } } },
        { "three strongest, by prominence",
          { { 10, 11.0 }, { 20, 15.0 }, { 30, 20.0 }, { 40, 10.0 } },
          { { 30, -12.0 }, { 20, -12.0 }, { 10, -11.0 } } },
    };

    const int count = (int) kSr; // only the first 0.6 s may count
    for (const auto& c : cases)
    {
        const auto x = bandComb (c.boostDb, count);
        const auto notches = tg::analyseResonances (x.data(), count, kSr);
        ASSERT_EQ (notches.size(), c.notches.size()) << c.what;
        for (size_t i = 0; i < notches.size(); ++i)
        {
            EXPECT_NEAR (notches[i].frequency, bandHz (c.notches[i].first), 1e-6) << c.what << ", notch " << i;
            EXPECT_EQ (notches[i].q, 8.0) << c.what;
            EXPECT_NEAR (notches[i].gainDb, c.notches[i].second, 0.5) << c.what << ", notch " << i;
        }
    }
}

TEST (ConditioningResonance, ReadsOnlyTheFirstSixTenthsOfASecond)
{
    const int count = (int) kSr;
    const auto late = bandComb ({ { 24, 20.0 } }, count, (int) (0.6 * kSr));
    EXPECT_TRUE (tg::analyseResonances (late.data(), count, kSr).empty());

    const auto early = bandComb ({ { 24, 20.0 } }, count, (int) (0.3 * kSr));
    EXPECT_EQ (tg::analyseResonances (early.data(), count, kSr).size(), 1u);
}

TEST (ConditioningResonance, TooLittleInputGivesNoNotches)
{
    const auto tone = tgtest::sine (bandHz (40), 0.5, 256, kSr);
    EXPECT_EQ (tg::analyseResonances (tone.data(), 256, kSr).size(), 1u);
    EXPECT_TRUE (tg::analyseResonances (tone.data(), 255, kSr).empty());
    EXPECT_TRUE (tg::analyseResonances (tone.data(), 256, 0.0).empty());
    EXPECT_TRUE (tg::analyseResonances (nullptr, 256, kSr).empty());

    const std::vector<float> silence (30000, 0.0f);
    EXPECT_TRUE (tg::analyseResonances (silence.data(), 30000, kSr).empty());
}
} // namespace
