#pragma once
// Musical keys named in loop names. Pitch class 0 = C .. 11 = B.
#include <juce_core/juce_core.h>

namespace tg
{
// First token of the name (split at "_", "-", " ", ".") that reads as a key, or empty.
juce::String keyTokenInName (const juce::String& name);

// True when the name carries a key; a bare letter counts as minor.
bool keyFromName (const juce::String& name, int& root, bool& minor);

// Name to export a loop under after transposing it by semitones.
juce::String pitchedExportName (const juce::String& name, int semitones);

// "C", "C#", ... for a pitch class (any int, wrapped).
juce::String sharpKeyName (int pitchClass);
} // namespace tg
