// The live render against a plain per-sample model of the same signal path. The model derives
// every lane position with fmod each sample, runs the wow and flutter oscillators through
// std::sin, every saturator through std::tanh and Crush through std::round, and runs the send
// filters and the reverb in every block. The live render takes shortcuts (positions without
// fmod, rotating oscillators, its own tanh and rounding, block-wise stages, a send bus that
// sleeps while nothing is sent); they must not be audible: every output sample stays within
// 1e-6 of the model over seconds of changing parameters and transport, 1e-5 where the sleeping
// send bus drops the reverb's idle noise.
//
// The colour stages are also checked on their own against the same model, in single calls of
// the length an offline lane render makes, and the arithmetic shortcuts against the library.
#include "support/ProcessorRig.h"
#include "engine/SignalHelpers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

using namespace tgparams;

namespace
{
constexpr double kRate = 48000.0;
constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr double kStageTolerance = 1e-6;

//==============================================================================================
// The model's stages.

struct PlainRaw
{
    std::vector<float> lineL, lineR;
    int N = 0, writeIndex = 0;
    double wowPhase = 0.0, flutterPhase = 0.0, lowL = 0.0, lowR = 0.0, topL = 0.0, topR = 0.0;
    float mixFade = 0.0f, amount = 0.0f;

    void process (float* left, float* right, int numSamples, double sr, float mix)
    {
        if (N == 0)
        {
            N = std::max (16, (int) (0.03 * sr));
            lineL.assign ((size_t) N, 0.0f);
            lineR.assign ((size_t) N, 0.0f);
        }
        if (mix <= tgdsp::kColourOffMix && mixFade <= tgdsp::kColourOffMix)
            return;

        const float target = mix > tgdsp::kColourOffMix ? 1.0f : 0.0f;
        const float step = 1.0f / ((target > mixFade ? 0.04f : 0.01f) * (float) sr);
        const double aLow = std::exp (-kTwoPi * 200.0 / sr);
        const double aTop = std::exp (-kTwoPi * 8500.0 / sr);
        const double norm = 1.0 / std::tanh (2.6);

        for (int j = 0; j < numSamples; ++j)
        {
            wowPhase += 0.55 / sr;
            if (wowPhase >= 1.0)
                wowPhase -= 1.0;
            flutterPhase += 6.3 / sr;
            if (flutterPhase >= 1.0)
                flutterPhase -= 1.0;
            const double wow = std::sin (kTwoPi * wowPhase);
            const double flutter = std::sin (kTwoPi * flutterPhase);

            amount += std::clamp (mix - amount, -step, step);
            const double amt = amount;
            const double fade = mixFade;
            const double delay = 0.006 * sr + 0.0031 * sr * amt * wow + 0.0005 * sr * amt * flutter;
            double p = (double) writeIndex - delay;
            while (p < 0.0)
                p += N;
            const int whole = (int) p;
            const double frac = p - whole;
            const int i0 = whole % N, i1 = (whole + 1) % N;

            auto channel = [&] (float* io, std::vector<float>& line, double& low, double& top) {
                const float v = io[j];
                line[(size_t) writeIndex] = v;
                const double s = (double) line[(size_t) i0] + ((double) line[(size_t) i1] - (double) line[(size_t) i0]) * frac;
                low += (1.0 - aLow) * (s - low);
                const double high = s - low;
                const double sat = std::tanh (2.6 * high) * norm;
                const double shaped = (1.0 - amt) * high + 0.55 * amt * sat + low;
                top = top * aTop + shaped * (1.0 - aTop);
                io[j] = (float) ((double) v * (1.0 - fade) + (shaped - 0.22 * amt * (shaped - top)) * fade);
            };
            if (left != nullptr)
                channel (left, lineL, lowL, topL);
            if (right != nullptr)
                channel (right, lineR, lowR, topR);

            mixFade += std::clamp (target - mixFade, -step, step);
            writeIndex = (writeIndex + 1) % N;
        }
    }
};

struct PlainSparkle
{
    double airL = 0.0, airR = 0.0, presL = 0.0, presR = 0.0;
    float mix = 0.0f;

