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

// The send bus may sleep once its return has stayed below this (-140 dB) for kSendBusQuietTime
// seconds with nothing sent: three times the reverb's longest path (comb plus the all-pass
// chain, about 75 ms), so no echo is still on its way through the delay lines.
constexpr float kSendBusFloor = 1.0e-7f;
constexpr double kSendBusQuietTime = 0.25;
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
            // What is left is below -140 dB: clear it, so that a wake starts from silence.
            fprintf (stderr, "SLEEP at %f\n", playPos);
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

    // Bass mono: the side signal loses everything below 150 Hz.
    if (outR != nullptr && readSwitch (cache.mono, true))
    {
        for (int k = 0; k < n; ++k)
        {
            const double mid = (outL[k] + outR[k]) * 0.5;
            const double side = (outL[k] - outR[k]) * 0.5;
            const double sideHigh = side - bassMonoLowPass.process (side);
            outL[k] = (float) (mid + sideHigh);
            outR[k] = (float) (mid - sideHigh);
        }
    }

    if (readSwitch (cache.dc, true))
    {
        for (int k = 0; k < n; ++k)
            outL[k] = (float) dcFilter[0].process (outL[k]);
        if (outR != nullptr)
            for (int k = 0; k < n; ++k)
                outR[k] = (float) dcFilter[1].process (outR[k]);
    }

    // Safety limiter: instant attack, 60 ms release, hard ceiling.
    const float release = 1.0f - std::exp (-1.0f / (0.06f * (float) sampleRate));
    float smallestGain = limiterGain;
    for (int k = 0; k < n; ++k)
    {
        const float peak = juce::jmax (std::abs (outL[k]), outR != nullptr ? std::abs (outR[k]) : 0.0f);
        const float target = peak * limiterGain > 0.983f ? 0.983f / juce::jmax (peak, 1e-9f) : 1.0f;
        if (target < limiterGain)
            limiterGain = target;
        else
            limiterGain += release * (juce::jmin (target, 1.0f) - limiterGain);

        outL[k] = clampOutput (outL[k] * limiterGain);
        if (outR != nullptr)
            outR[k] = clampOutput (outR[k] * limiterGain);
        smallestGain = juce::jmin (smallestGain, limiterGain);
    }
    limiterActive.store (smallestGain < 0.995f);
}

bool TapegrubProcessor::renderLaneBlock (int lane, int n, double tempo, double samplesPerBar, double phraseLen,
                                         bool anySolo, float rawMix, float sparkleMix)
{
    auto& view = laneViews[(size_t) lane];
    auto& v = view.voice;
    const auto l = (size_t) lane;

    float target = 1.0f;
    if (readSwitch (cache.mute[l], false))
        target = 0.0f;
    else if (anySolo)
        target = readSwitch (cache.solo[l], false) ? 1.0f : 0.0f;

    // A muted lane that has faded out costs nothing and does not advance.
    if (target == 0.0f && view.gain < 0.0005f)
        return false;

    const float vol = readFloat (cache.vol[l], kVolumeFallback);
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

    for (int k = 0; k < n; ++k)
    {
        double pos = playPos + k;
        while (pos >= phraseLen)
            pos -= phraseLen;
        double t = std::fmod (pos, loopLen);
        if (shiftSamples > 0.0)
        {
            t -= shiftSamples;
            if (t < 0.0)
                t += loopLen;
        }
        const double src = t * rate;

        double l = 0.0, r = 0.0;
        // Up to 8 samples past the end hold the last sample, hiding rounding at the seam.
        if (src >= 0.0 && src < (double) last + 8.0)
        {
            const int i0 = juce::jlimit (0, last, (int) src);
            const int i1 = juce::jmin (i0 + 1, last);
            const double f = juce::jlimit (0.0, 1.0, src - i0);
            l = srcL[i0] + (srcL[i1] - srcL[i0]) * f;
            r = srcR[i0] + (srcR[i1] - srcR[i0]) * f;
        }

        double g = tgvoice::edgeFade (t, loopLen, edgeLen);
        g *= tgvoice::onsetPunchGate (v, src, rate, view.onsets, view.onsetCount, dials, gate, punchDecay, timeStep);

        view.gain += juce::jlimit (-gainStep, gainStep, target - view.gain);
        g *= (double) view.gain * vol * polarity;

        l *= g;
        r *= g;
        tgvoice::effectRack (v, dials, l, r);
        outL[k] = (float) l;
        outR[k] = (float) r;
    }

    auto& raw = rawFx[l];
    if (tgdsp::rawShouldRun (raw, rawMix))
        raw.process (outL, outR, n, sampleRate, rawMix);
    if (tgdsp::sparkleShouldRun (sparkle[l], sparkleMix))
        tgdsp::processSparkle (sparkle[l], outL, outR, n, sampleRate, sparkleMix);
    return true;
}
