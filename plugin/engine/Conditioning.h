#pragma once
// Preparing loop audio: mono fold, lead-in trim and bar snapping, resonance notches.
#include <juce_audio_basics/juce_audio_basics.h>
#include <vector>

namespace tg
{
// A narrow cut filter for one resonance.
struct Notch
{
    double frequency = 1000.0; // Hz
    double q = 8.0;
    double gainDb = 0.0;       // negative, at most 12 dB of cut
};

// destination becomes one channel holding the average of the source's channels.
void makeMonoSum (const juce::AudioBuffer<float>& source, juce::AudioBuffer<float>& destination);

// Drops a silent lead-in of a bar or more and cuts the loop to 1, 2, 4 or 8 bars.
// bars is read (the detected count) and written (the conditioned count).
void conditionLoopBuffer (juce::AudioBuffer<float>& buffer, double sampleRate, double bpm, int& bars);

// Up to three notches for the strongest narrow peaks in the first 0.6 s of a mono signal.
std::vector<Notch> analyseResonances (const float* samples, int count, double sampleRate);
} // namespace tg
