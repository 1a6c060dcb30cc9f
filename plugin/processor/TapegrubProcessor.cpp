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

void TapegrubProcessor::prepareToPlay (double newSampleRate, int)
{
    sampleRate = newSampleRate > 0.0 ? newSampleRate : 44100.0;
}

void TapegrubProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    juce::ScopedNoDenormals noDenormals;
    midi.clear();
    buffer.clear();
}

void TapegrubProcessor::getStateInformation (juce::MemoryBlock& block)
{
    if (auto xml = parameters.copyState().createXml())
        copyXmlToBinary (*xml, block);
}

void TapegrubProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    auto xml = getXmlFromBinary (data, sizeInBytes);
    if (xml == nullptr || ! xml->hasTagName (parameters.state.getType()))
        return;

    auto tree = juce::ValueTree::fromXml (*xml);
    if (! tree.isValid())
        return;

    parameters.replaceState (tree);
    cacheParams();
}

void TapegrubProcessor::refreshLanePlay (int lane)
{
    if (lane < 0 || lane >= numLanes)
        return;

    laneRefreshes[(size_t) lane].fetch_add (1);
}

void TapegrubProcessor::repickForKey (bool)
{
    keyRepicks.fetch_add (1);
}

// The factory entry the plug-in wrappers call.
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new TapegrubProcessor();
}
