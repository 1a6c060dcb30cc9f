// The offline lane render used by Auto Mix and the WAV export: the lane alone at 44.1 kHz,
// with the same voice stages as the live render but fresh state, no audibility ramp, no
// hold past the buffer's end, a whole-render fade and its own reverb return.
#include "TapegrubProcessor.h"

using namespace tgparams;

namespace
{
constexpr double kRenderRate = 44100.0;
constexpr double kRenderEdge = 88.2; // 2 ms at 44.1 kHz
} // namespace

juce::AudioBuffer<float> TapegrubProcessor::renderLane (int lane, int bars)
{
    if (lane < 0 || lane >= numLanes)
        return {};

    auto& l = engine.lanes[(size_t) lane];
    if (l.play.getNumSamples() < 1)
        return {};

    const double host = hostBpm.load();
    const double tempo = host > 20.0 && host < 400.0 ? host : (engine.packBpm > 0.0 ? engine.packBpm : 125.0);
    const double samplesPerBar = kRenderRate * 60.0 / tempo * 4.0;
    const int count = juce::jmax (0, (int) (bars * samplesPerBar));

    juce::AudioBuffer<float> out (2, count);
    out.clear();

    const int semis = laneSemitoneTotal (lane);
    const juce::AudioBuffer<float>* source = &l.play;
    if (semis != 0)
        if (const auto* pitched = l.shifted ((float) semis))
            source = pitched;

    const int numSamples = source->getNumSamples();
    if (numSamples < 2 || count < 1)
        return out;

    const float* srcL = source->getReadPointer (0);
    const float* srcR = source->getReadPointer (source->getNumChannels() > 1 ? 1 : 0);

    const float vol = readFloat (cache.vol[(size_t) lane], kVolumeFallback);
    const auto dialValues = laneDialValues (lane);
    const auto dials = tgvoice::LaneDials::fromRaw (dialValues);

    tgvoice::VoiceState v;
    if (dials.filterOn)
        tgvoice::setFilterDial (v.filterL, v.filterR, dials.filterValue, kRenderRate, 19845.0);
    if (readSwitch (cache.deres, true))
    {
        for (const auto& notch : l.notches)
        {
            if (v.notchCount >= 3)
                break;
            const auto slot = (size_t) v.notchCount++;
            v.notchL[slot].setPeaking (juce::jlimit (10.0, 0.45 * kRenderRate, notch.frequency), notch.q, notch.gainDb, kRenderRate);
            v.notchR[slot] = v.notchL[slot];
        }
    }

    const double polarity = laneViews[(size_t) lane].polarity;
    const double rate = (tempo / l.bpm) * (l.sampleRate / kRenderRate);
    const double loopLen = juce::jmax (l.playBars, 1) * samplesPerBar;
    const int beats = 4 * juce::jmax (l.playBars, 1);
    const int shift = l.cropLen > 0 ? 0 : ((l.beatShift % beats) + beats) % beats;
    const double shiftSamples = shift * loopLen / beats;
    const auto gate = tgvoice::LengthGate::forLane (lane, readFloat (cache.lenmode, 0.0f),
                                                    readFloat (cache.lentrim, 0.5f), kRenderRate);
    const double punchDecay = 1.0 - std::exp (-1.0 / (0.045 * kRenderRate));
    const int* onsets = l.onsets.empty() ? nullptr : l.onsets.data();
    const int onsetCount = (int) l.onsets.size();

    // A render that does not end on a loop boundary (or starts mid-loop) is faded at both ends.
    const bool wholeFade = shiftSamples > 0.0 || std::fmod ((double) count, loopLen) > 1.0;

    auto* outL = out.getWritePointer (0);
    auto* outR = out.getWritePointer (1);
    for (int j = 0; j < count; ++j)
    {
        double t = std::fmod ((double) j, loopLen);
        if (shiftSamples > 0.0)
        {
            t -= shiftSamples;
            if (t < 0.0)
                t += loopLen;
        }

        double fade = 1.0;
        if (wholeFade)
        {
            if (j <= 88)
                fade = j / kRenderEdge;
            else if (count - j <= 88)
                fade = (count - j) / kRenderEdge;
        }

        const double src = t * rate;
        double left = 0.0, right = 0.0;
        if (src >= 0.0 && src < numSamples - 1)
        {
            const int i0 = (int) src;
            const double f = src - i0;
            left = srcL[i0] + (srcL[i0 + 1] - srcL[i0]) * f;
            right = srcR[i0] + (srcR[i0 + 1] - srcR[i0]) * f;
        }

        double g = fade * tgvoice::edgeFade (t, loopLen, kRenderEdge) * vol * polarity;
        g *= tgvoice::onsetPunchGate (v, src, rate, onsets, onsetCount, dials, gate, punchDecay, 1.0 / kRenderRate);
        left *= g;
        right *= g;
        tgvoice::effectRack (v, dials, left, right);
        outL[j] = (float) left;
        outR[j] = (float) right;
    }

    const float rawMix = readFloat (cache.rawmix, 0.4f);
    if (readSwitch (cache.raw, false) && rawMix > 0.0005f)
    {
        RawFx raw;
        raw.prepare (kRenderRate);
        raw.process (outL, outR, count, kRenderRate, rawMix);
    }

    const float sparkleMix = readFloat (cache.sparklemix, 0.4f);
    if (readSwitch (cache.sparkle, false) && sparkleMix > 0.0005f)
    {
        tgdsp::SparkleState state;
        state.reset();
        tgdsp::processSparkle (state, outL, outR, count, kRenderRate, sparkleMix);
    }

    const float verb = dialValues[tgvoice::verb];
    if (verb > 0.01f)
    {
        juce::AudioBuffer<float> send (2, count);
        tgvoice::Biquad hp[2], lp[2];
        for (int c = 0; c < 2; ++c)
        {
            hp[c].setHighPass (180.0, kRenderRate);
            lp[c].setLowPass (7000.0, kRenderRate);
            const auto* in = out.getReadPointer (c);
            auto* s = send.getWritePointer (c);
            for (int j = 0; j < count; ++j)
                s[j] = (float) lp[c].process (hp[c].process (in[j] * 0.9 * verb));
        }

        juce::Reverb reverbReturn;
        reverbReturn.setParameters (tgvoice::grooveReverbParameters());
        reverbReturn.setSampleRate (kRenderRate); // after the parameters: no glide from JUCE's defaults
        reverbReturn.processStereo (send.getWritePointer (0), send.getWritePointer (1), count);
        out.addFrom (0, 0, send, 0, 0, count, 0.9f);
        out.addFrom (1, 0, send, 1, 0, count, 0.9f);
    }

    return out;
}
