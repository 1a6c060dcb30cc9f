// The live render loop driven like a host drives it: tempo and position from a scripted play
// head, the transport switches, audibility (mute, solo, the lane-lock fade), beat shift, the
// mono fold-down and the safety limiter.
//
// Most cases play a ramp on KICK (whose play buffer is the raw loop): sample i of the loop is
// 0.8 * i / length, so the output divided by the lane gain reads back the exact buffer position
// the voice played, since linear interpolation of a line is exact.
#include "support/ProcessorRig.h"

#include <cmath>
#include <limits>

namespace
{
constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr int kBar120 = 96000; // one bar at 120 BPM and 48 kHz, in samples
constexpr double kRampTop = 0.8;
constexpr double kPositionTolerance = 0.05; // samples
constexpr int kEdge = 100; // samples kept clear of the 2 ms loop-edge fade (96 samples)

juce::AudioBuffer<float> rampLoop (int length)
{
    return tgtest::makeBuffer (length, [length] (int, int i) { return kRampTop * i / length; });
}

juce::AudioBuffer<float> constantLoop (int length, double left, double right)
{
    return tgtest::makeBuffer (length, [=] (int c, int) { return c == 0 ? left : right; });
}

juce::AudioBuffer<float> sineLoop (int length, double hz, double amplitude, double rate = kRate)
{
    return tgtest::makeBuffer (length, [=] (int, int i) {
        return amplitude * std::sin (2.0 * juce::MathConstants<double>::pi * hz * i / rate);
    });
}

float raw (TapegrubProcessor& p, const juce::String& id)
{
    return p.parameters.getRawParameterValue (id)->load();
}

// The buffer position a ramp sample of a lane at volume vol reads back as.
double rampPosition (float sample, float vol, int length)
{
    return sample / (kRampTop * vol) * length;
}

// Plays one block so the lane's 4 ms fade-in is over, then moves the host to ppq.
void warmUp (tgtest::Rig& rig, double ppq = 0.0)
{
    tgtest::render (rig.processor, rig.head, kBlock, kBlock);
    rig.head.ppq = ppq;
}

juce::AudioBuffer<float> play (tgtest::Rig& rig, int samples, int channels = 2)
{
    return tgtest::render (rig.processor, rig.head, samples, kBlock, channels);
}

bool isSilent (const juce::AudioBuffer<float>& b)
{
    for (int c = 0; c < b.getNumChannels(); ++c)
        if (b.getMagnitude (c, 0, b.getNumSamples()) != 0.0f)
            return false;
    return true;
}
} // namespace

// The host's tempo is sanitised (non-positive or non-finite: 120; clamped to 40..240; missing:
// the pack's tempo) and the loop is read at tempo / loop tempo times its own speed.
TEST (RenderLoop, HostTempoIsSanitisedAndSetsTheReadSpeed)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case
    {
        std::optional<double> hostBpm;
        double packBpm;
        double tempo;
        double loopRate = kRate;
    };
    const Case cases[] {
        { 120.0, 125.0, 120.0 }, { 170.0, 125.0, 170.0 }, { 300.0, 125.0, 240.0 },
        { 20.0, 125.0, 40.0 },   { 0.0, 125.0, 120.0 },   { nan, 125.0, 120.0 },
        { -30.0, 125.0, 120.0 }, { inf, 125.0, 120.0 },   { std::nullopt, 100.0, 100.0 },
        { std::nullopt, 0.0, 120.0 }, { std::nullopt, 500.0, 240.0 },
        { 120.0, 125.0, 120.0, 44100.0 }, { 170.0, 125.0, 170.0, 96000.0 }, // loops at other rates
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE ((c.hostBpm ? juce::String (*c.hostBpm).toStdString() : "no tempo, pack " + std::to_string (c.packBpm))
                      + ", loop at " + std::to_string (c.loopRate));
        tgtest::Rig rig;
        auto& p = rig.processor;
        p.engine.packBpm = c.packBpm;
        rig.head.bpm = c.hostBpm;
        const int loopLen = (int) (2.0 * c.loopRate); // 1 bar at 120 BPM
        tgtest::installLoop (p, tg::kick, rampLoop (loopLen), c.loopRate, 120.0, 1);
        warmUp (rig);
        const auto out = play (rig, kBlock);

        EXPECT_DOUBLE_EQ (p.hostBpm.load(), c.tempo);
        const float vol = raw (p, "vol_0");
        const double speed = c.tempo / 120.0 * c.loopRate / kRate; // loop samples per output sample
        for (int k = kEdge; k < kBlock; k += 37)
            EXPECT_NEAR (rampPosition (out.getSample (0, k), vol, loopLen), k * speed, kPositionTolerance) << k;
    }
}

