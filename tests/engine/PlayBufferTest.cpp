// A lane's play buffer: crop windows with beat shift, the 150 Hz high-pass, the key from
// the name or the audio, and the retirement of the pitch cache.
#include "engine/LoopEngine.h"
#include "engine/Tempo.h"
#include "SignalHelpers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
// Puts a loop on a lane directly (what assignLoop does, minus the notches).
void setSource (tg::Lane& lane, const std::vector<float>& left, const std::vector<float>& right,
                double sampleRate, double bpm, int bars, const juce::String& name = "Loop")
{
    const int n = (int) left.size();
    lane.source.setSize (right.empty() ? 1 : 2, n);
    lane.source.copyFrom (0, 0, left.data(), n);
    if (! right.empty())
        lane.source.copyFrom (1, 0, right.data(), n);
    lane.sampleRate = sampleRate;
    lane.bpm = bpm;
    lane.bars = bars;
    lane.loopName = name;
}

double rms (const float* x, int count)
{
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += (double) x[i] * x[i];
    return std::sqrt (sum / std::max (count, 1));
}

// Sample i of a ramp source holds i (exact in float below 2^24), so every play sample
// names the source sample it came from.
std::vector<float> ramp (int n, float sign)
{
    std::vector<float> x ((size_t) n);
    for (int i = 0; i < n; ++i)
        x[(size_t) i] = sign * (float) i;
    return x;
}