    void process (float* left, float* right, int numSamples, double sr, float targetMix)
    {
        const double cAir = 1.0 - std::exp (-kTwoPi * 9000.0 / sr);
        const double cPres = 1.0 - std::exp (-kTwoPi * 3500.0 / sr);
        const float step = (float) (1.0 / (0.01 * sr));
        auto channel = [&] (float* x, double& air, double& pres) {
            float g = mix;
            for (int j = 0; j < numSamples; ++j)
            {
                g += std::clamp (targetMix - g, -step, step);
                const double in = x[j];
                air += cAir * (in - air);
                pres += cPres * (in - pres);
                x[j] = (float) (in + (0.4 * (in - air) + 0.3 * std::tanh (2.5 * (in - pres))) * g);
            }
            return g;
        };
        float reached = mix;
        if (left != nullptr)
            reached = channel (left, airL, presL);
        if (right != nullptr)
            reached = channel (right, airR, presR);
        mix = reached;
    }
};

void plainRack (tgvoice::VoiceState& v, const tgvoice::LaneDials& d, double& l, double& r)
{
    for (int i = 0; i < v.notchCount; ++i)
    {
        l = v.notchL[(size_t) i].process (l);
        r = v.notchR[(size_t) i].process (r);
    }
    if (d.driveOn)
    {
        const float scale = d.driveNorm * d.driveMakeup;
        l = std::tanh ((double) d.driveK * l) * scale;
        r = std::tanh ((double) d.driveK * r) * scale;
    }
    if (d.crushOn)
    {
        l = std::round (l * d.crushSteps) / d.crushSteps;
        r = std::round (r * d.crushSteps) / d.crushSteps;
    }
    if (d.filterOn)
    {
        l = v.filterL.process (l);
        r = v.filterR.process (r);
    }
    l *= d.panL;
    r *= d.panR;
}

//==============================================================================================
// The whole live signal path, one sample at a time, reading the same parameters and play head
// as the processor it shadows. Built from the processor's lane views just before its first
// block (prepared, lanes installed, not yet played); the views' buffers and timing are not
// expected to change afterwards.
class PlainRender
{
public:
    explicit PlainRender (const TapegrubProcessor& p)
        : processor (p), cache (p.paramCache()), views (p.laneViews), sr (p.getSampleRate())
    {
        for (auto& f : dc)
            f.setHighPass (18.0, sr);
        bassMono.setLowPass (150.0, sr);
        for (size_t c = 0; c < 2; ++c)
        {
            sendHighPass[c].setHighPass (180.0, sr);
            sendLowPass[c].setLowPass (7000.0, sr);
        }
        reverb.setParameters (tgvoice::grooveReverbParameters());
        reverb.setSampleRate (sr);
        reverb.reset();
        for (auto& view : views)
        {
            view.voice.filterL.reset();
            view.voice.filterR.reset();
            view.voice.lastFilter = -1.0f;
        }
    }

