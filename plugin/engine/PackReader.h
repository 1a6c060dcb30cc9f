#pragma once
// Reading a pack (a folder searched recursively, or a zip archive) into decoded stereo
// buffers for ingest. Everything here may run on any thread; the loader runs it on its
// worker. Undecodable files are skipped, never fatal: a corrupt, truncated or empty file
// gives no buffer, and a huge one is cut to kMaxDecodeSamples.
#include <juce_audio_formats/juce_audio_formats.h>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tg
{
// Longest decode per channel, in samples (about 25 minutes at 44.1 kHz).
constexpr int kMaxDecodeSamples = 67108864;

// The relative path (or zip entry name) is macOS or dot-file clutter: it starts with
// "__MACOSX", or any "/"-separated component starts with "." (backslashes read as "/").
bool isJunkPath (const juce::String& relativePath);

// The name ends in .wav, .aif, .aiff, .mp3, .flac or .ogg, in any letter case.
bool hasAudioExtension (const juce::String& name);

// The decoder's format manager with the basic formats (WAV, AIFF, FLAC, Ogg Vorbis, MP3).
// Made on first use, thread-safely, and kept for the life of the program. Readers may be
// created from it on several threads at once.
juce::AudioFormatManager& formats();

// Decodes a whole stream to two channels: mono is duplicated, channels 0 and 1 become left
// and right, and every further channel is added to both sides at 0.7071 / (channels - 1).
// Takes ownership of the stream (null allowed). False, with buffer and rate untouched, when
// no format reads it or it holds no samples.
bool decodeToStereo (std::unique_ptr<juce::InputStream> stream,
                     juce::AudioBuffer<float>& buffer, double& sampleRate);

// What a pack yields for ingest, in the order the folder scan or the archive lists it.
struct PackContents
{
    std::vector<std::pair<juce::String, juce::AudioBuffer<float>>> files; // relative path, stereo audio
    std::vector<double> rates;                                             // one per file, Hz
    juce::String packName;          // folder name, or archive name without extension
    juce::StringArray failed;       // supported, non-junk files that did not decode
    juce::StringArray scanned;      // every supported, non-junk path, decoded or not, in order
};

// Reads a folder (recursively) or a zip archive. Reports ("READING LOOPS", fraction) after
// each decoded file, the fraction rising to 0.45 over the supported files found. False when
// a folder pack is not an existing directory or the cancel flag was seen; an archive that
// is unreadable or holds no audio gives true with no files (ingest then rejects the pack).
bool readPack (const juce::File& pack, bool isFolder,
               const std::shared_ptr<std::atomic<bool>>& cancel,
               const std::function<void (float, const juce::String&)>& progress,
               PackContents& out);
} // namespace tg
