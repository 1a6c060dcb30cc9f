#pragma once
// Deterministic test signals generated in code: sines, click trains, noise bursts and a
// synthetic drum loop of known tempo and length. Header-only; mono float vectors.
#include <juce_audio_basics/juce_audio_basics.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tgtest
{
constexpr double kPi = 3.14159265358979323846;

// Small seeded generator so every run (and every platform) gets the same "noise".
class Noise
{
public:
    explicit Noise (std::uint32_t seed) : state (seed != 0 ? seed : 0x9e3779b9u) {}

    // Uniform in -1..1.
    float next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return (float) ((double) state / 2147483647.5 - 1.0);
    }

private:
    std::uint32_t state;
};

// Samples in a loop of the given tempo (BPM, 4 beats to the bar) and length in bars.
inline int loopLength (double bpm, double bars, double sampleRate)
{
    return (int) std::lround (240.0 / bpm * bars * sampleRate);
}

inline std::vector<float> sine (double hz, double amplitude, int count, double sampleRate, double phase = 0.0)
{
    std::vector<float> out ((size_t) count);
    for (int i = 0; i < count; ++i)
        out[(size_t) i] = (float) (amplitude * std::sin (2.0 * kPi * hz * i / sampleRate + phase));
    return out;
}

// Adds a sine into x from sample start on.
inline void addSine (std::vector<float>& x, double hz, double amplitude, double sampleRate,
                     double phase = 0.0, int start = 0)
{
    for (size_t i = (size_t) start; i < x.size(); ++i)
        x[i] += (float) (amplitude * std::sin (2.0 * kPi * hz * (double) i / sampleRate + phase));
}

// Single-sample clicks every period samples; click k has levels[k % levels.size()].
inline std::vector<float> clickTrain (int count, int period, std::initializer_list<float> levels = { 1.0f })
{
    std::vector<float> out ((size_t) count, 0.0f);
    const std::vector<float> pattern (levels);
    size_t k = 0;
    for (int i = 0; i < count; i += period, ++k)
        out[(size_t) i] = pattern[k % pattern.size()];
    return out;
}

// Adds an exponentially decaying white-noise burst (decay: seconds to fall by 1/e).
inline void addNoiseBurst (std::vector<float>& x, int start, int length, float amplitude,
                           double decaySeconds, double sampleRate, std::uint32_t seed = 1)
{
    Noise noise (seed);
    for (int i = 0; i < length && start + i < (int) x.size(); ++i)
        if (start + i >= 0)
            x[(size_t) (start + i)] += amplitude * (float) std::exp (-i / (decaySeconds * sampleRate)) * noise.next();
}

// A kick, snare and closed-hat groove: kick on beats 1 and 3 (and the "and" of 3), snare on
// 2 and 4, hats on every eighth note. Exactly loopLength (bpm, bars, sampleRate) samples.
inline std::vector<float> drumLoop (double bpm, int bars, double sampleRate, std::uint32_t seed = 7)
{
    std::vector<float> x ((size_t) loopLength (bpm, bars, sampleRate), 0.0f);
    const double beat = 60.0 / bpm * sampleRate;
    Noise noise (seed);

    auto addKick = [&] (int at)
    {
        double phase = 0.0;
        for (int i = 0; i < (int) (0.25 * sampleRate) && at + i < (int) x.size(); ++i)
        {
            const double t = i / sampleRate;
            phase += 2.0 * kPi * (50.0 + 100.0 * std::exp (-t / 0.03)) / sampleRate;
            x[(size_t) (at + i)] += (float) (0.9 * std::exp (-t / 0.12) * std::sin (phase));
        }
    };
    auto addSnare = [&] (int at)
    {
        for (int i = 0; i < (int) (0.2 * sampleRate) && at + i < (int) x.size(); ++i)
        {
            const double t = i / sampleRate;
            x[(size_t) (at + i)] += (float) (0.5 * std::exp (-t / 0.05) * noise.next()
                                             + 0.3 * std::exp (-t / 0.04) * std::sin (2.0 * kPi * 190.0 * t));
        }
    };
    auto addHat = [&] (int at, float level)
    {
        float previous = 0.0f;
        for (int i = 0; i < (int) (0.05 * sampleRate) && at + i < (int) x.size(); ++i)
        {
            const float white = noise.next();
            const float bright = 0.5f * (white - previous); // first difference: mostly highs
            previous = white;
            x[(size_t) (at + i)] += level * (float) std::exp (-i / (0.012 * sampleRate)) * bright;
        }
    };

    for (int bar = 0; bar < bars; ++bar)
        for (int eighth = 0; eighth < 8; ++eighth)
        {
            const int at = (int) std::lround ((bar * 4 + eighth * 0.5) * beat);
            if (eighth == 0 || eighth == 4 || eighth == 5)
                addKick (at);
            if (eighth == 2 || eighth == 6)
                addSnare (at);
            addHat (at, eighth % 2 == 0 ? 0.35f : 0.2f);
        }
    return x;
}

// Same channel count, length and every sample bit for bit.
inline bool sameAudio (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
        return false;
    for (int c = 0; c < a.getNumChannels(); ++c)
        if (! std::equal (a.getReadPointer (c), a.getReadPointer (c) + a.getNumSamples(), b.getReadPointer (c)))
            return false;
    return true;
}
} // namespace tgtest
