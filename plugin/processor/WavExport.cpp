// Lane renders written as 16-bit WAV files in the temporary folder, for drag-out into a host.
// Message thread only.
#include "TapegrubProcessor.h"
#include "engine/KeyNames.h"

using namespace tgparams;

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

    const auto file = folder.getNonexistentChildFile (exportName (lane, true), ".wav", true);
    return writeWav16 (file, renderLane (lane, barsPerPhrase())) ? file : juce::File();
}

juce::File TapegrubProcessor::writeAllWavsTemp()
{
    auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                      .getNonexistentChildFile ("Tapegrub Loops", {}, true);
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
