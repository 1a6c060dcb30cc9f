#include "TapegrubEditor.h"
#include "processor/TapegrubProcessor.h"

TapegrubEditor::TapegrubEditor (TapegrubProcessor& p)
    : juce::AudioProcessorEditor (p), generic (p)
{
    addAndMakeVisible (generic);
    setSize (1010, 812);
}

TapegrubEditor::~TapegrubEditor() = default;

void TapegrubEditor::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xFFFF5FA2));
    g.setColour (juce::Colour (0xFF1C0F33));
    g.setFont (28.0f);
    g.drawText ("TAPEGRUB", getLocalBounds().removeFromTop (56), juce::Justification::centred);
}

void TapegrubEditor::resized()
{
    generic.setBounds (getLocalBounds().withTrimmedTop (56).reduced (12));
}
