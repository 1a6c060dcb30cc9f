// The host-visible parameter contract and the rules that turn parameter changes into
// lane refreshes on the message thread.
#include "processor/TapegrubProcessor.h"
#include <gtest/gtest.h>

namespace
{
struct Expected
{
    juce::String id, name, type;
    float min = 0, max = 1, skew = 1, def = 0; // def: plain value, choice index, or 0/1
    juce::StringArray choices;
};

std::vector<Expected> expectedParameters()
{
    std::vector<Expected> e {
        { "lenmode", "Transients", "choice", 0, 0, 0, 0, { "OFF", "S", "M", "L" } },
        { "lentrim", "Transients Trim", "float", 0, 1, 1, 0.5f, {} },
        { "bars", "Bars", "choice", 0, 0, 0, 2, { "1", "2", "4", "8" } },
        { "keyon", "Key Lock", "bool", 0, 0, 0, 1, {} },
        { "root", "Root", "choice", 0, 0, 0, 9, { "C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B" } },
        { "scale", "Scale", "choice", 0, 0, 0, 1, { "Major", "Minor" } },
        { "sparkle", "Sparkle On", "bool", 0, 0, 0, 0, {} },
        { "sparklemix", "Sparkle Mix", "float", 0, 1, 1, 0.4f, {} },
        { "raw", "Raw On", "bool", 0, 0, 0, 0, {} },
        { "rawmix", "Raw Mix", "float", 0, 1, 1, 0.4f, {} },
        { "dc", "DC Filter", "bool", 0, 0, 0, 1, {} },
        { "mono", "Bass Mono", "bool", 0, 0, 0, 1, {} },
        { "deres", "De-Res", "bool", 0, 0, 0, 1, {} },
        { "phase", "Phase Guard", "bool", 0, 0, 0, 1, {} },
        { "automix", "Auto Mix", "bool", 0, 0, 0, 1, {} },
        { "play", "Play", "bool", 0, 0, 0, 0, {} },
    };

    const char* lanes[] { "Kick", "Bass", "Hats", "Clap", "Hand Perc", "Percussion", "Lead" };
    const char* dials[] { "Pitch", "Pan", "Drive", "Crush", "Filter", "Verb", "Punch" };
    const float dialDefaults[] { 0.5f, 0.5f, 0.0f, 0.0f, 0.5f, 0.0f, 0.5f };

    for (int i = 0; i < 7; ++i)
    {
        const juce::String n (i), l (lanes[i]);
        e.push_back ({ "vol_" + n, l + " Vol", "float", 0, 4, 0.4141f, 0.75f, {} });
        e.push_back ({ "mute_" + n, l + " Mute", "bool", 0, 0, 0, 0, {} });
        e.push_back ({ "solo_" + n, l + " Solo", "bool", 0, 0, 0, 0, {} });
        e.push_back ({ "hold_" + n, l + " Hold", "bool", 0, 0, 0, 0, {} });
        for (int j = 0; j < 7; ++j)
            e.push_back ({ "fx_" + n + "_" + juce::String (j), l + " " + dials[j], "float", 0, 1, 1, dialDefaults[j], {} });
    }
    return e;
}

void setParam (TapegrubProcessor& p, const juce::String& id, float plainValue)
{
    auto* param = p.parameters.getParameter (id);
    ASSERT_NE (param, nullptr) << id;
    param->setValueNotifyingHost (param->convertTo0to1 (plainValue));
}

std::array<int, 7> refreshCounts (const TapegrubProcessor& p)
{
    std::array<int, 7> c {};
    for (int i = 0; i < 7; ++i)
        c[(size_t) i] = p.laneRefreshCount (i);
    return c;
}

std::array<int, 7> refreshesSince (const TapegrubProcessor& p, const std::array<int, 7>& before)
{
    auto now = refreshCounts (p);
    for (size_t i = 0; i < 7; ++i)
        now[i] -= before[i];
    return now;
}
} // namespace

TEST (Parameters, HostContractInOrder)
{
    TapegrubProcessor processor;
    const auto expected = expectedParameters();
    const auto& params = processor.getParameters();
    ASSERT_EQ (params.size(), 93);
    ASSERT_EQ ((int) expected.size(), 93);

    for (int i = 0; i < 93; ++i)
    {
        const auto& e = expected[(size_t) i];
        auto* p = dynamic_cast<juce::RangedAudioParameter*> (params[i]);
        ASSERT_NE (p, nullptr);
        SCOPED_TRACE (e.id.toStdString());
        EXPECT_EQ (p->getParameterID(), e.id);
        EXPECT_EQ (p->getName (128), e.name);
        EXPECT_EQ (p->getVersionHint(), 1);
        EXPECT_TRUE (p->getLabel().isEmpty());

        if (e.type == "bool")
        {
            auto* b = dynamic_cast<juce::AudioParameterBool*> (p);
            ASSERT_NE (b, nullptr);
            EXPECT_EQ (p->getDefaultValue() > 0.5f, e.def > 0.5f);
        }
        else if (e.type == "choice")
        {
            auto* c = dynamic_cast<juce::AudioParameterChoice*> (p);
            ASSERT_NE (c, nullptr);
            EXPECT_EQ (c->choices, e.choices);
            EXPECT_EQ (juce::roundToInt (c->convertFrom0to1 (p->getDefaultValue())), (int) e.def);
        }
        else
        {
            ASSERT_NE (dynamic_cast<juce::AudioParameterFloat*> (p), nullptr);
            const auto& r = p->getNormalisableRange();
            EXPECT_FLOAT_EQ (r.start, e.min);
            EXPECT_FLOAT_EQ (r.end, e.max);
            EXPECT_FLOAT_EQ (r.skew, e.skew);
            EXPECT_FLOAT_EQ (r.interval, 0.0f);
            EXPECT_FALSE (r.symmetricSkew);
            EXPECT_NEAR (p->convertFrom0to1 (p->getDefaultValue()), e.def, 1e-5f);
        }
    }
}

