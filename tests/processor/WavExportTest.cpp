// Lane export to WAV: length from bars and tempo, the 16-bit 44.1 kHz format read back with
// the framework's own reader, export names, numbered repeats and the all-lanes folder.
#include "engine/Lanes.h"
#include "support/ProcessorRig.h"

namespace
{
struct WavFile
{
    double sampleRate = 0.0;
    int bits = 0, channels = 0;
    juce::int64 frames = 0;
    juce::AudioBuffer<float> audio;
};

WavFile readWav (const juce::File& file)
{
    WavFile wav;
    juce::WavAudioFormat format;
    std::unique_ptr<juce::AudioFormatReader> reader (format.createReaderFor (file.createInputStream().release(), true));
    if (reader == nullptr)
        return wav;
    wav.sampleRate = reader->sampleRate;
    wav.bits = (int) reader->bitsPerSample;
    wav.channels = (int) reader->numChannels;
    wav.frames = reader->lengthInSamples;
    wav.audio.setSize (wav.channels, (int) wav.frames);
    reader->read (&wav.audio, 0, (int) wav.frames, 0, true, true);
    return wav;
}

// A name no earlier run or other test left in the shared temporary folders.
juce::String uniqueToken()
{
    return juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()).substring (0, 10);
}

void installTone (TapegrubProcessor& p, int lane, const juce::String& name)
{
    tgtest::installLoop (p, lane, tgtest::makeBuffer (2 * 88200, [] (int c, int i) { return (0.4 + 0.1 * c) * std::sin (i * 0.05); }),
                         44100.0, 120.0, 2, name);
}

juce::File tempChild (const juce::String& name)
{
    return juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile (name);
}

int countLoopFolders()
{
    return juce::File::getSpecialLocation (juce::File::tempDirectory)
        .getNumberOfChildFiles (juce::File::findDirectories, "Tapegrub Loops*");
}
} // namespace

TEST (WavExport, LaneFileLengthFollowsBarsAndTempo)
{
    struct Case
    {
        const char* name;
        float barsIndex;
        double hostBpm, packBpm;
        int frames;
    };
    const Case cases[] {
        { "4 bars at 120 BPM from the host", 2, 120.0, 90.0, 352800 },
        { "1 bar, no host or pack tempo: 125 BPM", 0, 0.0, 0.0, 84672 },
        { "2 bars at the pack's 100 BPM", 1, 0.0, 100.0, 211680 },
        { "8 bars at 140 BPM from the host", 3, 140.0, 0.0, 604800 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        tgtest::Rig rig (48000.0); // the file says 44.1 kHz whatever the host runs at
        auto& p = rig.processor;
        installTone (p, tg::clap, "Export " + uniqueToken());
        tgtest::setParam (p, "bars", c.barsIndex);
        p.hostBpm = c.hostBpm;
        p.engine.packBpm = c.packBpm;

        const auto file = p.writeLaneWavTemp (tg::clap);
        ASSERT_TRUE (file.existsAsFile()) << file.getFullPathName();
        EXPECT_EQ (file.getParentDirectory(), tempChild ("TapegrubDrag"));

        const auto wav = readWav (file);
        EXPECT_EQ (wav.sampleRate, 44100.0);
        EXPECT_EQ (wav.bits, 16);
        EXPECT_EQ (wav.channels, 2);
        EXPECT_EQ (wav.frames, c.frames);

        // The samples are the lane's own render, to 16-bit precision.
        const auto render = p.renderLane (tg::clap, p.barsPerPhrase());
        ASSERT_EQ (render.getNumSamples(), c.frames);
        float worst = 0.0f;
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < c.frames; i += 37)
                worst = std::max (worst, std::abs (wav.audio.getSample (ch, i) - render.getSample (ch, i)));
        EXPECT_LT (worst, 1.5f / 32768.0f);
        EXPECT_GT (wav.audio.getMagnitude (0, c.frames), 0.05f);
        file.deleteFile();
    }
}

