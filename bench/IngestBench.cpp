// Loading the demo pack (19 files, 14 loops, about 9 MB of 16-bit WAV): decoding alone
// against decoding plus ingest, the whole of a loader worker's job once the files are read.
// The WAV bytes are held in memory so the numbers do not depend on the disk.
#include "engine/DemoPack.h"
#include "engine/LoopEngine.h"
#include "engine/PackReader.h"

#include <benchmark/benchmark.h>

namespace
{
const std::vector<std::pair<juce::String, juce::MemoryBlock>>& demoWavs()
{
    static const auto wavs = []
    {
        std::vector<std::pair<juce::String, juce::MemoryBlock>> out;
        for (const auto& file : tg::demo::demoPackFiles())
            out.emplace_back (file.path, tg::demo::wavBytes (file.audio, tg::demo::kSampleRate));
        return out;
    }();
    return wavs;
}

void decodeAll (tg::PackContents& contents)
{
    for (const auto& [path, bytes] : demoWavs())
    {
        juce::AudioBuffer<float> audio;
        double rate = 0.0;

        if (tg::decodeToStereo (std::make_unique<juce::MemoryInputStream> (bytes, false), audio, rate))
        {
            contents.files.emplace_back (path, std::move (audio));
            contents.rates.push_back (rate);
        }
    }
}

void BM_DecodeDemoPack (benchmark::State& state)
{
    demoWavs();

    for (auto _ : state)
    {
        tg::PackContents contents;
        decodeAll (contents);
        benchmark::DoNotOptimize (contents.files.data());
    }
}
BENCHMARK (BM_DecodeDemoPack)->Unit (benchmark::kMillisecond);

void BM_DecodeAndIngestDemoPack (benchmark::State& state)
{
    demoWavs();

    for (auto _ : state)
    {
        tg::PackContents contents;
        decodeAll (contents);
        tg::LoopEngine engine;
        benchmark::DoNotOptimize (engine.ingest (contents.files, contents.rates, "Demo"));
    }
}
BENCHMARK (BM_DecodeAndIngestDemoPack)->Unit (benchmark::kMillisecond);

// Ingest alone: sorting, tempo, conditioning, borrowing and the seven initial play buffers.
void BM_IngestDemoPack (benchmark::State& state)
{
    demoWavs();

    for (auto _ : state)
    {
        state.PauseTiming();
        tg::PackContents contents;
        decodeAll (contents);
        tg::LoopEngine engine;
        state.ResumeTiming();

        benchmark::DoNotOptimize (engine.ingest (contents.files, contents.rates, "Demo"));
    }
}
BENCHMARK (BM_IngestDemoPack)->Unit (benchmark::kMillisecond);
} // namespace
