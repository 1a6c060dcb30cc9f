#pragma once
// Packs built on the fly for tests, from the demo-pack generator: temporary folders, small
// drum packs, and a way to wait for the message thread to finish a load.
#include "engine/DemoPack.h"

#include <juce_events/juce_events.h>
#include <utility>
#include <vector>

namespace tgtest
{
// A folder under the system temp directory, removed with everything in it.
struct TempFolder
{
    explicit TempFolder (const juce::String& stem = "tapegrub-test")
        : folder (juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile (stem, "", false))
    {
        folder.createDirectory();
    }

    ~TempFolder() { folder.deleteRecursively(); }

    juce::File folder;
};

// (relative path, file bytes) of a pack, in the order they are written.
using PackEntries = std::vector<std::pair<juce::String, juce::MemoryBlock>>;

// A WAV of `bars` bars of one drum at 120 BPM; the step pattern tells loops of a lane apart.
inline juce::MemoryBlock drumLoopWav (tg::demo::Drum drum, const char* steps, int bars = 2)
{
    return tg::demo::wavBytes (tg::demo::drumPattern (drum, steps, 120.0, bars, 0.8f), tg::demo::kSampleRate);
}

// Pack A: a kick and hats. Pack B: another kick and a clap. No name is shared.
inline PackEntries drumPackA()
{
    using tg::demo::Drum;
    return { { "Kick Loop Boom 120bpm.wav", drumLoopWav (Drum::kick, "X...X...X...X...") },
             { "Hats Loop Tick 120bpm.wav", drumLoopWav (Drum::closedHat, "..X...X...X...X.") } };
}

inline PackEntries drumPackB()
{
    using tg::demo::Drum;
    return { { "Kick Loop Knock 120bpm.wav", drumLoopWav (Drum::kick, "X..xX...X..xX.x.") },
             { "Clap Loop Crack 120bpm.wav", drumLoopWav (Drum::clap, "....X.......X...") } };
}

// Writes the entries under folder (sub-folders made as needed) and returns folder.
inline juce::File writePackFolder (const juce::File& folder, const PackEntries& entries)
{
    for (const auto& [path, bytes] : entries)
    {
        const auto file = folder.getChildFile (path);
        file.getParentDirectory().createDirectory();
        file.replaceWithData (bytes.getData(), bytes.getSize());
    }
    return folder;
}

// Runs the message loop until done() holds; false on timeout.
template <typename Done>
bool pumpUntil (Done&& done, int timeoutMs = 20000)
{
    const auto until = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (! done())
    {
        if (juce::Time::getMillisecondCounter() > until)
            return false;
        juce::MessageManager::getInstance()->runDispatchLoopUntil (2);
    }
    return true;
}
} // namespace tgtest