TEST (WavExport, ExportNamesCarryTranspositionAndLoseUnsafeCharacters)
{
    struct Case
    {
        int lane;
        const char* loop;
        int dialSemis, autoSemi;
        const char* expected;
    };
    const Case cases[] {
        { tg::kick, "a/b\\c:d*e?f\"g<h>i|j", 0, 0, "a-b-c-d-e-f-g-h-i-j" },
        { tg::lead, "Lead Pluck Am 120bpm", 1, 1, "Lead Pluck Am 120bpm_pitched_to_Bm" },
        { tg::lead, "Lead Pluck Am 120bpm", -2, 2, "Lead Pluck Am 120bpm" },
        { tg::bass, "Bass F#m 120bpm", 1, 0, "Bass F#m 120bpm_pitched_to_Gm" },
        { tg::perc1, "Conga: Loop", 3, 0, "Conga- Loop" }, // no key to move
    };
    for (const auto& c : cases)
    {
        tgtest::Rig rig;
        auto& p = rig.processor;
        installTone (p, c.lane, c.loop);
        tgtest::setParam (p, TapegrubProcessor::fxId (c.lane, 0), 0.5f + (float) c.dialSemis / 24.0f);
        p.engine.lanes[(size_t) c.lane].autoSemi = c.autoSemi;
        EXPECT_EQ (p.exportName (c.lane, true), c.expected) << c.loop;
    }
}

TEST (WavExport, RepeatedLaneExportsAreNumbered)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    const auto token = uniqueToken();
    p.hostBpm = 120.0;
    installTone (p, tg::kick, "Kick/Loop:" + token);

    juce::StringArray names;
    for (int i = 0; i < 3; ++i)
    {
        const auto file = p.writeLaneWavTemp (tg::kick);
        EXPECT_EQ (readWav (file).frames, 352800);
        names.add (file.getFileName());
    }
    const auto stem = "Kick-Loop-" + token;
    EXPECT_EQ (names, juce::StringArray (stem + ".wav", stem + " (2).wav", stem + " (3).wav"));

    // A name that already ends in a number in brackets counts on from it.
    installTone (p, tg::clap, "Clap " + token + " (7)");
    names.add (p.writeLaneWavTemp (tg::clap).getFileName());
    names.add (p.writeLaneWavTemp (tg::clap).getFileName());
    EXPECT_EQ (names[3], "Clap " + token + " (7).wav");
    EXPECT_EQ (names[4], "Clap " + token + " (8).wav");

    for (const auto& name : names)
        EXPECT_TRUE (tempChild ("TapegrubDrag").getChildFile (name).deleteFile()) << name;

    // Nothing to play: nothing written.
    EXPECT_EQ (p.writeLaneWavTemp (tg::hats).getFullPathName(), "");
    EXPECT_EQ (p.writeLaneWavTemp (-1).getFullPathName(), "");
}

TEST (WavExport, EmptyLoopNameExportsUnderTheLaneName)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    installTone (p, tg::perc1, "unused");
    p.engine.lanes[tg::perc1].loopName = {};

    const auto file = p.writeLaneWavTemp (tg::perc1);
    const auto stem = file.getFileNameWithoutExtension();
    EXPECT_TRUE (stem == "PERC 1" || (stem.startsWith ("PERC 1 (") && stem.endsWithChar (')'))) << stem;
    EXPECT_EQ (file.getFileExtension(), ".wav");
    file.deleteFile();

    const auto folder = p.writeAllWavsTemp();
    ASSERT_TRUE (folder.isDirectory());
    const auto files = folder.findChildFiles (juce::File::findFiles, false);
    ASSERT_EQ (files.size(), 1);
    EXPECT_EQ (files[0].getFileName(), "PERC 1 - .wav");
    folder.deleteRecursively();
}

