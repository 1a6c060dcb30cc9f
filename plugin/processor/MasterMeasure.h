#pragma once
// The measuring halves of the two analysing master tools: the loudness Auto Mix aims each lane
// at, and the KICK/BASS low-end polarity test of Phase Guard. Pure functions over buffers; the
// processor calls them on the message thread and applies their results itself.
#include <juce_audio_basics/juce_audio_basics.h>
#include <array>

namespace tgdsp
{
// Per-lane Auto Mix targets in dB, lane order KICK, BASS, HATS, CLAP, PERC1, PERC2, LEAD.
// The loudness aimed for is the target minus 12.
inline constexpr std::array<double, 7> kTargetDb { 0.0, -3.0, -9.0, -2.0, -9.0, -11.0, -6.0 };

// Loudness a render reads as, in dB of K-weighted energy (BS.1770-style, without the
// relative gate): every channel through its own fresh K-weighting filter designed for
// 44.1 kHz (renders are always at 44.1 kHz), per-sample energies of all channels summed,
// 0.2 s blocks with 75 % overlap, blocks at -70 or below ignored, then the 95th percentile of
// the rest. -120 when no block is loud enough (silence, or an empty render).
double kWeightedLoudness95 (const juce::AudioBuffer<float>& render);

// The lane volume (raw, 0..4) that brings a lane measured at loudnessDb to targetDb - 12:
// currentVolume x 10^((targetDb - 12 - loudnessDb) / 20), clamped to 0.02..4. A loudness of
// -119 or below means nothing was measured; the current volume is returned unchanged.
double autoMixVolume (double currentVolume, double loudnessDb, double targetDb);

// Phase Guard: true when the BASS low end (below ~180 Hz) works against the KICK's over the
// first bar of the KICK loop, so BASS should be played with inverted polarity. Reads channel 0
// of the two one-channel mono sums; the bar and the low-pass follow the KICK loop's own sample
// rate and tempo (BPM). False when either holds fewer than 1024 samples or the bar is empty.
bool phaseGuardFlipsBass (const juce::AudioBuffer<float>& kickMono, double kickSampleRate,
                          double kickBpm, const juce::AudioBuffer<float>& bassMono);
} // namespace tgdsp
