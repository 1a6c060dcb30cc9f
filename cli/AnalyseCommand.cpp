// tapegrub analyse: reads a pack with the plug-in's own reader, runs ingest and prints its
// per-file decisions as JSON Lines, followed by one summary object. The decisions are the
// ones ingest recorded; nothing here re-derives them.
#include "Commands.h"
#include "engine/KeyNames.h"
#include "engine/LoopEngine.h"
#include "engine/PackReader.h"
#include <iostream>
#include <map>

namespace
{
// The key a lane finds for a loop when the loop is assigned to it.
struct KeyView
{
    int root = -1;
    bool minor = true;
    bool named = false;
    float confidence = 0.0f;
};

juce::var orNull (const juce::String& s) { return s.isEmpty() ? juce::var() : juce::var (s); }

// Rounded for reading; the values are not used for anything else.
juce::var rounded (double v, int places) { return juce::String (v, places).getDoubleValue(); }

juce::String nameOfPath (const juce::String& path)
{
    const auto file = path.replaceCharacter ('\\', '/').fromLastOccurrenceOf ("/", false, false);
    const auto dot = file.lastIndexOfChar ('.');
    return dot > 0 ? file.substring (0, dot) : file;
}

void printLine (juce::DynamicObject* object)
{
    std::cout << juce::JSON::toString (juce::var (object), true).toStdString() << "\n";
}

// verdict: the record's own unless given (files the reader could not decode have no record).
void printRecord (const tg::IngestRecord& r, const KeyView* key, const char* verdict = nullptr)
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("path", r.path);
    o->setProperty ("name", r.name);
    o->setProperty ("verdict", verdict != nullptr ? verdict : tg::verdictName (r.verdict));
    o->setProperty ("lane", r.lane);
    o->setProperty ("laneByName", r.laneByName);
    o->setProperty ("primary", r.primary);
    o->setProperty ("fullKit", r.fullKit);
    o->setProperty ("bpm", rounded (r.bpm, 3));
    o->setProperty ("bars", r.bars);
    o->setProperty ("bpmFromName", r.bpmFromName);
    o->setProperty ("samples", r.samples);
    o->setProperty ("sampleRate", r.sampleRate);

    const bool known = key != nullptr && key->root >= 0;
    o->setProperty ("key", known ? juce::var (tg::sharpKeyName (key->root) + (key->minor ? "m" : "")) : juce::var());
    o->setProperty ("keyNamed", key != nullptr && key->named);
    o->setProperty ("keyConfidence", key != nullptr ? rounded (key->confidence, 4) : juce::var (0.0));
    printLine (o);
}

void printUnreadable (const juce::String& path)
{
    tg::IngestRecord r;
    r.path = path;
    r.name = nameOfPath (path);
    printRecord (r, nullptr, "unreadable");
}

int fail (const juce::String& message)
{
    std::cerr << "tapegrub analyse: " << message << "\n";
    return 1;
}
} // namespace

int tgcli::analyse (const juce::StringArray& args)
{
    juce::String path;
    bool seeded = false;
    juce::int64 seed = 0;

    for (int i = 0; i < args.size(); ++i)
    {
        if (args[i] == "--seed" && i + 1 < args.size())
        {
            seeded = true;
            seed = args[++i].getLargeIntValue();
        }
        else if (path.isEmpty())
        {
            path = args[i];
        }
        else
        {
            return fail ("unexpected argument '" + args[i] + "'");
        }
    }

    if (path.isEmpty())
        return fail ("usage: tapegrub analyse PATH [--seed N]");

    const auto pack = juce::File::getCurrentWorkingDirectory().getChildFile (path);

    if (! pack.exists())
        return fail ("no such file or folder: " + path);

    tg::PackContents contents;

    if (pack.isDirectory())
    {
        tg::readPack (pack, true, nullptr, nullptr, contents);
    }
    else if (tg::hasAudioExtension (pack.getFileName()))
    {
        // One file is a pack of one, named after the file.
        const auto name = pack.getFileName();
        contents.packName = pack.getFileNameWithoutExtension();
        contents.scanned.add (name);
        juce::AudioBuffer<float> audio;
        double rate = 0.0;

        if (tg::decodeToStereo (pack.createInputStream(), audio, rate))
        {
            contents.files.emplace_back (name, std::move (audio));
            contents.rates.push_back (rate);
        }
        else
        {
            contents.failed.add (name);
        }
    }
    else
    {
        tg::readPack (pack, false, nullptr, nullptr, contents);
    }

    // Each accepted loop as its own final lane would present it, key included. A scratch
    // engine keeps the real one untouched.
    tg::LoopEngine engine;
    tg::LoopEngine scratch;
    std::map<size_t, KeyView> keys;

    engine.inspectLoop = [&] (size_t record, const tg::Loop& loop)
    {
        const int lane = engine.ingestReport[record].lane;

        if (lane < 0 || lane >= tg::numLanes)
            return;

        scratch.assignLoop (lane, loop);
        const auto& l = scratch.lanes[(size_t) lane];
        keys[record] = { l.keyRoot, l.keyMinor, l.keyNamed, l.keyConfidence };
    };

    engine.ingest (contents.files, contents.rates, contents.packName);

    // Decoded files reach ingest in scan order, so its records are a subsequence of the
    // scanned list; the gaps are the files that did not decode.
    const auto& report = engine.ingestReport;
    size_t next = 0;

    for (const auto& scannedPath : contents.scanned)
    {
        if (next < report.size() && report[next].path == scannedPath)
        {
            const auto key = keys.find (next);
            printRecord (report[next], key != keys.end() ? &key->second : nullptr);
            ++next;
        }
        else
        {
            printUnreadable (scannedPath);
        }
    }

    for (; next < report.size(); ++next) // not reached with the reader's output; kept for safety
        printRecord (report[next], nullptr);

    std::array<juce::String, tg::numLanes> initialPicks;

    for (int lane = 0; lane < tg::numLanes; ++lane)
        initialPicks[(size_t) lane] = engine.lanes[(size_t) lane].loopName;

    if (seeded)
    {
        juce::Random random (seed);
        engine.generate (random);
    }

    juce::Array<juce::var> lanes;

    for (int lane = 0; lane < tg::numLanes; ++lane)
    {
        const auto& l = engine.lanes[(size_t) lane];
        juce::Array<juce::var> candidates;

        for (const auto& loop : l.loops)
            candidates.add (loop.name);

        auto* o = new juce::DynamicObject();
        o->setProperty ("lane", tg::laneLabel (lane));
        o->setProperty ("candidates", candidates);
        o->setProperty ("pick", orNull (initialPicks[(size_t) lane]));

        if (seeded)
        {
            o->setProperty ("generated", orNull (l.loopName));
            o->setProperty ("autoSemi", l.autoSemi);
        }

        lanes.add (o);
    }

    auto* summary = new juce::DynamicObject();
    summary->setProperty ("pack", engine.packLoaded ? engine.packName : contents.packName);
    summary->setProperty ("packLoaded", engine.packLoaded);
    summary->setProperty ("packBpm", rounded (engine.packBpm, 3));
    summary->setProperty ("loops", engine.loopCount);
    summary->setProperty ("oneShots", engine.oneShotCount);
    summary->setProperty ("skipped", engine.skippedCount);
    summary->setProperty ("moved", engine.movedCount);
    summary->setProperty ("unreadable", contents.failed.size());

    if (seeded)
        summary->setProperty ("seed", seed);

    summary->setProperty ("lanes", lanes);
    printLine (summary);
    std::cout.flush();
    return 0;
}