TEST (PlayBufferCrop, WindowsWrapRoundTheLoop)
{
    struct Case
    {
        const char* what;
        int bars, cropLen, cropStart, beatShift;
        int start, len; // expected window in source samples (96000 per bar, 24000 per beat)
    };
    const Case cases[] = {
        { "second bar", 2, 1, 1, 0, 96000, 96000 },
        { "two beats later wraps", 2, 1, 1, 2, 144000, 96000 },
        { "first bar shifted a beat", 2, 1, 0, 1, 24000, 96000 },
        { "shift of a whole loop is none", 2, 1, 1, 8, 96000, 96000 },
        { "shift -1 on one bar", 1, 1, 0, -1, 72000, 96000 },
        { "shift 3 on one bar", 1, 1, 0, 3, 72000, 96000 },
        { "shift -5 on one bar", 1, 1, 0, -5, 72000, 96000 },
        { "window longer than the loop", 1, 2, 0, 1, 24000, 96000 },
        { "start past the end wraps", 2, 1, 3, 0, 96000, 96000 },
        { "whole 2-bar crop", 2, 2, 0, 0, 0, 192000 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        tg::Lane lane;
        const int n = c.bars * 96000;
        setSource (lane, ramp (n, 1.0f), ramp (n, -1.0f), 48000.0, 120.0, c.bars);
        lane.cropLen = c.cropLen;
        lane.cropStart = c.cropStart;
        lane.beatShift = c.beatShift;
        lane.rebuildPlayBuffer (tg::kick);

        ASSERT_EQ (lane.play.getNumChannels(), 2);
        ASSERT_EQ (lane.play.getNumSamples(), c.len);
        EXPECT_EQ (lane.playBars, c.cropLen);
        int wrong = 0;
        for (int k = 0; k < c.len; ++k)
        {
            const float expected = (float) ((c.start + k) % n);
            wrong += lane.play.getSample (0, k) != expected || lane.play.getSample (1, k) != -expected;
        }
        EXPECT_EQ (wrong, 0);
    }
}

TEST (PlayBufferCrop, OneChannelSourceFeedsBothChannels)
{
    tg::Lane lane;
    setSource (lane, ramp (96000, 1.0f), {}, 48000.0, 120.0, 1);
    lane.cropLen = 1;
    lane.beatShift = 2;
    lane.rebuildPlayBuffer (tg::kick);
    ASSERT_EQ (lane.play.getNumChannels(), 2);
    ASSERT_EQ (lane.play.getNumSamples(), 96000);
    for (int k : { 0, 47999, 48000, 95999 })
    {
        EXPECT_EQ (lane.play.getSample (0, k), (float) ((48000 + k) % 96000));
        EXPECT_EQ (lane.play.getSample (1, k), (float) ((48000 + k) % 96000));
    }
}

TEST (PlayBufferUncropped, KickAndBassPlayTheSourceOthersAreHighPassed)
{
    const double sr = 44100.0;
    const auto left = tgtest::drumLoop (120.0, 2, sr, 3);
    auto right = tgtest::drumLoop (120.0, 2, sr, 4);

    for (int i = 0; i < tg::numLanes; ++i)
    {
        SCOPED_TRACE (i);
        tg::Lane lane;
        setSource (lane, left, right, sr, 120.0, 2);
        lane.beatShift = 3; // an uncropped lane is not rotated here; the voice does it live
        lane.rebuildPlayBuffer (i);

        ASSERT_EQ (lane.play.getNumChannels(), 2);
        ASSERT_EQ (lane.play.getNumSamples(), (int) left.size());
        EXPECT_EQ (lane.playBars, 2);
        EXPECT_EQ (lane.tonal, i == tg::bass || i == tg::lead);

        const bool plain = i == tg::kick || i == tg::bass;
        for (int c = 0; c < 2; ++c)
        {
            const float* src = lane.source.getReadPointer (c);
            const bool equal = std::equal (src, src + lane.source.getNumSamples(), lane.play.getReadPointer (c));
            EXPECT_EQ (equal, plain);
        }

        // mono and onsets follow the play buffer, not the source.
        ASSERT_EQ (lane.mono.getNumChannels(), 1);
        ASSERT_EQ (lane.mono.getNumSamples(), lane.play.getNumSamples());
        for (int k : { 0, 1000, 50000 })
            EXPECT_FLOAT_EQ (lane.mono.getSample (0, k), 0.5f * (lane.play.getSample (0, k) + lane.play.getSample (1, k)));
        EXPECT_EQ (lane.onsets, tg::detectOnsets (lane.mono.getReadPointer (0), lane.mono.getNumSamples(), sr));
        EXPECT_GT (lane.onsets.size(), 4u);
    }
}

// Fourth-order Butterworth high-pass at 150 Hz: |H(f)| = 1 / sqrt(1 + (150 / f)^8).
TEST (PlayBufferHighPass, ButterworthGainFromTheFirstSample)
{
    const double sr = 48000.0;
    const int n = 96000; // one bar at 120 BPM: every tone below has whole cycles in the loop
    for (const double hz : { 40.0, 150.0, 500.0, 2000.0 })
    {
        SCOPED_TRACE (hz);
        // A cosine starts at full level: without priming the filter would ring at the start.
        const auto tone = tgtest::sine (hz, 0.5, n, sr, tgtest::kPi / 2);
        const double expected = 1.0 / std::sqrt (1.0 + std::pow (150.0 / hz, 8.0));
        for (int laneIndex = tg::hats; laneIndex <= tg::lead; ++laneIndex)
        {
            tg::Lane lane;
            setSource (lane, tone, tone, sr, 120.0, 1);
            lane.rebuildPlayBuffer (laneIndex);
            const double inLevel = rms (tone.data(), n);
            const double whole = rms (lane.play.getReadPointer (1), n) / inLevel;
            const double head = rms (lane.play.getReadPointer (0), 4800) / inLevel; // first 100 ms
            EXPECT_NEAR (whole, expected, 0.01 * expected + 1e-4);
            EXPECT_NEAR (head, expected, 0.01 * expected + 1e-4);
        }
        if (hz == 40.0)
        {
            EXPECT_LT (expected, 0.006); // about -45 dB
        }
    }
}

// Chord tones with a few harmonics, held for the whole buffer.
std::vector<float> chord (std::initializer_list<double> hz, int n, double sr)
{
    std::vector<float> x ((size_t) n, 0.0f);
    for (const double f : hz)
        for (int h = 1; h <= 3; ++h)
            tgtest::addSine (x, f * h, 0.12 / h, sr, 0.3 * h);
    return x;
}

TEST (PlayBufferKey, FromAudioOrName)
{
    const double sr = 44100.0;
    const int bar = 88200;
    const auto aMinor = chord ({ 220.0, 261.63, 329.63, 440.0 }, bar, sr);
    const auto cMajor = chord ({ 261.63, 329.63, 392.0, 523.25 }, bar, sr);
    const auto dMinor = chord ({ 293.66, 349.23, 440.0 }, bar, sr);
    const std::vector<float> silence ((size_t) bar, 0.0f);
    const std::vector<float> shortChord (aMinor.begin(), aMinor.begin() + 4095);
    const std::vector<float> justLongEnough (aMinor.begin(), aMinor.begin() + 4096);

    struct Case
    {
        const char* what;
        const std::vector<float>* audio;
        const char* name;
        int root;
        bool minor, named;
    };
    const Case cases[] = {
        { "A minor chord", &aMinor, "Keys Loop", 9, true, false },
        { "C major chord", &cMajor, "Keys Loop", 0, false, false },
        { "D minor chord", &dMinor, "Keys Loop", 2, true, false },
        { "one full frame is enough", &justLongEnough, "Keys Loop", 9, true, false },
        { "name wins over audio", &cMajor, "Keys Am 90", 9, true, true },
        { "major name", &aMinor, "Keys_Ebmaj_120", 3, false, true },
        { "silence has no key", &silence, "Keys Loop", -1, true, false },
        { "short buffer has no key", &shortChord, "Keys Loop", -1, true, false },
        { "named short buffer", &shortChord, "Keys F#min", 6, true, true },
    };

    for (int laneIndex : { int (tg::kick), int (tg::lead) })
        for (const auto& c : cases)
        {
            SCOPED_TRACE (std::string (c.what) + " on lane " + std::to_string (laneIndex));
            tg::Lane lane;
            lane.keyRoot = 4; // stale values from an earlier loop must not survive
            lane.keyConfidence = 0.7f;
            lane.keyNamed = true;
            setSource (lane, *c.audio, *c.audio, sr, 120.0, 1, c.name);
            lane.rebuildPlayBuffer (laneIndex);

            EXPECT_EQ (lane.keyRoot, c.root);
            EXPECT_EQ (lane.keyNamed, c.named);
            if (c.root >= 0)
            {
                EXPECT_EQ (lane.keyMinor, c.minor);
            }
            if (c.named)
            {
                EXPECT_EQ (lane.keyConfidence, 1.0f);
            }
            else if (c.root >= 0)
            {
                EXPECT_TRUE (lane.keyConfidence > 0.0f && lane.keyConfidence <= 1.0f) << lane.keyConfidence;
            }
            else
            {
                EXPECT_EQ (lane.keyConfidence, 0.0f);
            }
        }
}

TEST (PlayBufferKey, NoiseHasNoKey)
{
    const double sr = 44100.0;
    std::vector<float> noise (88200);
    tgtest::Noise gen (11);
    for (auto& v : noise)
        v = 0.3f * gen.next();
    tg::Lane lane;
    setSource (lane, noise, noise, sr, 120.0, 1);
    lane.rebuildPlayBuffer (tg::kick);
    EXPECT_EQ (lane.keyRoot, -1);
    EXPECT_EQ (lane.keyConfidence, 0.0f);
}

TEST (PlayBufferLifecycle, RebuildRetiresThePitchCache)
{
    tg::Lane lane;
    const auto tone = tgtest::sine (440.0, 0.3, 22050, 44100.0);
    setSource (lane, tone, tone, 44100.0, 120.0, 1);
    lane.rebuildPlayBuffer (tg::hats);
    lane.retired.emplace_back (1, 5); // already waiting to be freed: stays first
    lane.pitched[3] = juce::AudioBuffer<float> (1, 33);
    lane.pitched[-2] = juce::AudioBuffer<float> (1, 22);
    const float* kept = lane.pitched[3].getReadPointer (0);

    lane.rebuildPlayBuffer (tg::hats);
    EXPECT_TRUE (lane.pitched.empty());
    ASSERT_EQ (lane.retired.size(), 3u);
    EXPECT_EQ (lane.retired[0].getNumSamples(), 5);
    EXPECT_EQ (lane.retired[1].getNumSamples(), 22); // ascending semitones
    EXPECT_EQ (lane.retired[2].getNumSamples(), 33);
    EXPECT_EQ (lane.retired[2].getReadPointer (0), kept); // moved, not copied
}

TEST (PlayBufferLifecycle, EmptySourcePlaysNothingAndKeepsTheKey)
{
    tg::Lane lane;
    const auto tone = chord ({ 220.0, 261.63, 329.63 }, 88200, 44100.0);
    setSource (lane, tone, tone, 44100.0, 120.0, 2, "Bass Am");
    lane.cropLen = 1;
    lane.rebuildPlayBuffer (tg::bass);
    ASSERT_EQ (lane.playBars, 1);
    lane.cropLen = 0;
    lane.bars = 4;
    lane.pitched[1] = juce::AudioBuffer<float> (2, 10);

    lane.source.setSize (2, 0);
    lane.rebuildPlayBuffer (tg::bass);
    EXPECT_EQ (lane.play.getNumChannels(), 2);
    EXPECT_EQ (lane.play.getNumSamples(), 0);
    EXPECT_EQ (lane.mono.getNumChannels(), 1);
    EXPECT_EQ (lane.mono.getNumSamples(), 0);
    EXPECT_EQ (lane.playBars, 1);
    EXPECT_TRUE (lane.onsets.empty());
    EXPECT_TRUE (lane.pitched.empty());
    EXPECT_EQ (lane.retired.size(), 1u);
    EXPECT_EQ (lane.keyRoot, 9);
    EXPECT_TRUE (lane.keyNamed);
    EXPECT_TRUE (lane.tonal);
}
} // namespace
