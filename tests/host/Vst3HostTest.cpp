// Loads the built Tapegrub.vst3 through JUCE's own VST3 hosting, as a DAW would.
#include "engine/DemoPack.h"
#include "engine/PackReader.h"
#include "processor/TapegrubProcessor.h"

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

namespace
{
// A host transport at 120 BPM whose position the test moves by hand.
struct HostTransport : juce::AudioPlayHead
{
    double ppq = 0.0;

    juce::Optional<PositionInfo> getPosition() const override
    {
        PositionInfo info;
        info.setBpm (120.0);
        info.setTimeSignature (juce::AudioPlayHead::TimeSignature { 4, 4 });
        info.setPpqPosition (ppq);
        info.setIsPlaying (true);
        return info;
    }
};

constexpr double kHostRate = 44100.0;
constexpr int kHostBlock = 512;
constexpr int kSamplesPerBar = 88200; // 120 BPM at 44.1 kHz

// Plays total samples from the transport's position, moving it on.
juce::AudioBuffer<float> play (juce::AudioProcessor& plugin, HostTransport& transport, int total)
{
    juce::AudioBuffer<float> out (2, total), block (2, kHostBlock);
    juce::MidiBuffer midi;
    for (int done = 0; done < total; done += kHostBlock)
    {
        const int n = std::min (kHostBlock, total - done);
        block.setSize (2, n, false, false, true);
        block.clear();
        plugin.processBlock (block, midi);
        for (int c = 0; c < 2; ++c)
            out.copyFrom (c, done, block, c, 0, n);
        transport.ppq += n / kHostRate * 2.0;
    }
    return out;
}

// A restore lands on the plug-in's message thread and loads its packs on worker threads:
// the transport runs until the groove sounds. Then two bars from the top, so that every
// fade and filter has heard the same thing when the take starts, and the eight-bar take.
juce::AudioBuffer<float> takeOnceItSounds (juce::AudioProcessor& plugin)
{
    HostTransport transport;
    plugin.setPlayHead (&transport);
    const auto until = juce::Time::getMillisecondCounter() + 30000;
    while (play (plugin, transport, kHostBlock).getMagnitude (0, kHostBlock) < 1.0e-3f)
    {
        if (juce::Time::getMillisecondCounter() > until)
        {
            ADD_FAILURE() << "the restored pack never sounded";
            plugin.setPlayHead (nullptr);
            return {};
        }
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }
    transport.ppq = 0.0;
    play (plugin, transport, 2 * kSamplesPerBar);
    auto take = play (plugin, transport, 8 * kSamplesPerBar);
    plugin.setPlayHead (nullptr);
    return take;
}

// Sum of squared differences over the energy of a, and the largest single difference.
std::pair<double, float> mismatch (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    double energy = 0.0, difference = 0.0;
    float worst = 0.0f;
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < a.getNumSamples(); ++i)
        {
            const float x = a.getSample (c, i), y = b.getSample (c, i);
            energy += (double) x * x;
            difference += (double) (x - y) * (x - y);
            worst = std::max (worst, std::abs (x - y));
        }
    return { energy > 0.0 ? difference / energy : 1.0, worst };
}

// The host's state of a VST3 instance wraps the plug-in's own state (IComponent, base64).
juce::MemoryBlock hostStateFor (const juce::MemoryBlock& pluginState)
{
    juce::XmlElement state ("VST3PluginState");
    state.createNewChildElement ("IComponent")->addTextElement (pluginState.toBase64Encoding());
    juce::MemoryBlock block;
    juce::AudioProcessor::copyXmlToBinary (state, block);
    return block;
}

// The plug-in's session element inside a host state.
juce::ValueTree sessionOf (const juce::MemoryBlock& hostState)
{
    const auto head = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
    const auto* component = head != nullptr ? head->getChildByName ("IComponent") : nullptr;
    if (component == nullptr)
        return {};
    juce::MemoryBlock bytes;
    bytes.fromBase64Encoding (component->getAllSubText());

    // The wrapper may put a header of its own in front of the plug-in's "VC2!" block.
    const auto* data = static_cast<const char*> (bytes.getData());
    for (size_t at = 0; at + 8 < bytes.getSize(); ++at)
        if (std::memcmp (data + at, "VC2!", 4) == 0)
            if (const auto xml = juce::AudioProcessor::getXmlFromBinary (data + at, (int) (bytes.getSize() - at)))
                return juce::ValueTree::fromXml (*xml).getChildWithName ("TG");
    return {};
}

// Each lane's loop, crop and shift as a session element states them.
juce::StringArray lanesOf (const juce::ValueTree& tg)
{
    juce::StringArray lanes;
    for (const auto& lane : tg)
        if (lane.hasType ("LANE"))
            lanes.add (lane["loop"].toString() + ", crop " + lane["cropLen"].toString() + " from "
                       + lane["cropStart"].toString() + ", shift " + lane["beatShift"].toString());
    return lanes;
}
} // namespace

