#include "ColourStages.h"

#include <algorithm>
#include <cmath>

namespace tgdsp
{
namespace
{
constexpr double twoPi = 6.283185307179586476925286766559;

// Raw and Sparkle run in chunks of this many samples, each as a few passes over both channels
// together: the recurrences (filters, ramps, oscillators) in passes without calls, where the
// two channels' filters overlap, and the saturator's tanh in a pass of its own, so that the
// call does not make every live filter state spill around it.
constexpr int kChunk = 128;

// sin (2 pi phase) for a phase that advances by a fixed step per sample: a unit phasor turned
// by the step's angle each sample instead of a call of sin. Seated from the exact phase at
// the start of every chunk, the rotation's rounding (about 1e-16 a step) never builds up.
struct Oscillator
{
    double s = 0.0, c = 1.0;
    double stepS = 0.0, stepC = 1.0;

    explicit Oscillator (double phaseStep) noexcept
        : stepS (std::sin (twoPi * phaseStep)), stepC (std::cos (twoPi * phaseStep)) {}

    void seat (double phase) noexcept
    {
        s = std::sin (twoPi * phase);
        c = std::cos (twoPi * phase);
    }

    // The value one step past the last one.
    double next() noexcept
    {
        const double ns = s * stepC + c * stepS;
        c = c * stepC - s * stepS;
        s = ns;
        return s;
    }
};

// A linear ramp x += clamp (target - x, -step, step) that has arrived stays where it is: then
// the whole chunk can use one value.
bool rampAtRest (float x, float target, float step) noexcept
{
    return x + std::clamp (target - x, -step, step) == x;
}

// One channel of Raw: its audio, delay line and filter states.
struct RawChannel
{
    float* io;
    float* line;
    double* low;
    double* top;
};

// Raw over numChannels (0, 1 or 2) channels that share the oscillators, ramps and write index.
template <int numChannels>
void runRaw (RawFx& fx, const RawChannel* channels, int numSamples, double sr, float mix) noexcept
{
    constexpr std::size_t slots = numChannels > 0 ? numChannels : 1;
    const float target = mix > kColourOffMix ? 1.0f : 0.0f;
    const float rampTime = target > fx.mixFade ? 0.04f : 0.01f; // seconds: slow in, quick out
    const float step = 1.0f / (rampTime * (float) sr);
    const double aLow = std::exp (-twoPi * 200.0 / sr);
    const double aTop = std::exp (-twoPi * 8500.0 / sr);
    const double norm = 1.0 / std::tanh (2.6); // a full-scale high band saturates to 1
    const double wowStep = 0.55 / sr, flutterStep = 6.3 / sr;
    const int N = fx.N;
    Oscillator wowOsc (wowStep), flutterOsc (flutterStep);

    // Per channel and sample of a chunk: the delayed read's band above 200 Hz, the band below,
    // and the saturated band above. Per sample: the amount and the fade in force.
    double high[slots][kChunk], low[slots][kChunk], sat[slots][kChunk];
    double amts[kChunk], fades[kChunk];

    for (int start = 0; start < numSamples; start += kChunk)
    {
        const int count = std::min (kChunk, numSamples - start);

        // Oscillators, ramps, the delay lines and the 200 Hz split. The phases still advance by
        // exact addition: they are where the oscillators are seated.
        wowOsc.seat (fx.wowPhase);
        flutterOsc.seat (fx.flutterPhase);
        const bool steady = rampAtRest (fx.amount, mix, step) && rampAtRest (fx.mixFade, target, step);

        // Locals: the delay lines' float stores could otherwise be taken to alias the ramps.
        double wowPhase = fx.wowPhase, flutterPhase = fx.flutterPhase;
        float amount = fx.amount, mixFade = fx.mixFade;
        int writeIndex = fx.writeIndex;
        float* lines[slots];
        const float* ins[slots];
        double lp[slots];
        for (int c = 0; c < numChannels; ++c)
        {
            lines[c] = channels[c].line;
            ins[c] = channels[c].io + start;
            lp[c] = *channels[c].low;
        }

        for (int j = 0; j < count; ++j)
        {
            wowPhase += wowStep;
            if (wowPhase >= 1.0)
                wowPhase -= 1.0;
            flutterPhase += flutterStep;
            if (flutterPhase >= 1.0)
                flutterPhase -= 1.0;
            const double wow = wowOsc.next();
            const double flutter = flutterOsc.next();

            if (! steady)
                amount += std::clamp (mix - amount, -step, step);
            const double amt = amount;
            amts[j] = amt;
            fades[j] = mixFade;
            if (! steady)
                mixFade += std::clamp (target - mixFade, -step, step);

            // Samples: 6 ms base, wow up to 3.1 ms, flutter up to 0.5 ms at full amount.
            const double delay = 0.006 * sr + 0.0031 * sr * amt * wow + 0.0005 * sr * amt * flutter;
            double p = (double) writeIndex - delay;
            while (p < 0.0)
                p += N;
            const int whole = (int) p; // 0 .. N, N only when p rounded up to N
            const double frac = p - whole;
            const int i0 = whole < N ? whole : whole % N;
            const int i1 = i0 + 1 < N ? i0 + 1 : 0;

            // The delayed read, split at 200 Hz: the low band, and the read less it.
            for (int c = 0; c < numChannels; ++c)
            {
                float* const line = lines[c];
                line[writeIndex] = ins[c][j];
                const double read = (double) line[i0] + ((double) line[i1] - (double) line[i0]) * frac;
                lp[c] += (1.0 - aLow) * (read - lp[c]);
                low[c][j] = lp[c];
                high[c][j] = read - lp[c];
            }

            if (++writeIndex == N)
                writeIndex = 0;
        }

        fx.wowPhase = wowPhase;
        fx.flutterPhase = flutterPhase;
        fx.amount = amount;
        fx.mixFade = mixFade;
        fx.writeIndex = writeIndex;
        for (int c = 0; c < numChannels; ++c)
            *channels[c].low = lp[c];

        for (int c = 0; c < numChannels; ++c)
            fastTanhBlock (high[c], sat[c], count, 2.6, norm);

        // Shaping, the 8500 Hz softening and the dry/processed crossfade.
        double top[slots];
        for (int c = 0; c < numChannels; ++c)
            top[c] = *channels[c].top;
        for (int j = 0; j < count; ++j)
        {
            const double amt = amts[j], fade = fades[j];
            for (int c = 0; c < numChannels; ++c)
            {
                float& io = channels[c].io[start + j];
                const double shaped = (1.0 - amt) * high[c][j] + 0.55 * amt * sat[c][j] + low[c][j];
                top[c] = top[c] * aTop + shaped * (1.0 - aTop);
                io = (float) ((double) io * (1.0 - fade) + (shaped - 0.22 * amt * (shaped - top[c])) * fade);
            }
        }
        for (int c = 0; c < numChannels; ++c)
            *channels[c].top = top[c];
    }
}

// One channel of Sparkle: its audio and filter states.
struct SparkleChannel
{
    float* x;
    double* air;
    double* pres;
};

// Sparkle over numChannels (0, 1 or 2) channels that share the ramp.
template <int numChannels>
void runSparkle (SparkleState& state, const SparkleChannel* channels, int numSamples, double sr,
                 float targetMix) noexcept
{
    constexpr std::size_t slots = numChannels > 0 ? numChannels : 1;
    const double cAir = 1.0 - std::exp (-twoPi * 9000.0 / sr);
    const double cPres = 1.0 - std::exp (-twoPi * 3500.0 / sr);
    const float step = (float) (1.0 / (0.01 * sr)); // a full 0..1 change takes 10 ms

    // Per sample of a chunk: the smoothed mix (one ramp for both channels); per channel and
    // sample: the band above 9 kHz and the band above 3.5 kHz.
    float gains[kChunk];
    double air[slots][kChunk], presence[slots][kChunk];

    float g = state.mix;
    for (int start = 0; start < numSamples; start += kChunk)
    {
        const int count = std::min (kChunk, numSamples - start);
        if (rampAtRest (g, targetMix, step))
        {
            std::fill (gains, gains + count, g);
        }
        else
        {
            for (int j = 0; j < count; ++j)
            {
                g += std::clamp (targetMix - g, -step, step);
                gains[j] = g;
            }
        }

        double a[slots], p[slots];
        for (int c = 0; c < numChannels; ++c)
        {
            a[c] = *channels[c].air;
            p[c] = *channels[c].pres;
        }
        for (int j = 0; j < count; ++j)
            for (int c = 0; c < numChannels; ++c)
            {
                const double in = channels[c].x[start + j];
                a[c] += cAir * (in - a[c]);
                p[c] += cPres * (in - p[c]);
                air[c][j] = in - a[c];
                presence[c][j] = in - p[c];
            }
        for (int c = 0; c < numChannels; ++c)
        {
            *channels[c].air = a[c];
            *channels[c].pres = p[c];
        }

        for (int c = 0; c < numChannels; ++c)
        {
            fastTanhBlock (presence[c], presence[c], count, 2.5, 1.0);
            float* const x = channels[c].x + start;
            for (int j = 0; j < count; ++j)
                x[j] = (float) ((double) x[j] + (0.4 * air[c][j] + 0.3 * presence[c][j]) * gains[j]);
        }
    }
    state.mix = g;
}
} // namespace

//==============================================================================================
void RawFx::prepare (double sampleRate)
{
    N = std::max (16, (int) (0.03 * sampleRate)); // 30 ms: room for the 6 ms base plus wobble
    delayL.assign ((size_t) N, 0.0f);
    delayR.assign ((size_t) N, 0.0f);
    reset();
}

void RawFx::reset() noexcept
{
    std::fill (delayL.begin(), delayL.end(), 0.0f);
    std::fill (delayR.begin(), delayR.end(), 0.0f);
    writeIndex = 0;
    wowPhase = flutterPhase = 0.0;
    lowL = lowR = topL = topR = 0.0;
    mixFade = 0.0f;
    amount = 0.0f;
}

void RawFx::process (float* left, float* right, int numSamples, double sr, float mix) noexcept
{
    if (N <= 15)
        prepare (sr); // only when used before any preparation (a fresh offline instance)

    if (mix <= kColourOffMix && mixFade <= kColourOffMix)
        return; // faded out: the audio passes untouched

    const RawChannel l { left, delayL.data(), &lowL, &topL };
    const RawChannel r { right, delayR.data(), &lowR, &topR };
    if (left != nullptr && right != nullptr)
    {
        const RawChannel both[] { l, r };
        runRaw<2> (*this, both, numSamples, sr, mix);
    }
    else if (left != nullptr || right != nullptr)
    {
        runRaw<1> (*this, left != nullptr ? &l : &r, numSamples, sr, mix);
    }
    else
    {
        // Nothing to process, but the oscillators, ramps and write index move on as usual.
        runRaw<0> (*this, nullptr, numSamples, sr, mix);
    }
}

bool rawShouldRun (const RawFx& raw, float mix) noexcept
{
    return mix > kColourOffMix || raw.mixFade > 0.001f;
}

//==============================================================================================
void SparkleState::reset() noexcept
{
    airL = airR = presL = presR = 0.0;
    mix = 0.0f;
}

void processSparkle (SparkleState& state, float* left, float* right, int numSamples,
                     double sr, float targetMix) noexcept
{
    const SparkleChannel l { left, &state.airL, &state.presL };
    const SparkleChannel r { right, &state.airR, &state.presR };
    if (left != nullptr && right != nullptr)
    {
        const SparkleChannel both[] { l, r };
        runSparkle<2> (state, both, numSamples, sr, targetMix);
    }
    else if (left != nullptr || right != nullptr)
    {
        runSparkle<1> (state, left != nullptr ? &l : &r, numSamples, sr, targetMix);
    }
    else
    {
        runSparkle<0> (state, nullptr, numSamples, sr, targetMix); // the ramp still moves
    }
}

bool sparkleShouldRun (const SparkleState& state, float targetMix) noexcept
{
    if (targetMix > kColourOffMix)
        return true;
    if (targetMix > 0.0f) // on, at a negligible amount: run while the ramp is still audible
        return state.mix > kColourOffMix;
    return state.mix > 0.001f; // switched off
}
} // namespace tgdsp