TEST (RenderLoop, FasterHostVarispeedsTheLoopAndRepeatsItEveryBar)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    rig.head.bpm = 170.0;
    tgtest::installLoop (p, tg::kick, rampLoop (kBar120), kRate, 120.0, 1);
    warmUp (rig);

    const double hostBar = 60.0 / 170.0 * kRate * 4.0;
    const auto out = play (rig, (int) (3 * hostBar));
    const float vol = raw (p, "vol_0");

    int checked = 0;
    for (int k = 0; k < out.getNumSamples(); k += 11)
    {
        const double t = std::fmod ((double) k, hostBar);
        if (t < kEdge || hostBar - t < kEdge)
            continue;
        ASSERT_NEAR (rampPosition (out.getSample (0, k), vol, kBar120), t * 170.0 / 120.0, kPositionTolerance) << k;
        ++checked;
    }
    EXPECT_GT (checked, 15000);
}

TEST (RenderLoop, HostPositionPlacesThePhrase)
{
    constexpr int loopLen = 4 * kBar120; // a 4-bar loop in a 4-bar phrase
    struct Case
    {
        double ppq, beat;
    };
    // A negative ppq (a pre-roll) counts as no position: playback carries on from the block
    // before, which ended 512 samples (beat 0.021333) in.
    const Case cases[] { { 13.5, 13.5 }, { 29.5, 13.5 }, { 0.25, 0.25 }, { 7.0, 7.0 }, { -2.5, kBlock / 24000.0 } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.ppq);
        tgtest::Rig rig;
        auto& p = rig.processor;
        tgtest::installLoop (p, tg::kick, rampLoop (loopLen), kRate, 120.0, 4);
        warmUp (rig, c.ppq);
        const auto out = play (rig, kBlock);

        const double start = c.beat * 24000.0; // samples per beat at 120 BPM
        const float vol = raw (p, "vol_0");
        for (int k = 0; k < kBlock; k += 17)
            EXPECT_NEAR (rampPosition (out.getSample (0, k), vol, loopLen), start + k, kPositionTolerance) << k;
        EXPECT_NEAR (p.phraseProgress.load(), (start + kBlock) / loopLen, 1e-9);
    }
}

TEST (RenderLoop, OneBarPhraseRepeatsTheFirstBarOfALongerLoop)
{
    constexpr int loopLen = 4 * kBar120;
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::setParam (p, "bars", 0.0f); // phrase of 1 bar
    tgtest::installLoop (p, tg::kick, rampLoop (loopLen), kRate, 120.0, 4);
    warmUp (rig);

    const auto out = play (rig, 5 * kBar120 / 2);
    const float vol = raw (p, "vol_0");
    for (int k = 0; k < out.getNumSamples(); k += 13)
    {
        const double inBar = std::fmod ((double) k, (double) kBar120);
        if (inBar < kEdge)
            continue;
        ASSERT_NEAR (rampPosition (out.getSample (0, k), vol, loopLen), inBar, kPositionTolerance) << k;
    }
}

