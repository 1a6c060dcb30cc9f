// Pack reading: which paths count, decoding every supported format to stereo, surviving bad
// files, folder and archive packs with clutter, and the demo pack sorting as intended.
#include "engine/DemoPack.h"
#include "engine/LoopEngine.h"
#include "engine/PackReader.h"
#include "support/PackFixtures.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

namespace
{
using tg::demo::Drum;

using tgtest::TempFolder;

juce::AudioBuffer<float> tones (int channels, int samples, double sampleRate)
{
    juce::AudioBuffer<float> audio (channels, samples);

    for (int ch = 0; ch < channels; ++ch)
        for (int i = 0; i < samples; ++i)
            audio.setSample (ch, i, (float) (0.1 * (ch + 1) * std::sin (juce::MathConstants<double>::twoPi
                                                                        * (220.0 + 110.0 * ch) * i / sampleRate)));

    return audio;
}

juce::MemoryBlock encode (juce::AudioFormat& format, const juce::AudioBuffer<float>& audio, double sampleRate,
                          int bits, int quality = 0)
{
    juce::MemoryBlock block;

    {
        std::unique_ptr<juce::AudioFormatWriter> writer (
            format.createWriterFor (new juce::MemoryOutputStream (block, false), sampleRate,
                                    (unsigned int) audio.getNumChannels(), bits, {}, quality));

        if (writer == nullptr)
            return {};

        writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples());
    }

    return block;
}

std::unique_ptr<juce::InputStream> streamOf (const juce::MemoryBlock& bytes)
{
    return std::make_unique<juce::MemoryInputStream> (bytes, true);
}

juce::MemoryBlock prefix (const juce::MemoryBlock& bytes, size_t count)
{
    return juce::MemoryBlock (bytes.getData(), std::min (count, bytes.getSize()));
}

double rms (const float* x, int n)
{
    double sum = 0.0;

    for (int i = 0; i < n; ++i)
        sum += (double) x[i] * x[i];

    return n > 0 ? std::sqrt (sum / n) : 0.0;
}

juce::MemoryBlock kickWav()
{
    return tg::demo::wavBytes (tg::demo::drumPattern (Drum::kick, "X...X...X...X...", 120.0, 2),
                               tg::demo::kSampleRate);
}
} // namespace

TEST (PackReaderPaths, JunkAndExtensions)
{
    const std::pair<const char*, bool> junk[] {
        { "__MACOSX/._Kick.wav", true },
        { "__MACOSX/Drums/Kick.wav", true },
        { "Drums/.hidden/Hat.wav", true },
        { ".hidden/Hat.wav", true },
        { "Drums/._Kick.wav", true },
        { "Drums\\._Kick.wav", true },
        { ".DS_Store", true },
        { "Drums/Kick.wav", false },
        { "Drums/Kick.v2.wav", false },
        { "Loops/__MACOSX.wav", false },
        { "Loop.s/Kick.wav", false },
    };

    for (const auto& [path, isJunk] : junk)
        EXPECT_EQ (tg::isJunkPath (path), isJunk) << path;

    const std::pair<const char*, bool> extensions[] {
        { "Kick.wav", true }, { "Drums/Kick.WAV", true }, { "a.aif", true }, { "a.AIFF", true },
        { "a.mp3", true },    { "a.Flac", true },         { "a.ogg", true }, { "a.wav.txt", false },
        { "a.m4a", false },   { "Kickwav", false },       { "notes.txt", false }, { "", false },
    };

    for (const auto& [name, supported] : extensions)
        EXPECT_EQ (tg::hasAudioExtension (name), supported) << name;
}

