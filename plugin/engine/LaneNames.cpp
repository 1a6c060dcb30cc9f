#include "engine/LaneNames.h"

#include <array>
#include <cstring>
#include <regex>
#include <vector>

namespace tg
{
namespace
{
// Every rule reads the path the same way: backslashes (Windows folders, some zip writers)
// become "/" before anything else, then the text is lower-cased.
juce::String normalisedPath (const juce::String& path)
{
    return path.replaceCharacter ('\\', '/').toLowerCase();
}

bool isLowerLetter (char c) { return c >= 'a' && c <= 'z'; }
bool isWordChar (char c) { return isLowerLetter (c) || (c >= '0' && c <= '9'); }

// The expressions are built on first use (thread-safe static initialisation) and then only
// read: std::regex is safe for concurrent const use, so ingest workers share them.
// The backslash escapes are the expression's own (\s white space, \b word boundary).
const std::regex& oneShotExpression()
{
    static const std::regex expression (
        R"((one[\s_-]?shots?|1[\s_-]?shots?|single[\s_-]?hits?|drum[\s_-]?hits?|(^|[/_ -])hits?([/_ -]|$)|_hit\b|stab hit))",
        std::regex::ECMAScript | std::regex::icase);
    return expression;
}

const std::regex& noKickExpression()
{
    static const std::regex expression (
        // "no" etc. must start a word: "Techno Kick Loop" and "Piano Kick" name kicks.
        R"((^|[^a-z0-9])(no|without|minus|w/o)[\s_-]*kick|kick[\s_-]*(free|less|out))",
        std::regex::ECMAScript | std::regex::icase);
    return expression;
}

// Matched against the short name only: a "Noise" folder two levels up says nothing about
// the file, its own folder does.
constexpr std::array<const char*, 32> kTextureWords {
    "vinyl", "crackle", "crackles", "noise", "hiss", "static", "texture", "textures",
    "atmos", "atmosphere", "ambient", "ambience", "ambiance", "soundscape",
    "field rec", "field_rec", "field-rec", "foley", "room tone", "room_tone",
    "drone", "drones", "riser", "uplifter", "downlifter", "sweep", "whoosh", "impact",
    "swell", "reverse cymbal", "transition", "sfx"
};

// Keywords naming a whole drum kit rather than one instrument; at most one such loop plays
// at a time.
constexpr std::array<const char*, 12> kFullKitKeywords {
    "tops", "top", "top loop", "drum loop", "drums", "drum", "fill", "fills",
    "break", "breaks", "breakbeat", "amen"
};

bool isFullKit (const char* keyword)
{
    for (auto* k : kFullKitKeywords)
        if (std::strcmp (k, keyword) == 0)
            return true;

    return false;
}
} // namespace

bool matchKeyword (const std::string& text, const char* keyword)
{
    if (keyword == nullptr || *keyword == 0)
        return false;

    const auto n = std::strlen (keyword);
    const auto size = text.size();

    for (auto at = text.find (keyword, 0, n); at != std::string::npos; at = text.find (keyword, at + 1, n))
    {
        const auto end = at + n;

        if (n < 4)
        {
            // Short keywords ("hh", "bd", "808", "sub") hide inside too many other words,
            // so they count only as whole words.
            const bool freeBefore = at == 0 || ! isWordChar (text[at - 1]);
            const bool freeAfter = end == size || ! isWordChar (text[end]);

            if (freeBefore && freeAfter)
                return true;
        }
        else
        {
            // Longer keywords may sit at the end of a compound ("subbass") and may carry a
            // plural and a loop suffix ("hatsloops"); a digit or punctuation ends the word.
            auto j = end;

            if (j < size && text[j] == 's')
                ++j;

            if (size - j >= 4 && text.compare (j, 4, "loop") == 0)
            {
                j += 4;

                if (j < size && text[j] == 's')
                    ++j;
            }

            if (j == size || ! isLowerLetter (text[j]))
                return true;
        }
    }

    return false;
}

bool isOneShotPath (const juce::String& path)
{
    return std::regex_search (normalisedPath (path).toStdString(), oneShotExpression());
}

bool isNoKickPath (const juce::String& path)
{
    return std::regex_search (normalisedPath (path).toStdString(), noKickExpression());
}

juce::String shortNameOf (const juce::String& path)
{
    juce::StringArray parts;
    parts.addTokens (normalisedPath (path), "/", "");
    parts.removeEmptyStrings (true); // blank components (doubled or trailing "/") are skipped

    if (parts.isEmpty())
        return {};

    const auto& file = parts.getReference (parts.size() - 1);
    return parts.size() > 1 ? parts.getReference (parts.size() - 2) + "/" + file : file;
}

bool isTextureName (const juce::String& path)
{
    const auto shortName = shortNameOf (path).toStdString();

    for (auto* word : kTextureWords)
        if (matchKeyword (shortName, word))
            return true;

    return false;
}

int classifyLane (const juce::String& path, bool* primary, bool* fullKit)
{
    // Buckets are tried in this order and keywords within a bucket in list order; the first
    // hit decides. Hats come first so that "Hat_808" is not taken for a bass, kick before
    // bass so that "bass drum" is a kick. Secondary keywords (kit-wide words like "drums",
    // "top", "music") only count when no primary keyword of any lane matched.
    struct Bucket
    {
        int lane;
        std::vector<const char*> primaryKeywords;
        std::vector<const char*> secondaryKeywords;
    };

    static const std::array<Bucket, 7> kBuckets {{
        { 2,
          { "hat", "hats", "hi-hat", "hihat", "hi hat", "hh", "ohat", "chat", "open hat",
            "closed hat", "ride", "cymbal" },
          { "tops", "top", "top loop" } },
        { 0, { "kick", "kicks", "kik", "bd", "bassdrum", "bass drum" }, {} },
        { 3, { "clap", "snare", "snr", "rimshot", "rim", "snap" }, {} },
        { 1,
          { "bassline", "sub bass", "subbass", "sub", "808", "reese", "wobble", "rumble",
            "low end", "bass" },
          {} },
        { 4,
          { "conga", "bongo", "tabla", "djembe", "timbale", "darbuka", "cajon", "hand drum",
            "handdrum", "tom", "toms", "surdo", "udu", "bata" },
          {} },
        { 5,
          { "percussion", "percussive", "perc", "shaker", "shake", "tambourine", "tamb",
            "maraca", "cabasa", "guiro", "cowbell", "clave", "woodblock", "wood block",
            "block", "triangle", "agogo", "rattle", "castanet", "chekere", "vibraslap",
            "sleigh", "break", "breaks", "breakbeat", "amen" },
          { "drum loop", "drums", "drum", "fill", "fills" } },
        { 6,
          { "lead", "keys", "chord", "rhodes", "wurli", "piano", "organ", "synth", "stab",
            "pad", "pads", "melody", "melodic", "harmony", "bell", "brass", "guitar", "pluck",
            "strings", "cello", "violin", "viola", "pizzicato", "vocal", "vocals", "vox",
            "vocoder", "acapella", "choir" },
          { "music loop", "music" } },
    }};

    const auto placed = [primary, fullKit] (int lane, bool isPrimary, bool isWholeKit)
    {
        if (primary != nullptr)
            *primary = isPrimary;

        if (fullKit != nullptr)
            *fullKit = isWholeKit;

        return lane;
    };

    const auto text = normalisedPath (path).toStdString();

    // "Kick Free Drum Loop" is a full kit minus its kick: it plays as tops.
    if (std::regex_search (text, noKickExpression()))
        return placed (2, true, true);

    for (const auto& bucket : kBuckets)
        for (auto* keyword : bucket.primaryKeywords)
            if (matchKeyword (text, keyword))
                return placed (bucket.lane, true, isFullKit (keyword));

    for (const auto& bucket : kBuckets)
        for (auto* keyword : bucket.secondaryKeywords)
            if (matchKeyword (text, keyword))
                return placed (bucket.lane, false, isFullKit (keyword));

    return placed (-1, false, false);
}

bool isFullKitKeyword (const juce::String& keyword)
{
    return isFullKit (keyword.toRawUTF8());
}
} // namespace tg