// Every pass over the loop's seam fades out and back in over 2 ms (96 samples at 48 kHz).
TEST (RenderLoop, LoopSeamIsFadedOverTwoMilliseconds)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::installLoop (p, tg::kick, constantLoop (kBar120, 0.5, 0.5), kRate, 120.0, 1);
    warmUp (rig);
    const auto out = play (rig, kBar120 + 2 * kBlock);

    const double level = 0.5 * raw (p, "vol_0");
    for (const int m : { 0, 1, 30, 95 })
    {
        EXPECT_NEAR (out.getSample (0, kBar120 + m), level * m / 96.0, 1e-5) << m;
        EXPECT_NEAR (out.getSample (1, kBar120 - m), level * m / 96.0, 1e-5) << m;
    }
    EXPECT_NEAR (out.getSample (0, kBar120 + 96), level, 1e-6);
    EXPECT_NEAR (out.getSample (0, kBar120 - 97), level, 1e-6);
}

TEST (RenderLoop, BeatShiftOfMinusOneEqualsSevenOnATwoBarLoop)
{
    constexpr int loopLen = 2 * kBar120;
    float vol = 0.0f;
    auto renderShifted = [&vol] (int shift) {
        tgtest::Rig rig;
        auto& p = rig.processor;
        tgtest::installLoop (p, tg::kick, rampLoop (loopLen), kRate, 120.0, 2);
        p.engine.lanes[tg::kick].beatShift = shift;
        p.refreshLanePlay (tg::kick);
        warmUp (rig);
        vol = raw (p, "vol_0");
        return play (rig, kBar120);
    };

    const auto minusOne = renderShifted (-1);
    const auto seven = renderShifted (7);
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < kBar120; ++k)
            ASSERT_EQ (minusOne.getSample (c, k), seven.getSample (c, k)) << k;

    // Shifted 7 beats later = the loop read one beat ahead.
    for (int k = 0; k < kBar120; k += 101)
        EXPECT_NEAR (rampPosition (seven.getSample (0, k), vol, loopLen), k + 24000.0, kPositionTolerance) << k;
}

TEST (RenderLoop, PlaySwitchAndHostTransport)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::installLoop (p, tg::kick, constantLoop (kBar120, 0.5, 0.5), kRate, 120.0, 1);
    const double phraseLen = 4.0 * kBar120;

    // Host stopped, play off: silence.
    rig.head.playing = false;
    EXPECT_TRUE (isSilent (play (rig, 2 * kBlock)));
    EXPECT_FALSE (p.isPlayingNow.load());
    EXPECT_EQ (p.phraseProgress.load(), 0.0);

    // Play on with the host stopped: internal playback from the phrase start.
    tgtest::setParam (p, "play", 1.0f);
    EXPECT_FALSE (isSilent (play (rig, 2 * kBlock)));
    EXPECT_TRUE (p.isPlayingNow.load());
    EXPECT_NEAR (p.phraseProgress.load(), 2.0 * kBlock / phraseLen, 1e-12);

    // The host starts: its position takes over.
    rig.head.playing = true;
    rig.head.ppq = 4.0;
    play (rig, kBlock);
    EXPECT_NEAR (p.phraseProgress.load(), (4.0 * 24000.0 + kBlock) / phraseLen, 1e-9);

    // The host stops: silent at once, and the play switch goes off on the message thread.
    rig.head.playing = false;
    EXPECT_TRUE (isSilent (play (rig, kBlock)));
    EXPECT_FALSE (p.isPlayingNow.load());
    EXPECT_EQ (raw (p, "play"), 1.0f);
    p.handleUpdateNowIfNeeded();
    EXPECT_EQ (raw (p, "play"), 0.0f);

    EXPECT_TRUE (isSilent (play (rig, 2 * kBlock)));
    EXPECT_EQ (p.phraseProgress.load(), 0.0);

    // Play on again: internal playback restarts at the phrase start, not where the host was.
    tgtest::setParam (p, "play", 1.0f);
    play (rig, kBlock);
    EXPECT_NEAR (p.phraseProgress.load(), kBlock / phraseLen, 1e-12);
}