TEST (PackReaderDecode, EveryBasicFormatDecodesToStereo)
{
    constexpr double rate = 48000.0;
    constexpr int length = 24000;
    const auto source = tones (2, length, rate);

    juce::WavAudioFormat wav;
    juce::AiffAudioFormat aiff;
    juce::FlacAudioFormat flac;
    juce::OggVorbisAudioFormat ogg;

    struct Case
    {
        const char* name;
        juce::AudioFormat& format;
        int bits;
        int quality;
        bool lossless;
    };

    const Case cases[] {
        { "wav 16", wav, 16, 0, true },
        { "wav 24", wav, 24, 0, true },
        { "aiff 24", aiff, 24, 0, true },
        { "flac 16", flac, 16, 0, true },
        { "flac 24", flac, 24, 0, true },
        { "ogg vorbis", ogg, 16, 6, false },
    };

    for (const auto& c : cases)
    {
        const auto bytes = encode (c.format, source, rate, c.bits, c.quality);
        ASSERT_GT (bytes.getSize(), 0u) << c.name;

        juce::AudioBuffer<float> decoded;
        double decodedRate = 0.0;
        ASSERT_TRUE (tg::decodeToStereo (streamOf (bytes), decoded, decodedRate)) << c.name;
        EXPECT_EQ (decodedRate, rate) << c.name;
        EXPECT_EQ (decoded.getNumChannels(), 2) << c.name;

        if (c.lossless)
        {
            ASSERT_EQ (decoded.getNumSamples(), length) << c.name;
            for (int ch = 0; ch < 2; ++ch)
                for (int i = 0; i < length; i += 97)
                    ASSERT_NEAR (decoded.getSample (ch, i), source.getSample (ch, i), 1.0e-4) << c.name << " ch " << ch << " at " << i;
        }
        else
        {
            EXPECT_NEAR (decoded.getNumSamples(), length, 2048) << c.name;
            const int n = std::min (decoded.getNumSamples(), length);
            for (int ch = 0; ch < 2; ++ch)
                EXPECT_NEAR (rms (decoded.getReadPointer (ch), n) / rms (source.getReadPointer (ch), n), 1.0, 0.1) << c.name;
        }
    }
}

TEST (PackReaderDecode, MonoIsDuplicatedAndExtraChannelsFoldIntoBothSides)
{
    juce::WavAudioFormat wav;
    constexpr double rate = 44100.0;
    constexpr int length = 4410;

    // Mono: the one channel on both sides.
    const auto mono = tones (1, length, rate);
    juce::AudioBuffer<float> decoded;
    double decodedRate = 0.0;
    ASSERT_TRUE (tg::decodeToStereo (streamOf (encode (wav, mono, rate, 24)), decoded, decodedRate));
    ASSERT_EQ (decoded.getNumChannels(), 2);
    ASSERT_EQ (decoded.getNumSamples(), length);

    for (int i = 0; i < length; ++i)
    {
        ASSERT_EQ (decoded.getSample (0, i), decoded.getSample (1, i));
        ASSERT_NEAR (decoded.getSample (0, i), mono.getSample (0, i), 1.0e-6);
    }

    // Six channels: 0 left, 1 right, and 0.7071 / 5 of each of 2..5 on both.
    const auto six = tones (6, length, rate);
    ASSERT_TRUE (tg::decodeToStereo (streamOf (encode (wav, six, rate, 24)), decoded, decodedRate));
    ASSERT_EQ (decoded.getNumChannels(), 2);
    ASSERT_EQ (decoded.getNumSamples(), length);
    const double gain = 0.7071 / 5.0;

    for (int i = 0; i < length; ++i)
    {
        double extra = 0.0;
        for (int ch = 2; ch < 6; ++ch)
            extra += six.getSample (ch, i);

        ASSERT_NEAR (decoded.getSample (0, i), six.getSample (0, i) + gain * extra, 1.0e-5) << i;
        ASSERT_NEAR (decoded.getSample (1, i), six.getSample (1, i) + gain * extra, 1.0e-5) << i;
    }
}

