#pragma once
// The lane voice: what the audio thread knows of a lane (LanePlayView) and the per-sample
// stages shared by the live render and the offline lane render, with the block-wise forms the
// live render runs. Everything here is allocation-free and lock-free.
#include "ColourStages.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <array>
#include <cmath>

namespace tgvoice
{
// Direct form I biquad in double precision, coefficients already divided by a0.
struct Biquad
{
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;

    double process (double x) noexcept { return step (x, x1, x2, y1, y2); }

    // One step of the difference equation on state held elsewhere, for loops that keep the
    // state in registers.
    double step (double x, double& sx1, double& sx2, double& sy1, double& sy2) const noexcept
    {
        const double y = b0 * x + b1 * sx1 + b2 * sx2 - a1 * sy1 - a2 * sy2;
        sx2 = sx1;
        sx1 = x;
        sy2 = sy1;
        sy1 = y;
        return y;
    }

    void reset() noexcept { x1 = x2 = y1 = y2 = 0.0; }

    void setCoefficients (double nb0, double nb1, double nb2, double na1, double na2) noexcept
    {
        b0 = nb0; b1 = nb1; b2 = nb2; a1 = na1; a2 = na2;
    }

    // Cookbook Butterworth sections (alpha = sin(w) / 1.414). Coefficients only; state kept.
    void setLowPass (double frequency, double sampleRate) noexcept;
    void setHighPass (double frequency, double sampleRate) noexcept;
    // Peaking equaliser; a negative gain cuts.
    void setPeaking (double frequency, double q, double gainDb, double sampleRate) noexcept;
};

// The send reverb of the live mix and of every offline lane render.
inline juce::Reverb::Parameters grooveReverbParameters() noexcept
{
    juce::Reverb::Parameters p;
    p.roomSize = 0.55f;
    p.damping = 0.62f;
    p.wetLevel = 1.0f;
    p.dryLevel = 0.0f;
    p.width = 1.0f;
    p.freezeMode = 0.0f;
    return p;
}

// Dial indices, as in the parameter table.
enum Dial { pitch = 0, pan, drive, crush, filter, verb, punch, numDials };

// Per-block values derived from a lane's raw dial values.
struct LaneDials
{
    float panL = 1.0f, panR = 1.0f;
    bool driveOn = false;
    float driveK = 1.0f, driveNorm = 1.0f, driveMakeup = 1.0f;
    bool crushOn = false;
    double crushSteps = 2.0;
    bool filterOn = false;
    float filterValue = 0.5f;
    float send = 0.0f;            // reverb send gain
    bool punchOn = false;
    double punchPeak = 1.0;       // onset gain, 0.25 .. 2.2

    static LaneDials fromRaw (const std::array<float, numDials>& raw) noexcept;
};

// Sets the Filter dial's coefficients on both channels: low-pass below 0.48 (200 Hz .. 20 kHz),
// high-pass above 0.52 (20 Hz .. 4 kHz), untouched in between. maxFrequency is the clamp's top.
void setFilterDial (Biquad& left, Biquad& right, float value, double sampleRate, double maxFrequency) noexcept;

// The "Transients" length gate: after each onset the lane holds, then fades to silence.
struct LengthGate
{
    bool active = false;
    double hold = 0.0, fade = 0.0; // seconds
    double coef = 1.0;             // 2 ms one-pole smoothing

