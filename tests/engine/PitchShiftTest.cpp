// Length-preserving pitch shift of a lane's play buffer: exact lengths, pitch accuracy,
// hits kept in place, the one-piece rule for small tonal shifts, and the two-entry cache.
#include "engine/LoopEngine.h"
#include "engine/Tempo.h"
#include "SignalHelpers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
constexpr double kRate = 44100.0;

// A lane playing the given mono signal on both channels (the second a little quieter).
void load (tg::Lane& lane, int laneIndex, const std::vector<float>& x, double sampleRate = kRate)
{
    const int n = (int) x.size();
    lane.source.setSize (2, n);
    if (n > 0)
    {
        lane.source.copyFrom (0, 0, x.data(), n);
        lane.source.copyFrom (1, 0, x.data(), n, 0.8f);
    }
    lane.sampleRate = sampleRate;
    lane.bpm = 120.0;
    lane.bars = 1;
    lane.loopName = "Loop";
    lane.rebuildPlayBuffer (laneIndex);
}

using tgtest::sameAudio;

// Mean frequency over x[from .. to): upward zero crossings located by linear interpolation,
// cycles between the first and last divided by the time between them.
double measureHz (const float* x, int from, int to, double sampleRate)
{
    double first = -1.0, last = -1.0;
    int cycles = -1;
    for (int i = from; i + 1 < to; ++i)
        if (x[i] <= 0.0f && x[i + 1] > 0.0f)
        {
            const double at = i + x[i] / (double) (x[i] - x[i + 1]);
            if (first < 0.0)
                first = at;
            last = at;
            ++cycles;
        }
    return cycles > 0 ? cycles * sampleRate / (last - first) : 0.0;
}

double cents (double hz, double target)
{
    return 1200.0 * std::log2 (hz / target);
}

// Decaying tone bursts (a plucked bass line) at the given positions: sharp onsets with
// the lane's pieces between them.
std::vector<float> plucks (int n, std::initializer_list<int> at, double hz)
{
    std::vector<float> x ((size_t) n, 0.0f);
    for (const int start : at)
        for (int i = 0; start + i < n; ++i)
            x[(size_t) (start + i)] += (float) (0.6 * std::exp (-i / (0.15 * kRate)) * std::sin (2.0 * tgtest::kPi * hz * i / kRate));
    return x;
}

TEST (PitchShiftLength, EveryShiftKeepsTheLengthExactly)
{
    // Odd lengths, onsets near the end and a piece shorter than a grain all occur here.
    const auto drums = tgtest::drumLoop (120.0, 1, kRate);
    std::vector<float> odd (drums.begin(), drums.begin() + 61237);
    const auto bassLine = plucks (88200 + 17, { 0, 22050, 44100, 60000, 87000 }, 110.0);

    struct Case
    {
        const char* what;
        int lane;
        const std::vector<float>* audio;
    };
    const Case cases[] = {
        { "drum loop on KICK", tg::kick, &drums },
        { "odd length on PERC 2", tg::perc2, &odd },
        { "bass line on BASS", tg::bass, &bassLine },
    };

    for (const auto& c : cases)
    {
        tg::Lane lane;
        load (lane, c.lane, *c.audio);
        ASSERT_GT (lane.onsets.size(), 2u) << c.what;
        for (int s = -12; s <= 12; ++s)
        {
            SCOPED_TRACE (std::string (c.what) + " shift " + std::to_string (s));
            const auto* out = lane.shifted ((float) s);
            if (s == 0)
            {
                EXPECT_EQ (out, nullptr);
                continue;
            }
            ASSERT_NE (out, nullptr);
            EXPECT_EQ (out->getNumChannels(), 2);
            EXPECT_EQ (out->getNumSamples(), lane.play.getNumSamples());
            EXPECT_GT (out->getMagnitude (0, out->getNumSamples()), 0.05f);
            EXPECT_LT (out->getMagnitude (0, out->getNumSamples()), 2.0f);
        }
    }
}

TEST (PitchShiftPitch, SineLandsWithinFiveCents)
{
    const int n = 2 * 88200; // 2 s
    const auto tone = tgtest::sine (330.0, 0.5, n, kRate);

    for (const int laneIndex : { int (tg::kick), int (tg::lead) })
        for (const int s : { -12, -7, -3, -2, -1, 1, 2, 3, 5, 7, 12 })
        {
            SCOPED_TRACE ("lane " + std::to_string (laneIndex) + " shift " + std::to_string (s));
            tg::Lane lane;
            load (lane, laneIndex, tone);
            const auto* out = lane.shifted ((float) s);
            ASSERT_NE (out, nullptr);
            const double target = 330.0 * std::pow (2.0, s / 12.0);
            for (int c = 0; c < 2; ++c)
            {
                const double hz = measureHz (out->getReadPointer (c), n / 4, 3 * n / 4, kRate);
                EXPECT_NEAR (cents (hz, target), 0.0, 5.0) << hz << " Hz on channel " << c;
            }
            // Steady level: a stretched sine neither fades nor doubles up between grains.
            const float peak = out->getMagnitude (0, n / 4, n / 2);
            EXPECT_NEAR (peak, 0.5f, 0.05f);
        }
}