TEST (RenderLoop, MuteFadesOutInFourMillisecondsThenSkipsTheLane)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::installLoop (p, tg::kick, constantLoop (kBar120, 0.5, 0.5), kRate, 120.0, 1);
    tgtest::setParam (p, "fx_0_6", 0.8f); // punch on, so the voice tracks its source position
    play (rig, 48000);                    // the punch of the onset at 0 has long decayed

    const double level = 0.5 * raw (p, "vol_0");
    const int fade = 192; // 4 ms at 48 kHz
    auto& view = p.laneViews[tg::kick];

    tgtest::setParam (p, "mute_0", 1.0f);
    auto out = play (rig, kBlock);
    for (int k = 0; k < kBlock; ++k)
        ASSERT_NEAR (out.getSample (0, k), level * juce::jmax (0.0, 1.0 - (k + 1.0) / fade), 1e-5) << k;

    const double frozenSrc = view.voice.lastSrcPos;
    EXPECT_TRUE (isSilent (play (rig, 3 * kBlock)));
    EXPECT_EQ (view.gain, 0.0f);
    EXPECT_EQ (view.voice.lastSrcPos, frozenSrc); // skipped: the voice did not run

    tgtest::setParam (p, "mute_0", 0.0f);
    out = play (rig, kBlock);
    for (int k = 0; k < kBlock; ++k)
        ASSERT_NEAR (out.getSample (1, k), level * juce::jmin (1.0, (k + 1.0) / fade), 1e-5) << k;
    EXPECT_GT (view.voice.lastSrcPos, frozenSrc);
}

TEST (RenderLoop, SoloSilencesEveryLaneWhoseSoloIsOff)
{
    auto load = [] (tgtest::Rig& rig, bool everyLane) {
        auto& p = rig.processor;
        if (everyLane)
        {
            tgtest::installLoop (p, tg::kick, constantLoop (kBar120, 0.2, 0.2), kRate, 120.0, 1);
            tgtest::installLoop (p, tg::bass, constantLoop (kBar120, 0.1, 0.15), kRate, 120.0, 1);
            tgtest::installLoop (p, tg::perc2, sineLoop (kBar120, 2000.0, 0.2), kRate, 120.0, 1);
        }
        tgtest::installLoop (p, tg::clap, sineLoop (kBar120, 1000.0, 0.3), kRate, 120.0, 1);
    };

    tgtest::Rig rig, alone;
    load (rig, true);
    load (alone, false);
    play (rig, kBlock);
    play (alone, kBlock);

    tgtest::setParam (rig.processor, "solo_3", 1.0f);
    play (rig, kBlock); // the other lanes fade out
    play (alone, kBlock);

    const auto soloed = play (rig, 8 * kBlock);
    const auto reference = play (alone, 8 * kBlock);
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < soloed.getNumSamples(); ++k)
            ASSERT_EQ (soloed.getSample (c, k), reference.getSample (c, k)) << c << ", " << k;

    for (const int lane : { tg::kick, tg::bass, tg::perc2 })
        EXPECT_EQ (rig.processor.laneViews[(size_t) lane].gain, 0.0f) << lane;
    EXPECT_EQ (rig.processor.laneViews[tg::clap].gain, 1.0f);
}

// A mono output gets (L + R) / 2 of the lanes plus only the left reverb return.
TEST (RenderLoop, MonoOutputFoldsLanesAndTakesTheLeftReturn)
{
    auto renderWith = [] (float verb, int channels) {
        tgtest::Rig rig;
        auto& p = rig.processor;
        auto loop = tgtest::makeBuffer (kBar120, [] (int c, int i) {
            const double hz = c == 0 ? 300.0 : 450.0;
            return (c == 0 ? 0.3 : 0.2) * std::sin (2.0 * juce::MathConstants<double>::pi * hz * i / kRate);
        });
        tgtest::installLoop (p, tg::kick, std::move (loop), kRate, 120.0, 1);
        tgtest::setParam (p, "fx_0_5", verb);
        return play (rig, 16 * kBlock, channels);
    };

    const auto dry = renderWith (0.0f, 2);
    const auto wet = renderWith (0.6f, 2);
    const auto monoDry = renderWith (0.0f, 1);
    const auto monoWet = renderWith (0.6f, 1);
    ASSERT_EQ (monoWet.getNumChannels(), 1);

    for (int k = 0; k < dry.getNumSamples(); ++k)
    {
        const double fold = 0.5 * (dry.getSample (0, k) + dry.getSample (1, k));
        ASSERT_NEAR (monoDry.getSample (0, k), fold, 1e-6) << k;
        const double leftReturn = wet.getSample (0, k) - dry.getSample (0, k);
        ASSERT_NEAR (monoWet.getSample (0, k), fold + leftReturn, 1e-6) << k;
    }
    // The returns are really there, and the right one is not the left one.
    double leftRight = 0.0;
    for (int k = 0; k < wet.getNumSamples(); ++k)
        leftRight += std::abs ((wet.getSample (0, k) - dry.getSample (0, k)) - (wet.getSample (1, k) - dry.getSample (1, k)));
    EXPECT_GT (leftRight, 1.0);
}

