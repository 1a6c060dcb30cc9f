#pragma once
// The parameter table and the raw-value cache the audio thread reads.
#include <juce_audio_processors/juce_audio_processors.h>
#include <array>
#include <atomic>

namespace tgparams
{
constexpr int kNumLanes = 7;
constexpr int kNumFx = 7;
constexpr int kNumParameters = 16 + kNumLanes * (4 + kNumFx);

// Effect dial indices.
enum Fx { fxPitch = 0, fxPan, fxDrive, fxCrush, fxFilter, fxVerb, fxPunch };

inline constexpr std::array<float, kNumFx> kFxDefaults { 0.5f, 0.5f, 0.0f, 0.0f, 0.5f, 0.0f, 0.5f };
inline constexpr std::array<const char*, kNumFx> kFxNames { "Pitch", "Pan", "Drive", "Crush", "Filter", "Verb", "Punch" };
inline constexpr std::array<int, 4> kBars { 1, 2, 4, 8 };
// Lane names as hosts show them in parameter names (the editor labels differ).
inline constexpr std::array<const char*, kNumLanes> kLaneParamNames { "Kick", "Bass", "Hats", "Clap", "Hand Perc", "Percussion", "Lead" };

constexpr float kVolumeFallback = 0.8f;

// Pointers into the tree's raw (denormalised) atomics, filled once at construction.
// A null pointer means the parameter is missing; readers then use their fallback.
struct ParamCache
{
    using Ptr = std::atomic<float>*;

    std::array<Ptr, kNumLanes> vol {}, mute {}, solo {}, hold {};
    std::array<std::array<Ptr, kNumFx>, kNumLanes> fx {};

    Ptr bars = nullptr, lenmode = nullptr, lentrim = nullptr, keyon = nullptr, root = nullptr,
        scale = nullptr, sparkle = nullptr, sparklemix = nullptr, raw = nullptr, rawmix = nullptr,
        dc = nullptr, mono = nullptr, deres = nullptr, phase = nullptr, automix = nullptr,
        play = nullptr;
};

inline float readFloat (const std::atomic<float>* p, float fallback) noexcept
{
    return p != nullptr ? p->load (std::memory_order_relaxed) : fallback;
}

// A switch is on when its raw value is above 0.5.
inline bool readSwitch (const std::atomic<float>* p, bool fallback) noexcept
{
    return p != nullptr ? p->load (std::memory_order_relaxed) > 0.5f : fallback;
}

// A choice index: the raw value rounded to nearest.
inline int readChoice (const std::atomic<float>* p, int fallback) noexcept
{
    return p != nullptr ? (int) std::lround (p->load (std::memory_order_relaxed)) : fallback;
}

// Bars per phrase: int(raw + 0.5) clamped to 0..3, through kBars.
inline int readBarsPerPhrase (const std::atomic<float>* p) noexcept
{
    const int index = p != nullptr ? juce::jlimit (0, 3, (int) (p->load (std::memory_order_relaxed) + 0.5f)) : 2;
    return kBars[(size_t) index];
}
} // namespace tgparams
