// tapegrub info: the host-visible identity of the plug-in as one JSON document.
#include "Commands.h"
#include "processor/TapegrubProcessor.h"
#include <iostream>

namespace
{
// Float parameter values are stored as float; print them as the short decimal they were
// written as (0.4141, not 0.41409999132156372).
juce::var plain (float v)
{
    return juce::String (v, 6).getDoubleValue();
}

juce::var describe (juce::RangedAudioParameter& p)
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("id", p.getParameterID());
    o->setProperty ("name", p.getName (256));

    if (auto* b = dynamic_cast<juce::AudioParameterBool*> (&p))
    {
        o->setProperty ("type", "bool");
        o->setProperty ("default", p.getDefaultValue() > 0.5f);
    }
    else if (auto* c = dynamic_cast<juce::AudioParameterChoice*> (&p))
    {
        o->setProperty ("type", "choice");
        juce::Array<juce::var> choices;
        for (const auto& s : c->choices)
            choices.add (s);
        o->setProperty ("choices", choices);
        o->setProperty ("default", juce::roundToInt (c->convertFrom0to1 (p.getDefaultValue())));
    }
    else
    {
        const auto& range = p.getNormalisableRange();
        o->setProperty ("type", "float");
        o->setProperty ("min", plain (range.start));
        o->setProperty ("max", plain (range.end));
        o->setProperty ("skew", plain (range.skew));
        o->setProperty ("default", plain (p.convertFrom0to1 (p.getDefaultValue())));
    }
    return o;
}
} // namespace

int tgcli::info (const juce::StringArray&)
{
    TapegrubProcessor processor;

    juce::Array<juce::var> params;
    for (auto* p : processor.getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (p))
            params.add (describe (*ranged));

    juce::Array<juce::var> buses;
    for (int i = 0; i < processor.getBusCount (false); ++i)
    {
        auto* bus = processor.getBus (false, i);
        auto* b = new juce::DynamicObject();
        b->setProperty ("name", bus->getName());
        b->setProperty ("direction", "output");
        b->setProperty ("channels", bus->getDefaultLayout().getDescription());
        b->setProperty ("enabledByDefault", bus->isEnabledByDefault());
        buses.add (b);
    }

    auto* root = new juce::DynamicObject();
    root->setProperty ("name", processor.getName());
    root->setProperty ("version", TG_VERSION_STRING);
    root->setProperty ("formats", juce::Array<juce::var> { "VST3", "LV2", "Standalone" });
    root->setProperty ("buses", buses);
    root->setProperty ("parameters", params);

    std::cout << juce::JSON::toString (juce::var (root), false).toStdString() << std::endl;
    return 0;
}