    void process (juce::AudioBuffer<float>& buffer, const juce::AudioPlayHead& head)
    {
        juce::ScopedNoDenormals noDenormals;
        buffer.clear();
        const int n = buffer.getNumSamples(), outChannels = buffer.getNumChannels();

        double tempo = processor.engine.packBpm, ppq = -1.0;
        bool hostPlaying = false;
        if (const auto pos = head.getPosition())
        {
            if (const auto bpm = pos->getBpm())
                tempo = *bpm;
            ppq = pos->getPpqPosition().orFallback (-1.0);
            hostPlaying = pos->getIsPlaying();
        }
        if (! (tempo > 0.0) || ! std::isfinite (tempo))
            tempo = 120.0;
        tempo = juce::jlimit (40.0, 240.0, tempo);

        bool playing = false;
        if (wasHostPlaying && ! hostPlaying)
            wasHostPlaying = false;
        else
        {
            wasHostPlaying = hostPlaying;
            playing = hostPlaying || readSwitch (cache.play, false);
        }

        const int phraseBars = readBarsPerPhrase (cache.bars);
        const double samplesPerBar = 60.0 / tempo * sr * 4.0;
        const double phraseLen = samplesPerBar * phraseBars;
        if (! playing)
        {
            wasPlaying = false;
            reverb.reset();
            for (size_t c = 0; c < 2; ++c)
            {
                sendHighPass[c].reset();
                sendLowPass[c].reset();
            }
            return;
        }
        if (ppq >= 0.0 && hostPlaying)
        {
            const double phraseBeats = 4.0 * phraseBars;
            playPos = std::fmod (std::fmod (ppq, phraseBeats) + phraseBeats, phraseBeats) * (60.0 / tempo) * sr;
        }
        else if (! wasPlaying)
        {
            playPos = 0.0;
        }
        wasPlaying = true;

        const float rawMix = readSwitch (cache.raw, false) ? readFloat (cache.rawmix, 0.4f) : 0.0f;
        const bool sparkleOn = readSwitch (cache.sparkle, false);
        const float sparkleMix = sparkleOn ? readFloat (cache.sparklemix, 0.4f) : 0.0f;
        juce::AudioBuffer<float> send (2, n), lane (2, n);
        send.clear();

        bool anySolo = false;
        for (size_t l = 0; l < views.size(); ++l)
            anySolo = anySolo || readSwitch (cache.solo[l], false);

        for (size_t l = 0; l < views.size(); ++l)
        {
            if (views[l].left == nullptr || ! renderLane (l, lane, tempo, samplesPerBar, phraseLen, anySolo, rawMix, sparkleMix))
                continue;
            if (outChannels > 1)
            {
                buffer.addFrom (0, 0, lane, 0, 0, n);
                buffer.addFrom (1, 0, lane, 1, 0, n);
            }
            else
            {
                buffer.addFrom (0, 0, lane, 0, 0, n, 0.5f);
                buffer.addFrom (0, 0, lane, 1, 0, n, 0.5f);
            }
            const float sendGain = 0.9f * readFloat (cache.fx[l][fxVerb], 0.0f);
            if (sendGain > 0.01f)
                for (int c = 0; c < 2; ++c)
                    send.addFrom (c, 0, lane, c, 0, n, sendGain);
        }

        playPos += n;
        while (playPos >= phraseLen)
            playPos -= phraseLen;

        auto* sendL = send.getWritePointer (0);
        auto* sendR = send.getWritePointer (1);
        for (int k = 0; k < n; ++k)
        {
            sendL[k] = (float) sendLowPass[0].process (sendHighPass[0].process (sendL[k]));
            sendR[k] = (float) sendLowPass[1].process (sendHighPass[1].process (sendR[k]));
        }
        reverb.processStereo (sendL, sendR, n);

        auto* outL = buffer.getWritePointer (0);
        auto* outR = outChannels > 1 ? buffer.getWritePointer (1) : nullptr;
        for (int k = 0; k < n; ++k)
        {
            outL[k] += 0.9f * sendL[k];
            if (outR != nullptr)
                outR[k] += 0.9f * sendR[k];
        }
        if (outR != nullptr && readSwitch (cache.mono, true))
            for (int k = 0; k < n; ++k)
            {
                const double mid = (outL[k] + outR[k]) * 0.5, side = (outL[k] - outR[k]) * 0.5;
                const double sideHigh = side - bassMono.process (side);
                outL[k] = (float) (mid + sideHigh);
                outR[k] = (float) (mid - sideHigh);
            }
        if (readSwitch (cache.dc, true))
            for (int k = 0; k < n; ++k)
            {
                outL[k] = (float) dc[0].process (outL[k]);
                if (outR != nullptr)
                    outR[k] = (float) dc[1].process (outR[k]);
            }

        const float release = 1.0f - std::exp (-1.0f / (0.06f * (float) sr));
        for (int k = 0; k < n; ++k)
        {
            const float peak = std::max (std::abs (outL[k]), outR != nullptr ? std::abs (outR[k]) : 0.0f);
            const float target = peak * limiterGain > 0.983f ? 0.983f / std::max (peak, 1e-9f) : 1.0f;
            if (target < limiterGain)
                limiterGain = target;
            else
                limiterGain += release * (std::min (target, 1.0f) - limiterGain);
            outL[k] = juce::jlimit (-0.999f, 0.999f, outL[k] * limiterGain);
            if (outR != nullptr)
                outR[k] = juce::jlimit (-0.999f, 0.999f, outR[k] * limiterGain);
        }
    }

private:
    bool renderLane (size_t l, juce::AudioBuffer<float>& out, double tempo, double samplesPerBar, double phraseLen,
                     bool anySolo, float rawMix, float sparkleMix)
    {
        auto& view = views[l];
        auto& v = view.voice;
        float target = 1.0f;
        if (readSwitch (cache.mute[l], false))
            target = 0.0f;
        else if (anySolo)
            target = readSwitch (cache.solo[l], false) ? 1.0f : 0.0f;
        if (target == 0.0f && view.gain < 0.0005f)
            return false;

        const float vol = readFloat (cache.vol[l], kVolumeFallback);
        std::array<float, tgvoice::numDials> raw {};
        for (size_t fx = 0; fx < raw.size(); ++fx)
            raw[fx] = readFloat (cache.fx[l][fx], kFxDefaults[fx]);
        const auto dials = tgvoice::LaneDials::fromRaw (raw);
        if (dials.filterOn && std::abs (dials.filterValue - v.lastFilter) > 0.0005f)
        {
            tgvoice::setFilterDial (v.filterL, v.filterR, dials.filterValue, sr, 0.45 * sr);
            v.lastFilter = dials.filterValue;
        }

        const double rate = (tempo / view.loopBpm) * (view.loopSampleRate / sr);
        const double loopLen = view.bars * samplesPerBar;
        const int beats = 4 * std::max (view.bars, 1);
        const double shiftSamples = (double) (((view.beatShift % beats) + beats) % beats) * loopLen / beats;
        const float gainStep = 1.0f / (0.004f * (float) sr);
        const double punchDecay = 1.0 - std::exp (-1.0 / (0.045 * sr));
        const auto gate = tgvoice::LengthGate::forLane ((int) l, readFloat (cache.lenmode, 0.0f),
                                                        readFloat (cache.lentrim, 0.5f), sr);
        const int last = view.numSamples - 1;
        const int n = out.getNumSamples();
        auto* outL = out.getWritePointer (0);
        auto* outR = out.getWritePointer (1);

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
            double left = 0.0, right = 0.0;
            if (src >= 0.0 && src < (double) last + 8.0)
            {
                const int i0 = juce::jlimit (0, last, (int) src);
                const int i1 = std::min (i0 + 1, last);
                const double f = juce::jlimit (0.0, 1.0, src - i0);
                left = view.left[i0] + (view.left[i1] - view.left[i0]) * f;
                right = view.right[i0] + (view.right[i1] - view.right[i0]) * f;
            }
            double g = tgvoice::edgeFade (t, loopLen, 0.002 * sr);
            g *= tgvoice::onsetPunchGate (v, src, rate, view.onsets, view.onsetCount, dials, gate, punchDecay, 1.0 / sr);
            view.gain += juce::jlimit (-gainStep, gainStep, target - view.gain);
            g *= (double) view.gain * vol * view.polarity;
            left *= g;
            right *= g;
            plainRack (v, dials, left, right);
            outL[k] = (float) left;
            outR[k] = (float) right;
        }

