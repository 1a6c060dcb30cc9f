#pragma once
// Our own synthesized loop pack: a small, deterministic set of drum, bass and melodic loops
// in A minor around 120 BPM, plus one-shots, a texture and a noise wash that ingest rejects.
// The `tapegrub make-demo-pack` command writes it; tests build their packs from the same
// building blocks so that fixtures are generated, never checked in.
//
// Every function is pure (fixed seeds) and may run on any thread.
#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <utility>
#include <vector>

namespace tg::demo
{
constexpr double kSampleRate = 44100.0;

// Length of a loop of `bars` 4/4 bars at `bpm`, in samples (rounded to nearest).
int loopLength (double bpm, int bars, double sampleRate = kSampleRate);

enum class Drum { kick, snare, clap, closedHat, openHat, rim, congaLow, congaHigh, shaker, cowbell };

// One hit of a drum voice, mono, at full velocity, including its decay tail.
juce::AudioBuffer<float> drumHit (Drum drum, double sampleRate = kSampleRate);

// A mono loop of `bars` bars playing `drum` on a sixteenth-note grid. `steps` holds one
// character per sixteenth and is repeated to fill the loop: 'X' full, 'x' 0.7, 'o' 0.4,
// anything else a rest. Tails ring round into the loop's start, so the loop repeats
// seamlessly. gain scales the whole pattern.
juce::AudioBuffer<float> drumPattern (Drum drum, const char* steps, double bpm, int bars,
                                      float gain = 1.0f, double sampleRate = kSampleRate);

// Steady white noise at a fixed RMS level (about -15 dBFS), mono. seed picks the sequence.
juce::AudioBuffer<float> whiteNoise (double seconds, int seed = 1, double sampleRate = kSampleRate);

// destination += source * gain on every destination channel, up to the shorter length; a
// mono source feeds every channel.
void mixInto (juce::AudioBuffer<float>& destination, const juce::AudioBuffer<float>& source, float gain = 1.0f);

// One file of the demo pack: its path relative to the pack folder ("/"-separated) and its
// audio at kSampleRate (one or two channels).
struct DemoFile
{
    juce::String path;
    juce::AudioBuffer<float> audio;
};

// The whole demo pack, always identical.
std::vector<DemoFile> demoPackFiles();

// The bytes of a PCM WAV file (16 or 24 bit).
juce::MemoryBlock wavBytes (const juce::AudioBuffer<float>& audio, double sampleRate, int bitsPerSample = 16);

// Writes a PCM WAV file, creating its parent folders. False when the file cannot be written.
bool writeWav (const juce::File& file, const juce::AudioBuffer<float>& audio, double sampleRate,
               int bitsPerSample = 16);

// Writes a zip archive of (entry name, bytes) pairs in the given order. False on failure.
bool writeZip (const juce::File& zip, const std::vector<std::pair<juce::String, juce::MemoryBlock>>& entries);

// Writes the demo pack as 16-bit WAV files under folder (created if missing).
bool writeDemoPack (const juce::File& folder);

// Writes the demo pack as one zip archive of 16-bit WAV files.
bool writeDemoPackZip (const juce::File& zip);
} // namespace tg::demo
