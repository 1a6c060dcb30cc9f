#include "engine/LaneNames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{
constexpr int kKick = 0, kBass = 1, kHats = 2, kClap = 3, kPerc1 = 4, kPerc2 = 5, kLead = 6;

struct LaneCase
{
    const char* path;
    int lane;
    bool primary;
    bool fullKit;
};

// Paths chosen so that exactly the rule named in the comment decides.
const LaneCase kLaneCases[] = {
    // The no-kick rule comes before every keyword: a kit without its kick plays as tops.
    { "Kick Free Drum Loop 01.wav", kHats, true, true },
    { "Groove Kickless 02.wav", kHats, true, true },
    { "Beat w/o Kick.wav", kHats, true, true },
    // "bass drum" is a KICK keyword and KICK precedes BASS.
    { "Loops/Bass Drum 02.wav", kKick, true, false },
    // HATS precedes BASS, whose "808" would also match.
    { "Hat_808_Loop.wav", kHats, true, false },
    { "Ride Bongo Lead.wav", kHats, true, false },
    // KICK precedes CLAP, CLAP precedes BASS.
    { "Kick Snare Loop.wav", kKick, true, false },
    { "Snare 808.wav", kClap, true, false },
    // Secondary keywords only when no primary keyword matched; "/" ends "drums".
    { "Drums/Fill 03.wav", kPerc2, false, true },
    { "Music Loop 120.wav", kLead, false, false },
    { "Top Loop 95.wav", kHats, false, true },
    // "kick" fails before a letter; the secondary "drum" then places it.
    { "KickDrum 1.wav", kPerc2, false, true },
    // A primary keyword of a later bucket beats a secondary keyword of an earlier one.
    { "Top Loop Rhodes.wav", kLead, true, false },
    { "Drums/Conga 02.wav", kPerc1, true, false },
    // Within a bucket the list order decides the kit flag: "shaker" comes before "break".
    { "Shaker Break.wav", kPerc2, true, false },
    { "Amen Break 170.wav", kPerc2, true, true },
    // The folder takes part like the file name; backslashes are folder separators.
    { "Pack/Bass/Take 01.wav", kBass, true, false },
    { "Pack\\Bass\\Take 01.wav", kBass, true, false },
    { "Pack/Take 01 bass.wav", kBass, true, false },
    // "bass" is matched at the end of a compound, "bd" only as a whole word.
    { "Deep Fatbass.wav", kBass, true, false },
    { "BD_01.wav", kKick, true, false },
    { "Vox BD01.wav", kLead, true, false },
    // Short keywords inside longer words do not count; nothing else matches.
    { "Grime Groove.wav", -1, false, false },
    { "Toploop.wav", -1, false, false },
    { "Untitled 01.wav", -1, false, false },
};
} // namespace