    // lenmode and lentrim are raw parameter values; missing ones are passed as 0 and 0.5.
    static LengthGate forLane (int lane, float lenmodeRaw, float lentrimRaw, double sampleRate) noexcept;
};

// The trackers a voice keeps between samples.
struct VoiceState
{
    std::array<Biquad, 3> notchL {}, notchR {};
    int notchCount = 0;
    Biquad filterL, filterR;
    float lastFilter = -1.0f;
    double punchEnv = 1.0;
    int nextOnset = 0;
    double lastSrcPos = 0.0;
    double gateTime = -1.0;
    double gateGain = 1.0;
};

// Onset tracking, punch and length gate for one sample at buffer position src; returns the
// gain to apply. timeStep is 1 / sample rate of the output. v is the VoiceState, or anything
// with its punchEnv, nextOnset, lastSrcPos, gateTime and gateGain (a copy a block loop keeps
// in locals).
template <typename Trackers>
inline double onsetPunchGate (Trackers& v, double src, double rate, const int* onsets, int onsetCount,
                              const LaneDials& d, const LengthGate& gate, double punchDecay, double timeStep) noexcept
{
    if ((d.punchOn || gate.active) && onsets != nullptr && onsetCount > 0)
    {
        if (src < v.lastSrcPos)
            v.nextOnset = 0;

        while (v.nextOnset < onsetCount && src >= (double) onsets[v.nextOnset])
        {
            // Only an onset crossed just now counts, not one a jump skipped over.
            if (src < (double) onsets[v.nextOnset] + 1.5 * rate)
            {
                v.gateTime = 0.0;
                if (d.punchOn)
                    v.punchEnv = d.punchPeak;
            }
            ++v.nextOnset;
        }
        v.lastSrcPos = src;
    }

    double g = 1.0;
    if (d.punchOn)
    {
        v.punchEnv += (1.0 - v.punchEnv) * punchDecay;
        g *= v.punchEnv;
    }

    if (gate.active)
    {
        double target = 1.0;
        if (v.gateTime >= 0.0)
        {
            v.gateTime += timeStep;
            target = v.gateTime <= gate.hold ? 1.0
                                             : juce::jlimit (0.0, 1.0, 1.0 - (v.gateTime - gate.hold) / gate.fade);
        }
        v.gateGain += (target - v.gateGain) * gate.coef;
        g *= v.gateGain;
    }
    else
    {
        v.gateGain = 1.0;
    }
    return g;
}

// std::round (halves away from zero) without the library call, to the same double.
inline double roundHalfAway (double x) noexcept
{
    const double a = std::abs (x);
    if (! (a < 4503599627370496.0)) // 2^52 and above are whole already; so is a NaN's result
        return x;
    const double whole = (double) (long long) a; // truncation; a - whole below is exact
    return std::copysign (whole + (double) (a - whole >= 0.5), x);
}

// Notches, Drive, Crush, Filter and Pan on one stereo sample.
inline void effectRack (VoiceState& v, const LaneDials& d, double& l, double& r) noexcept
{
    for (int i = 0; i < v.notchCount; ++i)
    {
        l = v.notchL[(size_t) i].process (l);
        r = v.notchR[(size_t) i].process (r);
    }

    if (d.driveOn)
    {
        const float scale = d.driveNorm * d.driveMakeup;
        l = tgdsp::fastTanh ((double) d.driveK * l) * scale;
        r = tgdsp::fastTanh ((double) d.driveK * r) * scale;
    }

    if (d.crushOn)
    {
        l = roundHalfAway (l * d.crushSteps) / d.crushSteps;
        r = roundHalfAway (r * d.crushSteps) / d.crushSteps;
    }

    if (d.filterOn)
    {
        l = v.filterL.process (l);
        r = v.filterR.process (r);
    }

    l *= d.panL;
    r *= d.panR;
}

namespace detail
{
// A biquad's state copied out for the length of a block pass.
struct BiquadState
{
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;

