// Pack reading: the folder and archive scans of the loader's worker and the decoder.
#include "PackReader.h"

namespace tg
{
namespace
{
constexpr float kReadingShare = 0.45f; // of the load's progress bar; ingest owns the rest
constexpr int kDecodeBlock = 65536;    // samples per channel read at a time

bool shouldCancel (const std::shared_ptr<std::atomic<bool>>& cancel)
{
    return cancel != nullptr && cancel->load();
}

// Counts the wanted entries first so that progress has a denominator, then decodes them.
// entryCount/nameOf/isWanted/openEntry abstract over folders and archives.
template <typename NameOf, typename IsWanted, typename OpenEntry>
bool decodeEntries (int entryCount, NameOf&& nameOf, IsWanted&& isWanted, OpenEntry&& openEntry,
                    const std::shared_ptr<std::atomic<bool>>& cancel,
                    const std::function<void (float, const juce::String&)>& progress,
                    PackContents& out)
{
    int wanted = 0;

    for (int i = 0; i < entryCount; ++i)
        if (isWanted (i))
            ++wanted;

    int decoded = 0;

    for (int i = 0; i < entryCount; ++i)
    {
        if (shouldCancel (cancel))
            return false;

        if (! isWanted (i))
            continue;

        const auto name = nameOf (i);
        out.scanned.add (name);

        juce::AudioBuffer<float> audio;
        double rate = 0.0;

        if (! decodeToStereo (openEntry (i), audio, rate))
        {
            out.failed.add (name);
            continue;
        }

        out.files.emplace_back (name, std::move (audio));
        out.rates.push_back (rate);

        if (progress && wanted > 0)
            progress ((float) (decoded + 1) * kReadingShare / (float) wanted, "READING LOOPS");

        ++decoded;
    }

    return true;
}
} // namespace

bool isJunkPath (const juce::String& relativePath)
{
    if (relativePath.startsWith ("__MACOSX"))
        return true;

    juce::StringArray parts;
    parts.addTokens (relativePath.replaceCharacter ('\\', '/'), "/", "");

    for (const auto& part : parts)
        if (part.startsWithChar ('.'))
            return true;

    return false;
}

bool hasAudioExtension (const juce::String& name)
{
    const auto lower = name.toLowerCase();

    for (auto* extension : { ".wav", ".aif", ".aiff", ".mp3", ".flac", ".ogg" })
        if (lower.endsWith (extension))
            return true;

    return false;
}

juce::AudioFormatManager& formats()
{
    // Both statics are initialised once, thread-safely, in this order.
    static juce::AudioFormatManager manager;
    [[maybe_unused]] static const bool registered = (manager.registerBasicFormats(), true);
    return manager;
}

bool decodeToStereo (std::unique_ptr<juce::InputStream> stream,
                     juce::AudioBuffer<float>& buffer, double& sampleRate)
{
    if (stream == nullptr)
        return false;

    // Each format is tried in turn on the rewound stream; the manager frees it on failure.
    std::unique_ptr<juce::AudioFormatReader> reader (formats().createReaderFor (std::move (stream)));

    if (reader == nullptr)
        return false;

    const int channels = (int) reader->numChannels;
    const auto length = std::min<juce::int64> (reader->lengthInSamples, kMaxDecodeSamples);
    const double rate = reader->sampleRate;

    if (channels < 1 || length < 1 || ! (rate > 0.0))
        return false;

    const int total = (int) length;
    juce::AudioBuffer<float> stereo (2, total);
    stereo.clear();

    // Read in blocks and fold as we go, so that a many-channel or huge file costs only the
    // stereo result plus one block of scratch.
    const int block = std::min (total, kDecodeBlock);
    juce::AudioBuffer<float> scratch (channels, block);
    const float extraGain = channels > 2 ? 0.7071f / (float) (channels - 1) : 0.0f;

    for (int start = 0; start < total; start += block)
    {
        const int count = std::min (block, total - start);
        scratch.clear();
        reader->read (scratch.getArrayOfWritePointers(), channels, start, count);

        stereo.copyFrom (0, start, scratch, 0, 0, count);
        stereo.copyFrom (1, start, scratch, channels > 1 ? 1 : 0, 0, count);

        for (int extra = 2; extra < channels; ++extra)
        {
            stereo.addFrom (0, start, scratch, extra, 0, count, extraGain);
            stereo.addFrom (1, start, scratch, extra, 0, count, extraGain);
        }
    }

    buffer = std::move (stereo);
    sampleRate = rate;
    return true;
}

bool readPack (const juce::File& pack, bool isFolder,
               const std::shared_ptr<std::atomic<bool>>& cancel,
               const std::function<void (float, const juce::String&)>& progress,
               PackContents& out)
{
    if (isFolder)
    {
        if (pack.getFullPathName().isEmpty() || ! pack.isDirectory())
            return false;

        // Directory-scan order, deliberately unsorted: it is the order ingest sees the files.
        const auto found = pack.findChildFiles (juce::File::findFiles, true, "*");
        juce::StringArray relative;

        for (const auto& file : found)
            relative.add (file.getRelativePathFrom (pack).replaceCharacter ('\\', '/'));

        auto isWanted = [&] (int i)
        {
            return ! found.getReference (i).isHidden() && ! isJunkPath (relative[i])
                   && hasAudioExtension (found.getReference (i).getFileName());
        };

        auto open = [&] (int i) -> std::unique_ptr<juce::InputStream>
        {
            auto stream = found.getReference (i).createInputStream();
            return stream != nullptr && stream->openedOk() ? std::move (stream) : nullptr;
        };

        out.packName = pack.getFileName();
        return decodeEntries (found.size(), [&] (int i) { return relative[i]; }, isWanted, open,
                              cancel, progress, out);
    }

    juce::ZipFile zip (pack); // an unreadable or non-zip file simply has no entries
    const int entries = zip.getNumEntries();

    auto nameOf = [&] (int i) { return zip.getEntry (i)->filename; };

    auto isWanted = [&] (int i)
    {
        const auto name = zip.getEntry (i)->filename.replaceCharacter ('\\', '/');
        return ! name.endsWithChar ('/') && ! isJunkPath (name) && hasAudioExtension (name);
    };

    auto open = [&] (int i) { return std::unique_ptr<juce::InputStream> (zip.createStreamForEntry (i)); };

    out.packName = pack.getFileNameWithoutExtension();
    return decodeEntries (entries, nameOf, isWanted, open, cancel, progress, out);
}
} // namespace tg
