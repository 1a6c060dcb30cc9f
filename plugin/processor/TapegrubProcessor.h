#pragma once
#include "Parameters.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_audio_processors/juce_audio_processors.h>
#include <array>
#include <atomic>
#include <memory>

// The plug-in. The only object where threads meet: the message thread (editor, commands,
// refreshes), the audio thread (processBlock), host threads (state, prepare) and loader threads.
class TapegrubProcessor : public juce::AudioProcessor,
                          public juce::AudioProcessorValueTreeState::Listener,
                          public juce::AsyncUpdater
{
public:
    static constexpr int numLanes = tgparams::kNumLanes;

    TapegrubProcessor();
    ~TapegrubProcessor() override;

    // --- host answers ---------------------------------------------------------------------
    const juce::String getName() const override { return "Tapegrub"; }
    bool acceptsMidi() const override { return true; }
    bool producesMidi() const override { return false; }
    bool isMidiEffect() const override { return false; }
    double getTailLengthSeconds() const override { return 0.0; }
    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram (int) override {}
    const juce::String getProgramName (int) override { return "Default"; }
    void changeProgramName (int, const juce::String&) override {}
    bool hasEditor() const override { return true; }
    juce::AudioProcessorEditor* createEditor() override;

    bool isBusesLayoutSupported (const BusesLayout& layout) const override;
    void prepareToPlay (double sampleRate, int maximumBlockSize) override;
    void releaseResources() override {}
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;

    void getStateInformation (juce::MemoryBlock& block) override;   // host or message thread
    void setStateInformation (const void* data, int sizeInBytes) override;

    // --- parameters -----------------------------------------------------------------------
    static juce::AudioProcessorValueTreeState::ParameterLayout makeLayout();
    static juce::String volId (int lane);
    static juce::String fxId (int lane, int fx);

    // Any thread: records which lanes need a refresh and wakes the message thread.
    void parameterChanged (const juce::String& parameterID, float newValue) override;
    // Message thread: play-switch reset, key re-pick, then lane refreshes.
    void handleAsyncUpdate() override;

    // Message thread: rebuilds a lane's play view from the engine.
    void refreshLanePlay (int lane);
    // Message thread: re-picks key-sensitive lanes after a key change.
    void repickForKey (bool withUndo);

    const tgparams::ParamCache& paramCache() const noexcept { return cache; }

    // How often each lane's play view has been rebuilt, and the key re-picks run: status for
    // the editor's redraw decisions and for tests of the refresh rules.
    int laneRefreshCount (int lane) const noexcept { return laneRefreshes[(size_t) lane].load(); }
    int keyRepickCount() const noexcept { return keyRepicks.load(); }

    // --- state the editor reads -------------------------------------------------------------
    juce::AudioProcessorValueTreeState parameters;
    std::atomic<int> playGeneration { 0 };
    std::atomic<bool> limiterActive { false };

    juce::ValueTree pendingState;
    std::atomic<int> page { 0 };

    std::atomic<bool> isPlayingNow { false };
    std::atomic<double> phraseProgress { 0.0 };
    std::atomic<double> hostBpm { 0.0 };

    juce::AudioFormatManager formatManager;

    std::atomic<bool> restoreInProgress { false };
    std::atomic<int> restoreEpoch { 0 };

    juce::Random random;

private:
    void cacheParams();
    void addListeners();
    void removeListeners();

    tgparams::ParamCache cache;

    // Audio-thread transport state.
    std::atomic<bool> resetPlayRequest { false };
    double sampleRate = 44100.0;

    // Work handed from any thread to the message thread.
    std::atomic<unsigned int> pendingLaneMask { 0 };
    std::atomic<bool> keyDirty { false };

    std::array<std::atomic<int>, numLanes> laneRefreshes {};
    std::atomic<int> keyRepicks { 0 };

    // Lifetime flags shared with loader threads and queued message-thread calls.
    std::shared_ptr<std::atomic<bool>> aliveFlag = std::make_shared<std::atomic<bool>> (true);
    std::shared_ptr<std::atomic<bool>> cancelFlag = std::make_shared<std::atomic<bool>> (false);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TapegrubProcessor)
};
