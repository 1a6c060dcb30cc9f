#pragma once
#include <juce_audio_processors/juce_audio_processors.h>

class TapegrubProcessor;

// The plug-in window. Until the lane rows and commands land it shows the brand frame and
// the host-automatable parameters through JUCE's generic editor.
class TapegrubEditor : public juce::AudioProcessorEditor
{
public:
    explicit TapegrubEditor (TapegrubProcessor& processor);
    ~TapegrubEditor() override;

    void paint (juce::Graphics& g) override;
    void resized() override;

private:
    juce::GenericAudioProcessorEditor generic;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TapegrubEditor)
};