TEST (PackReaderDecode, BadStreamsFailOrStayShort)
{
    const auto good = kickWav();
    juce::MemoryBlock garbage (8192);
    juce::Random noise (4);
    noise.fillBitsRandomly (garbage.getData(), garbage.getSize());

    juce::WavAudioFormat wav;
    const auto headerOnly = encode (wav, juce::AudioBuffer<float> (2, 0), 44100.0, 16);

    struct Case
    {
        const char* name;
        std::unique_ptr<juce::InputStream> stream;
        bool mayDecode; // a truncated body may decode, but never to more than the header says
    };

    std::vector<Case> cases;
    cases.push_back ({ "null", nullptr, false });
    cases.push_back ({ "empty", streamOf ({}), false });
    cases.push_back ({ "garbage", streamOf (garbage), true });
    cases.push_back ({ "header only", streamOf (headerOnly), false });
    cases.push_back ({ "cut inside the header", streamOf (prefix (good, 30)), false });
    cases.push_back ({ "cut inside the data", streamOf (prefix (good, 5000)), true });

    for (auto& c : cases)
    {
        juce::AudioBuffer<float> buffer (2, 7);
        double rate = 123.0;
        const bool ok = tg::decodeToStereo (std::move (c.stream), buffer, rate);

        if (! ok)
        {
            // Failure leaves the outputs alone.
            EXPECT_EQ (buffer.getNumSamples(), 7) << c.name;
            EXPECT_EQ (rate, 123.0) << c.name;
            continue;
        }

        EXPECT_TRUE (c.mayDecode) << c.name;
        EXPECT_EQ (buffer.getNumChannels(), 2) << c.name;
        EXPECT_LE (buffer.getNumSamples(), tg::demo::loopLength (120.0, 2)) << c.name;
        EXPECT_GT (rate, 0.0) << c.name;
    }
}

namespace
{
// A pack with two good loops among clutter: macOS and dot-file junk (valid audio inside), a
// text file, a WAV cut inside its header and an empty file.
std::vector<std::pair<juce::String, juce::MemoryBlock>> clutteredPack()
{
    const auto good = kickWav();
    return {
        { "__MACOSX/._Kick.wav", good },
        { "Drums/.hidden/Hat.wav", good },
        { "Drums/._Kick.wav", prefix (good, 120) },
        { "Drums/Kick.WAV", good },
        { "notes.txt", juce::MemoryBlock ("not audio", 9) },
        { "Drums/Truncated.wav", prefix (good, 30) },
        { "Drums/Empty.wav", {} },
        { "Bass/Bass Loop 120bpm.wav", good },
    };
}

const std::set<juce::String> kGood { "Drums/Kick.WAV", "Bass/Bass Loop 120bpm.wav" };
const std::set<juce::String> kFailed { "Drums/Truncated.wav", "Drums/Empty.wav" };

std::set<juce::String> asSet (const juce::StringArray& a) { return { a.begin(), a.end() }; }

std::set<juce::String> pathsOf (const tg::PackContents& contents)
{
    std::set<juce::String> paths;

    for (const auto& [path, audio] : contents.files)
        paths.insert (path);

    return paths;
}
} // namespace

TEST (PackReaderPack, FolderSkipsClutterAndBadFiles)
{
    TempFolder temp;
    const auto pack = temp.folder.getChildFile ("My Pack");

    for (const auto& [path, bytes] : clutteredPack())
    {
        const auto file = pack.getChildFile (path);
        ASSERT_TRUE (file.getParentDirectory().createDirectory());
        ASSERT_TRUE (bytes.isEmpty() ? file.create().wasOk() : file.replaceWithData (bytes.getData(), bytes.getSize()));
    }

    std::vector<std::pair<float, juce::String>> reports;
    tg::PackContents contents;
    ASSERT_TRUE (tg::readPack (pack, true, nullptr,
                               [&] (float f, const juce::String& m) { reports.emplace_back (f, m); }, contents));

    EXPECT_EQ (contents.packName, "My Pack");
    EXPECT_EQ (pathsOf (contents), kGood);
    EXPECT_EQ (asSet (contents.failed), kFailed);
    EXPECT_EQ (contents.scanned.size(), 4);
    ASSERT_EQ (contents.rates.size(), contents.files.size());

    for (size_t i = 0; i < contents.files.size(); ++i)
    {
        EXPECT_EQ (contents.rates[i], tg::demo::kSampleRate);
        EXPECT_EQ (contents.files[i].second.getNumChannels(), 2);
        EXPECT_EQ (contents.files[i].second.getNumSamples(), tg::demo::loopLength (120.0, 2));
    }

    // Four supported files found; two decoded, so reading ends below 0.45.
    ASSERT_EQ (reports.size(), 2u);
    EXPECT_FLOAT_EQ (reports[0].first, 0.45f / 4.0f);
    EXPECT_FLOAT_EQ (reports[1].first, 2.0f * 0.45f / 4.0f);
    EXPECT_EQ (reports[0].second, "READING LOOPS");
}

