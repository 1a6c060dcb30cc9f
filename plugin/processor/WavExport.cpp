// Lane renders written as 16-bit WAV files in the temporary folder, for drag-out into a host.
// Message thread only.
#include "TapegrubProcessor.h"
#include "engine/KeyNames.h"

using namespace tgparams;

namespace
{
// The first of name + suffix, name + " (2)" + suffix, " (3)", ... that does not exist in
// folder; a name already ending in a bracketed number counts on from it. The framework's
// getNonexistentChildFile numbers the same way but without the space ("Kick(2).wav").
juce::File nextFreeChild (const juce::File& folder, const juce::String& name, const juce::String& suffix)
{
    auto file = folder.getChildFile (name + suffix);
    if (! file.exists())
        return file;

    auto prefix = name + " ";
    int number = 1;
    const int open = name.lastIndexOfChar ('('), close = name.lastIndexOfChar (')');
    if (open > 0 && close == name.length() - 1 && close > open + 1
        && name.substring (open + 1, close).containsOnly ("0123456789"))
    {
        number = name.substring (open + 1, close).getIntValue();
        prefix = name.substring (0, open);
    }

    do
        file = folder.getChildFile (prefix + "(" + juce::String (++number) + ")" + suffix);
    while (file.exists());
    return file;
}
} // namespace

int TapegrubProcessor::barsPerPhrase() const noexcept
{
    return juce::jmax (1, readBarsPerPhrase (cache.bars));
}

juce::String TapegrubProcessor::exportName (int lane, bool displayNameWhenEmpty) const
{
    const auto& l = engine.lanes[(size_t) lane];
    juce::String base = l.loopName;
    if (base.isEmpty() && displayNameWhenEmpty)
        base = tg::laneLabel (lane);

    auto name = tg::pitchedExportName (base, laneSemitoneTotal (lane));
    for (auto c : juce::String ("/\\:*?\"<>|"))
        name = name.replaceCharacter (c, '-');
    return name;
}

bool TapegrubProcessor::writeWav16 (const juce::File& file, const juce::AudioBuffer<float>& buffer)
{
    if (buffer.getNumSamples() < 1 || buffer.getNumChannels() < 1)
        return false;

    file.deleteFile();
    auto stream = std::make_unique<juce::FileOutputStream> (file, 32768);
    if (stream->failedToOpen())
        return false;

    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), 44100.0,
                             juce::AudioChannelSet::canonicalChannelSet (buffer.getNumChannels()),
                             16, {}, 0));
    if (writer == nullptr)
        return false;
    stream.release(); // the writer owns it now

    return writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
}

juce::File TapegrubProcessor::writeLaneWavTemp (int lane)
{
    if (lane < 0 || lane >= numLanes || engine.lanes[(size_t) lane].play.getNumSamples() < 1)
        return {};

    auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("TapegrubDrag");
    folder.createDirectory();

    const auto file = nextFreeChild (folder, exportName (lane, true), ".wav");
    return writeWav16 (file, renderLane (lane, barsPerPhrase())) ? file : juce::File();
}

juce::File TapegrubProcessor::writeAllWavsTemp()
{
    auto folder = nextFreeChild (juce::File::getSpecialLocation (juce::File::tempDirectory), "Tapegrub Loops", {});
    folder.createDirectory();

    int count = 0;
    for (int lane = 0; lane < numLanes; ++lane)
    {
        if (engine.lanes[(size_t) lane].play.getNumSamples() < 1)
            continue;

        const auto file = folder.getChildFile (juce::String (tg::laneLabel (lane)) + " - " + exportName (lane, false) + ".wav");
        if (writeWav16 (file, renderLane (lane, barsPerPhrase())))
            ++count;
    }

    if (count > 0)
        return folder;

    folder.deleteRecursively();
    return {};
}
