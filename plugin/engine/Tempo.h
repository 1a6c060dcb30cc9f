#pragma once
// Tempo and onset analysis. Tempos are in BPM, 4 beats to the bar, plausible range 70..200.
// All functions are pure and thread-safe; degenerate input gives 120 BPM / 1 bar / onset 0.
#include <juce_core/juce_core.h>
#include <vector>

namespace tg
{
// Tempo stated outright in a path ("120bpm", "bpm_120"); 0 when none.
int explicitBpmFromPath (const juce::String& path);

// Tempo from a bare 2-3 digit number in the file name that the loop's duration corroborates;
// 0 when none fits. On success writes the implied bar count into bars.
int corroboratedBpmFromName (const juce::String& path, double durationSeconds, int& bars);

// Tempo (a whole number of BPM) detected from a mono signal; writes the bar count.
// hint: a tempo to favour (the pack's), 0 for none.
double detectLoopBpm (const float* samples, int count, double sampleRate, int& bars, double hint);

// Note starts in a mono signal, ascending sample positions; always starts with 0.
std::vector<int> detectOnsets (const float* samples, int count, double sampleRate);

// In-place forward complex FFT, n a power of two, no scaling.
void fftRadix2 (float* re, float* im, int n);
} // namespace tg
