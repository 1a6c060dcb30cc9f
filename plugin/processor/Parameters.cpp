// Parameter layout, identifiers, the raw-value cache and the refresh listener.
#include "TapegrubProcessor.h"

using namespace tgparams;

namespace
{
using Layout = juce::AudioProcessorValueTreeState::ParameterLayout;

void addFloat (Layout& layout, const juce::String& id, const juce::String& name,
               float maxValue, float skew, float defaultValue)
{
    layout.add (std::make_unique<juce::AudioParameterFloat> (juce::ParameterID { id, 1 }, name,
                                                             juce::NormalisableRange<float> (0.0f, maxValue, 0.0f, skew),
                                                             defaultValue));
}

void addBool (Layout& layout, const juce::String& id, const juce::String& name, bool defaultValue)
{
    layout.add (std::make_unique<juce::AudioParameterBool> (juce::ParameterID { id, 1 }, name, defaultValue));
}

void addChoice (Layout& layout, const juce::String& id, const juce::String& name,
                const juce::StringArray& choices, int defaultIndex)
{
    layout.add (std::make_unique<juce::AudioParameterChoice> (juce::ParameterID { id, 1 }, name, choices, defaultIndex));
}
} // namespace

juce::AudioProcessorValueTreeState::ParameterLayout TapegrubProcessor::makeLayout()
{
    Layout layout;

    // The order below is the host-visible identity of the plug-in: never reorder.
    addChoice (layout, "lenmode", "Transients", { "OFF", "S", "M", "L" }, 0);
    addFloat (layout, "lentrim", "Transients Trim", 1.0f, 1.0f, 0.5f);
    addChoice (layout, "bars", "Bars", { "1", "2", "4", "8" }, 2);
    addBool (layout, "keyon", "Key Lock", true);
    addChoice (layout, "root", "Root", { "C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B" }, 9);
    addChoice (layout, "scale", "Scale", { "Major", "Minor" }, 1);
    addBool (layout, "sparkle", "Sparkle On", false);
    addFloat (layout, "sparklemix", "Sparkle Mix", 1.0f, 1.0f, 0.4f);
    addBool (layout, "raw", "Raw On", false);
    addFloat (layout, "rawmix", "Raw Mix", 1.0f, 1.0f, 0.4f);
    addBool (layout, "dc", "DC Filter", true);
    addBool (layout, "mono", "Bass Mono", true);
    addBool (layout, "deres", "De-Res", true);
    addBool (layout, "phase", "Phase Guard", true);
    addBool (layout, "automix", "Auto Mix", true);
    addBool (layout, "play", "Play", false);

    for (int lane = 0; lane < kNumLanes; ++lane)
    {
        const juce::String laneName (kLaneParamNames[(size_t) lane]);
        const juce::String i (lane);
        addFloat (layout, volId (lane), laneName + " Vol", 4.0f, 0.4141f, 0.75f);
        addBool (layout, "mute_" + i, laneName + " Mute", false);
        addBool (layout, "solo_" + i, laneName + " Solo", false);
        addBool (layout, "hold_" + i, laneName + " Hold", false);

        for (int fx = 0; fx < kNumFx; ++fx)
            addFloat (layout, fxId (lane, fx), laneName + " " + kFxNames[(size_t) fx], 1.0f, 1.0f, kFxDefaults[(size_t) fx]);
    }

    return layout;
}

juce::String TapegrubProcessor::volId (int lane)
{
    return "vol_" + juce::String (lane);
}

juce::String TapegrubProcessor::fxId (int lane, int fx)
{
    return "fx_" + juce::String (lane) + "_" + juce::String (fx);
}

void TapegrubProcessor::cacheParams()
{
    auto raw = [this] (const juce::String& id) { return parameters.getRawParameterValue (id); };

    for (int lane = 0; lane < kNumLanes; ++lane)
    {
        const auto l = (size_t) lane;
        const juce::String i (lane);
        cache.vol[l] = raw (volId (lane));
        cache.mute[l] = raw ("mute_" + i);
        cache.solo[l] = raw ("solo_" + i);
        cache.hold[l] = raw ("hold_" + i);
        for (int fx = 0; fx < kNumFx; ++fx)
            cache.fx[l][(size_t) fx] = raw (fxId (lane, fx));
    }

    cache.bars = raw ("bars");
    cache.lenmode = raw ("lenmode");
    cache.lentrim = raw ("lentrim");
    cache.keyon = raw ("keyon");
    cache.root = raw ("root");
    cache.scale = raw ("scale");
    cache.sparkle = raw ("sparkle");
    cache.sparklemix = raw ("sparklemix");
    cache.raw = raw ("raw");
    cache.rawmix = raw ("rawmix");
    cache.dc = raw ("dc");
    cache.mono = raw ("mono");
    cache.deres = raw ("deres");
    cache.phase = raw ("phase");
    cache.automix = raw ("automix");
    cache.play = raw ("play");
}

// The parameters whose change needs the message thread: De-Res and Phase Guard change every
// lane's view, a lane's Pitch dial and mute change that lane's, the key settings re-pick.
static juce::StringArray listenedParameterIds()
{
    juce::StringArray ids { "deres", "phase" };
    for (int lane = 0; lane < kNumLanes; ++lane)
    {
        ids.add (TapegrubProcessor::fxId (lane, fxPitch));
        ids.add ("mute_" + juce::String (lane));
    }
    ids.addArray ({ "keyon", "root", "scale" });
    return ids;
}

void TapegrubProcessor::addListeners()
{
    const auto ids = listenedParameterIds();
    parameters.addParameterListener (ids[0], this);
    parameters.addParameterListener (ids[1], this);
    cacheParams();
    for (int i = 2; i < ids.size(); ++i)
        parameters.addParameterListener (ids[i], this);
}

void TapegrubProcessor::removeListeners()
{
    for (const auto& id : listenedParameterIds())
        parameters.removeParameterListener (id, this);
}

void TapegrubProcessor::parameterChanged (const juce::String& id, float)
{
    constexpr unsigned int allLanes = ~0u;

    if (id == "root" || id == "scale" || id == "keyon")
        keyDirty.store (true);

    const int underscore = id.indexOfChar ('_');
    if (underscore < 0)
    {
        pendingLaneMask.store (allLanes);
    }
    else
    {
        int lane = 0, digits = 0;
        // Saturates: any number of 7 or more means "every lane", however long it is.
        for (auto p = id.getCharPointer() + (underscore + 1); p.isDigit(); ++p, ++digits)
            lane = juce::jmin (lane * 10 + (int) (*p - '0'), 1000);

        if (digits > 0 && lane < kNumLanes)
            pendingLaneMask.fetch_or (1u << lane);
        else
            pendingLaneMask.store (allLanes);
    }

    triggerAsyncUpdate();
}

void TapegrubProcessor::handleAsyncUpdate()
{
    if (resetPlayRequest.exchange (false))
        if (auto* play = parameters.getParameter ("play"))
            play->setValueNotifyingHost (0.0f);

    if (keyDirty.exchange (false))
        repickForKey (true);

    const unsigned int mask = pendingLaneMask.exchange (0);
    for (int lane = 0; lane < kNumLanes; ++lane)
        if ((mask & (1u << lane)) != 0)
            refreshLanePlay (lane);
}