TEST (Vst3Host, PackSessionRestoresTheSameGrooveInAnotherInstance)
{
    using tg::demo::Drum;
    const auto temp = juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("tapegrub-host", "", false);
    const auto pack = temp.getChildFile ("Host Pack");
    const std::tuple<const char*, Drum, const char*> loops[] {
        { "Kick Loop Boom 120bpm", Drum::kick, "X...X...X...X..." },
        { "Kick Loop Knock 120bpm", Drum::kick, "X..xX...X..xX.x." },
        { "Clap Loop Crack 120bpm", Drum::clap, "....X.......X..." },
        { "Hats Loop Tick 120bpm", Drum::closedHat, "..X...X...X...X." },
    };
    for (const auto& [name, drum, steps] : loops)
        ASSERT_TRUE (tg::demo::writeWav (pack.getChildFile (juce::String (name) + ".wav"),
                                         tg::demo::drumPattern (drum, steps, 120.0, 2, 0.8f), tg::demo::kSampleRate));

    // What a plain load of the pack puts on the kick lane, before any session.
    juce::String defaultKick;
    {
        tg::PackContents contents;
        ASSERT_TRUE (tg::readPack (pack, true, nullptr, nullptr, contents));
        tg::LoopEngine engine;
        ASSERT_TRUE (engine.ingest (contents.files, contents.rates, contents.packName));
        defaultKick = engine.lanes[tg::kick].loopName;
    }
    const juce::String sessionKick = defaultKick == "Kick Loop Boom 120bpm" ? "Kick Loop Knock 120bpm" : "Kick Loop Boom 120bpm";

    // The session, written by an in-process processor: the other kick, cropped and shifted.
    juce::MemoryBlock session;
    {
        TapegrubProcessor source;
        int calls = 0;
        bool ok = false;
        source.loadPackAsync (pack, true, [&] (bool result) { ++calls; ok = result; });
        const auto until = juce::Time::getMillisecondCounter() + 20000;
        while (calls == 0 && juce::Time::getMillisecondCounter() < until)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
        ASSERT_TRUE (ok);

        auto set = source.engine.captureSet();
        set.loop[tg::kick] = sessionKick;
        source.takeLanesOffline (-1);
        source.engine.applySet (set);
        source.setCrop (tg::kick, 1, 1, false);
        source.shiftLane (tg::kick, 3);
        source.getStateInformation (session);
    }
    const auto savedLanes = lanesOf (sessionOf (hostStateFor (session)));
    ASSERT_EQ (savedLanes.size(), 7);
    ASSERT_EQ (savedLanes[0], sessionKick + ", crop 1 from 1, shift 3");

    // The reference: the same session restored by the processor in this process.
    juce::AudioBuffer<float> reference;
    {
        TapegrubProcessor local;
        local.setRateAndBufferSizeDetails (kHostRate, kHostBlock);
        local.prepareToPlay (kHostRate, kHostBlock);
        local.setStateInformation (session.getData(), (int) session.getSize());
        reference = takeOnceItSounds (local);
        EXPECT_FALSE (local.restoreInProgress.load());
        EXPECT_EQ (local.engine.lanes[tg::kick].loopName, sessionKick);
        EXPECT_EQ (local.engine.lanes[tg::kick].beatShift, 3);
    }
    ASSERT_EQ (reference.getNumSamples(), 8 * kSamplesPerBar);
    EXPECT_GT (reference.getRMSLevel (0, 0, reference.getNumSamples()), 0.01f) << "the groove plays";

    // Through the VST3: restore, play, save; then restore that save into a second instance.
    const auto restoreAndPlay = [] (const juce::MemoryBlock& hostState, juce::MemoryBlock& saved)
    {
        juce::VST3PluginFormat format;
        juce::OwnedArray<juce::PluginDescription> types;
        format.findAllTypesForFile (types, TG_VST3_BUNDLE);
        juce::String error;
        auto plugin = types.isEmpty() ? nullptr : format.createInstanceFromDescription (*types[0], kHostRate, kHostBlock, error);
        if (plugin == nullptr)
        {
            ADD_FAILURE() << "no plug-in: " << error;
            return juce::AudioBuffer<float>();
        }
        plugin->setRateAndBufferSizeDetails (kHostRate, kHostBlock);
        plugin->prepareToPlay (kHostRate, kHostBlock);
        plugin->setStateInformation (hostState.getData(), (int) hostState.getSize());
        auto take = takeOnceItSounds (*plugin);
        plugin->getStateInformation (saved);
        plugin->releaseResources();
        return take;
    };

    juce::MemoryBlock firstState, secondState;
    const auto first = restoreAndPlay (hostStateFor (session), firstState);
    ASSERT_EQ (first.getNumSamples(), 8 * kSamplesPerBar);
    const auto firstSession = sessionOf (firstState);
    EXPECT_EQ (lanesOf (firstSession), savedLanes);
    EXPECT_EQ (firstSession["packPath"].toString(), pack.getFullPathName());

    const auto second = restoreAndPlay (firstState, secondState);
    ASSERT_EQ (second.getNumSamples(), 8 * kSamplesPerBar);
    EXPECT_EQ (lanesOf (sessionOf (secondState)), savedLanes);

    for (const auto* take : { &first, &second })
    {
        const auto [relative, worst] = mismatch (reference, *take);
        EXPECT_LT (relative, 1.0e-8) << (take == &first ? "first" : "second") << " instance";
        EXPECT_LT (worst, 1.0e-4f) << (take == &first ? "first" : "second") << " instance";
    }

    temp.deleteRecursively();
}
