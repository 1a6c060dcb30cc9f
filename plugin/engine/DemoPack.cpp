// The synthesized demo pack. All randomness comes from fixed seeds, so every run writes the
// same samples; everything is computed in double and written at 44.1 kHz.
#include "DemoPack.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <cmath>
#include <cstring>
#include <functional>

namespace tg::demo
{
namespace
{
constexpr double kTwoPi = juce::MathConstants<double>::twoPi;

double midiToHz (int note) { return 440.0 * std::pow (2.0, (note - 69) / 12.0); }

// Cookbook biquad, direct form I, double precision.
struct Biquad
{
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    static Biquad make (double w, double q, int type) // 0 low-pass, 1 high-pass, 2 band-pass
    {
        const double alpha = std::sin (w) / (2.0 * q), cw = std::cos (w), a0 = 1.0 + alpha;
        Biquad f;

        if (type == 0)      { f.b0 = (1 - cw) / 2; f.b1 = 1 - cw;    f.b2 = (1 - cw) / 2; }
        else if (type == 1) { f.b0 = (1 + cw) / 2; f.b1 = -(1 + cw); f.b2 = (1 + cw) / 2; }
        else                { f.b0 = alpha;        f.b1 = 0;         f.b2 = -alpha; }

        f.b0 /= a0; f.b1 /= a0; f.b2 /= a0;
        f.a1 = -2.0 * cw / a0;
        f.a2 = (1.0 - alpha) / a0;
        return f;
    }

    static Biquad lowPass (double hz, double q, double sr)  { return make (kTwoPi * hz / sr, q, 0); }
    static Biquad highPass (double hz, double q, double sr) { return make (kTwoPi * hz / sr, q, 1); }
    static Biquad bandPass (double hz, double q, double sr) { return make (kTwoPi * hz / sr, q, 2); }

