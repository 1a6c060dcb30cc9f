#pragma once
// A host transport for rendering outside a host (the CLI, the benchmarks): a fixed tempo,
// always playing, its position advanced by the caller after every block.
#include <juce_audio_processors/juce_audio_processors.h>

struct SteadyPlayHead : juce::AudioPlayHead
{
    double bpm = 120.0;
    double ppq = 0.0; // quarter notes since the start

    juce::Optional<PositionInfo> getPosition() const override
    {
        PositionInfo info;
        info.setBpm (bpm);
        info.setPpqPosition (ppq);
        info.setIsPlaying (true);
        return info;
    }

    void advance (int numSamples, double sampleRate) noexcept { ppq += numSamples / sampleRate * bpm / 60.0; }
};