        if (rawMix > tgdsp::kColourOffMix || rawFx[l].mixFade > 0.001f)
            rawFx[l].process (outL, outR, n, sr, rawMix);
        const bool sparkleRuns = sparkleMix > tgdsp::kColourOffMix ? true
                               : sparkleMix > 0.0f ? sparkle[l].mix > tgdsp::kColourOffMix
                                                   : sparkle[l].mix > 0.001f;
        if (sparkleRuns)
            sparkle[l].process (outL, outR, n, sr, sparkleMix);
        return true;
    }

    const TapegrubProcessor& processor;
    const ParamCache& cache;
    std::array<LanePlayView, kNumLanes> views;
    double sr;
    double playPos = 0.0;
    bool wasPlaying = false, wasHostPlaying = false;
    float limiterGain = 1.0f;
    std::array<tgvoice::Biquad, 2> dc {}, sendHighPass {}, sendLowPass {};
    tgvoice::Biquad bassMono;
    juce::Reverb reverb;
    std::array<PlainRaw, kNumLanes> rawFx {};
    std::array<PlainSparkle, kNumLanes> sparkle {};
};

//==============================================================================================
// A scripted session: lane loops, settings before the first block, and changes made between
// blocks (t is the time in seconds at the start of the coming block).
struct Session
{
    const char* name;
    std::array<int, kNumLanes> loopBars;
    std::function<void (TapegrubProcessor&)> setup;
    std::function<void (TapegrubProcessor&, tgtest::ScriptedPlayHead&, double t)> script;
    std::vector<int> blockSizes;
    double seconds;
    int channels = 2;
    double rate = kRate;
    double tolerance = 1e-6;
};

