// Hand-off of lane audio to the audio thread, and the key lock's retune.
// Message thread, except refreshLanePlayLocked, which prepareToPlay and a state restore
// also call from the host thread with the lock held.
#include "TapegrubProcessor.h"
#include "engine/KeyNames.h"

using namespace tgparams;


std::array<float, tgvoice::numDials> TapegrubProcessor::laneDialValues (int lane) const noexcept
{
    std::array<float, tgvoice::numDials> values {};
    for (size_t fx = 0; fx < values.size(); ++fx)
        values[fx] = readFloat (cache.fx[(size_t) lane][fx], kFxDefaults[fx]);
    return values;
}

int TapegrubProcessor::laneKeySemis (int lane) const
{
    if (lane < 0 || lane >= numLanes || lane == tg::kick || lane == tg::hats)
        return 0;
    if (! readSwitch (cache.keyon, false))
        return 0;

    const auto& l = engine.lanes[(size_t) lane];
    if (l.keyRoot < 0)
        return 0;

    const int root = readChoice (cache.root, 9);
    const bool wantMinor = readChoice (cache.scale, 1) == 1;

    if (lane == tg::clap || lane == tg::perc1 || lane == tg::perc2)
    {
        // Percussion only follows a key it is sure of, towards the root or the fifth.
        if (! l.keyNamed && l.keyConfidence < 0.6f)
            return 0;
        const int toRoot = tg::wrapSemitones (root - l.keyRoot);
        const int toFifth = tg::wrapSemitones ((root + 7) % 12 - l.keyRoot);
        const int r = std::abs (toRoot) <= std::abs (toFifth) ? toRoot : toFifth;
        return r >= -2 && r <= 2 ? r : 0;
    }

    // BASS and LEAD: only a named key, compared in the wanted mode, at most a semitone away.
    if (! l.keyNamed)
        return 0;
    const int r = tg::keyDistance (root, wantMinor, l.keyRoot, l.keyMinor);
    return r >= -1 && r <= 1 ? r : 0;
}

int TapegrubProcessor::laneSemitoneTotal (int lane) const
{
    const auto* pitch = cache.fx[(size_t) lane][tgvoice::pitch];
    const int pitchSemis = pitch != nullptr ? (int) std::lroundf ((pitch->load() - 0.5f) * 24.0f) : 0;
    return pitchSemis + engine.lanes[(size_t) lane].autoSemi + laneKeySemis (lane);
}

void TapegrubProcessor::refreshLanePlay (int lane)
{
    if (lane < 0 || lane >= numLanes)
        return;

    // The expensive shift happens before the lock; the audio thread keeps playing meanwhile.
    const int semis = laneSemitoneTotal (lane);
    if (semis != 0)
        engine.lanes[(size_t) lane].shifted ((float) semis);

    {
        const juce::SpinLock::ScopedLockType lock (laneLock);
        refreshLanePlayLocked (lane);
    }

    freeRetired (lane);
    laneRefreshes[(size_t) lane].fetch_add (1);
}

void TapegrubProcessor::refreshLanePlayLocked (int lane)
{
    auto& l = engine.lanes[(size_t) lane];
    auto& view = laneViews[(size_t) lane];

    const int key = laneSemitoneTotal (lane);
    const juce::AudioBuffer<float>* source = &l.play;
    if (key != 0 && l.play.getNumSamples() > 0)
        if (auto it = l.pitched.find (key); it != l.pitched.end())
            source = &it->second;

    if (source->getNumSamples() < 1 || source->getNumChannels() < 1)
    {
        view.setEmpty();
    }
    else
    {
        const float* oldLeft = view.left;
        view.left = source->getReadPointer (0);
        view.right = source->getReadPointer (source->getNumChannels() > 1 ? 1 : 0);
        view.numSamples = source->getNumSamples();
        view.loopSampleRate = l.sampleRate;
        view.loopBpm = l.bpm;
        view.bars = juce::jmax (l.playBars, 1);
        view.onsets = l.onsets.empty() ? nullptr : l.onsets.data();
        view.onsetCount = (int) l.onsets.size();
        view.beatShift = l.cropLen > 0 ? 0 : l.beatShift; // a crop already holds its shift

        auto& v = view.voice;
        v.notchCount = 0;
        if (readSwitch (cache.deres, true))
        {
            for (const auto& notch : l.notches)
            {
                if (v.notchCount >= 3)
                    break;
                const double f = juce::jlimit (10.0, 0.45 * sampleRate, notch.frequency);
                const auto slot = (size_t) v.notchCount;
                v.notchL[slot].setPeaking (f, notch.q, notch.gainDb, sampleRate);
                v.notchL[slot].reset();
                v.notchR[slot] = v.notchL[slot];
                ++v.notchCount;
            }
        }

        if (view.left != oldLeft)
            view.gain = 0.0f; // new audio fades in
    }

    playGeneration.fetch_add (1);
}

void TapegrubProcessor::takeLanesOffline (int lane)
{
    const juce::SpinLock::ScopedLockType lock (laneLock);
    if (lane < 0)
    {
        for (auto& view : laneViews)
            view.setEmpty();
    }
    else if (lane < numLanes)
    {
        laneViews[(size_t) lane].setEmpty();
    }
}

void TapegrubProcessor::freeRetired (int lane)
{
    auto& retired = engine.lanes[(size_t) lane].retired;
    retired.clear();
    retired.shrink_to_fit();
}
