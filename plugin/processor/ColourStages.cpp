#include "ColourStages.h"

#include <algorithm>
#include <cmath>

namespace tgdsp
{
namespace
{
constexpr double twoPi = 6.283185307179586476925286766559;
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

    const float target = mix > kColourOffMix ? 1.0f : 0.0f;
    const float rampTime = target > mixFade ? 0.04f : 0.01f; // seconds: slow in, quick out
    const float step = 1.0f / (rampTime * (float) sr);
    const double aLow = std::exp (-twoPi * 200.0 / sr);
    const double aTop = std::exp (-twoPi * 8500.0 / sr);
    const double norm = 1.0 / std::tanh (2.6); // a full-scale high band saturates to 1

    float* const lineL = delayL.data();
    float* const lineR = delayR.data();

    for (int j = 0; j < numSamples; ++j)
    {
        wowPhase += 0.55 / sr;
        if (wowPhase >= 1.0)
            wowPhase -= 1.0;
        flutterPhase += 6.3 / sr;
        if (flutterPhase >= 1.0)
            flutterPhase -= 1.0;
        const double wow = std::sin (twoPi * wowPhase);
        const double flutter = std::sin (twoPi * flutterPhase);

        amount += std::clamp (mix - amount, -step, step);
        const double amt = amount;
        const double fade = mixFade;

        // Samples: 6 ms base, wow up to 3.1 ms, flutter up to 0.5 ms at full amount.
        const double delay = 0.006 * sr + 0.0031 * sr * amt * wow + 0.0005 * sr * amt * flutter;
        double p = (double) writeIndex - delay;
        while (p < 0.0)
            p += N;
        const int whole = (int) p;
        const double frac = p - whole;
        const int i0 = whole % N;
        const int i1 = (whole + 1) % N;

        auto channel = [&] (float* io, float* line, double& low, double& top)
        {
            const float v = io[j];
            line[writeIndex] = v;
            const double s = (double) line[i0] + ((double) line[i1] - (double) line[i0]) * frac;
            low += (1.0 - aLow) * (s - low);
            const double high = s - low;
            const double sat = std::tanh (2.6 * high) * norm;
            const double shaped = (1.0 - amt) * high + 0.55 * amt * sat + low;
            top = top * aTop + shaped * (1.0 - aTop);
            io[j] = (float) ((double) v * (1.0 - fade) + (shaped - 0.22 * amt * (shaped - top)) * fade);
        };

        if (left != nullptr)
            channel (left, lineL, lowL, topL);
        if (right != nullptr)
            channel (right, lineR, lowR, topR);

        mixFade += std::clamp (target - mixFade, -step, step);
        writeIndex = (writeIndex + 1) % N;
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
    const double cAir = 1.0 - std::exp (-twoPi * 9000.0 / sr);
    const double cPres = 1.0 - std::exp (-twoPi * 3500.0 / sr);
    const float step = (float) (1.0 / (0.01 * sr)); // a full 0..1 change takes 10 ms

    // Each channel replays the same ramp from the stored mix, so left and right stay matched.
    auto channel = [&] (float* x, double& air, double& pres)
    {
        float g = state.mix;
        for (int j = 0; j < numSamples; ++j)
        {
            g += std::clamp (targetMix - g, -step, step);
            const double in = x[j];
            air += cAir * (in - air);
            pres += cPres * (in - pres);
            x[j] = (float) (in + (0.4 * (in - air) + 0.3 * std::tanh (2.5 * (in - pres))) * g);
        }
        return g;
    };

    float reached = state.mix;
    if (left != nullptr)
        reached = channel (left, state.airL, state.presL);
    if (right != nullptr)
        reached = channel (right, state.airR, state.presR);
    if (left == nullptr && right == nullptr)
        for (int j = 0; j < numSamples; ++j)
            reached += std::clamp (targetMix - reached, -step, step);

    state.mix = reached;
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