void set (TapegrubProcessor& p, const juce::String& id, float value)
{
    tgtest::setParam (p, id, value);
}

void everyLane (TapegrubProcessor& p, int fx, float value)
{
    for (int lane = 0; lane < kNumLanes; ++lane)
        set (p, TapegrubProcessor::fxId (lane, fx), value);
}

// The benchmark's full load: every dial of every lane active, Raw, Sparkle, the length gate.
void fullLoad (TapegrubProcessor& p)
{
    for (int lane = 0; lane < kNumLanes; ++lane)
    {
        const auto fx = [lane] (int f) { return TapegrubProcessor::fxId (lane, f); };
        set (p, fx (fxPitch), 0.6f);
        set (p, fx (fxPan), 0.3f);
        set (p, fx (fxDrive), 0.5f);
        set (p, fx (fxCrush), 0.4f);
        set (p, fx (fxFilter), lane % 2 == 0 ? 0.3f : 0.8f);
        set (p, fx (fxVerb), 0.4f);
        set (p, fx (fxPunch), 0.8f);
    }
    set (p, "raw", 1.0f);
    set (p, "sparkle", 1.0f);
    set (p, "lenmode", 1.0f);
}

struct Difference
{
    double worst = 0.0;
    double at = 0.0; // seconds
    int channel = 0;
    float peak = 0.0f;
};