TEST (Parameters, IdentifierBuilders)
{
    EXPECT_EQ (TapegrubProcessor::volId (3), "vol_3");
    EXPECT_EQ (TapegrubProcessor::fxId (6, 0), "fx_6_0");
    EXPECT_EQ (TapegrubProcessor::fxId (-1, 2), "fx_-1_2");
}

TEST (Parameters, CacheReadsLiveRawValuesWithoutLookups)
{
    TapegrubProcessor processor;
    const auto& cache = processor.paramCache();
    EXPECT_FLOAT_EQ (tgparams::readFloat (cache.vol[4], tgparams::kVolumeFallback), 0.75f);
    EXPECT_EQ (tgparams::readBarsPerPhrase (cache.bars), 4);
    EXPECT_EQ (tgparams::readChoice (cache.root, 9), 9);

    setParam (processor, "vol_4", 2.5f);
    setParam (processor, "bars", 3.0f);
    setParam (processor, "fx_2_3", 0.25f);
    EXPECT_NEAR (tgparams::readFloat (cache.vol[4], 0.8f), 2.5f, 1e-4f);
    EXPECT_EQ (tgparams::readBarsPerPhrase (cache.bars), 8);
    EXPECT_NEAR (tgparams::readFloat (cache.fx[2][3], 0.0f), 0.25f, 1e-6f);

    // A missing parameter reads as its reader's fallback.
    EXPECT_FLOAT_EQ (tgparams::readFloat (nullptr, tgparams::kVolumeFallback), 0.8f);
    EXPECT_TRUE (tgparams::readSwitch (nullptr, true));
    EXPECT_EQ (tgparams::readBarsPerPhrase (nullptr), 4);
}

TEST (Parameters, WhichChangesRefreshWhichLanes)
{
    struct Case
    {
        const char* id;
        float value;
        std::array<int, 7> refreshed;
        int repicks;
    };
    const std::array<int, 7> none {}, all { 1, 1, 1, 1, 1, 1, 1 };
    const Case cases[] {
        { "deres", 0.0f, all, 0 },
        { "phase", 0.0f, all, 0 },
        { "fx_3_0", 0.9f, { 0, 0, 0, 1, 0, 0, 0 }, 0 },
        { "mute_3", 1.0f, { 0, 0, 0, 1, 0, 0, 0 }, 0 },
        { "mute_6", 1.0f, { 0, 0, 0, 0, 0, 0, 1 }, 0 },
        { "vol_2", 2.0f, none, 0 },
        { "solo_1", 1.0f, none, 0 },
        { "hold_0", 1.0f, none, 0 },
        { "fx_3_1", 0.9f, none, 0 },
        { "sparkle", 1.0f, none, 0 },
        { "root", 2.0f, all, 1 },
        { "scale", 0.0f, all, 1 },
        { "keyon", 0.0f, all, 1 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.id);
        TapegrubProcessor processor;
        const auto before = refreshCounts (processor);
        setParam (processor, c.id, c.value);
        processor.handleUpdateNowIfNeeded();
        EXPECT_EQ (refreshesSince (processor, before), c.refreshed);
        EXPECT_EQ (processor.keyRepickCount(), c.repicks);
    }
}

TEST (Parameters, BurstCollapsesIntoOneRefreshPerLane)
{
    TapegrubProcessor processor;
    const auto before = refreshCounts (processor);
    for (int i = 0; i < 10; ++i)
    {
        setParam (processor, "fx_2_0", (float) i / 10.0f);
        setParam (processor, "mute_5", (float) (i % 2));
        setParam (processor, "mute_2", (float) ((i + 1) % 2));
    }
    processor.handleUpdateNowIfNeeded();
    EXPECT_EQ (refreshesSince (processor, before), (std::array<int, 7> { 0, 0, 1, 0, 0, 1, 0 }));
}

TEST (Parameters, LaneNumbersOutOfRangeRefreshEveryLane)
{
    const std::array<int, 7> all { 1, 1, 1, 1, 1, 1, 1 };
    for (const char* id : { "fx_7_0", "mute_12", "x_99999999999999999999", "fx_", "fx_a" })
    {
        SCOPED_TRACE (id);
        TapegrubProcessor processor;
        const auto before = refreshCounts (processor);
        processor.parameterChanged (id, 1.0f);
        processor.handleUpdateNowIfNeeded();
        EXPECT_EQ (refreshesSince (processor, before), all);
        EXPECT_EQ (processor.keyRepickCount(), 0);
    }
}

TEST (Parameters, ChangesFromAnotherThreadReachTheMessageThread)
{
    TapegrubProcessor processor;
    const auto before = refreshCounts (processor);
    std::thread automation ([&] { setParam (processor, "fx_4_0", 0.8f); });
    automation.join();
    processor.handleUpdateNowIfNeeded();
    EXPECT_EQ (refreshesSince (processor, before), (std::array<int, 7> { 0, 0, 0, 0, 1, 0, 0 }));
}
