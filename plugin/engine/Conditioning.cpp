#include "Conditioning.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tg
{
namespace
{
// Resonance bands: 48 log-spaced frequencies from 80 Hz to 8 kHz.
constexpr int kResonanceBands = 48;
constexpr int kNeighbourhood = 6; // bands either side that set a band's local floor
constexpr double kPeakProminenceDb = 8.0;
constexpr double kMaxCutDb = 12.0;
constexpr double kNotchQ = 8.0;
constexpr size_t kMaxNotches = 3;
constexpr double kResonanceWindowSeconds = 0.6;

double bandFrequency (int band) { return 80.0 * std::pow (100.0, band / (double) (kResonanceBands - 1)); }

// Level in dB of the component of x at frequency hz (Goertzel, rectangular window).
double goertzelLevelDb (const float* x, int count, double hz, double sampleRate)
{
    const double coeff = 2.0 * std::cos (2.0 * juce::MathConstants<double>::pi * hz / sampleRate);
    double s1 = 0.0, s2 = 0.0;
    for (int i = 0; i < count; ++i)
    {
        const double s = x[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 20.0 * std::log10 (std::sqrt (std::max (power, 0.0)) + 1e-9);
}

struct Peak
{
    int band;
    double prominenceDb; // level above the median of its neighbourhood
};
} // namespace

void makeMonoSum (const juce::AudioBuffer<float>& source, juce::AudioBuffer<float>& destination)
{
    if (&source == &destination)
    {
        const juce::AudioBuffer<float> copy (source);
        makeMonoSum (copy, destination);
        return;
    }

    const int n = std::max (source.getNumSamples(), 0);
    const int channels = source.getNumChannels();
    destination.setSize (1, n);
    destination.clear();
    if (n == 0 || channels <= 0)
        return;

    const float gain = 1.0f / (float) channels;
    for (int ch = 0; ch < channels; ++ch)
        destination.addFrom (0, 0, source, ch, 0, n, gain);
}

void conditionLoopBuffer (juce::AudioBuffer<float>& buffer, double sampleRate, double bpm, int& bars)
{
    const int n = buffer.getNumSamples();
    const int channels = buffer.getNumChannels();
    if (bpm <= 0.0 || sampleRate <= 0.0 || n <= 0 || channels <= 0)
        return;

    const double samplesPerBar = 240.0 * sampleRate / bpm;
    if (samplesPerBar < 1.0)
        return;

    juce::AudioBuffer<float> mono;
    makeMonoSum (buffer, mono);
    const float* m = mono.getReadPointer (0);
    float peak = 0.0f;
    for (int i = 0; i < n; ++i)
        peak = std::max (peak, std::abs (m[i]));

    // Lead-in: the start of the first complete 2 ms block that rises clearly above silence,
    // judged relative to the loop's own peak so quiet loops are treated alike.
    int leadIn = 0;
    if (peak > 1e-6f)
    {
        const int block = std::max (1, (int) (0.002 * sampleRate));
        const float threshold = std::max (1e-4f, 0.02f * peak);
        auto isLoud = [&] (int start)
        {
            for (int i = start; i < start + block; ++i)
                if (std::abs (m[i]) > threshold)
                    return true;
            return false;
        };
        int start = 0;
        while (start + block <= n && ! isLoud (start))
            start += block;
        if (start + block <= n)
            leadIn = start;
    }

    // Only a lead-in of about a bar or more is dropped (shorter ones are pickups or swing
    // that belong to the loop); 3 ms of the silence stay so the first hit keeps its attack.
    int trim = 0;
    if (leadIn >= 0.97 * samplesPerBar)
        trim = std::max (0, leadIn - (int) (0.003 * sampleRate));
    if (trim >= n)
        return;
    const int remaining = n - trim;

    int b = std::max (bars, 1);
    if (trim > 0)
        b = std::max (1, b - (int) (trim / samplesPerBar + 0.5)); // the dropped bars no longer count

    // Largest power-of-two bar count the loop can fill, allowing it to be up to a quarter
    // bar short.
    int snapped = 1;
    if (b >= 2)
        snapped = b >= 8 ? 8 : (b >= 4 ? 4 : 2);
    while (snapped > 1 && remaining / samplesPerBar < snapped - 0.25)
        snapped /= 2;

    const double target = std::round (samplesPerBar * snapped); // halves away from zero
    if (target <= 0.0)
        return;
    bars = snapped;

    const int kept = target < remaining ? (int) target : remaining; // never lengthened
    if (trim == 0 && kept == remaining)
        return;
    if (trim > 0)
        for (int ch = 0; ch < channels; ++ch)
        {
            float* data = buffer.getWritePointer (ch);
            std::memmove (data, data + trim, sizeof (float) * (size_t) kept);
        }
    buffer.setSize (channels, kept, true); // shrinking releases the cut tail's memory
}

std::vector<Notch> analyseResonances (const float* samples, int count, double sampleRate)
{
    std::vector<Notch> notches;
    if (samples == nullptr || sampleRate <= 0.0)
        return notches;

    const double windowSamples = std::floor (kResonanceWindowSeconds * sampleRate);
    const int m = windowSamples < count ? (int) windowSamples : count;
    if (m <= 255)
        return notches;

    double level[kResonanceBands];
    for (int i = 0; i < kResonanceBands; ++i)
        level[i] = goertzelLevelDb (samples, m, bandFrequency (i), sampleRate);

    std::vector<Peak> peaks;
    for (int i = 0; i < kResonanceBands; ++i)
    {
        const int lo = std::max (0, i - kNeighbourhood);
        const int hi = std::min (kResonanceBands - 1, i + kNeighbourhood);
        std::vector<double> hood (level + lo, level + hi + 1);
        std::sort (hood.begin(), hood.end());
        const double median = hood[hood.size() / 2];

        const bool localMax = (i == 0 || level[i] >= level[i - 1])
                              && (i == kResonanceBands - 1 || level[i] >= level[i + 1]);
        const double prominence = level[i] - median;
        if (localMax && prominence > kPeakProminenceDb)
            peaks.push_back ({ i, prominence });
    }

    // Equal prominences keep band order (low first) so the result is deterministic.
    std::stable_sort (peaks.begin(), peaks.end(),
                      [] (const Peak& a, const Peak& b) { return a.prominenceDb > b.prominenceDb; });

    for (size_t p = 0; p < std::min (peaks.size(), kMaxNotches); ++p)
        notches.push_back ({ bandFrequency (peaks[p].band), kNotchQ,
                             -std::min (peaks[p].prominenceDb, kMaxCutDb) });
    return notches;
}
} // namespace tg
