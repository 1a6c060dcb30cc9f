#pragma once
// The two per-lane colour stages that run after a lane's effect rack and before it is summed:
// Raw (vinyl wow and flutter, saturation above 200 Hz, a slight top-end softening) and
// Sparkle (a high-frequency exciter). One state of each per lane, owned by the audio thread;
// an offline render uses a fresh one on the message thread. Nothing here is shared.
//
// Amounts and mixes are 0..1, sample rates in Hz, delays in samples.
#include <cmath>
#include <vector>

namespace tgdsp
{
// Below this a Raw or Sparkle amount counts as off.
constexpr float kColourOffMix = 0.0005f;

// tanh for the saturators (Drive, Raw, Sparkle), within 3e-16 of std::tanh everywhere at a
// fraction of its cost: up to 0.625 the rational approximation of Moshier's Cephes library, no
// call at all; above, one exp instead of the library's expm1 path. Double precision still
// matters although the audio ends up in float: Crush rounds Drive's output to its steps, and a
// coarser tanh would move samples lying near a step boundary to the neighbouring step.
inline double fastTanh (double x) noexcept
{
    const double a = std::abs (x);
    if (a > 0.625)
    {
        const double e = std::exp (-2.0 * a);
        return std::copysign ((1.0 - e) / (1.0 + e), x);
    }
    const double s = x * x;
    const double p = (-9.64399179425052238628e-1 * s - 9.92877231001918586564e1) * s - 1.61468768441708447952e3;
    const double q = ((s + 1.12811678491632931402e2) * s + 2.23548839060100448583e3) * s + 4.84406305325125486048e3;
    return std::copysign (x + x * s * (p / q), x); // copysign keeps tanh (-0) = -0
}

// out[i] = fastTanh (gain * in[i]) * scale for a block; in and out may be the same array.
inline void fastTanhBlock (const double* in, double* out, int count, double gain, double scale) noexcept
{
    for (int i = 0; i < count; ++i)
        out[i] = fastTanh (gain * in[i]) * scale;
}

struct RawFx
{
    std::vector<float> delayL, delayR; // circular delay lines of N samples each
    int N = 0;                         // delay length; 15 or less means not yet sized
    int writeIndex = 0;                // next write position, 0 .. N - 1
    double wowPhase = 0.0, flutterPhase = 0.0; // oscillator phases, 0..1
    double lowL = 0.0, lowR = 0.0;     // 200 Hz one-pole low-pass states
    double topL = 0.0, topR = 0.0;     // 8500 Hz one-pole low-pass states
    float mixFade = 0.0f;              // on/off crossfade, 0 = dry, 1 = processed
    float amount = 0.0f;               // smoothed copy of the Raw amount

    // Not real-time: sizes the delay lines for sampleRate (the only allocation) and resets.
    void prepare (double sampleRate);

    // Clears every state and zeroes the delay lines without changing their size.
    void reset() noexcept;

    // Audio thread (or a fresh instance offline). Processes the channels in place; a null
    // channel is skipped. mix is the target amount, 0 when Raw is switched off: the stage
    // fades in over 40 ms and out over 10 ms, and once faded out returns without touching
    // the audio. Allocates only when called before any prepare().
    void process (float* left, float* right, int numSamples, double sampleRate, float mix) noexcept;
};

struct SparkleState
{
    double airL = 0.0, airR = 0.0;   // 9000 Hz one-pole low-pass states
    double presL = 0.0, presR = 0.0; // 3500 Hz one-pole low-pass states
    float mix = 0.0f;                // smoothed amount

    void reset() noexcept;
};

// Adds 0.4 x the band above 9 kHz plus 0.3 x a saturated copy of the band above 3.5 kHz,
// scaled by the smoothed mix, which moves towards targetMix by at most a full step per 10 ms.
// Both channels see the same ramp; a null channel is skipped. Real-time safe.
void processSparkle (SparkleState& state, float* left, float* right, int numSamples,
                     double sampleRate, float targetMix) noexcept;

// Whether the live render runs Raw for a lane this block. mix: "rawmix" while Raw is on, else 0.
// Once the fade is out (and Raw is off) the stage is skipped entirely.
bool rawShouldRun (const RawFx& raw, float mix) noexcept;

// Whether the live render runs Sparkle for a lane this block. targetMix: "sparklemix" while
// Sparkle is on, else 0 (a target of exactly 0 is treated as switched off). Switched off, the
// stage keeps running only while its smoothed mix is above 0.001.
bool sparkleShouldRun (const SparkleState& state, float targetMix) noexcept;
} // namespace tgdsp