Difference play (const Session& s)
{
    TapegrubProcessor p;
    tgtest::ScriptedPlayHead head;
    p.setRateAndBufferSizeDetails (s.rate, 512);
    p.prepareToPlay (s.rate, 512);
    p.setPlayHead (&head);
    for (int lane = 0; lane < kNumLanes; ++lane)
    {
        const int bars = s.loopBars[(size_t) lane];
        const auto x = tgtest::drumLoop (120.0, bars, 44100.0, (std::uint32_t) lane + 1);
        tgtest::installLoop (p, lane, tgtest::makeBuffer ((int) x.size(), [&x] (int c, int i) {
            return (c == 0 ? 1.0f : 0.8f) * x[(size_t) i];
        }), 44100.0, 120.0, bars);
    }
    if (s.setup)
        s.setup (p);
    p.handleUpdateNowIfNeeded(); // pitch-shifted copies, notches
    PlainRender plain (p);

    Difference d;
    juce::AudioBuffer<float> live, model;
    juce::MidiBuffer midi;
    const int total = (int) (s.seconds * s.rate);
    for (int done = 0, b = 0; done < total; ++b)
    {
        const int n = s.blockSizes[(size_t) b % s.blockSizes.size()];
        if (s.script)
            s.script (p, head, done / s.rate);
        live.setSize (s.channels, n, false, false, true);
        model.setSize (s.channels, n, false, false, true);
        p.processBlock (live, midi);
        plain.process (model, head);

        for (int c = 0; c < s.channels; ++c)
            for (int k = 0; k < n; ++k)
            {
                const double e = std::abs ((double) live.getSample (c, k) - model.getSample (c, k));
                d.peak = std::max (d.peak, std::abs (model.getSample (c, k)));
                if (e > d.worst)
                    d = { e, (done + k) / s.rate, c, d.peak };
            }
        if (head.playing && head.ppq && head.bpm)
            *head.ppq += n / s.rate * (*head.bpm / 60.0);
        done += n;
    }
    return d;
}
} // namespace

TEST (RenderEquivalence, LiveRenderMatchesThePlainModel)
{
    const std::array<int, kNumLanes> fourBars { 4, 4, 4, 4, 4, 4, 4 };
    const std::array<int, kNumLanes> mixedBars { 1, 2, 4, 1, 2, 1, 2 };

    const Session sessions[] {
        { "defaults", fourBars, nullptr, nullptr, { 512 }, 4.0 },
        { "full load", fourBars, fullLoad, nullptr, { 512 }, 4.0 },

        { "full load, 8-bar phrase over 1- and 2-bar loops, beat shifts, odd block sizes", mixedBars,
          [] (TapegrubProcessor& p) {
              fullLoad (p);
              set (p, "bars", 3.0f);
              p.shiftLane (0, 3);
              p.shiftLane (4, -5);
          },
          nullptr, { 512, 1, 333, 4096, 100, 64 }, 5.0 },

        // Sends on for a second, then off long enough for the send bus to fall asleep, then on
        // again on another lane, and off with the transport stopped and restarted. A sleeping
        // bus drops the reverb's idle noise (up to 5e-6), hence the wider tolerance.
        { "reverb sends come and go", fourBars, nullptr,
          [] (TapegrubProcessor& p, tgtest::ScriptedPlayHead& head, double t) {
              const bool first = t < 1.0, second = t >= 5.0 && t < 5.5;
              set (p, TapegrubProcessor::fxId (2, fxVerb), first ? 0.8f : 0.0f);
              set (p, TapegrubProcessor::fxId (5, fxVerb), second ? 1.0f : 0.0f);
              head.playing = ! (t >= 6.0 && t < 6.2);
          },
          { 512, 256, 480 }, 7.5, 2, kRate, 1e-5 },

        { "44.1 kHz, one to three De-Res notches, Drive, Crush and Filter apart", fourBars,
          [] (TapegrubProcessor& p) {
              for (const int lane : { 0, 2, 3 })
              {
                  auto& notches = p.engine.lanes[(size_t) lane].notches;
                  notches.clear();
                  for (int i = 0; i <= std::min (lane, 2); ++i)
                      notches.push_back ({ 180.0 + 900.0 * i + 35.0 * lane, 6.0 + i, -9.0 + i });
                  p.refreshLanePlay (lane);
              }
              set (p, "fx_0_2", 0.7f);
              set (p, "fx_2_3", 0.5f);
              set (p, "fx_3_4", 0.2f);
              set (p, "fx_4_4", 0.9f);
              set (p, "fx_4_2", 0.3f);
              everyLane (p, fxVerb, 0.2f);
          },
          nullptr, { 441, 1000 }, 3.0, 2, 44100.0 },

        // Mute, solo, dials, Raw and Sparkle switched mid-play; the host changes tempo and
        // jumps; a mono output bus.
        { "changes while playing, mono out", mixedBars,
          [] (TapegrubProcessor& p) {
              everyLane (p, fxVerb, 0.3f);
              everyLane (p, fxPunch, 0.2f);
          },
          [] (TapegrubProcessor& p, tgtest::ScriptedPlayHead& head, double t) {
              set (p, "mute_1", t > 0.5 && t < 1.5 ? 1.0f : 0.0f);
              set (p, "solo_3", t > 2.0 && t < 2.6 ? 1.0f : 0.0f);
              set (p, "raw", t > 0.3 && t < 2.3 ? 1.0f : 0.0f);
              set (p, "rawmix", t < 1.0 ? 0.4f : 0.9f);
              set (p, "sparkle", t > 1.2 ? 1.0f : 0.0f);
              set (p, "sparklemix", t < 2.8 ? 0.7f : 0.0002f);
              set (p, "lenmode", t > 1.7 ? 3.0f : 0.0f);
              set (p, "fx_0_2", t > 1.0 ? 0.9f : 0.0f);
              set (p, "fx_6_3", t > 2.2 ? 0.7f : 0.0f);
              set (p, "fx_2_4", t > 0.8 ? 0.1f : 0.5f);
              set (p, "vol_4", t > 1.4 ? 3.0f : 0.75f);
              set (p, "bars", t > 3.0 ? 1.0f : 2.0f);
              head.bpm = t > 2.5 ? 137.0 : 120.0;
              if (std::abs (t - 1.9) < 0.005)
                  *head.ppq += 5.37;
          },
          { 512, 384 }, 4.0, 1 },
    };

    for (const auto& s : sessions)
    {
        SCOPED_TRACE (s.name);
        const auto d = play (s);
        EXPECT_LT (d.worst, s.tolerance) << "at " << d.at << " s, channel " << d.channel;
        EXPECT_GT (d.peak, 0.1f) << "the model played nothing audible";
    }
}

