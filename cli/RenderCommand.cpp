// tapegrub render: loads a pack (or a saved session) through the processor's own loader,
// plays the groove through processBlock under a simulated host, and writes the mix and the
// lane files the drag-out would give.
#include "Commands.h"
#include "processor/SteadyPlayHead.h"
#include "processor/TapegrubProcessor.h"
#include "engine/KeyNames.h"

#include <iostream>

namespace
{
struct Options
{
    juce::File pack, out, stateIn, stateOut;
    bool haveSeed = false;
    juce::int64 seed = 0;
    double tempo = 0.0; // 0: the pack's tempo
    int bars = 0;       // 0: the "bars" parameter as it stands
    int phrases = 2;
    double sampleRate = 48000.0;
    juce::String root, scale;
    juce::StringPairArray sets;
};

juce::String usageText()
{
    return "usage: tapegrub render (PACK | --state FILE) --out DIR [--seed N] [--tempo BPM] [--bars 1|2|4|8]\n"
           "                       [--phrases K] [--sample-rate SR] [--root NOTE --scale major|minor]\n"
           "                       [--set ID=VALUE ...] [--save-state FILE]\n";
}

bool parse (const juce::StringArray& args, Options& o, juce::String& error)
{
    for (int i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        auto value = [&]() -> juce::String
        {
            if (i + 1 >= args.size())
            {
                error = a + " needs a value";
                return {};
            }
            return args[++i];
        };
        const auto cwd = juce::File::getCurrentWorkingDirectory();

        if (a == "--out") o.out = cwd.getChildFile (value());
        else if (a == "--state") o.stateIn = cwd.getChildFile (value());
        else if (a == "--save-state") o.stateOut = cwd.getChildFile (value());
        else if (a == "--seed") { o.haveSeed = true; o.seed = value().getLargeIntValue(); }
        else if (a == "--tempo") o.tempo = value().getDoubleValue();
        else if (a == "--bars") o.bars = value().getIntValue();
        else if (a == "--phrases") o.phrases = value().getIntValue();
        else if (a == "--sample-rate") o.sampleRate = value().getDoubleValue();
        else if (a == "--root") o.root = value();
        else if (a == "--scale") o.scale = value().toLowerCase();
        else if (a == "--set")
        {
            const auto kv = value();
            if (! kv.containsChar ('='))
                error = "--set needs ID=VALUE, got " + kv;
            o.sets.set (kv.upToFirstOccurrenceOf ("=", false, false), kv.fromFirstOccurrenceOf ("=", false, false));
        }
        else if (a.startsWith ("--")) error = "unknown option " + a;
        else if (o.pack == juce::File()) o.pack = cwd.getChildFile (a);
        else error = "unexpected argument " + a;

        if (error.isNotEmpty())
            return false;
    }

    if (o.out == juce::File()) error = "--out DIR is required";
    else if (o.pack == juce::File() && o.stateIn == juce::File()) error = "a PACK or --state FILE is required";
    else if (o.bars != 0 && o.bars != 1 && o.bars != 2 && o.bars != 4 && o.bars != 8) error = "--bars must be 1, 2, 4 or 8";
    else if (o.phrases < 1 || o.phrases > 64) error = "--phrases must be 1..64";
    else if (o.sampleRate < 8000.0 || o.sampleRate > 384000.0) error = "--sample-rate must be 8000..384000";
    else if (o.tempo != 0.0 && (o.tempo < 40.0 || o.tempo > 240.0)) error = "--tempo must be 40..240";
    else if (o.scale.isNotEmpty() && o.scale != "major" && o.scale != "minor") error = "--scale must be major or minor";
    return error.isEmpty();
}

bool setPlain (TapegrubProcessor& p, const juce::String& id, float value)
{
    auto* param = p.parameters.getParameter (id);
    if (param == nullptr)
        return false;
    param->setValueNotifyingHost (param->convertTo0to1 (value));
    return true;
}

// Runs the message loop until done() or the time runs out.
bool pumpUntil (const std::function<bool()>& done, int timeoutMs)
{
    const auto until = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (! done())
    {
        if (juce::Time::getMillisecondCounter() > until)
            return false;
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);
    }
    return true;
}

juce::String keyText (const tg::Lane& l)
{
    if (l.keyRoot < 0)
        return {};
    return tg::sharpKeyName (l.keyRoot) + (l.keyMinor ? "m" : "");
}

bool writeFloatWav (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    file.deleteFile();
    auto stream = std::make_unique<juce::FileOutputStream> (file);
    if (stream->failedToOpen())
        return false;
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), sampleRate, juce::AudioChannelSet::stereo(), 32, {}, 0));
    if (writer == nullptr)
        return false;
    stream.release();
    return writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
}
} // namespace

