// The real-time render: host sync, lane voices, send reverb and the master chain.
// Audio thread only (prepareToPlay on the host thread, never concurrently with it).
#include "TapegrubProcessor.h"

using namespace tgparams;

namespace
{
constexpr double kDefaultTempo = 120.0;
constexpr double kMinTempo = 40.0, kMaxTempo = 240.0;

double sanitiseTempo (double bpm) noexcept
{
    if (! (bpm > 0.0) || ! std::isfinite (bpm))
        bpm = kDefaultTempo;
    return juce::jlimit (kMinTempo, kMaxTempo, bpm);
}

float clampOutput (float x) noexcept
{
    return std::isfinite (x) ? juce::jlimit (-0.999f, 0.999f, x) : 0.0f;
}

// The send bus may sleep once its return has stayed below kSendBusFloor (-100 dB) for
// kSendBusQuietTime seconds with nothing sent. The time is three times the reverb's longest
// path (a comb plus the all-pass chain, about 75 ms), so no echo is still on its way through
// the delay lines. The floor sits just above the reverb's own idle noise: its undenormalising
// rounding keeps the combs cycling at 5e-6 (-106 dB) peak however long the input is silent,
// so its tail never decays further and sleeping drops at most that.
constexpr float kSendBusFloor = 1.0e-5f;
constexpr double kSendBusQuietTime = 0.25;

// A lane voice renders in chunks of this many samples, one stage at a time (see effectRack).
constexpr int kVoiceChunk = 256;

// The voice's trackers, copied out of its VoiceState for the length of a block.
struct VoiceTrackers
{
    double punchEnv;
    int nextOnset;
    double lastSrcPos;
    double gateTime;
    double gateGain;

    explicit VoiceTrackers (const tgvoice::VoiceState& v) noexcept
        : punchEnv (v.punchEnv), nextOnset (v.nextOnset), lastSrcPos (v.lastSrcPos),
          gateTime (v.gateTime), gateGain (v.gateGain) {}

    void storeTo (tgvoice::VoiceState& v) const noexcept
    {
        v.punchEnv = punchEnv;
        v.nextOnset = nextOnset;
        v.lastSrcPos = lastSrcPos;
        v.gateTime = gateTime;
        v.gateGain = gateGain;
    }
};

// The master chain after the send return, one pass per block: bass mono, the DC filter and
// the safety limiter (instant attack, release by releaseStep per sample, hard ceiling).
// Returns the smallest limiter gain of the block.
template <bool stereo, bool bassMono, bool dcOn>
float masterChain (float* outL, float* outR, int n, tgvoice::Biquad& monoLowPass, std::array<tgvoice::Biquad, 2>& dc,
                   float& limiterGain, float releaseStep) noexcept
{
    tgvoice::detail::BiquadState mono (monoLowPass), dcL (dc[0]), dcR (dc[1]);
    float gain = limiterGain, smallestGain = limiterGain;
    for (int k = 0; k < n; ++k)
    {
        float l = outL[k], r = stereo ? outR[k] : 0.0f;

        // The side signal loses everything below 150 Hz.
        if constexpr (stereo && bassMono)
        {
            const double mid = (l + r) * 0.5;
            const double side = (l - r) * 0.5;
            const double sideHigh = side - mono.step (monoLowPass, side);
            l = (float) (mid + sideHigh);
            r = (float) (mid - sideHigh);
        }

        if constexpr (dcOn)
        {
            l = (float) dcL.step (dc[0], l);
            if constexpr (stereo)
                r = (float) dcR.step (dc[1], r);
        }

        const float peak = juce::jmax (std::abs (l), stereo ? std::abs (r) : 0.0f);
        const float target = peak * gain > 0.983f ? 0.983f / juce::jmax (peak, 1e-9f) : 1.0f;
        if (target < gain)
            gain = target;
        else
            gain += releaseStep * (juce::jmin (target, 1.0f) - gain);

        outL[k] = clampOutput (l * gain);
        if constexpr (stereo)
            outR[k] = clampOutput (r * gain);
        smallestGain = juce::jmin (smallestGain, gain);
    }
    mono.storeTo (monoLowPass);
    dcL.storeTo (dc[0]);
    dcR.storeTo (dc[1]);
    limiterGain = gain;
    return smallestGain;
}
} // namespace

