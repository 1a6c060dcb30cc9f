#include "MasterMeasure.h"
#include "LaneVoice.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace tgdsp
{
namespace
{
using tgvoice::Biquad;

// The two stages of the K-weighting at 44.1 kHz, fresh states.
struct KWeighting
{
    Biquad shelf, highPass;

    KWeighting()
    {
        {
            const double K = std::tan (0.1198203759330528); // tan(pi x 1681.974450955533 / 44100)
            const double Q = 0.7071752369554196;
            const double Vh = 1.5848647011308556;
            const double Vb = 1.2587209302325617;
            const double a0 = 1.0 + K / Q + K * K;
            shelf.b0 = (Vh + Vb * K / Q + K * K) / a0;
            shelf.b1 = 2.0 * (K * K - Vh) / a0;
            shelf.b2 = (Vh - Vb * K / Q + K * K) / a0;
            shelf.a1 = 2.0 * (K * K - 1.0) / a0;
            shelf.a2 = (1.0 - K / Q + K * K) / a0;
        }
        {
            const double K = std::tan (0.002716691953408297); // tan(pi x 38.13547087602444 / 44100)
            const double Q = 0.5003270373238773;
            const double a0 = 1.0 + K / Q + K * K;
            // Numerator 1, -2, 1 left undivided by a0, as the standard tabulates it.
            highPass.b0 = 1.0;
            highPass.b1 = -2.0;
            highPass.b2 = 1.0;
            highPass.a1 = 2.0 * (K * K - 1.0) / a0;
            highPass.a2 = (1.0 - K / Q + K * K) / a0;
        }
    }

    double process (double x) noexcept { return highPass.process (shelf.process (x)); }
};
} // namespace

double kWeightedLoudness95 (const juce::AudioBuffer<float>& render)
{
    constexpr double silent = -120.0;
    const int length = render.getNumSamples();
    const int channels = render.getNumChannels();
    if (length <= 0 || channels <= 0)
        return silent;

    std::vector<double> energy ((size_t) length, 0.0);
    std::vector<KWeighting> filters ((size_t) channels);
    for (int i = 0; i < length; ++i)
    {
        double e = 0.0;
        for (int ch = 0; ch < channels; ++ch)
        {
            const double y = filters[(size_t) ch].process ((double) render.getSample (ch, i));
            e += y * y;
        }
        energy[(size_t) i] = e;
    }

    // 0.2 s blocks with 75 % overlap; a render shorter than a block is one block.
    const int hop = 2205;
    const int window = std::min (8820, length);
    std::vector<double> kept;
    for (int start = 0; start + window <= length; start += hop)
    {
        double sum = 0.0;
        for (int i = start; i < start + window; ++i)
            sum += energy[(size_t) i];
        const double mean = sum / window;
        if (mean > 0.0)
        {
            const double blockDb = 10.0 * std::log10 (mean) - 0.691;
            if (blockDb > -70.0)
                kept.push_back (blockDb);
        }
    }

    if (kept.empty())
        return silent;
    std::sort (kept.begin(), kept.end());
    return kept[(size_t) std::lround ((double) (kept.size() - 1) * 0.95)];
}

double autoMixVolume (double currentVolume, double loudnessDb, double targetDb)
{
    if (loudnessDb <= -119.0)
        return currentVolume;
    const double gain = std::pow (10.0, (targetDb - 12.0 - loudnessDb) / 20.0);
    return std::clamp (currentVolume * gain, 0.02, 4.0);
}

bool phaseGuardFlipsBass (const juce::AudioBuffer<float>& kickMono, double kickSampleRate,
                          double kickBpm, const juce::AudioBuffer<float>& bassMono)
{
    if (kickMono.getNumChannels() < 1 || bassMono.getNumChannels() < 1)
        return false;
    const int kickLen = kickMono.getNumSamples();
    const int bassLen = bassMono.getNumSamples();
    if (kickLen < 1024 || bassLen < 1024)
        return false;

    // One bar of the KICK loop, in its own samples. A tempo or rate that gives no bar, or one
    // that does not fit an int (a zero tempo), leaves nothing to compare.
    const double bar = 60.0 * kickSampleRate / kickBpm * 4.0;
    if (! (bar >= 1.0 && bar < (double) INT_MAX))
        return false;
    const int barLen = (int) bar;
    const int n = std::min ({ barLen, kickLen, bassLen });

    const double c = 1.0 - std::exp (-2.0 * juce::MathConstants<double>::pi * 180.0 / kickSampleRate);
    const float* kick = kickMono.getReadPointer (0);
    const float* bass = bassMono.getReadPointer (0);
    double kickLow = 0.0, bassLow = 0.0, correlation = 0.0;
    for (int i = 0; i < n; ++i)
    {
        kickLow += c * ((double) kick[i] - kickLow);
        bassLow += c * ((double) bass[i] - bassLow);
        correlation += kickLow * bassLow;
    }
    return correlation < 0.0;
}
} // namespace tgdsp