    double process (double x)
    {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1; x1 = x;
        y2 = y1; y1 = y;
        return y;
    }
};

// Uniform noise in [-1, 1) from a seeded generator.
struct Noise
{
    explicit Noise (int seed) : random ((juce::int64) seed) {}
    double next() { return random.nextDouble() * 2.0 - 1.0; }
    juce::Random random;
};

void normalise (juce::AudioBuffer<float>& buffer, float peak)
{
    const auto current = buffer.getMagnitude (0, buffer.getNumSamples());

    if (current > 0.0f)
        buffer.applyGain (peak / current);
}

float velocityOf (char c)
{
    switch (c)
    {
        case 'X': return 1.0f;
        case 'x': return 0.7f;
        case 'o': return 0.4f;
        default:  return 0.0f;
    }
}

// Adds source (any length) into a loop buffer at position, wrapping round its end.
void addWrapped (juce::AudioBuffer<float>& loop, const juce::AudioBuffer<float>& source, int position,
                 float gain, int sourceChannelOffset = 0)
{
    const int length = loop.getNumSamples();

    if (length <= 0)
        return;

    for (int ch = 0; ch < loop.getNumChannels(); ++ch)
    {
        const int from = std::min (ch + sourceChannelOffset, source.getNumChannels() - 1);
        const float* in = source.getReadPointer (from);
        float* out = loop.getWritePointer (ch);

        for (int i = 0; i < source.getNumSamples(); ++i)
            out[(position + i) % length] += gain * in[i];
    }
}

juce::AudioBuffer<float> makeHit (double seconds, double sr, const std::function<double (double t)>& voice)
{
    const int n = std::max (1, (int) (seconds * sr));
    juce::AudioBuffer<float> hit (1, n);

    for (int i = 0; i < n; ++i)
        hit.setSample (0, i, (float) voice (i / sr));

    // A short fade-out so the tail never ends on a step.
    const int fade = std::min (n, (int) (0.005 * sr));
    hit.applyGainRamp (n - fade, fade, 1.0f, 0.0f);
    normalise (hit, 0.9f);
    return hit;
}

//==============================================================================
// Tonal voices: one note of a given length (in seconds) rendered with its release.
enum class Instrument { bass, subBass, keys, pluck, piano };

struct Note
{
    double startStep;   // sixteenths from the loop start
    double lengthSteps; // held length in sixteenths
    int midi;
    float velocity = 1.0f;
};

double instrumentSample (Instrument instrument, double f, double t, double sr)
{
    double sum = 0.0;
    const double nyquist = 0.45 * sr;

    switch (instrument)
    {
        case Instrument::bass:
        {
            // Saw-like partials whose brightness closes like a filter envelope, plus a sub.
            const double closing = 0.25 + 0.9 * (1.0 - std::exp (-t / 0.12));

            for (int k = 1; k <= 16 && k * f < nyquist; ++k)
                sum += std::sin (kTwoPi * k * f * t) / k * std::exp (-(k - 1) * closing);

            sum += 0.6 * std::sin (kTwoPi * f * t);
            return 0.5 * sum;
        }
        case Instrument::subBass:
            return std::tanh (1.6 * (std::sin (kTwoPi * f * t) + 0.15 * std::sin (kTwoPi * 2 * f * t)));

        case Instrument::keys:
        {
            // Electric-piano partials, each decaying at its own rate.
            static const double amps[] { 1.0, 0.35, 0.12, 0.05 };
            static const double decays[] { 1.6, 0.6, 0.3, 0.2 };

            for (int k = 1; k <= 4 && k * f < nyquist; ++k)
                sum += amps[k - 1] * std::exp (-t / decays[k - 1]) * std::sin (kTwoPi * k * f * t);

            return sum;
        }
        case Instrument::pluck:
            for (int k = 1; k <= 10 && k * f < nyquist; ++k)
                sum += std::sin (kTwoPi * k * f * t) / k * std::exp (-t * (3.0 + 5.0 * k));

            return sum * std::exp (-t / 0.45);

        case Instrument::piano:
            for (int k = 1; k <= 8 && k * f < nyquist; ++k)
                sum += std::sin (kTwoPi * k * f * t) / std::pow (k, 1.3) * std::exp (-t * (1.5 + 1.2 * k));

            return sum;
    }

    return 0.0;
}

// Renders notes into a loop of `bars` bars; tails wrap round. Two channels get a slight
// detune between them so melodic parts sound wide.
juce::AudioBuffer<float> renderNotes (Instrument instrument, const std::vector<Note>& notes, double bpm,
                                      int bars, int channels, float peak)
{
    const double sr = kSampleRate;
    const int length = loopLength (bpm, bars, sr);
    const double samplesPerStep = (double) length / (16.0 * bars);
    const double release = instrument == Instrument::bass || instrument == Instrument::subBass ? 0.03 : 0.12;
    juce::AudioBuffer<float> loop (channels, length);
    loop.clear();

    for (const auto& note : notes)
    {
        const double held = note.lengthSteps * samplesPerStep / sr;
        const int n = (int) ((held + release) * sr);
        juce::AudioBuffer<float> voice (channels, n);

        for (int ch = 0; ch < channels; ++ch)
        {
            const double detune = channels > 1 ? (ch == 0 ? 0.9993 : 1.0007) : 1.0;
            const double f = midiToHz (note.midi) * detune;

            for (int i = 0; i < n; ++i)
            {
                const double t = i / sr;
                const double attack = std::min (1.0, t / 0.004);
                const double tail = t < held ? 1.0 : std::max (0.0, 1.0 - (t - held) / release);
                voice.setSample (ch, i, (float) (note.velocity * attack * tail * instrumentSample (instrument, f, t, sr)));
            }
        }

        addWrapped (loop, voice, (int) std::lround (note.startStep * samplesPerStep), 1.0f);
    }

    normalise (loop, peak);
    return loop;
}

// The same chord (MIDI notes) on every step listed, each held for lengthSteps.
void addChord (std::vector<Note>& notes, const std::vector<int>& chord, double step, double lengthSteps,
               float velocity = 1.0f)
{
    for (auto midi : chord)
        notes.push_back ({ step, lengthSteps, midi, velocity });
}

juce::AudioBuffer<float> stereoOf (const juce::AudioBuffer<float>& mono, float left, float right)
{
    juce::AudioBuffer<float> out (2, mono.getNumSamples());
    out.copyFrom (0, 0, mono, 0, 0, mono.getNumSamples());
    out.copyFrom (1, 0, mono, 0, 0, mono.getNumSamples());
    out.applyGain (0, 0, out.getNumSamples(), left);
    out.applyGain (1, 0, out.getNumSamples(), right);
    return out;
}

//==============================================================================
// The pack's parts. Key: A minor throughout (Am, F, C, G), tempos 120, 124 and 128.
constexpr int A1 = 33, C2 = 36, F1 = 29, G1 = 31;

juce::AudioBuffer<float> bassLoopAm120()
{
    // Two bars: A, then F and G, octave jumps on the off-beats.
    const std::vector<Note> notes {
        { 0, 3, A1 }, { 3, 1, A1 + 12, 0.8f }, { 4, 2, A1 }, { 6, 2, A1 + 12, 0.8f },
        { 8, 3, A1 }, { 11, 1, 43, 0.8f }, { 12, 2, A1 + 12 }, { 14, 2, 40, 0.8f },
        { 16, 3, F1 }, { 19, 1, F1 + 12, 0.8f }, { 20, 2, F1 }, { 22, 2, F1 + 12, 0.8f },
        { 24, 3, G1 }, { 27, 1, G1 + 12, 0.8f }, { 28, 2, G1 }, { 30, 2, 38, 0.8f },
    };
    return renderNotes (Instrument::bass, notes, 120.0, 2, 1, 0.8f);
}

juce::AudioBuffer<float> subBassAm128()
{
    const std::vector<Note> notes {
        { 0, 6, A1 }, { 6, 2, A1 }, { 8, 4, C2 }, { 12, 4, G1 },
        { 16, 6, F1 }, { 22, 2, F1 }, { 24, 8, G1 },
    };
    return renderNotes (Instrument::subBass, notes, 128.0, 2, 1, 0.8f);
}

juce::AudioBuffer<float> deepBassGroove120()
{
    // Four bars following the chords, syncopated, with the fifth for movement. Named with its
    // key but not its tempo: low bass notes are too coarse for the key finder to read.
    std::vector<Note> notes;
    const int roots[] { A1, F1, C2, G1 };

    for (int bar = 0; bar < 4; ++bar)
    {
        const double s = 16.0 * bar;
        const int r = roots[bar];
        notes.push_back ({ s + 0, 2, r });
        notes.push_back ({ s + 3, 1, r, 0.7f });
        notes.push_back ({ s + 6, 2, r + 12, 0.8f });
        notes.push_back ({ s + 10, 2, r });
        notes.push_back ({ s + 12, 3, r + 7, 0.8f });
    }

    return renderNotes (Instrument::bass, notes, 120.0, 4, 1, 0.75f);
}

juce::AudioBuffer<float> keysChordsAm120()
{
    std::vector<Note> notes;
    const std::vector<std::vector<int>> chords { { 57, 60, 64 }, { 57, 60, 65 }, { 55, 60, 64 }, { 55, 59, 62 } };

    for (int bar = 0; bar < 4; ++bar)
    {
        const double s = 16.0 * bar;
        const auto& chord = chords[(size_t) bar];
        addChord (notes, chord, s + 0, 6.5);
        addChord (notes, chord, s + 7, 2.5, 0.6f);
        addChord (notes, chord, s + 10, 5.5, 0.8f);
    }

    auto loop = renderNotes (Instrument::keys, notes, 120.0, 4, 2, 0.7f);

    // A slow tremolo in opposite phase on the two sides, like a stage piano's autopan.
    const double samplesPerBeat = 60.0 / 120.0 * kSampleRate;

    for (int i = 0; i < loop.getNumSamples(); ++i)
    {
        const auto phase = kTwoPi * i / samplesPerBeat;
        loop.setSample (0, i, loop.getSample (0, i) * (float) (0.85 + 0.15 * std::sin (phase)));
        loop.setSample (1, i, loop.getSample (1, i) * (float) (0.85 - 0.15 * std::sin (phase)));
    }

    return loop;
}

juce::AudioBuffer<float> leadPluckAm120()
{
    // A minor pentatonic, so the line sits over every chord of the progression.
    const std::vector<Note> notes {
        { 0, 2, 76 }, { 2, 1, 74, 0.7f }, { 3, 2, 72 }, { 6, 2, 69, 0.8f },
        { 8, 1, 72 }, { 9, 2, 74, 0.7f }, { 12, 2, 76 }, { 14, 2, 79, 0.8f },
        { 16, 2, 76 }, { 18, 2, 74, 0.8f }, { 20, 2, 72 }, { 22, 4, 69 },
        { 27, 1, 67, 0.7f }, { 28, 2, 69 }, { 30, 2, 72, 0.8f },
    };
    return renderNotes (Instrument::pluck, notes, 120.0, 2, 2, 0.65f);
}

juce::AudioBuffer<float> pianoStabs120()
{
    // Off-beat stabs: Am7, then Fmaj7.
    const std::vector<int> am7 { 57, 60, 64, 67 }, fmaj7 { 53, 57, 60, 64 };
    std::vector<Note> notes;

    for (int step = 2; step < 32; step += 4)
        addChord (notes, step < 16 ? am7 : fmaj7, step, 1.5, step % 8 == 2 ? 1.0f : 0.75f);

    return renderNotes (Instrument::piano, notes, 120.0, 2, 2, 0.6f);
}

juce::AudioBuffer<float> fullDrumLoop128()
{
    auto loop = stereoOf (drumPattern (Drum::kick, "X.....x...X.....X.....x...X..x..", 128.0, 2), 0.9f, 0.9f);
    mixInto (loop, stereoOf (drumPattern (Drum::snare, "....X.......X...", 128.0, 2), 0.8f, 0.75f), 0.7f);
    mixInto (loop, stereoOf (drumPattern (Drum::closedHat, "x.o.x.o.x.o.x.ox", 128.0, 2), 0.6f, 0.8f), 0.45f);
    mixInto (loop, stereoOf (drumPattern (Drum::openHat, "..............x.", 128.0, 2), 0.5f, 0.7f), 0.35f);
    normalise (loop, 0.85f);
    return loop;
}

juce::AudioBuffer<float> topLoop124()
{
    auto loop = stereoOf (drumPattern (Drum::closedHat, "XoxoXoxoXoxoXoxo", 124.0, 2), 0.7f, 0.9f);
    mixInto (loop, stereoOf (drumPattern (Drum::shaker, "..x...x...x...x.", 124.0, 2), 0.9f, 0.5f), 0.5f);
    mixInto (loop, stereoOf (drumPattern (Drum::rim, "...........x.......x.......x..x.", 124.0, 2), 0.6f, 0.8f), 0.4f);
    normalise (loop, 0.8f);
    return loop;
}

juce::AudioBuffer<float> hatsLoop124()
{
    auto loop = drumPattern (Drum::closedHat, "Xo.oXo.oXo.oXo.o", 124.0, 2, 0.8f);
    mixInto (loop, drumPattern (Drum::openHat, "..x...x...x...x.", 124.0, 2), 0.45f);
    normalise (loop, 0.8f);
    return loop;
}

juce::AudioBuffer<float> congaLoop124()
{
    auto loop = drumPattern (Drum::congaLow, "X..x...X..x.....", 124.0, 2);
    mixInto (loop, drumPattern (Drum::congaHigh, "..X..X.....X.xX.", 124.0, 2), 0.8f);
    normalise (loop, 0.8f);
    return loop;
}

juce::AudioBuffer<float> vinylCrackle (double seconds)
{
    const double sr = kSampleRate;
    const int n = (int) (seconds * sr);
    juce::AudioBuffer<float> out (2, n);
    out.clear();

    for (int ch = 0; ch < 2; ++ch)
    {
        Noise noise (71 + ch);
        auto hissFilter = Biquad::lowPass (3500.0, 0.7, sr);
        double click = 0.0;

        for (int i = 0; i < n; ++i)
        {
            // About 30 pops a second, each a fast-decaying impulse of random size and sign.
            if (noise.random.nextDouble() < 30.0 / sr)
                click += (noise.random.nextDouble() * 0.6 + 0.1) * (noise.random.nextBool() ? 1.0 : -1.0);

            click *= 0.55;
            out.setSample (ch, i, (float) (click + 0.03 * hissFilter.process (noise.next())));
        }
    }

    normalise (out, 0.5f);
    return out;
}

// A single hit followed by silence: long enough to pass the length test, but all of its
// energy is in the first few hundred milliseconds.
juce::AudioBuffer<float> singleHitFile (Drum drum, double seconds)
{
    juce::AudioBuffer<float> out (1, (int) (seconds * kSampleRate));
    out.clear();
    mixInto (out, drumHit (drum));
    return out;
}
} // namespace

//==============================================================================
int loopLength (double bpm, int bars, double sampleRate)
{
    return (int) std::lround (bars * 240.0 / bpm * sampleRate);
}

juce::AudioBuffer<float> drumHit (Drum drum, double sr)
{
    Noise noise (11 + (int) drum);

    switch (drum)
    {
        case Drum::kick:
        {
            double phase = 0.0;
            auto soften = Biquad::lowPass (2500.0, 0.7, sr);
            return makeHit (0.5, sr, [&, sr] (double t)
            {
                const double f = 48.0 + 110.0 * std::exp (-t / 0.035);
                phase += kTwoPi * f / sr;
                const double body = std::sin (phase) * std::exp (-t / 0.25) * std::min (1.0, t / 0.001);
                const double click = 0.6 * soften.process (noise.next()) * std::exp (-t / 0.003);
                return std::tanh (1.5 * (body + click));
            });
        }
        case Drum::snare:
        {
            auto band = Biquad::bandPass (2500.0, 0.9, sr), dull = Biquad::lowPass (7000.0, 0.7, sr);
            return makeHit (0.35, sr, [&] (double t)
            {
                const double tone = 0.5 * std::sin (kTwoPi * 190.0 * t) * std::exp (-t / 0.05)
                                    + 0.2 * std::sin (kTwoPi * 330.0 * t) * std::exp (-t / 0.03);
                return tone + 1.2 * dull.process (band.process (noise.next())) * std::exp (-t / 0.1);
            });
        }
        case Drum::clap:
        {
            auto band = Biquad::bandPass (1200.0, 1.2, sr);
            return makeHit (0.4, sr, [&] (double t)
            {
                double env = 0.0;

                for (double start : { 0.0, 0.011, 0.022 })
                    if (t >= start)
                        env += std::exp (-(t - start) / 0.005);

                if (t >= 0.03)
                    env += 0.7 * std::exp (-(t - 0.03) / 0.12);

                return band.process (noise.next()) * env;
            });
        }
        case Drum::closedHat:
        case Drum::openHat:
        {
            // Band-limited rather than white above a corner, as metal sounds: the brightness
            // sits around 9 kHz and falls away above.
            auto band = Biquad::bandPass (9000.0, 1.2, sr), top = Biquad::lowPass (13000.0, 0.7, sr);
            const double decay = drum == Drum::closedHat ? 0.02 : 0.12;
            return makeHit (drum == Drum::closedHat ? 0.1 : 0.4, sr, [&, decay] (double t)
            {
                return top.process (band.process (noise.next())) * std::exp (-t / decay);
            });
        }
        case Drum::rim:
        {
            auto band = Biquad::bandPass (2000.0, 1.0, sr);
            return makeHit (0.1, sr, [&] (double t)
            {
                return std::sin (kTwoPi * 1700.0 * t) * std::exp (-t / 0.012)
                       + 0.5 * std::sin (kTwoPi * 820.0 * t) * std::exp (-t / 0.02)
                       + 0.3 * band.process (noise.next()) * std::exp (-t / 0.001);
            });
        }

        case Drum::congaLow:
        case Drum::congaHigh:
        {
            const double base = drum == Drum::congaLow ? 220.0 : 329.63; // tuned to A3 and E4
            const double decay = drum == Drum::congaLow ? 0.16 : 0.12;
            double phase = 0.0;
            auto slap = Biquad::bandPass (1800.0, 1.0, sr);
            return makeHit (0.4, sr, [&, base, decay, sr] (double t)
            {
                phase += kTwoPi * (base + 0.2 * base * std::exp (-t / 0.01)) / sr;
                return std::sin (phase) * std::exp (-t / decay) + 0.4 * slap.process (noise.next()) * std::exp (-t / 0.004);
            });
        }
        case Drum::shaker:
        {
            auto band = Biquad::bandPass (6000.0, 1.0, sr);
            return makeHit (0.15, sr, [&] (double t)
            {
                const double env = t < 0.012 ? t / 0.012 : std::exp (-(t - 0.012) / 0.03);
                return band.process (noise.next()) * env;
            });
        }
        case Drum::cowbell:
        {
            auto band = Biquad::bandPass (900.0, 1.5, sr);
            return makeHit (0.6, sr, [&] (double t)
            {
                double square = 0.0;

                for (int k = 1; k <= 7; k += 2)
                    square += (std::sin (kTwoPi * 545.0 * k * t) + std::sin (kTwoPi * 815.0 * k * t)) / k;

                return band.process (square) * std::exp (-t / 0.1);
            });
        }
    }

    return juce::AudioBuffer<float> (1, 1);
}

juce::AudioBuffer<float> drumPattern (Drum drum, const char* steps, double bpm, int bars, float gain, double sr)
{
    const int length = loopLength (bpm, bars, sr);
    juce::AudioBuffer<float> loop (1, std::max (1, length));
    loop.clear();

    const auto hit = drumHit (drum, sr);
    const int patternLength = (int) std::strlen (steps);
    const double samplesPerStep = (double) length / (16.0 * bars);

    for (int step = 0; patternLength > 0 && step < 16 * bars; ++step)
        if (const auto velocity = velocityOf (steps[step % patternLength]); velocity > 0.0f)
            addWrapped (loop, hit, (int) std::lround (step * samplesPerStep), gain * velocity);

    return loop;
}

juce::AudioBuffer<float> whiteNoise (double seconds, int seed, double sr)
{
    const int n = std::max (1, (int) (seconds * sr));
    juce::AudioBuffer<float> out (1, n);
    Noise noise (seed);

    // Uniform in [-a, a] has RMS a / sqrt(3); a = 0.308 gives about -15 dBFS.
    for (int i = 0; i < n; ++i)
        out.setSample (0, i, (float) (0.308 * noise.next()));

    return out;
}

void mixInto (juce::AudioBuffer<float>& destination, const juce::AudioBuffer<float>& source, float gain)
{
    if (source.getNumChannels() == 0)
        return;

    const int n = std::min (destination.getNumSamples(), source.getNumSamples());

    for (int ch = 0; ch < destination.getNumChannels(); ++ch)
        destination.addFrom (ch, 0, source, std::min (ch, source.getNumChannels() - 1), 0, n, gain);
}

std::vector<DemoFile> demoPackFiles()
{
    std::vector<DemoFile> files;
    auto add = [&files] (const char* path, juce::AudioBuffer<float> audio)
    {
        // Overlapping tails can add up past full scale; keep every file clear of clipping.
        if (audio.getMagnitude (0, audio.getNumSamples()) > 0.9f)
            normalise (audio, 0.9f);

        files.push_back ({ path, std::move (audio) });
    };

    add ("Drums/Kick Loop 120bpm.wav", drumPattern (Drum::kick, "X...X...X...X...X...X...X...X.x.", 120.0, 2, 0.9f));
    add ("Drums/Kick Loop Broken 120bpm.wav", drumPattern (Drum::kick, "X..x..X...X..x..X..x..X...X.x.x.", 120.0, 2, 0.9f));
    add ("Drums/Kick Loop Skippy 124bpm.wav", drumPattern (Drum::kick, "X.....x.X.....x.X.....x.X..x..x.", 124.0, 2, 0.9f));
    add ("Drums/Hats Loop 124.wav", hatsLoop124());
    add ("Drums/Clap Loop 120bpm.wav", drumPattern (Drum::clap, "....X.......X...", 120.0, 2, 0.8f));
    add ("Drums/Snare Loop 120bpm.wav", drumPattern (Drum::snare, "....X.......X..x....X.......X.x.", 120.0, 2, 0.8f));
    add ("Drums/Rim Groove 124bpm.wav", drumPattern (Drum::rim, "X..x..X.x.X..x.x", 124.0, 2, 0.7f));
    add ("Drums/Conga Loop 124bpm.wav", congaLoop124());
    add ("Drums/Shaker Loop 120bpm.wav", drumPattern (Drum::shaker, "XoxoXoxoXoxoXoxo", 120.0, 2, 0.6f));
    add ("Drums/Full Drum Loop 128bpm.wav", fullDrumLoop128());
    add ("Drums/Shaker Wash Loop 120bpm.wav", whiteNoise (4.0, 5));
    add ("Drums/Cowbell Ping.wav", singleHitFile (Drum::cowbell, 3.0));
    add ("Tops/Top Loop 124bpm.wav", topLoop124());
    add ("Bass/Bass Loop Am 120bpm.wav", bassLoopAm120());
    add ("Bass/Sub Bass Groove 128 Am.wav", subBassAm128());
    add ("Bass/Deep Bass Groove Am.wav", deepBassGroove120());
    add ("Music/Keys Chords Am 120bpm.wav", keysChordsAm120());
    add ("Music/Lead Pluck Am 120bpm.wav", leadPluckAm120());
    add ("Music/Piano Stabs.wav", pianoStabs120());
    add ("One Shots/Kick One Shot.wav", drumHit (Drum::kick));
    add ("One Shots/Clap One Shot.wav", drumHit (Drum::clap));
    add ("FX/Vinyl Crackle Loop.wav", vinylCrackle (4.0));
    return files;
}

juce::MemoryBlock wavBytes (const juce::AudioBuffer<float>& audio, double sampleRate, int bitsPerSample)
{
    juce::MemoryBlock block;

    {
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (
            wav.createWriterFor (new juce::MemoryOutputStream (block, false), sampleRate,
                                 (unsigned int) audio.getNumChannels(), bitsPerSample, {}, 0));

        if (writer == nullptr)
            return {};

        writer->writeFromAudioSampleBuffer (audio, 0, audio.getNumSamples());
    } // the writer finishes the header and releases the stream here

    return block;
}

bool writeWav (const juce::File& file, const juce::AudioBuffer<float>& audio, double sampleRate, int bitsPerSample)
{
    const auto bytes = wavBytes (audio, sampleRate, bitsPerSample);
    return bytes.getSize() > 0 && file.getParentDirectory().createDirectory() && file.replaceWithData (bytes.getData(), bytes.getSize());
}

bool writeZip (const juce::File& zip, const std::vector<std::pair<juce::String, juce::MemoryBlock>>& entries)
{
    juce::ZipFile::Builder builder;
    const juce::Time stamp (2024, 0, 1, 12, 0); // fixed, so the archive is reproducible

    for (const auto& [name, bytes] : entries)
        builder.addEntry (new juce::MemoryInputStream (bytes, true), 9, name, stamp);

    juce::MemoryOutputStream out;

    if (! builder.writeToStream (out, nullptr))
        return false;

    return zip.getParentDirectory().createDirectory() && zip.replaceWithData (out.getData(), out.getDataSize());
}

bool writeDemoPack (const juce::File& folder)
{
    if (! folder.createDirectory())
        return false;

    for (const auto& file : demoPackFiles())
        if (! writeWav (folder.getChildFile (file.path), file.audio, kSampleRate))
            return false;

    return true;
}

bool writeDemoPackZip (const juce::File& zip)
{
    std::vector<std::pair<juce::String, juce::MemoryBlock>> entries;

    for (const auto& file : demoPackFiles())
        entries.emplace_back (file.path, wavBytes (file.audio, kSampleRate));

    return writeZip (zip, entries);
}
} // namespace tg::demo
