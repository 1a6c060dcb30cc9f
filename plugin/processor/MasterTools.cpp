// Auto Mix (lane volumes from measured loudness) and Phase Guard (BASS polarity against the
// KICK). Both analyse lanes on the message thread; neither runs on the audio thread.
#include "MasterMeasure.h"
#include "TapegrubProcessor.h"

using namespace tgparams;

void TapegrubProcessor::autoMixLevels (int lane)
{
    if (cache.automix != nullptr && cache.automix->load() < 0.5f)
        return;

    bool anySolo = false;
    for (size_t i = 0; i < (size_t) numLanes; ++i)
        anySolo = anySolo || readSwitch (cache.solo[i], false);

    for (int i = 0; i < numLanes; ++i)
    {
        if (lane >= 0 && i != lane)
            continue;

        const auto l = (size_t) i;
        if (readSwitch (cache.mute[l], false))
            continue;
        if (anySolo && ! readSwitch (cache.solo[l], false))
            continue;
        if (engine.lanes[l].play.getNumSamples() < 1)
            continue;

        const auto render = renderLane (i, 2);
        if (render.getNumSamples() < 1)
            continue;

        const double loudness = tgdsp::kWeightedLoudness95 (render);
        if (loudness <= -119.0)
            continue;

        const double volume = tgdsp::autoMixVolume (readFloat (cache.vol[l], kVolumeFallback), loudness,
                                                    tgdsp::kTargetDb[l]);
        if (auto* p = parameters.getParameter (volId (i)))
            p->setValueNotifyingHost (p->convertTo0to1 ((float) volume));
    }
}

std::array<float, TapegrubProcessor::numLanes> TapegrubProcessor::phaseGuardPolarities() const
{
    std::array<float, numLanes> polarity;
    polarity.fill (1.0f);

    if (! readSwitch (cache.phase, true))
        return polarity;

    const auto& kick = engine.lanes[tg::kick];
    const auto& bass = engine.lanes[tg::bass];
    if (tgdsp::phaseGuardFlipsBass (kick.mono, kick.sampleRate, kick.bpm, bass.mono))
        polarity[tg::bass] = -1.0f;
    return polarity;
}

void TapegrubProcessor::refreshPhaseGuard()
{
    const auto polarity = phaseGuardPolarities();
    const juce::SpinLock::ScopedLockType lock (laneLock);
    for (size_t lane = 0; lane < (size_t) numLanes; ++lane)
        laneViews[lane].polarity = polarity[lane];
}
