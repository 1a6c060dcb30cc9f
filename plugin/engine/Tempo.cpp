#include "Tempo.h"

#include <algorithm>
#include <cmath>

namespace tg
{
namespace
{
constexpr int kMinBpm = 70;
constexpr int kMaxBpm = 200;
constexpr double kPreferredBpm = 128.0; // house-tempo centre for tie-breaks and octave choice

// Loop lengths considered, in the order every scan visits them.
constexpr int kBarCounts[] = { 1, 2, 3, 4, 6, 8, 12, 16 };

// Onset-strength envelope for tempo scoring.
constexpr int kFluxFrame = 1024;
constexpr int kFluxHop = 256;
constexpr double kMaxAnalysisSeconds = 6.0;

bool isPowerOfTwo (int v) { return v > 0 && (v & (v - 1)) == 0; }

bool isDigit (juce::juce_wchar c) { return c >= '0' && c <= '9'; }

bool isBpmSeparator (juce::juce_wchar c) { return c == ' ' || c == '-' || c == '.' || c == '_'; }

// Distance between two tempos in octaves.
double octaves (double a, double b) { return std::abs (std::log2 (a / b)); }

bool inTempoRange (double bpm) { return bpm >= kMinBpm && bpm <= kMaxBpm; }

// A maximal run of ASCII digits of 2 or 3 characters whose value is a plausible tempo.
struct TempoRun
{
    int start = 0; // index of the first digit
    int end = 0;   // one past the last digit
    int value = 0;
};

// Every tempo-candidate digit run of text, left to right.
std::vector<TempoRun> tempoRuns (const juce::String& text)
{
    std::vector<TempoRun> runs;
    const int len = text.length();
    int i = 0;
    while (i < len)
    {
        if (! isDigit (text[i]))
        {
            ++i;
            continue;
        }

        int end = i;
        int value = 0;
        while (end < len && isDigit (text[end]))
        {
            if (end - i < 4) // longer runs are rejected below; keep value from overflowing
                value = value * 10 + (int) (text[end] - '0');
            ++end;
        }

        const int digits = end - i;
        if ((digits == 2 || digits == 3) && value >= kMinBpm && value <= kMaxBpm)
            runs.push_back ({ i, end, value });
        i = end;
    }
    return runs;
}

bool hasBpmAt (const juce::String& text, int pos)
{
    return pos >= 0 && pos + 3 <= text.length() && text[pos] == 'b' && text[pos + 1] == 'p'
           && text[pos + 2] == 'm';
}

// Magnitudes of bins 1..511 of one Hann-windowed 1024-sample frame starting at x.
void frameMagnitudes (const float* x, const std::vector<float>& window, std::vector<float>& re,
                      std::vector<float>& im, std::vector<double>& mags)
{
    for (int j = 0; j < kFluxFrame; ++j)
    {
        re[(size_t) j] = x[j] * window[(size_t) j];
        im[(size_t) j] = 0.0f;
    }
    fftRadix2 (re.data(), im.data(), kFluxFrame);
    for (int k = 1; k < kFluxFrame / 2; ++k)
        mags[(size_t) k] = std::sqrt ((double) re[(size_t) k] * re[(size_t) k]
                                      + (double) im[(size_t) k] * im[(size_t) k]);
}

// Mean-removed spectral-flux envelope of the first m samples, one value per 256-sample hop.
std::vector<double> onsetEnvelope (const float* x, int m)
{
    std::vector<double> env;
    if (m <= 2 * kFluxFrame - 1)
        return env;

    const int frames = (m - kFluxFrame) / kFluxHop;
    env.assign ((size_t) frames, 0.0);

    std::vector<float> window ((size_t) kFluxFrame);
    for (int j = 0; j < kFluxFrame; ++j)
        window[(size_t) j] = (float) (0.5 - 0.5 * std::cos (2.0 * juce::MathConstants<double>::pi * j / kFluxFrame));

    std::vector<float> re ((size_t) kFluxFrame), im ((size_t) kFluxFrame);
    std::vector<double> prev ((size_t) kFluxFrame / 2, 0.0), cur ((size_t) kFluxFrame / 2, 0.0);

    for (int i = 0; i < frames; ++i)
    {
        frameMagnitudes (x + (size_t) i * kFluxHop, window, re, im, cur);
        if (i > 0)
        {
            double flux = 0.0;
            for (int k = 1; k < kFluxFrame / 2; ++k)
                flux += std::max (0.0, cur[(size_t) k] - prev[(size_t) k]);
            env[(size_t) i] = flux;
        }
        std::swap (prev, cur);
    }

    double mean = 0.0;
    for (double v : env)
        mean += v;
    mean /= (double) frames;
    for (double& v : env)
        v -= mean;
    return env;
}

// How clearly hits stand out of the envelope, 0..1: sparse sharp hits score high, a steady
// wash low. Scales how much the correlations may count against the tempo preferences.
double envelopeClarity (const std::vector<double>& env)
{
    if (env.empty())
        return 0.0;

    double sumSq = 0.0, maxAbs = 0.0;
    for (double v : env)
    {
        sumSq += v * v;
        maxAbs = std::max (maxAbs, std::abs (v));
    }
    if (maxAbs <= 1e-9)
        return 0.0;

    const double sd = std::sqrt (sumSq / (double) env.size());
    return juce::jlimit (0.0, 1.0, 3.0 * sd / maxAbs);
}

// Normalised autocorrelation of the envelope at a lag in hops; 0 outside 0 < lag < F - 1.
double envelopeCorrelation (const std::vector<double>& env, long lag)
{
    const long frames = (long) env.size();
    if (lag <= 0 || lag >= frames - 1)
        return 0.0;

    double cross = 0.0, headSq = 0.0, tailSq = 0.0;
    for (long i = 0; i + lag < frames; ++i)
    {
        const double a = env[(size_t) i], b = env[(size_t) (i + lag)];
        cross += a * b;
        headSq += a * a;
        tailSq += b * b;
    }
    const double norm = headSq * tailSq;
    return norm <= 0.0 ? cross : cross / std::sqrt (norm); // norm is never negative
}

struct TempoCandidate
{
    double bpm;
    int bars;
};
} // namespace

int explicitBpmFromPath (const juce::String& path)
{
    const auto text = path.toLowerCase();
    const int len = text.length();

    for (const auto& run : tempoRuns (text))
    {
        // "120bpm", "120_bpm": at most one separator between the number and "bpm".
        int after = run.end;
        if (after < len && isBpmSeparator (text[after]))
            ++after;
        if (hasBpmAt (text, after))
            return run.value;

        // "bpm120", "bpm-120".
        if (run.start > 0)
        {
            const bool separated = isBpmSeparator (text[run.start - 1]);
            if (hasBpmAt (text, run.start - (separated ? 4 : 3)))
                return run.value;
        }
    }
    return 0;
}

int corroboratedBpmFromName (const juce::String& path, double durationSeconds, int& bars)
{
    const auto name = path.fromLastOccurrenceOf ("/", false, false)
                          .fromLastOccurrenceOf ("\\", false, false)
                          .toLowerCase();
    if (durationSeconds <= 0.0)
        return 0;

    // A number in a name fits when the duration is (nearly) a whole number of its bars; a
    // loop cut a little long or short still fits, but less well than an exact one.
    constexpr double kTieTolerance = 0.001;
    int bestBpm = 0, bestBars = 0;
    double bestError = 0.0, bestDistance = 0.0;

    for (const auto& run : tempoRuns (name))
    {
        const double h = durationSeconds / (240.0 / run.value); // length in bars at this tempo
        double error = 0.0;
        int k = (int) std::round (h);
        if (k >= 1 && std::abs (h - k) <= 0.25)
        {
            error = std::abs (h - k);
        }
        else
        {
            k = (int) std::floor (h);
            if (! (k > 0 && h - k < 0.85))
                continue;
            error = 0.5;
        }

        const double distance = octaves (run.value, kPreferredBpm);
        const bool better = bestBpm == 0 || error < bestError - kTieTolerance
                            || (std::abs (error - bestError) <= kTieTolerance && distance < bestDistance);
        if (better)
        {
            bestBpm = run.value;
            bestBars = k;
            bestError = error;
            bestDistance = distance;
        }
    }

    if (bestBpm != 0)
        bars = bestBars;
    return bestBpm;
}

double detectLoopBpm (const float* samples, int count, double sampleRate, int& bars, double hint)
{
    bars = 1;
    if (samples == nullptr || count <= 0 || sampleRate <= 0.0)
        return 120.0;

    const double seconds = count / sampleRate;
    const double secondsPerBarAt1Bpm = 240.0;

    std::vector<TempoCandidate> candidates;
    for (int b : kBarCounts)
    {
        const double bpm = secondsPerBarAt1Bpm * b / seconds;
        if (inTempoRange (bpm))
            candidates.push_back ({ bpm, b });
    }

    // The pack's tempo joins when the loop is a whole number of its bars, allowing a loop cut
    // slightly short (-0.04 bars) or with a small tail (+0.12 bars).
    if (hint > 0.0)
    {
        const double barsAtHint = seconds / (secondsPerBarAt1Bpm / hint);
        const int k = (int) std::round (barsAtHint);
        const double slack = barsAtHint - k;
        const bool nearExisting = std::any_of (candidates.begin(), candidates.end(),
                                               [hint] (const TempoCandidate& c) { return std::abs (c.bpm - hint) <= 0.5; });
        if (k >= 1 && k <= 16 && slack > -0.04 && slack < 0.12 && ! nearExisting)
            candidates.push_back ({ hint, k });
    }

    double result = 0.0;
    if (candidates.empty())
    {
        // Every length is out of range: take the tempo nearest 128, clamped into range.
        double best = secondsPerBarAt1Bpm * kBarCounts[0] / seconds;
        for (int b : kBarCounts)
        {
            const double bpm = secondsPerBarAt1Bpm * b / seconds;
            if (octaves (bpm, kPreferredBpm) < octaves (best, kPreferredBpm))
                best = bpm;
        }
        result = juce::jlimit ((double) kMinBpm, (double) kMaxBpm, std::round (best));
    }
    else if (candidates.size() == 1)
    {
        result = std::round (candidates.front().bpm);
    }
    else
    {
        const double maxAnalysed = std::floor (kMaxAnalysisSeconds * sampleRate);
        const int analysed = maxAnalysed < count ? (int) maxAnalysed : count;
        const auto env = onsetEnvelope (samples, analysed);
        const double clarity = envelopeClarity (env);
        const double stepSeconds = kFluxHop / sampleRate;

        auto correlationAt = [&] (double periodSeconds)
        { return envelopeCorrelation (env, (long) std::round (periodSeconds / stepSeconds)); };

        double bestScore = 0.0;
        const TempoCandidate* best = nullptr;
        for (const auto& c : candidates)
        {
            const double half = correlationAt (30.0 / c.bpm);
            const double beat = correlationAt (60.0 / c.bpm);
            const double two = correlationAt (120.0 / c.bpm);
            const double drift = std::log2 (c.bpm / kPreferredBpm);

            double score = (beat + 0.5 * half + 0.5 * two) * (0.65 * clarity + 0.35);
            score -= 1.1 * drift * drift;
            if (hint > 0.0 && octaves (c.bpm, hint) < 0.03)
                score += 0.55;
            if (! isPowerOfTwo (c.bars))
                score -= 0.45;

            if (best == nullptr || score > bestScore)
            {
                best = &c;
                bestScore = score;
            }
        }
        result = std::round (best->bpm);
    }

    // Bar count: the listed length nearest in octaves to the loop's length at the result tempo.
    const double lengthInBars = seconds / (secondsPerBarAt1Bpm / result);
    double bestDistance = 0.0;
    for (int b : kBarCounts)
    {
        const double distance = std::abs (std::log2 (lengthInBars / b));
        if (b == kBarCounts[0] || distance < bestDistance)
        {
            bars = b;
            bestDistance = distance;
        }
    }
    return result;
}

std::vector<int> detectOnsets (const float* samples, int count, double sampleRate)
{
    std::vector<int> onsets { 0 };
    if (samples == nullptr || count <= 0 || sampleRate <= 0.0)
        return onsets;

    const int hop = std::max ((int) (0.01 * sampleRate), 64);
    const int minGap = (int) (0.045 * sampleRate);
    double level = 1e-6; // running RMS the next frame must jump above

    for (int s = 0; s < count; s += hop)
    {
        const int end = std::min (s + hop, count);
        double sumSq = 0.0;
        for (int i = s; i < end; ++i)
            sumSq += (double) samples[i] * samples[i];
        const double rms = std::sqrt (sumSq / hop); // a short last frame still divides by hop

        if (rms > 1.6 * level && rms > 0.015 && s - onsets.back() > minGap)
            onsets.push_back (s);
        level = 0.5 * level + 0.5 * rms;

        if (count - s <= hop)
            break; // s + hop would pass count (and could overflow int)
    }
    return onsets;
}

void fftRadix2 (float* re, float* im, int n)
{
    if (re == nullptr || im == nullptr || n < 2)
        return;

    for (int i = 1, j = 0; i < n; ++i)
    {
        int bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1)
            j ^= bit;
        j |= bit;
        if (i < j)
        {
            std::swap (re[i], re[j]);
            std::swap (im[i], im[j]);
        }
    }

    for (int size = 2; size <= n; size <<= 1)
    {
        const int half = size / 2;
        const double angle = -2.0 * juce::MathConstants<double>::pi / size;
        const double stepRe = std::cos (angle), stepIm = std::sin (angle);

        for (int start = 0; start < n; start += size)
        {
            double wRe = 1.0, wIm = 0.0;
            for (int k = 0; k < half; ++k)
            {
                const int a = start + k, b = a + half;
                const double tRe = wRe * re[b] - wIm * im[b];
                const double tIm = wRe * im[b] + wIm * re[b];
                re[b] = (float) (re[a] - tRe);
                im[b] = (float) (im[a] - tIm);
                re[a] = (float) (re[a] + tRe);
                im[a] = (float) (im[a] + tIm);

                const double nextRe = wRe * stepRe - wIm * stepIm;
                wIm = wRe * stepIm + wIm * stepRe;
                wRe = nextRe;
            }
        }
    }
}
} // namespace tg
