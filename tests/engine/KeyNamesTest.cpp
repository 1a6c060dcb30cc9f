#include "engine/KeyNames.h"

#include <gtest/gtest.h>

TEST (KeyNames, KeyTokenAndKeyFromName)
{
    struct Case
    {
        const char* name;
        const char* token; // "" when the name carries no key
        int root;
        bool minor;
    };

    const Case cases[] = {
        { "Piano Loop Am 90", "Am", 9, true },
        { "Rhodes_Cmaj_100", "Cmaj", 0, false },
        { "Keys C 100", "C", 0, true }, // a bare letter counts as minor
        { "Pad CM", "CM", 0, false },
        { "Loop A 120", "A", 9, true },
        { "Bass E Am", "E", 4, true }, // the first qualifying token wins
        { "Keys_Ebmaj_120", "Ebmaj", 3, false },
        { "Lead F#min", "F#min", 6, true },
        { "Lead-Csm-100", "Csm", 1, true }, // "s" spells a sharp
        { "Bass Gs 120", "Gs", 8, true },
        { "Lead B#", "B#", 0, true },  // wraps up to C
        { "Lead Cb", "Cb", 11, true }, // wraps down to B
        { "Lead Bb 120", "Bb", 10, true },
        { "Lead Fbm", "Fbm", 4, true },
        { "Lead Abmaj", "Abmaj", 8, false },
        { "Bass_Dm.wav", "Dm", 2, true },   // "." separates too
        { "Lead__G--M", "G", 7, true },     // runs of separators give empty tokens
        { "loop a 120", "", 0, false },     // lower-case letters never start a key
        { "Bass Loop", "", 0, false },      // "Bass" leaves the suffix "ass"
        { "Lead Dmin7 Amaj7", "", 0, false },
        { "Lead DMin DMaj", "", 0, false }, // suffixes are case-sensitive
        { "Kick 120.WAV", "", 0, false },
        { "Fill Break Gsus", "", 0, false },
        { "", "", 0, false },
    };

    for (const auto& c : cases)
    {
        EXPECT_EQ (tg::keyTokenInName (c.name), c.token) << c.name;

        int root = -7;
        bool minor = ! c.minor;
        const bool found = tg::keyFromName (c.name, root, minor);
        EXPECT_EQ (found, *c.token != 0) << c.name;

        if (found)
        {
            EXPECT_EQ (root, c.root) << c.name;
            EXPECT_EQ (minor, c.minor) << c.name;
        }
        else
        {
            EXPECT_EQ (root, -7) << c.name << ": outputs must stay untouched";
            EXPECT_EQ (minor, ! c.minor) << c.name;
        }
    }
}

TEST (KeyNames, PitchedExportName)
{
    struct Case
    {
        const char* name;
        int semitones;
        const char* exported;
    };

    const Case cases[] = {
        { "Bass Am 90", 2, "Bass Am 90_pitched_to_Bm" },
        { "Lead Bb 120", -1, "Lead Bb 120_pitched_to_A" },
        { "Lead Bb 120", 1, "Lead Bb 120_pitched_to_B" },
        { "Lead Eb 120", 3, "Lead Eb 120_pitched_to_Gb" }, // a flat spelling stays flat
        { "Lead Db 120", -2, "Lead Db 120_pitched_to_B" },
        { "Lead Cb 120", 1, "Lead Cb 120_pitched_to_C" },
        { "Lead F# 120", -1, "Lead F# 120_pitched_to_F" },
        { "Lead B# 120", 1, "Lead B# 120_pitched_to_C#" },
        { "Keys_Ebmaj_120", 1, "Keys_Ebmaj_120_pitched_to_Emaj" },
        { "Bass E Am", 2, "Bass E Am_pitched_to_F#" },
        { "Bass Am 90", -14, "Bass Am 90_pitched_to_Gm" },
        { "Bass Am 90", 12, "Bass Am 90" }, // same token after a whole octave
        { "Bass Am 90", -24, "Bass Am 90" },
        { "Bass Am 90", 0, "Bass Am 90" },
        { "Keys Gsm", 12, "Keys Gsm_pitched_to_G#m" }, // tokens are compared as spelled
        { "Kick 120", 3, "Kick 120" },
        { "loop a 120", 2, "loop a 120" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (tg::pitchedExportName (c.name, c.semitones), c.exported) << c.name << " " << c.semitones;
}

TEST (KeyNames, SharpKeyNameWrapsAnyPitchClass)
{
    const std::pair<int, const char*> cases[] = {
        { 0, "C" }, { 1, "C#" }, { 3, "D#" }, { 6, "F#" }, { 10, "A#" }, { 11, "B" },
        { 12, "C" }, { 25, "C#" }, { -1, "B" }, { -13, "B" }, { -12, "C" },
    };

    for (const auto& [pitchClass, name] : cases)
        EXPECT_EQ (tg::sharpKeyName (pitchClass), name) << pitchClass;
}