TEST (PitchShiftPieces, HitsStayWhereTheyWere)
{
    std::vector<float> x ((size_t) 88200, 0.0f);
    const int hits[] = { 0, 11025, 22050, 33075, 55125, 66150 };
    for (const int at : hits)
        tgtest::addNoiseBurst (x, at, 6000, 0.8f, 0.01, kRate, (std::uint32_t) at + 1);

    for (const int s : { -7, 5, 12 })
    {
        SCOPED_TRACE (s);
        tg::Lane lane;
        load (lane, tg::perc1, x);
        const auto* out = lane.shifted ((float) s);
        ASSERT_NE (out, nullptr);
        juce::AudioBuffer<float> mono;
        tg::makeMonoSum (*out, mono);
        const auto found = tg::detectOnsets (mono.getReadPointer (0), mono.getNumSamples(), kRate);
        ASSERT_EQ (found.size(), std::size (hits));
        for (size_t i = 0; i < found.size(); ++i)
            EXPECT_NEAR (found[i], hits[i], 441) << "hit " << i; // within one 10 ms frame
    }
}

// The same lane twice, the second told that its only onset is the start.
struct LanePair
{
    tg::Lane split, whole;

    LanePair (int laneIndex, const std::vector<float>& x)
    {
        load (split, laneIndex, x);
        load (whole, laneIndex, x);
        whole.onsets = { 0 };
    }
};

TEST (PitchShiftPieces, SmallTonalShiftsAreOnePiece)
{
    const auto bassLine = plucks (88200, { 0, 20000, 41000, 66000 }, 110.0);
    struct Case
    {
        int lane, semitones;
        bool onePiece;
    };
    const Case cases[] = {
        { tg::bass, 2, true }, { tg::bass, -2, true }, { tg::lead, 1, true },
        { tg::bass, 3, false }, { tg::lead, -3, false },
        { tg::kick, 1, false }, { tg::perc2, -2, false }, // not tonal: always split
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE ("lane " + std::to_string (c.lane) + " shift " + std::to_string (c.semitones));
        LanePair pair (c.lane, bassLine);
        ASSERT_GT (pair.split.onsets.size(), 3u);
        const auto* split = pair.split.shifted ((float) c.semitones);
        const auto* whole = pair.whole.shifted ((float) c.semitones);
        ASSERT_TRUE (split != nullptr && whole != nullptr);
        EXPECT_EQ (sameAudio (*split, *whole), c.onePiece);
    }
}

TEST (PitchShiftCache, KeepsTwoTranspositions)
{
    tg::Lane lane;
    load (lane, tg::hats, tgtest::drumLoop (120.0, 1, kRate));

    EXPECT_EQ (lane.shifted (0.4f), nullptr);
    EXPECT_EQ (lane.shifted (-0.5f + 0.01f), nullptr);
    EXPECT_TRUE (lane.pitched.empty());

    const auto* up = lane.shifted (0.6f);
    ASSERT_NE (up, nullptr);
    EXPECT_EQ (lane.shifted (1.2f), up);
    EXPECT_EQ (lane.shifted (0.5f), up); // halves round away from zero

    const auto* down = lane.shifted (-1.0f);
    ASSERT_NE (down, nullptr);
    EXPECT_NE (down, up);
    EXPECT_EQ (lane.shifted (1.0f), up); // +1, -1, +1: computed twice
    EXPECT_EQ (lane.pitched.size(), 2u);
    EXPECT_TRUE (lane.retired.empty());

    const float* upSamples = up->getReadPointer (0);
    const auto* third = lane.shifted (3.0f); // +1, -1, +3: the first two are retired
    ASSERT_NE (third, nullptr);
    EXPECT_EQ (lane.pitched.size(), 1u);
    EXPECT_EQ (lane.pitched.count (3), 1u);
    ASSERT_EQ (lane.retired.size(), 2u);
    EXPECT_EQ (lane.retired[1].getReadPointer (0), upSamples); // moved, still alive

    lane.rebuildPlayBuffer (tg::hats);
    EXPECT_TRUE (lane.pitched.empty());
    EXPECT_EQ (lane.retired.size(), 3u);
}

TEST (PitchShiftEdges, TinyAndEmptyBuffers)
{
    for (const int n : { 1, 7 })
    {
        SCOPED_TRACE (n);
        tg::Lane lane;
        load (lane, tg::kick, std::vector<float> ((size_t) n, 0.5f));
        const auto* out = lane.shifted (5.0f);
        ASSERT_NE (out, nullptr);
        EXPECT_EQ (out->getNumChannels(), 2);
        ASSERT_EQ (out->getNumSamples(), n);
        EXPECT_EQ (out->getMagnitude (0, n), 0.0f); // too short to carry a piece: silent
    }

    tg::Lane empty;
    EXPECT_EQ (empty.shifted (5.0f), nullptr);
    load (empty, tg::kick, {});
    EXPECT_EQ (empty.shifted (5.0f), nullptr);
}
} // namespace