void TapegrubProcessor::prepareToPlay (double rate, int maximumBlockSize)
{
    sampleRate = juce::jmax (rate, 8000.0);
    const double nyquistGuard = 0.45 * sampleRate;

    for (auto& f : dcFilter)
    {
        f.setHighPass (juce::jmin (18.0, nyquistGuard), sampleRate);
        f.reset();
    }
    bassMonoLowPass.setLowPass (juce::jmin (150.0, nyquistGuard), sampleRate);
    bassMonoLowPass.reset();
    for (size_t c = 0; c < 2; ++c)
    {
        sendHighPass[c].setHighPass (juce::jmin (180.0, nyquistGuard), sampleRate);
        sendLowPass[c].setLowPass (juce::jmin (7000.0, nyquistGuard), sampleRate);
        sendHighPass[c].reset();
        sendLowPass[c].reset();
    }

    // Parameters before the rate: setSampleRate snaps the reverb's smoothed gains to their
    // targets, so the return starts wet-only instead of gliding for 10 ms from JUCE's default
    // parameters, whose dry path would leak the send into the output.
    reverb.setParameters (tgvoice::grooveReverbParameters());
    reverb.setSampleRate (sampleRate);
    reverb.reset();
    sendBusAsleep = true;
    sendBusQuietSamples = 0;

    const int scratch = juce::jmax (maximumBlockSize, 8192);
    sendBuffer.setSize (2, scratch, false, true, false);
    laneScratch.setSize (2, scratch, false, true, false);

    for (int lane = 0; lane < numLanes; ++lane)
    {
        rawFx[(size_t) lane].prepare (sampleRate);
        sparkle[(size_t) lane].reset();
        auto& v = laneViews[(size_t) lane].voice;
        v.filterL.reset();
        v.filterR.reset();
        v.lastFilter = -1.0f;
    }

    limiterGain = 1.0f;

    {
        const juce::SpinLock::ScopedLockType lock (laneLock);
        for (int lane = 0; lane < numLanes; ++lane)
            refreshLanePlayLocked (lane);
    }

    pendingLaneMask.store (~0u);
    triggerAsyncUpdate();
}

void TapegrubProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    juce::ScopedNoDenormals noDenormals;
    midi.clear();
    buffer.clear();

    const int n = buffer.getNumSamples();
    const int outChannels = buffer.getNumChannels();
    if (n <= 0 || outChannels <= 0)
        return;

    // Host position.
    double tempo = engine.packBpm;
    double ppq = -1.0;
    bool hostPlaying = false;
    if (auto* head = getPlayHead())
    {
        if (const auto pos = head->getPosition())
        {
            if (const auto bpm = pos->getBpm())
                tempo = *bpm;
            ppq = pos->getPpqPosition().orFallback (-1.0);
            hostPlaying = pos->getIsPlaying();
        }
    }

    tempo = sanitiseTempo (tempo);
    hostBpm.store (tempo);

    bool playing = false;
    if (wasHostPlaying && ! hostPlaying)
    {
        // The host just stopped: the play switch goes off too (on the message thread).
        resetPlayRequest.store (true);
        triggerAsyncUpdate();
        wasHostPlaying = false;
    }
    else
    {
        wasHostPlaying = hostPlaying;
        playing = hostPlaying || readSwitch (cache.play, false);
    }
    isPlayingNow.store (playing);

    const int phraseBars = readBarsPerPhrase (cache.bars);
    const double samplesPerBar = 60.0 / tempo * sampleRate * 4.0;
    const double phraseLen = samplesPerBar * phraseBars;

    if (! playing)
    {
        wasPlaying = false;
        phraseProgress.store (0.0);
        reverb.reset();
        for (size_t c = 0; c < 2; ++c)
        {
            sendHighPass[c].reset();
            sendLowPass[c].reset();
        }
        sendBusAsleep = true;
        return;
    }

    if (ppq >= 0.0 && hostPlaying)
    {
        const double phraseBeats = 4.0 * phraseBars;
        const double beat = std::fmod (std::fmod (ppq, phraseBeats) + phraseBeats, phraseBeats);
        playPos = beat * (60.0 / tempo) * sampleRate;
    }
    else if (! wasPlaying)
    {
        playPos = 0.0;
    }
    wasPlaying = true;

    const juce::SpinLock::ScopedTryLockType lock (laneLock);
    if (! lock.isLocked())
    {
        // A writer is swapping lane audio: this block stays silent and the lanes fade back in.
        missedBlock.store (true);
        return;
    }
    if (missedBlock.exchange (false))
        for (auto& view : laneViews)
            view.gain = 0.0f;

    if (sendBuffer.getNumSamples() < n || laneScratch.getNumSamples() < n)
    {
        // Only when the host exceeds the block size it prepared us for.
        sendBuffer.setSize (2, n, false, true, true);
        laneScratch.setSize (2, n, false, true, true);
    }

    const float rawMix = readSwitch (cache.raw, false) ? readFloat (cache.rawmix, 0.4f) : 0.0f;
    const bool sparkleOn = readSwitch (cache.sparkle, false) && cache.sparklemix != nullptr;
    const float sparkleMix = sparkleOn ? readFloat (cache.sparklemix, 0.4f) : 0.0f;
    bool sending = false; // whether any lane feeds the send bus this block

    bool anySolo = false;
    for (int lane = 0; lane < numLanes; ++lane)
        anySolo = anySolo || readSwitch (cache.solo[(size_t) lane], false);

    for (int lane = 0; lane < numLanes; ++lane)
    {
        const auto& view = laneViews[(size_t) lane];
        if (view.left == nullptr || view.numSamples < 1)
            continue;

        if (! renderLaneBlock (lane, n, tempo, samplesPerBar, phraseLen, anySolo, rawMix, sparkleMix))
            continue;

        const auto* laneL = laneScratch.getReadPointer (0);
        const auto* laneR = laneScratch.getReadPointer (1);
        if (outChannels > 1)
        {
            buffer.addFrom (0, 0, laneL, n);
            buffer.addFrom (1, 0, laneR, n);
        }
        else
        {
            buffer.addFrom (0, 0, laneL, n, 0.5f);
            buffer.addFrom (0, 0, laneR, n, 0.5f);
        }

        const float send = 0.9f * readFloat (cache.fx[(size_t) lane][tgvoice::verb], 0.0f);
        if (send > 0.01f)
        {
            if (! sending)
                sendBuffer.clear (0, n);
            sending = true;
            sendBuffer.addFrom (0, 0, laneL, n, send);
            sendBuffer.addFrom (1, 0, laneR, n, send);
        }
    }

    playPos += n;
    while (playPos >= phraseLen)
        playPos -= phraseLen;
    phraseProgress.store (playPos / phraseLen);

    auto* outL = buffer.getWritePointer (0);
    auto* outR = outChannels > 1 ? buffer.getWritePointer (1) : nullptr;

    // Send bus: band-limited, then the reverb, returned at 0.9. Asleep it adds nothing.
    if (sending || ! sendBusAsleep)
    {
        if (! sending)
            sendBuffer.clear (0, n);
        sendBusAsleep = false;

        auto* sendL = sendBuffer.getWritePointer (0);
        auto* sendR = sendBuffer.getWritePointer (1);
        for (int k = 0; k < n; ++k)
        {
            sendL[k] = (float) sendLowPass[0].process (sendHighPass[0].process (sendL[k]));
            sendR[k] = (float) sendLowPass[1].process (sendHighPass[1].process (sendR[k]));
        }
        reverb.processStereo (sendL, sendR, n);

        float peak = 0.0f;
        for (int k = 0; k < n; ++k)
        {
            outL[k] += 0.9f * sendL[k];
            peak = juce::jmax (peak, std::abs (sendL[k]), std::abs (sendR[k]));
        }
        if (outR != nullptr)
            for (int k = 0; k < n; ++k)
                outR[k] += 0.9f * sendR[k];

        if (sending || ! (peak < kSendBusFloor))
        {
            sendBusQuietSamples = 0;
        }
        else if ((sendBusQuietSamples += n) >= (int) (kSendBusQuietTime * sampleRate))
        {
            // Only the idle noise is left: clear it, so that a wake starts from silence.
            reverb.reset();
            for (size_t c = 0; c < 2; ++c)
            {
                sendHighPass[c].reset();
                sendLowPass[c].reset();
            }
            sendBusAsleep = true;
            sendBusQuietSamples = 0;
        }
    }

    // Bass mono, DC filter and the safety limiter (60 ms release).
    const bool bassMono = outR != nullptr && readSwitch (cache.mono, true);
    const bool dcOn = readSwitch (cache.dc, true);
    const float release = 1.0f - std::exp (-1.0f / (0.06f * (float) sampleRate));
    float smallestGain = 1.0f;
    if (outR == nullptr)
        smallestGain = dcOn ? masterChain<false, false, true> (outL, outR, n, bassMonoLowPass, dcFilter, limiterGain, release)
                            : masterChain<false, false, false> (outL, outR, n, bassMonoLowPass, dcFilter, limiterGain, release);
    else if (bassMono)
        smallestGain = dcOn ? masterChain<true, true, true> (outL, outR, n, bassMonoLowPass, dcFilter, limiterGain, release)
                            : masterChain<true, true, false> (outL, outR, n, bassMonoLowPass, dcFilter, limiterGain, release);
    else
        smallestGain = dcOn ? masterChain<true, false, true> (outL, outR, n, bassMonoLowPass, dcFilter, limiterGain, release)
                            : masterChain<true, false, false> (outL, outR, n, bassMonoLowPass, dcFilter, limiterGain, release);
    limiterActive.store (smallestGain < 0.995f);
}

