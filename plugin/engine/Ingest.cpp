// Sorting a decoded pack onto the seven lanes: rejection of one-shots, textures and noise,
// tempo and bar decisions, lane correction by spectrum, the pack tempo, conditioning,
// fallback borrowing and the initial picks.
//
// Runs on the loader's worker thread on a fresh engine nobody else sees; only `cancel` is
// shared (written by the processor's destructor).
#include "LoopEngine.h"
#include "LaneNames.h"
#include "Tempo.h"

#include <juce_dsp/juce_dsp.h>
#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace tg
{
namespace
{
constexpr double kMinLoopSeconds = 1.1;
constexpr double kMinLoopBars = 0.6;
constexpr double kMinActiveSeconds = 1.0;
constexpr double kEnergyPoint = 0.99;
constexpr double kDynamicsSpreadDb = 12.0;
constexpr int kNoiseFftOrder = 15;
constexpr int kNoiseFftSize = 1 << kNoiseFftOrder; // 32768
constexpr double kFlatnessLimit = 0.25;
constexpr int kBalanceFrameSize = 2048;
constexpr int kBalanceFrames = 6;
constexpr size_t kTopUpCap = 6;
constexpr double kRecheckOctaves = 0.03;
constexpr double kTempoChangeBpm = 0.5;

// Lanes without loops of their own borrow from these, first non-empty wins. BASS and LEAD
// are tonal and never borrow.
const std::vector<int>& fallbacksOf (int lane)
{
    static const std::vector<int> none;
    static const std::array<std::vector<int>, numLanes> table {
        std::vector<int> { perc2, perc1 }, // KICK
        std::vector<int> {},               // BASS
        std::vector<int> { perc2, perc1 }, // HATS
        std::vector<int> { perc1, perc2 }, // CLAP
        std::vector<int> { perc2, hats },  // PERC1
        std::vector<int> { perc1, hats },  // PERC2
        std::vector<int> {}                // LEAD
    };
    return lane >= 0 && lane < numLanes ? table[(size_t) lane] : none;
}

// The file name without folders and without its last extension; a leading dot is kept.
juce::String loopNameOf (const juce::String& path)
{
    const auto unixPath = path.replaceCharacter ('\\', '/');
    const auto file = unixPath.substring (unixPath.lastIndexOfChar ('/') + 1);
    const auto dot = file.lastIndexOfChar ('.');
    return dot > 0 ? file.substring (0, dot) : file;
}

// Tempo: stated in the path, else a bare number the duration corroborates, else detected
// from the audio. A stated tempo counts when the duration fits a whole number of its bars.
struct TempoChoice
{
    double bpm = 0.0;
    int bars = 1;
    bool fromName = false;
};

TempoChoice chooseTempo (const juce::String& path, double seconds, const float* mono, int n, double sr)
{
    TempoChoice choice;

    if (const int stated = explicitBpmFromPath (path); stated > 0)
    {
        const auto barsLong = seconds / (240.0 / stated);
        const auto nearest = std::round (barsLong);
        const auto whole = std::floor (barsLong);

        if (nearest >= 1.0 && std::abs (barsLong - nearest) <= 0.25)
            return { (double) stated, (int) nearest, true };

        if (whole >= 1.0 && barsLong - whole < 0.85)
            return { (double) stated, (int) whole, true };
    }

    if (const int named = corroboratedBpmFromName (path, seconds, choice.bars); named > 0)
        return { (double) named, choice.bars, true };

    choice.bpm = detectLoopBpm (mono, n, sr, choice.bars, 0.0);
    return choice;
}

// A loop must last, fill most of a bar and keep sounding for a second: a single hit
// followed by a tail of near-silence is a one-shot whatever its name says.
bool soundsLikeLoop (const float* mono, int n, double sr, double seconds, double barsLong)
{
    if (seconds < kMinLoopSeconds || barsLong < kMinLoopBars)
        return false;

    double total = 0.0;
    float peak = 0.0f;

    for (int i = 0; i < n; ++i)
    {
        total += (double) mono[i] * mono[i];
        peak = std::max (peak, std::abs (mono[i]));
    }

    if (! (total > 1e-12))
        return false;

    const auto threshold = std::max (1.0e-4, 0.02 * (double) peak);
    int activeStart = 0;

    for (int i = 0; i < n; ++i)
        if ((double) std::abs (mono[i]) > threshold)
        {
            activeStart = i;
            break;
        }

    // First sample at which the running energy reaches 99 % of the total.
    const auto target = kEnergyPoint * total;
    int energyPoint = n - 1;
    double running = 0.0;

    for (int i = 0; i < n; ++i)
    {
        running += (double) mono[i] * mono[i];

        if (running >= target)
        {
            energyPoint = i;
            break;
        }
    }

    return (double) (energyPoint - activeStart) / sr >= kMinActiveSeconds;
}

// Steady, spectrally flat material (hiss, white-noise washes) is skipped. Only called with
// n >= sr. The FFT is made on first use and reused for the rest of the pack.
bool soundsLikeNoise (const float* mono, int n, double sr, std::unique_ptr<juce::dsp::FFT>& fft)
{
    const int frameLength = std::max (256, (int) (0.05 * sr));
    const int frames = n / frameLength;

    if (frames < 8 || n < kNoiseFftSize)
        return false;

    std::vector<double> levels ((size_t) frames);

    for (int f = 0; f < frames; ++f)
    {
        double sum = 0.0;
        const float* frame = mono + (size_t) f * (size_t) frameLength;

        for (int i = 0; i < frameLength; ++i)
            sum += (double) frame[i] * frame[i];

        levels[(size_t) f] = 10.0 * std::log10 (sum / frameLength + 1e-12);
    }

    std::sort (levels.begin(), levels.end());
    const auto spread = levels[(size_t) (0.95 * (frames - 1))] - levels[(size_t) (0.2 * (frames - 1))];

    if (spread >= kDynamicsSpreadDb)
        return false;

    if (fft == nullptr)
        fft = std::make_unique<juce::dsp::FFT> (kNoiseFftOrder);

    std::vector<juce::dsp::Complex<float>> in ((size_t) kNoiseFftSize), out ((size_t) kNoiseFftSize);
    const float* middle = mono + (n - kNoiseFftSize) / 2;

    for (int j = 0; j < kNoiseFftSize; ++j)
    {
        const auto window = 0.5 - 0.5 * std::cos (juce::MathConstants<double>::twoPi * j / (kNoiseFftSize - 1));
        in[(size_t) j] = { (float) (middle[j] * window), 0.0f };
    }

    fft->perform (in.data(), out.data(), false);

    double logSum = 0.0, sum = 0.0;
    constexpr int bins = kNoiseFftSize / 2 - 1; // bins 1 .. 16383

    for (int j = 1; j <= bins; ++j)
    {
        const auto m = (double) std::abs (out[(size_t) j]) + 1e-9;
        logSum += std::log (m);
        sum += m;
    }

    const auto flatness = std::exp (logSum / bins) / (sum / bins);
    return flatness > kFlatnessLimit;
}

// Share of spectral magnitude below 180 Hz, 180..800, 800..4500 and above 4500 Hz over six
// unwindowed 2048-sample frames spread across the loop. All zero when there is too little.
struct Balance
{
    double low = 0.0, lowMid = 0.0, mid = 0.0, high = 0.0;
    bool isZero() const noexcept { return low == 0.0 && lowMid == 0.0 && mid == 0.0 && high == 0.0; }
};

Balance spectralBalance (const float* mono, int n, double sr)
{
    Balance balance;

    if (n <= kBalanceFrameSize - 1)
        return balance;

    const int stride = std::max (1, (n - kBalanceFrameSize) / kBalanceFrames);
    std::vector<float> re ((size_t) kBalanceFrameSize), im ((size_t) kBalanceFrameSize);
    double bands[4] {};

    for (int f = 0; f < kBalanceFrames; ++f)
    {
        const int start = f * stride;

        for (int j = 0; j < kBalanceFrameSize; ++j)
        {
            re[(size_t) j] = start + j < n ? mono[start + j] : 0.0f;
            im[(size_t) j] = 0.0f;
        }

        fftRadix2 (re.data(), im.data(), kBalanceFrameSize);

        for (int j = 1; j < kBalanceFrameSize / 2; ++j)
        {
            const auto frequency = j * sr / kBalanceFrameSize;
            const auto magnitude = std::sqrt ((double) re[(size_t) j] * re[(size_t) j]
                                              + (double) im[(size_t) j] * im[(size_t) j]);
            const int band = frequency < 180.0 ? 0 : frequency < 800.0 ? 1 : frequency <= 4500.0 ? 2 : 3;
            bands[band] += magnitude;
        }
    }

    const auto total = bands[0] + bands[1] + bands[2] + bands[3];

    if (total < 1e-6)
        return balance;

    balance.low = bands[0] / total;
    balance.lowMid = bands[1] / total;
    balance.mid = bands[2] / total;
    balance.high = bands[3] / total;
    return balance;
}

// A placement the name made only by a kit-wide word is checked against the sound.
int correctLaneBySound (int lane, const Balance& b)
{
    if (lane == kick && b.low < 0.18)
        return b.high > 0.12 ? hats : perc1;

    if (lane == bass && b.low < 0.22)
        return lead;

    if (lane == hats && b.low > 0.4)
        return perc2;

    return lane;
}

// A "clap" loop whose hits mostly miss beats 2 and 4 and that uses many sixteenth slots is
// really a percussion groove.
bool lacksBackbeat (const float* mono, int n, double sr, double bpm)
{
    const auto onsets = detectOnsets (mono, n, sr);
    const auto samplesPerBar = 60.0 / bpm * sr * 4.0;

    if (onsets.size() < 4 || samplesPerBar < 16.0)
        return false;

    std::array<bool, 16> used {};
    int backbeats = 0;

    for (auto onset : onsets)
    {
        const auto slot = (long long) std::llround (std::fmod ((double) onset, samplesPerBar) / (samplesPerBar / 16.0));
        used[(size_t) (slot % 16)] = true;

        if (slot % 8 == 4)
            ++backbeats;
    }

    const auto usedSlots = std::count (used.begin(), used.end(), true);
    return usedSlots > 5 && backbeats < 0.55 * (double) onsets.size();
}

// An accepted loop waiting for the lane fill, with the index of its record.
struct Pending
{
    Loop loop;
    size_t record = 0;
};

void emptyLane (Lane& lane, int laneIndex)
{
    lane.loops.clear();
    lane.pick = -1;
    lane.source.setSize (0, 0);
    lane.loopName = {};
    lane.cropLen = 0;
    lane.cropStart = 0;
    lane.rebuildPlayBuffer (laneIndex);
    lane.notches.clear();
}
// Gives every lane its candidates (its own loops, else a related lane's, topped up from the
// related lanes) and an initial pick so that no name sounds on two lanes and at most one
// full kit plays. A lane left with nothing unpicked is emptied rather than doubled.
void fillLanes (LoopEngine& engine, const std::array<std::vector<Pending>, numLanes>& candidates)
{
    std::set<juce::String> pickedNames;
    bool kitPicked = false;
    std::map<int, int> drawsFrom; // source lane -> lanes that already drew from it

    for (int laneIndex = 0; laneIndex < numLanes; ++laneIndex)
    {
        auto& lane = engine.lanes[(size_t) laneIndex];
        const auto& fallbacks = fallbacksOf (laneIndex);

        int source = -1;

        if (! candidates[(size_t) laneIndex].empty())
            source = laneIndex;
        else
            for (auto fallback : fallbacks)
                if (! candidates[(size_t) fallback].empty())
                {
                    source = fallback;
                    break;
                }

        if (source < 0)
        {
            emptyLane (lane, laneIndex);
            continue;
        }

        lane.loops.clear();

        for (const auto& pending : candidates[(size_t) source])
            lane.loops.push_back (pending.loop);

        auto hasName = [&lane] (const juce::String& name)
        {
            return std::any_of (lane.loops.begin(), lane.loops.end(),
                                [&name] (const Loop& l) { return l.name == name; });
        };

        // Top up from the related lanes to at most six candidates.
        for (auto fallback : fallbacks)
            for (const auto& pending : candidates[(size_t) fallback])
                if (lane.loops.size() < kTopUpCap && ! hasName (pending.loop.name))
                    lane.loops.push_back (pending.loop);

        const int count = (int) lane.loops.size();
        const int start = drawsFrom[source]++;

        auto isPicked = [&pickedNames] (const Loop& l) { return pickedNames.count (l.name) > 0; };

        // First index from start onwards, cyclically, that the predicate accepts; -1 none.
        auto firstFrom = [&] (auto&& accept)
        {
            for (int k = 0; k < count; ++k)
            {
                const int idx = (start + k) % count;

                if (accept (lane.loops[(size_t) idx]))
                    return idx;
            }

            return -1;
        };

        int chosen = -1;

        if (pickedNames.empty())
            chosen = kitPicked ? firstFrom ([] (const Loop& l) { return ! l.fullKit; })
                               : start % count;
        else
            chosen = firstFrom ([&] (const Loop& l) { return ! isPicked (l) && ! (l.fullKit && kitPicked); });

        if (chosen < 0) // relaxed: a second full kit rather than a silent lane
            chosen = pickedNames.empty() ? start % count
                                         : firstFrom ([&] (const Loop& l) { return ! isPicked (l); });

        if (chosen < 0)
        {
            emptyLane (lane, laneIndex);
            continue;
        }

        lane.pick = chosen;
        const auto& picked = lane.loops[(size_t) chosen];
        pickedNames.insert (picked.name);
        kitPicked = kitPicked || picked.fullKit;
        engine.assignLoop (laneIndex, picked);
    }
}
} // namespace

bool LoopEngine::ingest (std::vector<std::pair<juce::String, juce::AudioBuffer<float>>>& files,
                         const std::vector<double>& rates, const juce::String& newPackName)
{
    using Verdict = IngestRecord::Verdict;

    loopCount = 0;
    oneShotCount = 0;
    movedCount = 0;
    skippedCount = 0;
    ingestReport.clear();

    std::array<std::vector<Pending>, numLanes> candidates; // per lane, in file order
    std::map<long long, int> tempoVotes;                    // round(bpm x 10) -> loops
    std::unique_ptr<juce::dsp::FFT> noiseFft;
    juce::AudioBuffer<float> mono;

    const auto fileCount = std::min (files.size(), rates.size());

    for (size_t i = 0; i < fileCount; ++i)
    {
        if (cancel != nullptr && cancel->load())
            return false;

        auto& [path, audio] = files[i];
        const int n = audio.getNumSamples();
        const double sr = rates[i];

        IngestRecord record;
        record.path = path;
        record.name = loopNameOf (path);
        record.samples = n;
        record.sampleRate = sr;

        auto decide = [this, &record] (Verdict verdict)
        {
            record.verdict = verdict;
            ingestReport.push_back (record);
        };

        if (n <= 0 || audio.getNumChannels() <= 0 || ! (sr > 0.0))
        {
            decide (Verdict::unplaced); // nothing to hear: vanishes without a count
            continue;
        }

        if (isOneShotPath (path))
        {
            ++oneShotCount;
            decide (Verdict::oneShot);
            continue;
        }

        if (isTextureName (path))
        {
            ++skippedCount;
            decide (Verdict::texture);
            continue;
        }

        bool primary = false, fullKit = false;
        int lane = classifyLane (path, &primary, &fullKit);
        record.laneByName = lane;
        record.primary = primary;
        record.fullKit = fullKit;

        if (lane < 0)
        {
            decide (Verdict::unplaced);
            continue;
        }

        makeMonoSum (audio, mono);
        const float* monoData = mono.getReadPointer (0);
        const double seconds = n / sr;

        const auto [bpm, bars, bpmFromName] = chooseTempo (path, seconds, monoData, n, sr);
        record.bpm = bpm;
        record.bars = bars;
        record.bpmFromName = bpmFromName;

        if (! soundsLikeLoop (monoData, n, sr, seconds, seconds / (240.0 / bpm)))
        {
            ++oneShotCount;
            decide (Verdict::oneShot);
            continue;
        }

        if (n >= sr && soundsLikeNoise (monoData, n, sr, noiseFft))
        {
            ++skippedCount;
            decide (Verdict::noise);
            continue;
        }

        if (progress)
            progress (0.45f + 0.4f * (float) (i + 1) / (float) files.size(), "SORTING ONTO LANES");

        tempoVotes[std::llround (bpm * 10.0)] += 1;

        if (! primary)
        {
            const auto balance = spectralBalance (monoData, n, sr);

            if (! balance.isZero())
            {
                const int corrected = correctLaneBySound (lane, balance);

                if (corrected != lane)
                {
                    lane = corrected;
                    ++movedCount;
                }
            }
        }

        if (lane == clap && bpm > 0.0 && lacksBackbeat (monoData, n, sr, bpm))
        {
            lane = perc2;
            ++movedCount;
        }

        record.lane = lane;
        decide (Verdict::loop);

        Pending pending;
        pending.loop.name = record.name;
        pending.loop.audio = std::move (audio);
        pending.loop.sampleRate = sr;
        pending.loop.bpm = bpm;
        pending.loop.bars = bars;
        pending.loop.bpmFromName = bpmFromName;
        pending.loop.fullKit = fullKit;
        pending.record = ingestReport.size() - 1;
        candidates[(size_t) lane].push_back (std::move (pending));
        ++loopCount;
    }

    // Pack tempo: the most common loop tempo; on equal counts the slower one.
    if (! tempoVotes.empty())
    {
        auto best = tempoVotes.begin();

        for (auto it = tempoVotes.begin(); it != tempoVotes.end(); ++it)
            if (it->second > best->second)
                best = it;

        packBpm = (double) best->first / 10.0;
    }

    if (progress)
        progress (0.87f, "CHECKING TEMPOS");

    // Detected tempos that disagree with the pack are detected again, favouring the pack's
    // tempo. A tempo written in the name is trusted as it is.
    if (packBpm > 0.0)
    {
        for (auto& laneLoops : candidates)
        {
            for (auto& pending : laneLoops)
            {
                auto& loop = pending.loop;

                if (loop.bpmFromName || std::abs (std::log2 (loop.bpm / packBpm)) < kRecheckOctaves)
                    continue;

                makeMonoSum (loop.audio, mono);
                int bars = loop.bars;
                const auto redetected = detectLoopBpm (mono.getReadPointer (0), mono.getNumSamples(),
                                                       loop.sampleRate, bars, packBpm);

                if (std::abs (redetected - loop.bpm) > kTempoChangeBpm)
                {
                    loop.bpm = redetected;
                    loop.bars = bars;
                }
            }
        }
    }

    if (progress)
        progress (0.93f, "LOCKING TO THE GRID");

    for (auto& laneLoops : candidates)
    {
        for (auto& pending : laneLoops)
        {
            auto& loop = pending.loop;
            conditionLoopBuffer (loop.audio, loop.sampleRate, loop.bpm, loop.bars);

            auto& record = ingestReport[pending.record];
            record.bpm = loop.bpm;
            record.bars = loop.bars;
            record.samples = loop.audio.getNumSamples();

            if (inspectLoop)
                inspectLoop (pending.record, loop);
        }
    }

    fillLanes (*this, candidates);

    if (progress)
        progress (1.0f, "READY");

    packLoaded = loopCount >= 1;

    if (packLoaded)
        packName = newPackName;

    return packLoaded;
}
} // namespace tg
