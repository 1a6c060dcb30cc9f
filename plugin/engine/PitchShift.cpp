// Length-preserving transposition of a lane's play buffer by whole semitones: resample by
// the pitch ratio, then stretch back with WSOLA, piece by piece between onsets so that
// hits stay where they were. Message thread only; expensive, so the results are cached.
#include "LoopEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tg
{
namespace
{
// Small shifts of BASS and LEAD are stretched whole: splitting a sustained note at its
// onsets would put crossfades into the middle of it.
constexpr int tonalWholeLimit = 2;       // semitones
constexpr int shortPiece = 7;            // samples; pieces this short stay silent
constexpr int minStretch = 64;           // samples; smaller length changes are not stretched
constexpr int searchStep = 4;            // WSOLA candidate spacing, samples
constexpr int similarityStep = 8;        // WSOLA products on every 8th sample
constexpr int repeatFade = 64;           // samples of crossfade where a short piece repeats

struct Piece
{
    int start, end;
};

// Reads x[0 .. count - 1] at fractional position pos: Catmull-Rom where four neighbours
// exist, linear at the start, the last sample past the end.
inline float readAt (const float* x, int count, double pos)
{
    const int i = (int) pos;
    const float t = (float) (pos - i);
    if (i > 0 && i + 2 < count)
    {
        const float y0 = x[i - 1], y1 = x[i], y2 = x[i + 1], y3 = x[i + 2];
        const float c3 = 0.5f * y3 - 1.5f * y2 + 1.5f * y1 - 0.5f * y0;
        const float c2 = -0.5f * y3 + 2.0f * y2 - 2.5f * y1 + y0;
        const float c1 = 0.5f * y2 - 0.5f * y0;
        return ((c3 * t + c2) * t + c1) * t + y1;
    }
    if (i + 1 < count)
        return x[i] + t * (x[i + 1] - x[i]);
    return x[count - 1];
}

// The guide split into its similarityStep phases, so that a similarity (the sum of
// guide[x + k] * guide[y + k] over k = 0, 8, 16, ... below the grain length) reads two
// contiguous arrays.
struct DecimatedGuide
{
    std::vector<float> phases[similarityStep];
    int terms; // products per similarity

    DecimatedGuide (const std::vector<float>& guide, int m, int grain)
        : terms ((grain + similarityStep - 1) / similarityStep)
    {
        for (int ph = 0; ph < similarityStep; ++ph)
        {
            auto& dst = phases[ph];
            dst.reserve ((size_t) (m / similarityStep + 1));
            for (int i = ph; i < m; i += similarityStep)
                dst.push_back (guide[(size_t) i]);
        }
    }

    // x and y: grain starts with x + grain <= m and y + grain <= m.
    double similarity (int x, int y) const
    {
        const float* px = phases[x % similarityStep].data() + x / similarityStep;
        const float* py = phases[y % similarityStep].data() + y / similarityStep;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        int k = 0;
        for (; k + 4 <= terms; k += 4)
        {
            s0 += (double) px[k] * py[k];
            s1 += (double) px[k + 1] * py[k + 1];
            s2 += (double) px[k + 2] * py[k + 2];
            s3 += (double) px[k + 3] * py[k + 3];
        }
        for (; k < terms; ++k)
            s0 += (double) px[k] * py[k];
        return (s0 + s1) + (s2 + s3);
    }
};

// Grain geometry at one sample rate.
struct Wsola
{
    int grain;   // a: samples
    int hop;     // h: output hop, a / 2
    int radius;  // r: similarity search radius, samples
    std::vector<float> window;

    explicit Wsola (double sampleRate)
        : grain (std::max (256, (int) std::lround (2048.0 * sampleRate / 44100.0))),
          hop (grain / 2),
          radius (std::max (16, (int) std::lround (384.0 * sampleRate / 44100.0))),
          window ((size_t) grain)
    {
        for (int i = 0; i < grain; ++i)
            window[(size_t) i] = (float) (0.5 - 0.5 * std::cos (2.0 * juce::MathConstants<double>::pi * i / grain));
    }

    // Overlap-adds grains of the resampled channels (m samples each) into out (x samples
    // each), choosing every grain's read position near its nominal one where the guide
    // best continues the previous grain. False when no grain could be placed.
    bool stretch (const std::vector<std::vector<float>>& in, const std::vector<float>& guide, int m,
                  std::vector<std::vector<float>>& out, int x) const
    {
        const int a = grain, h = hop;
        const int g = (int) std::ceil ((double) (x - a) / h);
        if (g < -1 || x < a)
            return false;

        const double inHop = (double) (m - a) / std::max (g, 1);
        const DecimatedGuide decimated (guide, m, a);
        std::vector<float> weight ((size_t) x, 0.0f);
        int prev = -1;

        for (int n = 0; n <= g; ++n)
        {
            const int e = std::min (x, n * h + a);
            const int s = e - a;
            const int nominal = (int) std::lround (n * inHop);

            int chosen = nominal;
            if (prev >= 0)
            {
                const int ref = std::min (prev + h, m - a - 1);
                double bestScore = 0.0;
                bool any = false;
                for (int d = -radius; d <= radius; d += searchStep)
                {
                    const int c = nominal + d;
                    if (c < 0 || c > m - a)
                        continue;
                    const double score = decimated.similarity (c, ref);
                    if (! any || score > bestScore)
                    {
                        bestScore = score;
                        chosen = c;
                        any = true;
                    }
                }
            }
            chosen = juce::jlimit (0, m - a, chosen);
            prev = chosen;

            for (size_t c = 0; c < in.size(); ++c)
            {
                const float* src = in[c].data() + chosen;
                float* dst = out[c].data() + s;
                for (int i = 0; i < a; ++i)
                    dst[i] += window[(size_t) i] * src[i];
            }
            for (int i = 0; i < a; ++i)
                weight[(size_t) (s + i)] += window[(size_t) i];

            if (e >= x)
                break;
        }

        for (auto& channel : out)
            for (int i = 0; i < x; ++i)
                if (weight[(size_t) i] > 1e-6f)
                    channel[(size_t) i] /= weight[(size_t) i];
        return true;
    }
};

// Brings a resampled piece (m samples) back to x samples; out arrives as x zeros per channel.
void restoreLength (const Wsola& wsola, const std::vector<std::vector<float>>& in, const std::vector<float>& guide,
                    int m, std::vector<std::vector<float>>& out, int x)
{
    if (m >= 2 * wsola.grain && std::abs (m - x) >= minStretch)
    {
        if (wsola.stretch (in, guide, m, out, x))
            return;

        for (size_t c = 0; c < in.size(); ++c)
            for (int i = 0; i < x; ++i)
            {
                const double pos = (double) i * (m - 1) / (x - 1);
                const int j = std::min ((int) pos, m - 1);
                const float t = (float) (pos - j);
                out[c][(size_t) i] = j + 1 < m ? in[c][(size_t) j] + t * (in[c][(size_t) j + 1] - in[c][(size_t) j])
                                               : in[c][(size_t) j];
            }
        return;
    }

    if (m < 2)
        return; // a single sample carries no waveform: the piece stays silent

    // Too short to stretch, or a change too small to hear: repeat the piece (or cut it),
    // crossfading each repetition's start from the previous repetition's tail.
    const int fade = m >= 4 ? (m > 255 ? repeatFade : m / 4) : 0;
    for (size_t c = 0; c < in.size(); ++c)
        for (int i = 0; i < x; ++i)
        {
            const int j = i % m;
            if (i >= m && j < fade)
            {
                const float t = (float) j / (float) fade;
                out[c][(size_t) i] = in[c][(size_t) j] * t + in[c][(size_t) (m + j - fade)] * (1.0f - t);
            }
            else
            {
                out[c][(size_t) i] = in[c][(size_t) j];
            }
        }
}
} // namespace

const juce::AudioBuffer<float>* Lane::shifted (float semitones)
{
    if (! std::isfinite (semitones))
        return nullptr;
    const int s = (int) std::lround (semitones);
    const int n = play.getNumSamples();
    if (s == 0 || n < 1)
        return nullptr;

    if (auto it = pitched.find (s); it != pitched.end())
        return &it->second;

    // At most two transpositions are cached; the audio thread may still read the old
    // ones, so they are retired, never freed here.
    if (pitched.size() >= 2)
    {
        for (auto& entry : pitched)
            retired.push_back (std::move (entry.second));
        pitched.clear();
    }

    const int inChannels = play.getNumChannels();
    const int channels = std::max (1, inChannels);
    juce::AudioBuffer<float> result (channels, n);
    result.clear();

    const double sr = sampleRate;
    const double ratio = std::pow (2.0, s / 12.0);
    const int fadeCap = std::max (1, (int) (0.01 * sr));
    const Wsola wsola (sr);

    std::vector<Piece> pieces;
    if (tonal && std::abs (s) <= tonalWholeLimit)
    {
        pieces.push_back ({ 0, n });
    }
    else
    {
        std::vector<int> bounds;
        for (int o : onsets)
            if (o >= 0 && o < n)
                bounds.push_back (o);
        std::sort (bounds.begin(), bounds.end());
        bounds.erase (std::unique (bounds.begin(), bounds.end()), bounds.end());

        if (bounds.empty())
            pieces.push_back ({ 0, n });
        for (size_t i = 0; i < bounds.size(); ++i)
        {
            const int end = i + 1 < bounds.size() ? bounds[i + 1] : n;
            if (end > bounds[i])
                pieces.push_back ({ bounds[i], end });
        }
    }

    // fades[j]: crossfade length at the boundary in front of piece j (0 for the first).
    const size_t count = pieces.size();
    std::vector<int> fades (count + 1, 0);
    for (size_t j = 1; j < count; ++j)
    {
        const int len = pieces[j].end - pieces[j].start;
        const int prevLen = pieces[j - 1].end - pieces[j - 1].start;
        fades[j] = std::max (1, std::min ({ len / 4, prevLen / 4, fadeCap }));
    }

    std::vector<std::vector<float>> resampled ((size_t) inChannels), restored ((size_t) inChannels);
    std::vector<float> guide;

    for (size_t j = 0; j < count; ++j)
    {
        const int p = pieces[j].start, e = pieces[j].end, len = e - p;
        if (len <= shortPiece)
            continue;

        const int fadeIn = fades[j];
        const int fadeOut = fades[j + 1];
        const int x = std::min (n - p, len + fadeOut); // the piece plus its fade into the next
        if (x <= shortPiece)
            continue;

        const int m = std::max (1, (int) std::lround (x / ratio));
        guide.assign ((size_t) m, 0.0f);
        for (int c = 0; c < inChannels; ++c)
        {
            const float* src = play.getReadPointer (c, p);
            auto& r = resampled[(size_t) c];
            r.resize ((size_t) m);
            for (int k = 0; k < m; ++k)
                r[(size_t) k] = readAt (src, x, k * ratio);
            for (int k = 0; k < m; ++k)
                guide[(size_t) k] += r[(size_t) k] / (float) channels;
            restored[(size_t) c].assign ((size_t) x, 0.0f);
        }

        restoreLength (wsola, resampled, guide, m, restored, x);

        for (int c = 0; c < inChannels; ++c)
        {
            float* dst = result.getWritePointer (c, p);
            const auto& r = restored[(size_t) c];
            for (int k = 0; k < x; ++k)
            {
                double gain = k < fadeIn ? (double) k / fadeIn : 1.0;
                if (k >= len)
                    gain *= 1.0 - (double) (p + k - e) / fadeOut;
                dst[k] += (float) (gain * r[(size_t) k]);
            }
        }
    }

    auto& stored = pitched[s] = std::move (result);
    return &stored;
}
} // namespace tg