bool TapegrubProcessor::renderLaneBlock (int lane, int n, double tempo, double samplesPerBar, double phraseLen,
                                         bool anySolo, float rawMix, float sparkleMix)
{
    auto& view = laneViews[(size_t) lane];
    auto& v = view.voice;
    const auto index = (size_t) lane;

    float target = 1.0f;
    if (readSwitch (cache.mute[index], false))
        target = 0.0f;
    else if (anySolo)
        target = readSwitch (cache.solo[index], false) ? 1.0f : 0.0f;

    // A muted lane that has faded out costs nothing and does not advance.
    if (target == 0.0f && view.gain < 0.0005f)
        return false;

    const float vol = readFloat (cache.vol[index], kVolumeFallback);
    const auto dials = tgvoice::LaneDials::fromRaw (laneDialValues (lane));
    if (dials.filterOn && std::abs (dials.filterValue - v.lastFilter) > 0.0005f)
    {
        tgvoice::setFilterDial (v.filterL, v.filterR, dials.filterValue, sampleRate, 0.45 * sampleRate);
        v.lastFilter = dials.filterValue;
    }

    const double rate = (tempo / view.loopBpm) * (view.loopSampleRate / sampleRate);
    const double loopLen = view.bars * samplesPerBar;
    const int beats = 4 * juce::jmax (view.bars, 1);
    const double shiftSamples = (double) (((view.beatShift % beats) + beats) % beats) * loopLen / beats;
    const double edgeLen = 0.002 * sampleRate;
    const float gainStep = 1.0f / (0.004f * (float) sampleRate);
    const double punchDecay = 1.0 - std::exp (-1.0 / (0.045 * sampleRate));
    const auto gate = tgvoice::LengthGate::forLane (lane, readFloat (cache.lenmode, 0.0f),
                                                    readFloat (cache.lentrim, 0.5f), sampleRate);
    const double timeStep = 1.0 / sampleRate;
    const float polarity = view.polarity;

    auto* outL = laneScratch.getWritePointer (0);
    auto* outR = laneScratch.getWritePointer (1);
    const float* srcL = view.left;
    const float* srcR = view.right;
    const int last = view.numSamples - 1;

    tgvoice::LoopWrap wrap (loopLen);
    VoiceTrackers trackers (v);
    double chunkL[kVoiceChunk], chunkR[kVoiceChunk];

    // The audibility ramp: once it has arrived, one level serves the whole block.
    float gain = view.gain;
    const bool gainAtRest = gain + juce::jlimit (-gainStep, gainStep, target - gain) == gain;
    const double restingLevel = (double) gain * vol * polarity;

    for (int start = 0; start < n; start += kVoiceChunk)
    {
        const int count = juce::jmin (kVoiceChunk, n - start);

        for (int i = 0; i < count; ++i)
        {
            double pos = playPos + (start + i);
            while (pos >= phraseLen)
                pos -= phraseLen;
            double t = wrap (pos);
            if (shiftSamples > 0.0)
            {
                t -= shiftSamples;
                if (t < 0.0)
                    t += loopLen;
            }
            const double src = t * rate;

            double left = 0.0, right = 0.0;
            // Up to 8 samples past the end hold the last sample, hiding rounding at the seam.
            if (src >= 0.0 && src < (double) last + 8.0)
            {
                const int i0 = juce::jlimit (0, last, (int) src);
                const int i1 = juce::jmin (i0 + 1, last);
                const double f = juce::jlimit (0.0, 1.0, src - i0);
                left = srcL[i0] + (srcL[i1] - srcL[i0]) * f;
                right = srcR[i0] + (srcR[i1] - srcR[i0]) * f;
            }

            double g = tgvoice::edgeFade (t, loopLen, edgeLen);
            g *= tgvoice::onsetPunchGate (trackers, src, rate, view.onsets, view.onsetCount, dials, gate, punchDecay, timeStep);

            if (gainAtRest)
            {
                g *= restingLevel;
            }
            else
            {
                gain += juce::jlimit (-gainStep, gainStep, target - gain);
                g *= (double) gain * vol * polarity;
            }

            chunkL[i] = left * g;
            chunkR[i] = right * g;
        }

        tgvoice::effectRack (v, dials, chunkL, chunkR, count);
        for (int i = 0; i < count; ++i)
        {
            outL[start + i] = (float) chunkL[i];
            outR[start + i] = (float) chunkR[i];
        }
    }

    trackers.storeTo (v);
    view.gain = gain;

    auto& raw = rawFx[index];
    if (tgdsp::rawShouldRun (raw, rawMix))
        raw.process (outL, outR, n, sampleRate, rawMix);
    if (tgdsp::sparkleShouldRun (sparkle[index], sparkleMix))
        tgdsp::processSparkle (sparkle[index], outL, outR, n, sampleRate, sparkleMix);
    return true;
}