TEST (PackReaderPack, ArchiveSkipsClutterAndKeepsArchiveOrder)
{
    TempFolder temp;
    const auto zip = temp.folder.getChildFile ("Zipped Pack.zip");
    auto entries = clutteredPack();
    entries.insert (entries.begin(), { "Drums/", {} }); // a folder entry
    ASSERT_TRUE (tg::demo::writeZip (zip, entries));

    tg::PackContents contents;
    ASSERT_TRUE (tg::readPack (zip, false, nullptr, nullptr, contents));
    EXPECT_EQ (contents.packName, "Zipped Pack");
    ASSERT_EQ (contents.files.size(), 2u);
    EXPECT_EQ (contents.files[0].first, "Drums/Kick.WAV");
    EXPECT_EQ (contents.files[1].first, "Bass/Bass Loop 120bpm.wav");
    EXPECT_EQ (asSet (contents.failed), kFailed);
    EXPECT_EQ (contents.scanned,
               juce::StringArray ({ "Drums/Kick.WAV", "Drums/Truncated.wav", "Drums/Empty.wav", "Bass/Bass Loop 120bpm.wav" }));

    // The two decoded loops survive ingest: KICK by name, and BASS.
    tg::LoopEngine engine;
    ASSERT_TRUE (engine.ingest (contents.files, contents.rates, contents.packName));
    EXPECT_EQ (engine.lanes[tg::kick].loopName, "Kick");
    EXPECT_EQ (engine.lanes[tg::bass].loopName, "Bass Loop 120bpm");
    EXPECT_EQ (engine.packName, "Zipped Pack");
}

TEST (PackReaderPack, MissingFolderNonZipAndCancel)
{
    TempFolder temp;
    const auto textFile = temp.folder.getChildFile ("not a zip.zip");
    ASSERT_TRUE (textFile.replaceWithText ("hello"));
    const auto folder = temp.folder.getChildFile ("Loops");
    ASSERT_TRUE (tg::demo::writeWav (folder.getChildFile ("Kick Loop.wav"),
                                     tg::demo::drumPattern (Drum::kick, "X...", 120.0, 1), tg::demo::kSampleRate));

    tg::PackContents contents;
    EXPECT_FALSE (tg::readPack (temp.folder.getChildFile ("missing"), true, nullptr, nullptr, contents));
    EXPECT_FALSE (tg::readPack (juce::File(), true, nullptr, nullptr, contents));
    EXPECT_FALSE (tg::readPack (textFile, true, nullptr, nullptr, contents));
    EXPECT_TRUE (tg::readPack (textFile, false, nullptr, nullptr, contents));
    EXPECT_TRUE (contents.files.empty());

    const auto cancel = std::make_shared<std::atomic<bool>> (true);
    EXPECT_FALSE (tg::readPack (folder, true, cancel, nullptr, contents));
    EXPECT_TRUE (contents.files.empty());

    cancel->store (false);
    EXPECT_TRUE (tg::readPack (folder, true, cancel, nullptr, contents));
    EXPECT_EQ (contents.files.size(), 1u);
}

TEST (DemoPack, IsDeterministicAndSmall)
{
    const auto a = tg::demo::demoPackFiles();
    const auto b = tg::demo::demoPackFiles();
    ASSERT_EQ (a.size(), b.size());
    size_t bytes = 0;

    for (size_t i = 0; i < a.size(); ++i)
    {
        const auto wavA = tg::demo::wavBytes (a[i].audio, tg::demo::kSampleRate);
        EXPECT_EQ (wavA, tg::demo::wavBytes (b[i].audio, tg::demo::kSampleRate)) << a[i].path;
        EXPECT_LT (a[i].audio.getMagnitude (0, a[i].audio.getNumSamples()), 1.0f) << a[i].path; // no clipping
        bytes += wavA.getSize();
    }

    EXPECT_LT (bytes, (size_t) 20 * 1024 * 1024);
}

