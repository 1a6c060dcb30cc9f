// What the host sees of the processor: answers, buses, silence, and parameter state.
#include "processor/TapegrubProcessor.h"
#include <gtest/gtest.h>

namespace
{
using Set = juce::AudioChannelSet;

juce::AudioProcessor::BusesLayout layout (std::optional<Set> in, std::optional<Set> out)
{
    juce::AudioProcessor::BusesLayout l;
    if (in)
        l.inputBuses.add (*in);
    if (out)
        l.outputBuses.add (*out);
    return l;
}
} // namespace

TEST (ProcessorShell, HostAnswers)
{
    TapegrubProcessor p;
    EXPECT_EQ (p.getName(), "Tapegrub");
    EXPECT_TRUE (p.acceptsMidi());
    EXPECT_FALSE (p.producesMidi());
    EXPECT_FALSE (p.isMidiEffect());
    EXPECT_EQ (p.getTailLengthSeconds(), 0.0);
    EXPECT_EQ (p.getNumPrograms(), 1);
    p.setCurrentProgram (3);
    EXPECT_EQ (p.getCurrentProgram(), 0);
    EXPECT_EQ (p.getProgramName (0), "Default");
    EXPECT_TRUE (p.hasEditor());

    EXPECT_EQ (p.getBusCount (true), 0);
    ASSERT_EQ (p.getBusCount (false), 1);
    EXPECT_EQ (p.getBus (false, 0)->getName(), "Output");
    EXPECT_EQ (p.getBus (false, 0)->getDefaultLayout(), Set::stereo());
}

TEST (ProcessorShell, BusLayouts)
{
    TapegrubProcessor p;
    struct Case
    {
        std::optional<Set> in, out;
        bool ok;
    };
    const Case cases[] {
        { std::nullopt, Set::stereo(), true },
        { std::nullopt, Set::mono(), true },
        { Set::disabled(), Set::stereo(), true },
        { Set::mono(), Set::stereo(), false },
        { Set::stereo(), Set::stereo(), false },
        { std::nullopt, Set::create5point1(), false },
        { std::nullopt, Set::disabled(), false },
        { std::nullopt, std::nullopt, false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (p.isBusesLayoutSupported (layout (c.in, c.out)), c.ok)
            << (c.in ? c.in->getDescription() : "none") << " -> " << (c.out ? c.out->getDescription() : "none");
}

TEST (ProcessorShell, RendersSilenceAndSwallowsMidi)
{
    TapegrubProcessor p;
    p.prepareToPlay (48000.0, 256);
    juce::AudioBuffer<float> buffer (2, 256);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 256; ++i)
            buffer.setSample (c, i, 0.5f);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 60, 0.8f), 10);
    p.processBlock (buffer, midi);
    EXPECT_EQ (buffer.getMagnitude (0, 256), 0.0f);
    EXPECT_TRUE (midi.isEmpty());
}

TEST (ProcessorShell, ParameterStateRoundTrip)
{
    juce::MemoryBlock state;
    {
        TapegrubProcessor p; // never prepared: state must still work
        p.parameters.getParameter ("vol_5")->setValueNotifyingHost (0.2f);
        p.parameters.getParameter ("root")->setValueNotifyingHost (p.parameters.getParameter ("root")->convertTo0to1 (4.0f));
        p.parameters.getParameter ("keyon")->setValueNotifyingHost (0.0f);
        p.parameters.getParameter ("fx_6_4")->setValueNotifyingHost (0.9f);
        p.getStateInformation (state);
    }
    ASSERT_GT (state.getSize(), 8u);
    EXPECT_EQ (std::memcmp (state.getData(), "VC2!", 4), 0);

    TapegrubProcessor q;
    q.setStateInformation (state.getData(), (int) state.getSize());
    EXPECT_NEAR (q.parameters.getParameter ("vol_5")->getValue(), 0.2f, 1e-6f);
    EXPECT_EQ (tgparams::readChoice (q.paramCache().root, 9), 4);
    EXPECT_FALSE (tgparams::readSwitch (q.paramCache().keyon, true));
    EXPECT_NEAR (tgparams::readFloat (q.paramCache().fx[6][4], 0.5f), 0.9f, 1e-6f);
}

TEST (ProcessorShell, BadStateBlobsChangeNothing)
{
    TapegrubProcessor p;
    p.parameters.getParameter ("vol_1")->setValueNotifyingHost (0.3f);

    juce::MemoryBlock good;
    p.getStateInformation (good);

    juce::MemoryBlock wrongMagic (good);
    static_cast<char*> (wrongMagic.getData())[0] = 'X';

    juce::MemoryBlock truncated (good.getData(), 12);
    const char garbage[] = "\x01\x02\x03garbage that is not a state";

    juce::MemoryBlock otherRoot;
    juce::AudioProcessor::copyXmlToBinary (juce::XmlElement ("SOMETHING_ELSE"), otherRoot);

    p.parameters.getParameter ("vol_1")->setValueNotifyingHost (0.6f);
    for (auto* blob : { &wrongMagic, &truncated, &otherRoot })
        p.setStateInformation (blob->getData(), (int) blob->getSize());
    p.setStateInformation (garbage, (int) sizeof (garbage));
    p.setStateInformation (nullptr, 0);
    EXPECT_NEAR (p.parameters.getParameter ("vol_1")->getValue(), 0.6f, 1e-6f);

    // The good blob still restores.
    p.setStateInformation (good.getData(), (int) good.getSize());

    EXPECT_NEAR (p.parameters.getParameter ("vol_1")->getValue(), 0.3f, 1e-6f);
}
