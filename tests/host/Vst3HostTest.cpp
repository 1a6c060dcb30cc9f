// Loads the built Tapegrub.vst3 through JUCE's own VST3 hosting, as a DAW would.
#include <gtest/gtest.h>
#include <juce_audio_processors/juce_audio_processors.h>

namespace
{
std::unique_ptr<juce::AudioPluginInstance> loadTapegrub (double sampleRate = 44100.0, int blockSize = 512)
{
    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> types;
    format.findAllTypesForFile (types, TG_VST3_BUNDLE);
    if (types.isEmpty())
        return nullptr;

    juce::String error;
    auto instance = format.createInstanceFromDescription (*types[0], sampleRate, blockSize, error);
    EXPECT_TRUE (error.isEmpty()) << error;
    return instance;
}

// The VST3 wrapper adds the format's own bypass switch after the plug-in's parameters; a
// host shows it as the transport-level bypass, not as one of ours.
juce::Array<juce::AudioProcessorParameter*> ownParameters (juce::AudioPluginInstance& plugin)
{
    juce::Array<juce::AudioProcessorParameter*> own;
    for (auto* p : plugin.getParameters())
        if (p != plugin.getBypassParameter())
            own.add (p);
    return own;
}

juce::AudioProcessor::BusesLayout outputOnly (const juce::AudioChannelSet& set)
{
    juce::AudioProcessor::BusesLayout l;
    l.outputBuses.add (set);
    return l;
}
} // namespace

TEST (Vst3Host, IdentityBusesAndParameters)
{
    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> types;
    format.findAllTypesForFile (types, TG_VST3_BUNDLE);
    ASSERT_EQ (types.size(), 1) << TG_VST3_BUNDLE;
    EXPECT_EQ (types[0]->name, "Tapegrub");
    EXPECT_EQ (types[0]->manufacturerName, "GRUBWORKS");
    EXPECT_TRUE (types[0]->isInstrument);
    EXPECT_EQ (types[0]->numInputChannels, 0);
    EXPECT_EQ (types[0]->numOutputChannels, 2);

    auto plugin = loadTapegrub();
    ASSERT_NE (plugin, nullptr);
    EXPECT_EQ (plugin->getName(), "Tapegrub");
    const auto own = ownParameters (*plugin);
    ASSERT_EQ (own.size(), 93);
    EXPECT_EQ (plugin->getParameters().size(), 94);
    ASSERT_NE (plugin->getBypassParameter(), nullptr);
    EXPECT_EQ (own[0]->getName (64), "Transients");
    EXPECT_EQ (own[16]->getName (64), "Kick Vol");
    EXPECT_EQ (own[92]->getName (64), "Lead Punch");
    EXPECT_EQ (plugin->getTotalNumInputChannels(), 0);
    EXPECT_EQ (plugin->getTotalNumOutputChannels(), 2);

    EXPECT_TRUE (plugin->checkBusesLayoutSupported (outputOnly (juce::AudioChannelSet::stereo())));
    EXPECT_TRUE (plugin->checkBusesLayoutSupported (outputOnly (juce::AudioChannelSet::mono())));

    auto withInput = outputOnly (juce::AudioChannelSet::stereo());
    withInput.inputBuses.add (juce::AudioChannelSet::stereo());
    EXPECT_FALSE (plugin->checkBusesLayoutSupported (withInput));
}

TEST (Vst3Host, SilenceAtEveryRateAndBlockSize)
{
    auto plugin = loadTapegrub();
    ASSERT_NE (plugin, nullptr);

    for (double rate : { 44100.0, 48000.0, 96000.0 })
        for (int block : { 1, 17, 64, 512, 4096 })
        {
            plugin->setRateAndBufferSizeDetails (rate, block);
            plugin->prepareToPlay (rate, block);
            juce::AudioBuffer<float> buffer (2, block);
            juce::MidiBuffer midi;
            for (int pass = 0; pass < 3; ++pass)
            {
                for (int c = 0; c < 2; ++c)
                    juce::FloatVectorOperations::fill (buffer.getWritePointer (c), 0.25f, block);
                plugin->processBlock (buffer, midi);
                EXPECT_EQ (buffer.getMagnitude (0, block), 0.0f) << rate << " Hz, " << block << " samples";
            }
            plugin->releaseResources();
        }
}

TEST (Vst3Host, ParameterStateRoundTrip)
{
    auto first = loadTapegrub();
    ASSERT_NE (first, nullptr);
    const auto params = ownParameters (*first);
    ASSERT_EQ (params.size(), 93);

    const std::pair<int, float> changes[] { { 1, 0.8f }, { 2, 1.0f }, { 3, 0.0f }, { 16, 0.3f }, { 92, 0.95f } };
    for (auto [index, value] : changes)
        params[index]->setValueNotifyingHost (value);

    juce::MemoryBlock state;
    first->getStateInformation (state);
    ASSERT_GT (state.getSize(), 0u);

    auto second = loadTapegrub();
    ASSERT_NE (second, nullptr);
    second->setStateInformation (state.getData(), (int) state.getSize());

    // The plug-in applies a restore on its own message thread; give it a moment.
    const auto until = juce::Time::getMillisecondCounter() + 5000;
    while (std::abs (ownParameters (*second)[92]->getValue() - 0.95f) > 1e-4f && juce::Time::getMillisecondCounter() < until)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

    for (auto [index, value] : changes)
        EXPECT_NEAR (ownParameters (*second)[index]->getValue(), value, 1e-4f) << index;
    EXPECT_NEAR (ownParameters (*second)[0]->getValue(), 0.0f, 1e-6f);
}