TEST (LaneNames, MatchKeywordWholeWordsAndSuffixes)
{
    struct Case
    {
        const char* text;
        const char* keyword;
        bool matches;
    };

    const Case cases[] = {
        // Four letters or more: plural and loop suffixes, then anything but a letter ends it.
        { "hats_01", "hats", true },
        { "hatsloop", "hats", true },
        { "open hatsloops 2", "hats", true },
        { "kick01", "kick", true },
        { "kickloop", "kick", true },
        { "kicks", "kick", true },
        { "kickdrum", "kick", false },
        { "kickss", "kick", false },
        { "kickloopy", "kick", false },
        { "percussion", "perc", false },
        { "shaker9", "shaker", true },
        { "drums/fill", "drums", true },
        { "music loop 120", "music loop", true },
        // The character before a long keyword is not examined.
        { "subbass", "bass", true },
        // A later occurrence can count when an earlier one does not.
        { "kickdrum kick", "kick", true },
        // Under four letters: whole words, digits count as word characters.
        { "hats", "hat", false },
        { "hat 1", "hat", true },
        { "chat", "hat", false },
        { "hatch hat", "hat", true },
        { "hh", "hh", true },
        { "x/hh_2", "hh", true },
        { "bd01", "bd", false },
        { "01bd", "bd", false },
        { "hat_808_loop", "808", true },
        { "808s", "808", false },
        { "", "kick", false },
        { "", "hh", false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (tg::matchKeyword (c.text, c.keyword), c.matches) << c.text << " / " << c.keyword;
}

TEST (LaneNames, ClassifyLaneByKeywordPrecedence)
{
    for (const auto& c : kLaneCases)
    {
        bool primary = ! c.primary, fullKit = ! c.fullKit; // outputs must be overwritten
        EXPECT_EQ (tg::classifyLane (c.path, &primary, &fullKit), c.lane) << c.path;
        EXPECT_EQ (primary, c.primary) << c.path;
        EXPECT_EQ (fullKit, c.fullKit) << c.path;
    }

    EXPECT_EQ (tg::classifyLane ("Kick 01.wav", nullptr, nullptr), kKick);
}

TEST (LaneNames, FullKitKeywords)
{
    for (auto* k : { "tops", "top", "top loop", "drum loop", "drums", "drum", "fill", "fills",
                     "break", "breaks", "breakbeat", "amen" })
        EXPECT_TRUE (tg::isFullKitKeyword (k)) << k;

    for (auto* k : { "hat", "kick", "shaker", "music loop", "drum loops", "" })
        EXPECT_FALSE (tg::isFullKitKeyword (k)) << k;
}

TEST (LaneNames, OneShotAndNoKickRules)
{
    struct Case
    {
        const char* path;
        bool oneShot;
        bool noKick;
    };

    const Case cases[] = {
        { "Snare One Shot.wav", true, false },
        { "Perc_hit_3.wav", true, false },
        { "Hitech Chord.wav", false, false }, // "hit" followed by a letter
        { "Oneshots/Clap.wav", true, false },
        { "Kicks/1-shot kick.wav", true, false },
        { "Drum Hits/Kick 3.wav", true, false },
        { "Single_Hit Tom.wav", true, false },
        { "Hits/Clap 2.wav", true, false },
        { "Pack/Hit/Clap 2.wav", true, false },
        { "Pack\\Hits\\Clap 2.wav", true, false }, // "\" read as a folder separator
        { "Chord_Hits_Loop.wav", true, false },
        { "Perc_Hit.wav", true, false },       // "_hit" then a word boundary
        { "Perc Hit.wav", false, false },      // " hit" needs a separator after it, not "."
        { "Brass Stab Hit.wav", true, false },
        { "Shitake Loop.wav", false, false },
        { "Kick Free Drum Loop 01.wav", false, true },
        { "Drums_NoKick_120.wav", false, true },
        { "Top Loop w/o Kick.wav", false, true },
        { "Groove minus-kick.wav", false, true },
        { "Beat Kickless.wav", false, true },
        { "Kick_Out_Loop.wav", false, true },
        { "Kick Loop 01.wav", false, false },
        { "Kick Drum Free.wav", false, false }, // only separators may stand between
        { "Piano Kick.wav", false, false },     // "no" inside a word is not a negation
        { "Techno Kick Loop.wav", false, false },
        { "No Kick Groove.wav", false, true },
    };

    for (const auto& c : cases)
    {
        EXPECT_EQ (tg::isOneShotPath (c.path), c.oneShot) << c.path;
        EXPECT_EQ (tg::isNoKickPath (c.path), c.noKick) << c.path;
    }
}

TEST (LaneNames, ShortNameAndTextures)
{
    EXPECT_EQ (tg::shortNameOf ("a/Drums/Kick 01.wav"), "drums/kick 01.wav");
    EXPECT_EQ (tg::shortNameOf ("Kick 01.wav"), "kick 01.wav");
    EXPECT_EQ (tg::shortNameOf ("a\\B\\C.wav"), "b/c.wav");
    EXPECT_EQ (tg::shortNameOf ("Drums/Kick.wav/"), "drums/kick.wav");
    EXPECT_EQ (tg::shortNameOf (""), "");

    struct Case
    {
        const char* path;
        bool texture;
    };

    const Case cases[] = {
        { "Vinyl Crackle Loop.wav", true },
        { "FX/Riser 8 bars.wav", true },
        { "Pack/Noise/Take 3.wav", true },       // the file's own folder counts
        { "Textures/Drums/Kick 01.wav", false }, // a folder further up does not
        { "SFX_Whoosh.wav", true },
        { "Field Rec Birds.wav", true },
        { "Room_Tone 2.wav", true },
        { "Impacts 03.wav", true },
        { "Drone_Loop_02.wav", true },
        { "Sweeper Lead.wav", false },
        { "SFXs Loop.wav", false }, // "sfx" is a whole-word keyword
        { "Kick 01.wav", false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (tg::isTextureName (c.path), c.texture) << c.path;
}

TEST (LaneNames, ClassifyLaneIsSafeUnderConcurrentCalls)
{
    constexpr int numThreads = 8;
    constexpr int rounds = 200;
    std::atomic<int> mismatches { 0 };
    std::atomic<bool> go { false };
    std::vector<std::thread> threads;

    for (int t = 0; t < numThreads; ++t)
        threads.emplace_back ([&, t]
        {
            while (! go.load())
                std::this_thread::yield();

            for (int r = 0; r < rounds; ++r)
            {
                // Each thread walks the table from a different start so that different
                // rules run at the same moment.
                const auto count = (int) std::size (kLaneCases);

                for (int i = 0; i < count; ++i)
                {
                    const auto& c = kLaneCases[(i + t) % count];
                    bool primary = false, fullKit = false;

                    if (tg::classifyLane (c.path, &primary, &fullKit) != c.lane
                        || primary != c.primary || fullKit != c.fullKit)
                        ++mismatches;
                }
            }
        });

    go = true;

    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ (mismatches.load(), 0);
}