// One long call, as an offline lane render makes, and many short ones with moving targets.
TEST (RenderEquivalence, ColourStagesMatchThePlainModel)
{
    constexpr double sr = 44100.0;
    const auto x = tgtest::drumLoop (120.0, 4, sr, 5);
    const int count = (int) x.size();

    {
        SCOPED_TRACE ("Raw");
        std::vector<float> liveL (x), liveR (x), modelL (x), modelR (x);
        tgdsp::RawFx live;
        PlainRaw model;
        for (int done = 0, b = 0; done < count; ++b)
        {
            const int n = b == 0 ? count / 2 : std::min (count - done, 1 + (b * 37) % 300);
            const float mix = b % 200 < 120 ? 0.3f + 0.001f * (float) (b % 100) : 0.0f;
            live.process (liveL.data() + done, liveR.data() + done, n, sr, mix);
            model.process (modelL.data() + done, modelR.data() + done, n, sr, mix);
            done += n;
        }
        for (int i = 0; i < count; ++i)
        {
            ASSERT_NEAR (liveL[(size_t) i], modelL[(size_t) i], kStageTolerance) << i;
            ASSERT_NEAR (liveR[(size_t) i], modelR[(size_t) i], kStageTolerance) << i;
        }
    }
    {
        SCOPED_TRACE ("Sparkle");
        std::vector<float> liveL (x), liveR (x), modelL (x), modelR (x);
        tgdsp::SparkleState live;
        PlainSparkle model;
        for (int done = 0, b = 0; done < count; ++b)
        {
            const int n = b == 0 ? count / 2 : std::min (count - done, 1 + (b * 53) % 700);
            const float mix = b % 3 == 0 ? 1.0f : 0.25f;
            tgdsp::processSparkle (live, liveL.data() + done, liveR.data() + done, n, sr, mix);
            model.process (modelL.data() + done, modelR.data() + done, n, sr, mix);
            done += n;
        }
        for (int i = 0; i < count; ++i)
        {
            ASSERT_NEAR (liveL[(size_t) i], modelL[(size_t) i], kStageTolerance) << i;
            ASSERT_NEAR (liveR[(size_t) i], modelR[(size_t) i], kStageTolerance) << i;
        }
    }
}

