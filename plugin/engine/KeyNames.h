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

namespace tg
{
// x mod 12 into -5..+6: the shortest way round the circle of semitones, ties going up.
constexpr int wrapSemitones (int x) noexcept
{
    const int m = ((x % 12) + 12) % 12;
    return m >= 7 ? m - 12 : m;
}

// Semitones from a key (pitch class, minor flag) to a chosen root in the wanted mode; a key of
// the other mode is compared through its relative key (A minor and C major are the same notes).
constexpr int keyDistance (int root, bool wantMinor, int pitchClass, bool minor) noexcept
{
    int k = pitchClass;
    if (minor != wantMinor)
        k = ((minor ? k + 3 : k - 3) % 12 + 12) % 12;
    return wrapSemitones (root - k);
}
} // namespace tg
