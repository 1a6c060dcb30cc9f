// The tapegrub tool as a user runs it: a pack named like real-world packs sorts as its names
// say, and a rendered groove and its saved session play back the same.
#include "support/PackFixtures.h"
#include <gtest/gtest.h>
#include <juce_audio_formats/juce_audio_formats.h>

namespace
{
struct Run
{
    int exitCode = -1;
    juce::String output;
};

Run runTool (const juce::StringArray& args)
{
    juce::StringArray command { TG_CLI };
    command.addArray (args);
    juce::ChildProcess process;
    Run r;
    if (! process.start (command, juce::ChildProcess::wantStdOut))
        return r;
    r.output = process.readAllProcessOutput();
    process.waitForProcessToFinish (60000);
    r.exitCode = (int) process.getExitCode();
    return r;
}

// One JSON object per output line.
std::vector<juce::var> jsonLines (const juce::String& text)
{
    std::vector<juce::var> lines;
    for (const auto& line : juce::StringArray::fromLines (text))
        if (line.trim().isNotEmpty())
            lines.push_back (juce::JSON::parse (line));
    return lines;
}
} // namespace

TEST (Cli, AnalyseSortsNamesAsPacksMeanThem)
{
    using tg::demo::Drum;
    struct Case
    {
        const char* path;
        const char* verdict;
        int laneByName;
        bool primary, fullKit;
    };
    const Case cases[] {
        { "Kick Free Drum Loop 01.wav", "loop", 2, true, true },
        { "Loops/Bass Drum 02.wav", "loop", 0, true, false },
        { "Hat_808_Loop.wav", "loop", 2, true, false },
        { "Drums/Fill 03.wav", "loop", 5, false, true },
        { "Music Loop 120.wav", "loop", 6, false, false },
        { "Top Loop 95.wav", "loop", 2, false, true },
        { "KickDrum 1.wav", "loop", 5, false, true },
        { "Techno Kick Loop.wav", "loop", 0, true, false },
        { "Snare One Shot.wav", "one-shot", -1, false, false },
        { "Vinyl Crackle Loop.wav", "texture", -1, false, false },
    };

    tgtest::TempFolder temp ("tapegrub-cli");
    tgtest::PackEntries entries;
    for (const auto& c : cases)
        entries.push_back ({ c.path, tgtest::drumLoopWav (Drum::congaHigh, "X..xX.x.X..xX.x.") });
    entries.push_back ({ "notes.txt", juce::MemoryBlock ("not audio", 9) });
    entries.push_back ({ "Broken Loop.wav", juce::MemoryBlock ("RIFF\x04\0\0\0WAVE", 12) }); // a header, no audio
    const auto pack = tgtest::writePackFolder (temp.folder.getChildFile ("Names"), entries);

    const auto run = runTool ({ "analyse", pack.getFullPathName() });
    ASSERT_EQ (run.exitCode, 0) << run.output;
    const auto lines = jsonLines (run.output);
    ASSERT_EQ (lines.size(), std::size (cases) + 2) << run.output; // every audio file, then the summary

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.path);
        const auto it = std::find_if (lines.begin(), lines.end(), [&] (const juce::var& v) { return v["path"] == juce::var (c.path); });
        ASSERT_NE (it, lines.end());
        EXPECT_EQ ((*it)["verdict"].toString(), c.verdict);
        EXPECT_EQ ((int) (*it)["laneByName"], c.laneByName);
        EXPECT_EQ ((bool) (*it)["primary"], c.primary);
        EXPECT_EQ ((bool) (*it)["fullKit"], c.fullKit);
    }

    const auto broken = std::find_if (lines.begin(), lines.end(), [] (const juce::var& v) { return v["path"] == juce::var ("Broken Loop.wav"); });
    ASSERT_NE (broken, lines.end());
    EXPECT_EQ ((*broken)["verdict"].toString(), "unreadable");

    const auto& summary = lines.back();
    EXPECT_EQ (summary["pack"].toString(), "Names");
    EXPECT_EQ ((int) summary["oneShots"], 1);
    EXPECT_EQ ((int) summary["skipped"], 1);
}

TEST (Cli, RenderedSessionRendersTheSameFromItsSavedState)
{
    tgtest::TempFolder temp ("tapegrub-cli");
    const auto pack = temp.folder.getChildFile ("demo");
    ASSERT_EQ (runTool ({ "make-demo-pack", pack.getFullPathName() }).exitCode, 0);

    const auto first = temp.folder.getChildFile ("first"), second = temp.folder.getChildFile ("second");
    const auto state = temp.folder.getChildFile ("session.tgstate");
    const auto a = runTool ({ "render", pack.getFullPathName(), "--out", first.getFullPathName(), "--seed", "11",
                              "--bars", "2", "--phrases", "1", "--sample-rate", "44100", "--save-state", state.getFullPathName() });
    ASSERT_EQ (a.exitCode, 0) << a.output;
    const auto b = runTool ({ "render", "--state", state.getFullPathName(), "--out", second.getFullPathName(),
                              "--phrases", "1", "--sample-rate", "44100" });
    ASSERT_EQ (b.exitCode, 0) << b.output;

    const auto sa = juce::JSON::parse (a.output), sb = juce::JSON::parse (b.output);
    ASSERT_EQ (sa["lanes"].size(), 7);
    for (int i = 0; i < 7; ++i)
    {
        EXPECT_EQ (sa["lanes"][i]["loop"], sb["lanes"][i]["loop"]) << i;
        EXPECT_EQ (sa["lanes"][i]["semitones"], sb["lanes"][i]["semitones"]) << i;
    }

    // 2 bars at the pack tempo, 32-bit float stereo; the recalled session sounds the same.
    juce::WavAudioFormat wav;
    auto read = [&] (const juce::File& f)
    {
        std::unique_ptr<juce::AudioFormatReader> r (wav.createReaderFor (f.createInputStream().release(), true));
        juce::AudioBuffer<float> buffer;
        if (r != nullptr)
        {
            buffer.setSize ((int) r->numChannels, (int) r->lengthInSamples);
            r->read (&buffer, 0, (int) r->lengthInSamples, 0, true, true);
        }
        return buffer;
    };
    const auto mixA = read (first.getChildFile ("mix.wav")), mixB = read (second.getChildFile ("mix.wav"));
    const double bpm = (double) sa["packBpm"];
    EXPECT_EQ (mixA.getNumSamples(), (int) std::llround (2 * 4 * 60.0 / bpm * 44100.0));
    ASSERT_EQ (mixA.getNumSamples(), mixB.getNumSamples());
    ASSERT_GT (mixA.getMagnitude (0, mixA.getNumSamples()), 0.05f);
    float worst = 0.0f;
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < mixA.getNumSamples(); ++i)
            worst = juce::jmax (worst, std::abs (mixA.getSample (c, i) - mixB.getSample (c, i)));
    EXPECT_LT (worst, 1e-4f);

    // The lane files as the drag-out names them.
    EXPECT_GE (first.findChildFiles (juce::File::findFiles, false, "KICK - *.wav").size(), 1);
}