TEST (WavExport, AllLanesWritesOneFilePerLaneWithALoop)
{
    const int foldersBefore = countLoopFolders();
    {
        tgtest::Rig rig;
        EXPECT_EQ (rig.processor.writeAllWavsTemp().getFullPathName(), "") << "no lane, no folder";
    }
    EXPECT_EQ (countLoopFolders(), foldersBefore) << "the empty folder is removed";

    tgtest::Rig rig;
    auto& p = rig.processor;
    p.hostBpm = 120.0;
    installTone (p, tg::lead, "Lead Pluck Am 120bpm");
    const auto leadOnly = p.writeAllWavsTemp();
    ASSERT_TRUE (leadOnly.isDirectory());
    EXPECT_TRUE (leadOnly.getFileName().startsWith ("Tapegrub Loops"));
    EXPECT_EQ (leadOnly.getParentDirectory(), juce::File::getSpecialLocation (juce::File::tempDirectory));
    auto files = leadOnly.findChildFiles (juce::File::findFiles, false);
    ASSERT_EQ (files.size(), 1);
    EXPECT_TRUE (files[0].getFileName().startsWith ("LEAD - "));
    EXPECT_EQ (files[0].getFileName(), "LEAD - Lead Pluck Am 120bpm.wav");
    EXPECT_EQ (readWav (files[0]).frames, 352800);

    installTone (p, tg::kick, "Kick Loop");
    const auto both = p.writeAllWavsTemp();
    EXPECT_NE (both, leadOnly) << "every export gets a folder of its own";
    files = both.findChildFiles (juce::File::findFiles, false, "*.wav");
    juce::StringArray names;
    for (const auto& f : files)
        names.add (f.getFileName());
    names.sort (false);
    EXPECT_EQ (names, juce::StringArray ({ "KICK - Kick Loop.wav", "LEAD - Lead Pluck Am 120bpm.wav" }));
    leadOnly.deleteRecursively();
    both.deleteRecursively();
}

TEST (WavExport, WriteWav16ClipsAndRefusesWhatItCannotWrite)
{
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("tapegrub-wav", "", false);
    ASSERT_TRUE (folder.createDirectory());
    const auto file = folder.getChildFile ("clip.wav");

    const float values[] { 0.5f, 1.5f, -2.0f, -0.25f, 0.0f };
    const auto buffer = tgtest::makeBuffer (5, [&] (int c, int i) { return c == 0 ? values[i] : -values[i]; });
    ASSERT_TRUE (TapegrubProcessor::writeWav16 (file, buffer));
    const auto wav = readWav (file);
    ASSERT_EQ (wav.frames, 5);
    EXPECT_EQ (wav.sampleRate, 44100.0);
    constexpr float top = 32767.0f / 32768.0f;
    const float left[] { 0.5f, top, -1.0f, -0.25f, 0.0f };
    const float right[] { -0.5f, -1.0f, top, 0.25f, 0.0f };
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_NEAR (wav.audio.getSample (0, i), left[i], 1.0f / 32768.0f) << i;
        EXPECT_NEAR (wav.audio.getSample (1, i), right[i], 1.0f / 32768.0f) << i;
    }

    // A mono buffer makes a mono file; an existing file is replaced, not appended to.
    juce::AudioBuffer<float> mono (1, 3);
    mono.clear();
    ASSERT_TRUE (TapegrubProcessor::writeWav16 (file, mono));
    EXPECT_EQ (readWav (file).channels, 1);
    EXPECT_EQ (readWav (file).frames, 3);

    // An empty buffer leaves the file alone; a folder cannot be written.
    const auto kept = folder.getChildFile ("kept.wav");
    ASSERT_TRUE (kept.replaceWithText ("keep"));
    EXPECT_FALSE (TapegrubProcessor::writeWav16 (kept, juce::AudioBuffer<float> (2, 0)));
    EXPECT_EQ (kept.loadFileAsString(), "keep");
    EXPECT_FALSE (TapegrubProcessor::writeWav16 (folder, buffer));
    folder.deleteRecursively();
}
