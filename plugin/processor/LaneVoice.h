#pragma once
// The lane voice: what the audio thread knows of a lane (LanePlayView) and the per-sample
// stages shared by the live render and the offline lane render. Everything here is
// allocation-free and lock-free.
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

    double process (double x) noexcept
    {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
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
// gain to apply. timeStep is 1 / sample rate of the output.
inline double onsetPunchGate (VoiceState& v, double src, double rate, const int* onsets, int onsetCount,
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
        l = std::tanh ((double) d.driveK * l) * scale;
        r = std::tanh ((double) d.driveK * r) * scale;
    }

    if (d.crushOn)
    {
        l = std::round (l * d.crushSteps) / d.crushSteps;
        r = std::round (r * d.crushSteps) / d.crushSteps;
    }

    if (d.filterOn)
    {
        l = v.filterL.process (l);
        r = v.filterR.process (r);
    }

    l *= d.panL;
    r *= d.panR;
}

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
