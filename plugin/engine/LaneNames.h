#pragma once
// Lane placement from file and folder names. Lane indices: 0 KICK, 1 BASS, 2 HATS, 3 CLAP,
// 4 PERC1, 5 PERC2, 6 LEAD. The tables and expressions are built once and shared; every
// function may be called from any thread.
#include <juce_core/juce_core.h>
#include <string>

namespace tg
{
// text: lower-case; keyword: lower-case. Short keywords (< 4 chars) match whole words only;
// longer ones match as word prefixes allowing a plural "s" and "loop"/"loops" suffixes.
bool matchKeyword (const std::string& text, const char* keyword);

// The path names a one-shot (a single hit), searched over the whole path.
bool isOneShotPath (const juce::String& path);

// The path says the loop has no kick ("no kick", "kickless", ...).
bool isNoKickPath (const juce::String& path);

// The last path component (with its parent folder) names a texture or effect.
bool isTextureName (const juce::String& path);

// Lower-cased "parent/file.ext" of a path, backslashes read as "/".
juce::String shortNameOf (const juce::String& path);

// Lane for a path, or -1. Writes whether a primary keyword (or the no-kick rule) placed it
// and whether the deciding keyword names a whole kit. Either pointer may be null.
int classifyLane (const juce::String& path, bool* primary, bool* fullKit);

bool isFullKitKeyword (const juce::String& keyword);
} // namespace tg
