#pragma once
// Drives a TapegrubProcessor the way a host does: a scripted play head, blocks of a chosen
// size, parameters set through the tree, and lanes loaded with generated loops.
#include "processor/TapegrubProcessor.h"
#include <gtest/gtest.h>

namespace tgtest
{
// A host transport: tempo, musical position (quarter notes) and play state, advanced by the
// rig after every block while playing.
struct ScriptedPlayHead : juce::AudioPlayHead
{
    std::optional<double> bpm = 120.0;
    std::optional<double> ppq = 0.0;
    bool playing = true;
    bool hasPosition = true;

    juce::Optional<PositionInfo> getPosition() const override
    {
        if (! hasPosition)
            return {};
        PositionInfo info;
        if (bpm)
            info.setBpm (*bpm);
        if (ppq)
            info.setPpqPosition (*ppq);
        info.setIsPlaying (playing);
        return info;
    }
};

inline void setParam (TapegrubProcessor& p, const juce::String& id, float plainValue)
{
    auto* param = p.parameters.getParameter (id);
    ASSERT_NE (param, nullptr) << id;
    param->setValueNotifyingHost (param->convertTo0to1 (plainValue));
}

// Parameters that would colour a measurement: master filters off, Auto Mix off.
inline void neutralMaster (TapegrubProcessor& p)
{
    setParam (p, "dc", 0.0f);
    setParam (p, "mono", 0.0f);
    setParam (p, "automix", 0.0f);
    setParam (p, "phase", 0.0f);
    setParam (p, "deres", 0.0f);
    setParam (p, "keyon", 0.0f);
}

// Gives a lane one candidate per name (audio from makeAudio (index), 120 BPM, `bars` bars),
// makes the first its current loop and arms the lane, as a pack load would.
template <typename MakeAudio>
void setCandidates (TapegrubProcessor& p, int lane, const juce::StringArray& names, int bars, MakeAudio&& makeAudio,
                    double sampleRate = 44100.0, double bpm = 120.0)
{
    p.takeLanesOffline (lane);
    auto& l = p.engine.lanes[(size_t) lane];
    l.loops.clear();
    for (int k = 0; k < names.size(); ++k)
    {
        tg::Loop loop;
        loop.name = names[k];
        loop.audio = makeAudio (k);
        loop.sampleRate = sampleRate;
        loop.bpm = bpm;
        loop.bars = bars;
        l.loops.push_back (std::move (loop));
    }
    l.pick = 0;
    p.engine.assignLoop (lane, l.loops[0]);
    p.engine.packLoaded = true;
    p.refreshLanePlay (lane);
}

// Puts one generated loop on a lane as its only candidate and current pick, and arms it.
inline void installLoop (TapegrubProcessor& p, int lane, juce::AudioBuffer<float> audio, double sampleRate,
                         double bpm, int bars, const juce::String& name = {})
{
    const auto loopName = name.isNotEmpty() ? name : juce::String ("Loop ") + juce::String (lane);
    setCandidates (p, lane, { loopName }, bars, [&] (int) { return std::move (audio); }, sampleRate, bpm);
}

// A stereo buffer of n samples filled by f(channel, index).
template <typename F>
juce::AudioBuffer<float> makeBuffer (int n, F&& f)
{
    juce::AudioBuffer<float> b (2, n);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < n; ++i)
            b.setSample (c, i, (float) f (c, i));
    return b;
}

// Renders total samples in blocks, advancing the play head's ppq while it plays.
inline juce::AudioBuffer<float> render (TapegrubProcessor& p, ScriptedPlayHead& head, int total, int block,
                                        int channels = 2)
{
    juce::AudioBuffer<float> out (channels, total);
    juce::AudioBuffer<float> buffer (channels, block);
    juce::MidiBuffer midi;
    const double rate = p.getSampleRate() > 0 ? p.getSampleRate() : 48000.0;

    for (int done = 0; done < total; done += block)
    {
        const int n = juce::jmin (block, total - done);
        buffer.setSize (channels, n, false, false, true);
        p.processBlock (buffer, midi);
        for (int c = 0; c < channels; ++c)
            out.copyFrom (c, done, buffer, c, 0, n);
        if (head.playing && head.ppq && head.bpm)
            *head.ppq += n / rate * (*head.bpm / 60.0);
    }
    return out;
}

// A prepared processor with the rig's play head installed.
struct Rig
{
    explicit Rig (double sampleRate = 48000.0, int block = 512)
    {
        processor.setRateAndBufferSizeDetails (sampleRate, block);
        processor.prepareToPlay (sampleRate, block);
        processor.setPlayHead (&head);
        neutralMaster (processor);
        processor.handleUpdateNowIfNeeded();
    }

    TapegrubProcessor processor;
    ScriptedPlayHead head;
};
} // namespace tgtest
