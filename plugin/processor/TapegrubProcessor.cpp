// Processor shell: construction order, host answers, render and state.
#include "TapegrubProcessor.h"
#include "editor/TapegrubEditor.h"

TapegrubProcessor::TapegrubProcessor()
    : juce::AudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      parameters (*this, nullptr, "PARAMS", makeLayout())
{
    random.setSeedRandomly();
    formatManager.registerBasicFormats();
    addListeners();
}

TapegrubProcessor::~TapegrubProcessor()
{
    // Loader threads and queued callbacks check these before touching the processor.
    aliveFlag->store (false);
    cancelFlag->store (true);
    cancelPendingUpdate();

    for (auto& [thread, finished] : loaderThreads)
        if (thread.joinable())
            thread.join();
    loaderThreads.clear();

    removeListeners();
}

juce::AudioProcessorEditor* TapegrubProcessor::createEditor()
{
    return new TapegrubEditor (*this);
}

bool TapegrubProcessor::isBusesLayoutSupported (const BusesLayout& layout) const
{
    if (layout.getMainInputChannels() > 0)
        return false;

    const auto out = layout.getMainOutputChannelSet();
    return out == juce::AudioChannelSet::mono() || out == juce::AudioChannelSet::stereo();
}

// The factory entry the plug-in wrappers call.
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new TapegrubProcessor();
}