int tgcli::render (const juce::StringArray& args)
{
    if (args.contains ("--help") || args.contains ("-h"))
    {
        std::cout << usageText();
        return 0;
    }

    Options o;
    juce::String error;
    if (! parse (args, o, error))
    {
        std::cerr << "tapegrub render: " << error << "\n" << usageText();
        return 2;
    }

    TapegrubProcessor processor;
    if (o.haveSeed)
        processor.random = juce::Random (o.seed);

    auto fail = [] (const juce::String& why)
    {
        std::cerr << "tapegrub render: " << why << "\n";
        return 1;
    };

    // A session restore brings its own parameters; a pack render starts from the defaults.
    if (o.stateIn != juce::File())
    {
        juce::MemoryBlock state;
        if (! o.stateIn.loadFileAsData (state))
            return fail ("cannot read " + o.stateIn.getFullPathName());
        processor.setStateInformation (state.getData(), (int) state.getSize());
        if (! processor.restoreInProgress.load())
            return fail ("the state names no pack that exists on disk");
        if (! pumpUntil ([&] { return ! processor.restoreInProgress.load(); }, 600000))
            return fail ("the session's packs did not load");
    }

    if (o.bars != 0)
        setPlain (processor, "bars", (float) std::log2 (o.bars)); // choice index of 1, 2, 4, 8
    if (o.root.isNotEmpty())
    {
        // The name of a key in a file name reads the same way: "F#", "Gb", "Bb", "A".
        int root = 0;
        bool minor = false;
        if (! tg::keyFromName (o.root.substring (0, 1).toUpperCase() + o.root.substring (1), root, minor))
            return fail ("unknown root " + o.root);
        setPlain (processor, "root", (float) root);
    }
    if (o.scale.isNotEmpty())
        setPlain (processor, "scale", o.scale == "minor" ? 1.0f : 0.0f);
    for (const auto& id : o.sets.getAllKeys())
        if (! setPlain (processor, id, o.sets[id].getFloatValue()))
            return fail ("unknown parameter " + id);
    processor.handleUpdateNowIfNeeded();

    if (o.stateIn == juce::File())
    {
        if (! o.pack.exists())
            return fail ("no such pack " + o.pack.getFullPathName());

        bool finished = false, ok = false;
        processor.loadPackAsync (o.pack, o.pack.isDirectory(), [&] (bool result) { finished = true; ok = result; });
        if (! pumpUntil ([&] { return finished; }, 600000))
            return fail ("loading timed out");
        if (! ok)
            return fail ("no loops found in " + o.pack.getFullPathName());
    }

    // Play the groove as a host would: fixed tempo, transport running from the phrase start.
    SteadyPlayHead head;
    head.bpm = o.tempo > 0.0 ? o.tempo : processor.engine.packBpm;
    const int block = 512;
    processor.setRateAndBufferSizeDetails (o.sampleRate, block);
    processor.prepareToPlay (o.sampleRate, block);
    processor.setPlayHead (&head);
    processor.handleUpdateNowIfNeeded();

    const int phraseBars = processor.barsPerPhrase();
    const auto total = (int) std::llround (o.phrases * phraseBars * 4 * 60.0 / head.bpm * o.sampleRate);
    juce::AudioBuffer<float> mix (2, total), buffer (2, block);
    juce::MidiBuffer midi;
    for (int done = 0; done < total; done += block)
    {
        const int n = juce::jmin (block, total - done);
        buffer.setSize (2, n, false, false, true);
        processor.processBlock (buffer, midi);
        mix.copyFrom (0, done, buffer, 0, 0, n);
        mix.copyFrom (1, done, buffer, 1, 0, n);
        head.advance (n, o.sampleRate);
    }

    if (! o.out.createDirectory())
        return fail ("cannot create " + o.out.getFullPathName());
    const auto mixFile = o.out.getChildFile ("mix.wav");
    if (! writeFloatWav (mixFile, mix, o.sampleRate))
        return fail ("cannot write " + mixFile.getFullPathName());

    // The lane files exactly as the drag-out writes them, moved next to the mix.
    juce::Array<juce::var> laneFiles;
    const auto dragFolder = processor.writeAllWavsTemp();
    if (dragFolder.isDirectory())
    {
        for (const auto& f : dragFolder.findChildFiles (juce::File::findFiles, false, "*.wav"))
        {
            const auto target = o.out.getChildFile (f.getFileName());
            target.deleteFile();
            if (f.moveFileTo (target))
                laneFiles.add (target.getFileName());
        }
        dragFolder.deleteRecursively();
    }

    if (o.stateOut != juce::File())
    {
        juce::MemoryBlock state;
        processor.getStateInformation (state);
        if (! o.stateOut.replaceWithData (state.getData(), state.getSize()))
            return fail ("cannot write " + o.stateOut.getFullPathName());
    }

    juce::Array<juce::var> lanes;
    for (int i = 0; i < TapegrubProcessor::numLanes; ++i)
    {
        const auto& l = processor.engine.lanes[(size_t) i];
        auto* o2 = new juce::DynamicObject();
        o2->setProperty ("lane", tg::laneLabel (i));
        o2->setProperty ("loop", l.loopName.isEmpty() ? juce::var() : juce::var (l.loopName));
        o2->setProperty ("bpm", l.bpm);
        o2->setProperty ("bars", l.bars);
        const auto key = keyText (l);
        o2->setProperty ("key", key.isEmpty() ? juce::var() : juce::var (key));
        o2->setProperty ("semitones", processor.laneSemitoneTotal (i));
        o2->setProperty ("volume", juce::String (tgparams::readFloat (processor.paramCache().vol[(size_t) i], 0.8f), 4).getDoubleValue());
        o2->setProperty ("polarity", (int) processor.laneViews[(size_t) i].polarity);
        lanes.add (o2);
    }

    auto* summary = new juce::DynamicObject();
    summary->setProperty ("pack", processor.engine.packName);
    summary->setProperty ("packBpm", processor.engine.packBpm);
    summary->setProperty ("tempo", head.bpm);
    summary->setProperty ("sampleRate", o.sampleRate);
    summary->setProperty ("barsPerPhrase", phraseBars);
    summary->setProperty ("phrases", o.phrases);
    summary->setProperty ("mix", mixFile.getFullPathName());
    summary->setProperty ("mixPeak", mix.getMagnitude (0, total));
    summary->setProperty ("mixRms", juce::jmax (mix.getRMSLevel (0, 0, total), mix.getRMSLevel (1, 0, total)));
    summary->setProperty ("laneFiles", laneFiles);
    summary->setProperty ("lanes", lanes);
    std::cout << juce::JSON::toString (juce::var (summary), false) << std::endl;
    return 0;
}