TEST (DemoPack, SortsAsIntendedFromDisk)
{
    TempFolder temp;
    const auto pack = temp.folder.getChildFile ("Tapegrub Demo");
    ASSERT_TRUE (tg::demo::writeDemoPack (pack));

    tg::PackContents contents;
    ASSERT_TRUE (tg::readPack (pack, true, nullptr, nullptr, contents));
    EXPECT_TRUE (contents.failed.isEmpty());

    tg::LoopEngine engine;
    ASSERT_TRUE (engine.ingest (contents.files, contents.rates, contents.packName));

    using V = tg::IngestRecord::Verdict;
    const std::map<juce::String, std::pair<V, int>> expected {
        { "Drums/Kick Loop 120bpm.wav", { V::loop, tg::kick } },
        { "Drums/Kick Loop Broken 120bpm.wav", { V::loop, tg::kick } },
        { "Drums/Kick Loop Skippy 124bpm.wav", { V::loop, tg::kick } },
        { "Drums/Hats Loop 124.wav", { V::loop, tg::hats } },
        { "Drums/Clap Loop 120bpm.wav", { V::loop, tg::clap } },
        { "Drums/Snare Loop 120bpm.wav", { V::loop, tg::clap } },
        { "Drums/Rim Groove 124bpm.wav", { V::loop, tg::perc2 } }, // no backbeat: moved off CLAP
        { "Drums/Conga Loop 124bpm.wav", { V::loop, tg::perc1 } },
        { "Drums/Shaker Loop 120bpm.wav", { V::loop, tg::perc2 } },
        { "Drums/Full Drum Loop 128bpm.wav", { V::loop, tg::perc2 } },
        { "Drums/Shaker Wash Loop 120bpm.wav", { V::noise, -1 } },
        { "Drums/Cowbell Ping.wav", { V::oneShot, -1 } },
        { "Tops/Top Loop 124bpm.wav", { V::loop, tg::hats } },
        { "Bass/Bass Loop Am 120bpm.wav", { V::loop, tg::bass } },
        { "Bass/Sub Bass Groove 128 Am.wav", { V::loop, tg::bass } },
        { "Bass/Deep Bass Groove Am.wav", { V::loop, tg::bass } },
        { "Music/Keys Chords Am 120bpm.wav", { V::loop, tg::lead } },
        { "Music/Lead Pluck Am 120bpm.wav", { V::loop, tg::lead } },
        { "Music/Piano Stabs.wav", { V::loop, tg::lead } },
        { "One Shots/Kick One Shot.wav", { V::oneShot, -1 } },
        { "One Shots/Clap One Shot.wav", { V::oneShot, -1 } },
        { "FX/Vinyl Crackle Loop.wav", { V::texture, -1 } },
    };

    ASSERT_EQ (engine.ingestReport.size(), expected.size());

    for (const auto& r : engine.ingestReport)
    {
        const auto it = expected.find (r.path);
        ASSERT_NE (it, expected.end()) << r.path;
        EXPECT_EQ (r.verdict, it->second.first) << r.path;
        EXPECT_EQ (r.lane, it->second.second) << r.path;
    }

    // Tempos: stated or corroborated where named, detected (and on the grid) elsewhere.
    EXPECT_DOUBLE_EQ (engine.packBpm, 120.0);
    for (const auto& r : engine.ingestReport)
        if (r.verdict == V::loop)
            EXPECT_TRUE (r.bpm == 120.0 || r.bpm == 124.0 || r.bpm == 128.0) << r.path << " " << r.bpm;

    EXPECT_EQ (engine.loopCount, 17);
    EXPECT_EQ (engine.oneShotCount, 3);
    EXPECT_EQ (engine.skippedCount, 2);
    EXPECT_EQ (engine.movedCount, 1);

    // Every lane plays something, and no two lanes the same loop.
    std::set<juce::String> names;
    for (const auto& lane : engine.lanes)
    {
        EXPECT_TRUE (lane.loopName.isNotEmpty());
        names.insert (lane.loopName);
    }
    EXPECT_EQ (names.size(), (size_t) tg::numLanes);
}
