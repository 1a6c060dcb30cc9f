// A lane's play buffer and everything derived from it: crop window, 150 Hz high-pass,
// mono sum, onsets and musical key. Message thread (lane taken offline first) or a loader
// thread on its private engine; allocates, never for the audio thread.
#include "KeyNames.h"
#include "LoopEngine.h"
#include "Tempo.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>

namespace tg
{
namespace
{
constexpr int beatsPerBar = 4;
constexpr double highPassHz = 150.0;
// The two sections of a fourth-order Butterworth high-pass.
constexpr double highPassQ[2] { 0.541196100, 1.306562965 };

constexpr int keyFftOrder = 12;
constexpr int keyFrame = 1 << keyFftOrder; // samples
constexpr int keyHop = keyFrame / 2;
constexpr double keyLowHz = 55.0;
constexpr double keyHighHz = 2000.0;
constexpr double keySilence = 1e-9;
constexpr double keyMinCorrelation = 0.55;
constexpr double keyMinSpread = 0.45;

// Krumhansl-Kessler profiles, index 0 = the tonic.
constexpr double majorProfile[12] { 6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88 };
constexpr double minorProfile[12] { 6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17 };

void retirePitched (Lane& lane)
{
    for (auto& entry : lane.pitched)
        lane.retired.push_back (std::move (entry.second));
    lane.pitched.clear();
}

// Copies the crop window of source into play: len samples from start, wrapping round the
// loop's end at most once. play gets two channels; a one-channel source feeds both.
void copyWindow (const juce::AudioBuffer<float>& source, juce::AudioBuffer<float>& play, int start, int len)
{
    const int n = source.getNumSamples();
    play.setSize (2, len, false, false, false);
    const int first = std::min (n - start, len);
    for (int c = 0; c < 2; ++c)
    {
        const int from = c < source.getNumChannels() ? c : 0;
        play.copyFrom (c, 0, source, from, start, first);
        if (len > first)
            play.copyFrom (c, first, source, from, 0, len - first);
    }
}

// Two cookbook high-pass sections in series, primed with one pass over the loop so that
// its start is filtered as if its own end had just played (it is played round and round).
void highPassLoop (juce::AudioBuffer<float>& play, double sampleRate)
{
    const int n = play.getNumSamples();
    std::vector<float> scratch ((size_t) n);
    juce::IIRFilter sections[2];
    for (int i = 0; i < 2; ++i)
        sections[i].setCoefficients (juce::IIRCoefficients::makeHighPass (sampleRate, highPassHz, highPassQ[i]));

    for (int c = 0; c < play.getNumChannels(); ++c)
    {
        for (auto& s : sections)
            s.reset();

        auto* x = play.getWritePointer (c);
        std::copy (x, x + n, scratch.begin());
        for (auto& s : sections)
            s.processSamples (scratch.data(), n);
        for (auto& s : sections)
            s.processSamples (x, n);
    }
}

struct DetectedKey
{
    int root = -1;
    bool minor = true;
    float confidence = 0.0f;
};

// Pearson correlation of the chroma rotated to root k against a key profile. Both sides
// are centred; zero spread on either side gives 0.
double profileCorrelation (const double* chroma, double chromaMean, int k, const double* profile)
{
    double profileMean = 0.0;
    for (int i = 0; i < 12; ++i)
        profileMean += profile[i];
    profileMean /= 12.0;

    double num = 0.0, cc = 0.0, pp = 0.0;
    for (int i = 0; i < 12; ++i)
    {
        const double x = chroma[(k + i) % 12] - chromaMean;
        const double y = profile[i] - profileMean;
        num += x * y;
        cc += x * x;
        pp += y * y;
    }
    const double den = std::sqrt (cc * pp);
    return den > 0.0 ? num / den : 0.0;
}

// Key from the audio: a magnitude chroma over 55..2000 Hz from 4096-sample Hann frames,
// matched against the major and minor profiles of all twelve roots.
DetectedKey detectKey (const float* mono, int count, double sampleRate)
{
    DetectedKey key;
    if (count < keyFrame || sampleRate <= 0.0)
        return key;

    juce::dsp::FFT fft (keyFftOrder);
    std::vector<juce::dsp::Complex<float>> in ((size_t) keyFrame), out ((size_t) keyFrame);
    std::vector<float> window ((size_t) keyFrame);
    for (int i = 0; i < keyFrame; ++i)
        window[(size_t) i] = (float) (0.5 - 0.5 * std::cos (2.0 * juce::MathConstants<double>::pi * i / (keyFrame - 1)));

    // Pitch class of every bin in the band, -1 outside it.
    std::vector<int> binClass ((size_t) keyFrame / 2, -1);
    for (int j = 1; j < keyFrame / 2; ++j)
    {
        const double f = j * sampleRate / keyFrame;
        if (f < keyLowHz || f > keyHighHz)
            continue;
        const long note = std::lround (12.0 * std::log2 (f / 440.0) + 69.0);
        binClass[(size_t) j] = (int) (((note % 12) + 12) % 12);
    }

    double chroma[12] {};
    for (int o = 0; o + keyFrame <= count; o += keyHop)
    {
        for (int i = 0; i < keyFrame; ++i)
            in[(size_t) i] = { mono[o + i] * window[(size_t) i], 0.0f };
        fft.perform (in.data(), out.data(), false);
        for (int j = 1; j < keyFrame / 2; ++j)
            if (const int p = binClass[(size_t) j]; p >= 0)
                chroma[p] += std::abs (out[(size_t) j]);
    }

    double total = 0.0;
    for (double v : chroma)
        total += v;
    if (total <= keySilence)
        return key;

    double mean = 0.0;
    for (double& v : chroma)
    {
        v /= total;
        mean += v;
    }
    mean /= 12.0;

    // Ties go to the lower root and to major: only a strictly greater value takes over.
    double best = -2.0, second = -2.0;
    for (int k = 0; k < 12; ++k)
    {
        for (int mode = 0; mode < 2; ++mode)
        {
            const double v = profileCorrelation (chroma, mean, k, mode == 0 ? majorProfile : minorProfile);
            if (v > best)
            {
                second = best;
                best = v;
                key.root = k;
                key.minor = mode == 1;
            }
            else if (v > second)
            {
                second = v;
            }
        }
    }

    if (best < keyMinCorrelation)
    {
        key.root = -1; // the mode of the last winner stays, as the lane reports it
        return key;
    }

    // A flat chroma (noise, dense clusters) names no key however well it correlates.
    double var = 0.0;
    for (double v : chroma)
        var += (v - mean) * (v - mean);
    const double cv = std::sqrt (var / 12.0) / (mean + 1e-12);
    if (cv < keyMinSpread)
    {
        key.root = -1;
        return key;
    }

    key.confidence = (float) juce::jlimit (0.0, 1.0, juce::jlimit (0.0, 0.5, cv - 0.35) + 0.6 * best + 1.2 * (best - second));
    return key;
}
} // namespace

void Lane::rebuildPlayBuffer (int laneIndex)
{
    const int n = source.getNumChannels() > 0 ? source.getNumSamples() : 0;
    const double sr = sampleRate;

    if (n < 1)
    {
        play.setSize (2, 0);
        mono.setSize (1, 0);
        playBars = 1;
        onsets.clear();
        retirePitched (*this);
        return;
    }

    if (cropLen <= 0)
    {
        play.makeCopyOf (source);
        playBars = bars;
    }
    else
    {
        const double spb = 60.0 / bpm * sr * beatsPerBar; // samples per bar
        const int beats = beatsPerBar * std::max (bars, 1);
        const int rot = ((beatShift % beats) + beats) % beats;

        double startPos = std::fmod (cropStart * spb + 0.25 * spb * rot, (double) n);
        startPos = std::min (startPos, (double) (n - 1));
        int start = std::isfinite (startPos) ? (int) startPos : 0;
        if (start < 1)
            start = 0;

        const double lenPos = std::max (std::min (cropLen * spb, (double) n), 1.0);
        const int len = std::isfinite (lenPos) ? (int) lenPos : n;

        copyWindow (source, play, start, len);
        playBars = cropLen;
    }

    if (laneIndex >= hats && laneIndex <= lead && sr > 0.0 && play.getNumSamples() > 0 && play.getNumChannels() > 0)
        highPassLoop (play, sr);

    tonal = isTonalLane (laneIndex);
    makeMonoSum (play, mono);
    onsets = detectOnsets (mono.getReadPointer (0), mono.getNumSamples(), sr);

    const auto detected = detectKey (mono.getReadPointer (0), mono.getNumSamples(), sr);
    keyRoot = detected.root;
    keyMinor = detected.minor;
    keyConfidence = detected.confidence;
    keyNamed = false;

    int namedRoot = -1;
    bool namedMinor = true;
    if (keyFromName (loopName, namedRoot, namedMinor))
    {
        keyRoot = namedRoot;
        keyMinor = namedMinor;
        keyConfidence = 1.0f;
        keyNamed = true;
    }

    retirePitched (*this);
}
} // namespace tg