// The reverb return is wet only, from the first sample after preparation on, and each channel
// of a lane feeds its own side of the send. The reverb hears the sum of its two inputs, so a
// lane whose right channel is its left inverted leaves no return at all, live or offline.
TEST (RenderLoop, ReverbReturnIsWetOnlyAndHearsBothChannels)
{
    auto sideOnly = [] (int c, int i, double rate) {
        return (c == 0 ? 0.3 : -0.3) * std::sin (2.0 * juce::MathConstants<double>::pi * 300.0 * i / rate);
    };
    auto renderWith = [&] (float verb) {
        tgtest::Rig rig;
        auto& p = rig.processor;
        tgtest::installLoop (p, tg::kick, tgtest::makeBuffer (kBar120, [&] (int c, int i) { return sideOnly (c, i, kRate); }),
                             kRate, 120.0, 1);
        tgtest::setParam (p, "fx_0_5", verb);
        return play (rig, 16 * kBlock);
    };
    auto renderOffline = [&] (float verb) {
        TapegrubProcessor p;
        tgtest::neutralMaster (p);
        tgtest::installLoop (p, tg::kick, tgtest::makeBuffer (88200, [&] (int c, int i) { return sideOnly (c, i, 44100.0); }),
                             44100.0, 120.0, 1);
        tgtest::setParam (p, "fx_0_5", verb);
        return p.renderLane (tg::kick, 1);
    };

    for (const auto& [dry, wet] : { std::make_pair (renderWith (0.0f), renderWith (0.8f)),
                                    std::make_pair (renderOffline (0.0f), renderOffline (0.8f)) })
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < dry.getNumSamples(); ++k)
                ASSERT_EQ (wet.getSample (c, k), dry.getSample (c, k)) << c << ", " << k;
}

TEST (RenderLoop, SafetyLimiterHoldsTheCeiling)
{
    tgtest::Rig rig;
    auto& p = rig.processor;
    tgtest::setParam (p, "vol_0", 1.0f);
    tgtest::setParam (p, "vol_1", 1.0f);
    tgtest::installLoop (p, tg::kick, sineLoop (kBar120, 100.0, 0.3), kRate, 120.0, 1);

    play (rig, 4 * kBlock);
    EXPECT_FALSE (p.limiterActive.load());

    // Two full-scale sines in phase: a peak near 2 before the limiter.
    tgtest::installLoop (p, tg::kick, sineLoop (kBar120, 100.0, 1.0), kRate, 120.0, 1);
    tgtest::installLoop (p, tg::bass, sineLoop (kBar120, 100.0, 1.0), kRate, 120.0, 1);
    // Instant attack: no sample gets further past the 0.983 threshold than one sample of
    // release (a factor 1 + 0.06 s release step, under 1e-3), so the 0.999 clamp never acts.
    const auto out = play (rig, 48000);
    for (int c = 0; c < 2; ++c)
    {
        EXPECT_LE (out.getMagnitude (c, 0, out.getNumSamples()), 0.984f);
        EXPECT_GT (out.getMagnitude (c, 24000, 24000), 0.97f);
    }
    EXPECT_TRUE (p.limiterActive.load());
}