    BiquadState() = default;
    explicit BiquadState (const Biquad& b) noexcept : x1 (b.x1), x2 (b.x2), y1 (b.y1), y2 (b.y2) {}
    double step (const Biquad& b, double x) noexcept { return b.step (x, x1, x2, y1, y2); }
    void storeTo (Biquad& b) const noexcept { b.x1 = x1; b.x2 = x2; b.y1 = y1; b.y2 = y2; }
};

// The first numNotches De-Res notches, all in one pass: their recurrences overlap.
template <int numNotches>
void notchPass (VoiceState& v, double* l, double* r, int count) noexcept
{
    // Copies: the coefficients could otherwise be taken to alias the blocks.
    constexpr auto n = (size_t) numNotches;
    Biquad cl[n], cr[n];
    BiquadState sl[n], sr[n];
    for (size_t k = 0; k < n; ++k)
    {
        cl[k] = v.notchL[k];
        cr[k] = v.notchR[k];
        sl[k] = BiquadState (v.notchL[k]);
        sr[k] = BiquadState (v.notchR[k]);
    }
    for (int i = 0; i < count; ++i)
    {
        double x = l[i], y = r[i];
        for (size_t k = 0; k < n; ++k)
        {
            x = sl[k].step (cl[k], x);
            y = sr[k].step (cr[k], y);
        }
        l[i] = x;
        r[i] = y;
    }
    for (size_t k = 0; k < n; ++k)
    {
        sl[k].storeTo (v.notchL[k]);
        sr[k].storeTo (v.notchR[k]);
    }
}

// Crush, Filter and Pan in one pass. None of them calls out, so the filter's recurrence
// overlaps with the rest.
template <bool crush, bool filter>
void finishPass (VoiceState& v, const LaneDials& d, double* l, double* r, int count) noexcept
{
    // Copies: the coefficients could otherwise be taken to alias the blocks.
    const double steps = d.crushSteps;
    const double panL = d.panL, panR = d.panR;
    const Biquad cl = v.filterL, cr = v.filterR;
    BiquadState fl (v.filterL), fr (v.filterR);
    for (int i = 0; i < count; ++i)
    {
        double x = l[i], y = r[i];
        if constexpr (crush)
        {
            x = roundHalfAway (x * steps) / steps;
            y = roundHalfAway (y * steps) / steps;
        }
        if constexpr (filter)
        {
            x = fl.step (cl, x);
            y = fr.step (cr, y);
        }
        l[i] = x * panL;
        r[i] = y * panR;
    }
    fl.storeTo (v.filterL);
    fr.storeTo (v.filterR);
}
} // namespace detail

// effectRack over a block of count samples in place: the same arithmetic in the same order for
// each sample, so the same result, but run as a few passes over the block, each one short loop
// whose work the processor can overlap from sample to sample. Drive, whose tanh calls exp on
// larger samples, has a pass of its own so that the call does not make the filters' states
// spill around it.
inline void effectRack (VoiceState& v, const LaneDials& d, double* l, double* r, int count) noexcept
{
    switch (v.notchCount)
    {
        case 0: break;
        case 1: detail::notchPass<1> (v, l, r, count); break;
        case 2: detail::notchPass<2> (v, l, r, count); break;
        default: detail::notchPass<3> (v, l, r, count); break;
    }

    if (d.driveOn)
    {
        const float scale = d.driveNorm * d.driveMakeup;
        tgdsp::fastTanhBlock (l, l, count, d.driveK, scale);
        tgdsp::fastTanhBlock (r, r, count, d.driveK, scale);
    }

    if (d.crushOn)
        d.filterOn ? detail::finishPass<true, true> (v, d, l, r, count) : detail::finishPass<true, false> (v, d, l, r, count);
    else
        d.filterOn ? detail::finishPass<false, true> (v, d, l, r, count) : detail::finishPass<false, false> (v, d, l, r, count);
}

// fmod (pos, loopLen) for positions of 0 or more that mostly step forwards, without the library
// call. It keeps the start of the loop that held the last position as an exact sum of two
// doubles (loops x loopLen split by Dekker's product), so pos less that start is the very double
// fmod returns: fmod is exact, and so is each subtraction here. A position outside that loop
// falls back to fmod and moves the start to its own loop.
class LoopWrap
{
public:
    explicit LoopWrap (double loopLength) noexcept : loopLen (loopLength) {}

    double operator() (double pos) noexcept
    {
        // pos - startHi is exact: pos lies between startHi / 2 and 2 startHi (or startHi is 0).
        const double t = (pos - startHi) - startLo;
        return t >= 0.0 && t < loopLen ? t : reseat (pos);
    }

private:
    double reseat (double pos) noexcept
    {
        const double t = std::fmod (pos, loopLen);
        const double loops = std::round ((pos - t) / loopLen);

        // Dekker: loops x loopLen == startHi + startLo exactly.
        constexpr double splitter = 134217729.0; // 2^27 + 1
        auto split = [] (double a, double& hi, double& lo) {
            const double c = splitter * a;
            hi = c - (c - a);
            lo = a - hi;
        };
        double aHi, aLo, bHi, bLo;
        split (loops, aHi, aLo);
        split (loopLen, bHi, bLo);
        startHi = loops * loopLen;
        startLo = ((aHi * bHi - startHi) + aHi * bLo + aLo * bHi) + aLo * bLo;
        return t;
    }

    double loopLen;
    double startHi = 0.0, startLo = 0.0;
};

// De-click fade at a loop boundary: t is the position in the loop, in output samples.
inline double edgeFade (double t, double loopLen, double edgeLen) noexcept
{
    if (t < edgeLen)
        return t / edgeLen;
    const double r = loopLen - t;
    return r < edgeLen ? r / edgeLen : 1.0;
}
} // namespace tgvoice

// The audio thread's window onto one lane. Buffer pointers, timing, onsets, polarity, shift
// and notch coefficients are written by the message thread under the lane lock; the voice
// trackers by the audio thread after a successful try of the same lock.
struct LanePlayView
{
    const float* left = nullptr;
    const float* right = nullptr;
    int numSamples = 0;
    double loopSampleRate = 44100.0;
    double loopBpm = 120.0;
    int bars = 1;
    const int* onsets = nullptr;
    int onsetCount = 0;
    float polarity = 1.0f;
    int beatShift = 0;
    float gain = 0.0f; // audibility ramp 0..1
    tgvoice::VoiceState voice;

    // Offline: nothing to read, fades back in from 0.
    void setEmpty() noexcept
    {
        left = right = nullptr;
        numSamples = 0;
        onsets = nullptr;
        onsetCount = 0;
        gain = 0.0f;
        voice.gateTime = -1.0;
        voice.gateGain = 1.0;
    }
};
