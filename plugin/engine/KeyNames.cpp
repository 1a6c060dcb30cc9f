#include "engine/KeyNames.h"

#include <array>

namespace tg
{
namespace
{
// Pitch classes of the natural letters, indexed from 'A'.
constexpr std::array<int, 7> kNaturalRoots { 9, 11, 0, 2, 4, 5, 7 };

constexpr std::array<const char*, 12> kSharpNames { "C", "C#", "D", "D#", "E", "F",
                                                    "F#", "G", "G#", "A", "A#", "B" };
constexpr std::array<const char*, 12> kFlatNames { "C", "Db", "D", "Eb", "E", "F",
                                                   "Gb", "G", "Ab", "A", "Bb", "B" };

int wrapPitchClass (int pitchClass) { return ((pitchClass % 12) + 12) % 12; }

// Case-sensitive on purpose: "M" is major and "m" minor.
bool isModeSuffix (const juce::String& s)
{
    return s.isEmpty() || s == "m" || s == "min" || s == "maj" || s == "M";
}

// One name token as a key: an upper-case letter A..G, an optional accidental ("#" or "s"
// sharp, "b" flat) and a mode suffix. Outputs are written only on success; flat records the
// token's spelling so an exported name can keep it.
bool parseKeyToken (const juce::String& token, int& root, bool& flat, juce::String& suffix)
{
    const auto letter = token[0];

    if (letter < 'A' || letter > 'G')
        return false;

    auto pitchClass = kNaturalRoots[(size_t) (letter - 'A')];
    auto isFlat = false;
    auto suffixStart = 1;

    if (token.length() >= 2)
    {
        const auto accidental = token[1];

        if (accidental == '#' || accidental == 's')
        {
            pitchClass = wrapPitchClass (pitchClass + 1); // B sharp wraps to C
            suffixStart = 2;
        }
        else if (accidental == 'b')
        {
            pitchClass = wrapPitchClass (pitchClass - 1); // C flat wraps to B
            isFlat = true;
            suffixStart = 2;
        }
    }

    const auto rest = token.substring (suffixStart);

    if (! isModeSuffix (rest))
        return false;

    root = pitchClass;
    flat = isFlat;
    suffix = rest;
    return true;
}
} // namespace

juce::String keyTokenInName (const juce::String& name)
{
    // Runs of separators give empty tokens, which never parse. The name keeps its case:
    // only an upper-case letter starts a key, so "a" in "loop a 120" is not A minor.
    juce::StringArray tokens;
    tokens.addTokens (name, "_- .", "");

    int root = 0;
    bool flat = false;
    juce::String suffix;

    for (const auto& token : tokens)
        if (parseKeyToken (token, root, flat, suffix))
            return token;

    return {};
}

bool keyFromName (const juce::String& name, int& root, bool& minor)
{
    const auto token = keyTokenInName (name);

    int pitchClass = 0;
    bool flat = false;
    juce::String suffix;

    if (token.isEmpty() || ! parseKeyToken (token, pitchClass, flat, suffix))
        return false;

    root = pitchClass;
    minor = ! (suffix == "maj" || suffix == "M"); // a bare letter counts as minor
    return true;
}

juce::String pitchedExportName (const juce::String& name, int semitones)
{
    if (semitones == 0)
        return name;

    const auto token = keyTokenInName (name);

    int root = 0;
    bool flat = false;
    juce::String suffix;

    if (token.isEmpty() || ! parseKeyToken (token, root, flat, suffix))
        return name;

    const auto pitchClass = (size_t) wrapPitchClass (root + semitones);
    const auto newToken = juce::String (flat ? kFlatNames[pitchClass] : kSharpNames[pitchClass]) + suffix;

    // Compared as spelled: a whole-octave move of "Am" leaves the name alone, while "Gsm"
    // still gains the normalised "G#m".
    return newToken == token ? name : name + "_pitched_to_" + newToken;
}

juce::String sharpKeyName (int pitchClass)
{
    return kSharpNames[(size_t) wrapPitchClass (pitchClass)];
}
} // namespace tg