// The arithmetic the render uses in place of library calls, on the values that matter most:
// rounding halves, the tanh formula's switch-over at 0.625, loop boundaries, zeros, infinities.
TEST (RenderEquivalence, ArithmeticShortcutsMatchTheLibrary)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto sameDouble = [] (double a, double b) {
        return (std::isnan (a) && std::isnan (b)) || (a == b && std::signbit (a) == std::signbit (b));
    };

    {
        SCOPED_TRACE ("roundHalfAway is std::round");
        std::vector<double> xs { 0.0, -0.0, 0.5, -0.5, 1.5, -2.5, 0.49999999999999994, -0.49999999999999994,
                                 4503599627370495.5, 4503599627370497.0, 9007199254740993.0, 1e300, inf, -inf, nan };
        tgtest::Noise noise (11);
        for (int i = 0; i < 20000; ++i)
        {
            const double x = noise.next() * std::pow (10.0, 3.0 * noise.next());
            xs.push_back (x);
            xs.push_back (std::round (x * 2.0) / 2.0); // exact halves
        }
        for (const double x : xs)
            ASSERT_TRUE (sameDouble (tgvoice::roundHalfAway (x), std::round (x))) << x;
    }

    {
        SCOPED_TRACE ("fastTanh is std::tanh to 3e-16");
        for (const double x : { 0.0, -0.0, inf, -inf, nan, 1e-300, -1e-20, 40.0, -1e6 })
            EXPECT_TRUE (sameDouble (tgdsp::fastTanh (x), std::tanh (x))) << x;
        double worst = 0.0;
        for (int i = -400000; i <= 400000; ++i)
        {
            const double x = i * 2.5e-5; // -10 .. 10, through the switch-over at 0.625
            worst = std::max (worst, std::abs (tgdsp::fastTanh (x) - std::tanh (x)));
        }
        for (const double x : { std::nextafter (0.625, 0.0), 0.625, std::nextafter (0.625, 1.0) })
            worst = std::max (worst, std::abs (tgdsp::fastTanh (x) - std::tanh (x)));
        EXPECT_LE (worst, 3e-16);
    }

    {
        SCOPED_TRACE ("LoopWrap is std::fmod");
        // Loop lengths at tempos whose bars are no whole number of samples; positions stepping
        // through an 8-bar phrase, wrapping back to its start, and jumping like a host.
        for (const double bpm : { 120.0, 127.0, 93.7, 174.3 })
            for (const int bars : { 1, 2, 4 })
            {
                const double samplesPerBar = 60.0 / bpm * 48000.0 * 4.0;
                const double loopLen = bars * samplesPerBar, phraseLen = 8 * samplesPerBar;
                tgvoice::LoopWrap wrap (loopLen);
                double playPos = 0.3183098861837907 * samplesPerBar;
                for (int block = 0; block < 3000; ++block)
                {
                    for (int k = 0; k < 512; k += 7)
                    {
                        double pos = playPos + k;
                        while (pos >= phraseLen)
                            pos -= phraseLen;
                        ASSERT_TRUE (sameDouble (wrap (pos), std::fmod (pos, loopLen)))
                            << bpm << " BPM, " << bars << " bars, position " << pos;
                    }
                    playPos += block % 500 == 499 ? 0.37 * phraseLen : 512.0;
                    while (playPos >= phraseLen)
                        playPos -= phraseLen;
                }
            }
    }
}
