#pragma once
#include "ColourStages.h"
#include "LaneVoice.h"
#include "Parameters.h"
#include "engine/LoopEngine.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_audio_processors/juce_audio_processors.h>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

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
    using juce::AudioProcessor::processBlock;

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

    // --- lane hand-off to the audio thread (message thread unless noted) -------------------
    using RawFx = tgdsp::RawFx;

    // Brings one lane's view up to date: pitch shift first, then the pointer swap under the
    // lock, then the retired buffers are freed.
    void refreshLanePlay (int lane);
    // The locked part of refreshLanePlay; the caller holds laneLock (message or host thread).
    void refreshLanePlayLocked (int lane);
    // Empties one view (0..6) or all (negative) before the lane's audio is replaced.
    void takeLanesOffline (int lane);
    // The key lock's retune of a lane, -2..+2 semitones.
    int laneKeySemis (int lane) const;
    // Pitch dial + automatic offset + key lock, in semitones.
    int laneSemitoneTotal (int lane) const;
    // Swaps BASS and LEAD loops named too far from the chosen key for in-key candidates.
    void repickForKey (bool withUndo);

    // --- pack loading (message thread) ----------------------------------------------------
    // The loader's progress, polled by the editor: fraction lock-free, message under lock.
    struct LoadProgressSink
    {
        std::atomic<float> fraction { 0.0f };
        juce::CriticalSection lock;
        juce::String message;

        void set (float newFraction, const juce::String& newMessage);
        juce::String getMessage() const;
    };

    using PackList = std::vector<std::pair<juce::File, bool>>; // (pack, is folder), load order

    // Loads a folder or zip pack on a worker thread; the result lands on the message thread
    // only if this is still the newest load and the processor still exists. onDone(false)
    // may run after the processor is gone and must not touch it then. onApplied runs after a
    // successful load changed the engine, before the lanes are re-armed.
    void loadPackAsync (const juce::File& file, bool isFolder, std::function<void (bool)> onDone,
                        std::function<void()> onApplied = {}, bool add = false, bool restoring = false);

    // Reloads a saved session's packs one after another, then re-applies its lanes.
    void restorePackChain (std::shared_ptr<const PackList> list, size_t index, juce::ValueTree tg, bool first);

    // --- export (message thread) --------------------------------------------------------------
    // 16-bit PCM WAV at 44.1 kHz; true when every sample was written.
    static bool writeWav16 (const juce::File& file, const juce::AudioBuffer<float>& buffer);
    // One lane rendered alone into the temporary "TapegrubDrag" folder; empty file on failure.
    juce::File writeLaneWavTemp (int lane);
    // Every lane with a loop into a new "Tapegrub Loops" temporary folder; empty file if none.
    juce::File writeAllWavsTemp();
    // The file name (without extension) a lane exports under.
    juce::String exportName (int lane, bool displayNameWhenEmpty) const;
    // Bars per phrase from the "bars" parameter: 1, 2, 4 or 8.
    int barsPerPhrase() const noexcept;

    // --- undo, redo and generation history (message thread) --------------------------------
    // Everything the user can change, loops referred to by name (audio is never copied).
    struct Snap
    {
        juce::ValueTree params;
        tg::LoopEngine::LoopSet set;
        std::array<int, numLanes> beatShift {};
        std::array<int, numLanes> autoSemi {};
        bool packLoaded = false;
    };

    // The picks just before one generation, for the Grubhole.
    struct HistoryEntry
    {
        tg::LoopEngine::LoopSet set;
    };

    static constexpr int maxUndoSteps = 64;
    static constexpr int maxGenerateHistory = 3;

    Snap captureSnap();
    void pushUndo();
    void applySnap (const Snap& snap);
    bool undoStep();          // false: nothing to undo
    bool redoStep();          // false: nothing to redo
    // GENERATE: undo step, history entry, new picks for every lane not held, key re-pick,
    // refresh, Phase Guard and Auto Mix. False (and nothing changes) without any loops.
    bool generateGroove();
    bool grubholeStep();      // false: no generation to step back to

    std::vector<Snap> undoStack, redoStack;
    std::vector<HistoryEntry> generateHistory;

    // --- lane edits (message thread) ----------------------------------------------------------
    void shiftLane (int lane, int beats);
    void setCrop (int lane, int cropLen, int cropStart, bool resetShift);
    void rerollLane (int lane);
    void setLaneFX (int lane, int fx, float value);
    bool laneEnabled (int lane) const;

    // --- master tools and offline render (message thread) -----------------------------------
    void autoMixLevels (int lane);
    void refreshPhaseGuard();
    // The lane alone, bars bars at 44.1 kHz with its rack, colour stages and reverb return.
    juce::AudioBuffer<float> renderLane (int lane, int bars);

    const tgparams::ParamCache& paramCache() const noexcept { return cache; }

    // How often each lane's play view has been rebuilt, and the key re-picks run: status for
    // the editor's redraw decisions and for tests of the refresh rules.
    int laneRefreshCount (int lane) const noexcept { return laneRefreshes[(size_t) lane].load(); }
    int keyRepickCount() const noexcept { return keyRepicks.load(); }

    // --- state the editor reads -------------------------------------------------------------
    tg::LoopEngine engine;
    juce::AudioProcessorValueTreeState parameters;
    std::atomic<int> playGeneration { 0 };
    std::atomic<bool> limiterActive { false };

    std::array<LanePlayView, numLanes> laneViews {};
    juce::SpinLock laneLock;

    juce::ValueTree pendingState;
    std::atomic<int> page { 0 };

    std::atomic<bool> isPlayingNow { false };
    std::atomic<double> phraseProgress { 0.0 };
    std::atomic<double> hostBpm { 0.0 };

    std::shared_ptr<LoadProgressSink> loadProgress = std::make_shared<LoadProgressSink>();

    juce::AudioFormatManager formatManager;

    juce::String lastPackPath;
    bool lastPackIsFolder = false;
    std::atomic<bool> restoreInProgress { false };
    PackList packChain;
    std::atomic<int> restoreEpoch { 0 };

    juce::Random random;

private:
    // Renders one lane's block into laneScratch; false when the lane is faded out and skipped.
    bool renderLaneBlock (int lane, int numSamples, double tempo, double samplesPerBar, double phraseLen,
                          bool anySolo, float rawMix, float sparkleMix);
    std::array<float, tgvoice::numDials> laneDialValues (int lane) const noexcept;
    struct LoadTask;
    static void completeLoad (std::shared_ptr<LoadTask> task);
    void applyLoad (LoadTask& task);
    void applySavedLanes (const juce::ValueTree& tg);
    void restoreOnMessageThread (const void* data, int sizeInBytes);
    juce::ValueTree buildSessionElement() const;
    // Phase Guard, pitch-shifted copies prepared, then every view re-pointed under the lock.
    void rearmLanes();
    std::array<float, numLanes> phaseGuardPolarities() const;
    void copyHoldFlagsFromParameters();
    bool stepHistory (std::vector<Snap>& from, std::vector<Snap>& to);
    void refreshAllLanes();
    void freeRetired (int lane);
    void cacheParams();
    void addListeners();
    void removeListeners();

    tgparams::ParamCache cache;

    // Audio-thread transport state.
    double playPos = 0.0;          // samples into the phrase
    bool wasPlaying = false;
    bool wasHostPlaying = false;
    std::atomic<bool> resetPlayRequest { false };
    std::atomic<bool> missedBlock { false };

    // Master DSP state (audio thread after prepareToPlay).
    double sampleRate = 44100.0;
    std::array<tgvoice::Biquad, 2> dcFilter {};
    tgvoice::Biquad bassMonoLowPass;
    std::array<tgvoice::Biquad, 2> sendHighPass {}, sendLowPass {};
    juce::Reverb reverb;
    // The send bus sleeps (filters and reverb cleared, not run) once nothing has been sent for
    // a while and its return has stayed below -100 dB; the first block with a send wakes it.
    bool sendBusAsleep = true;
    int sendBusQuietSamples = 0; // samples without a send and with the return below -100 dB
    juce::AudioBuffer<float> sendBuffer, laneScratch;
    float limiterGain = 1.0f;
    std::array<RawFx, numLanes> rawFx {};
    std::array<tgdsp::SparkleState, numLanes> sparkle {};

    // Work handed from any thread to the message thread.
    std::atomic<unsigned int> pendingLaneMask { 0 };
    std::atomic<bool> keyDirty { false };

    std::array<std::atomic<int>, numLanes> laneRefreshes {};
    std::atomic<int> keyRepicks { 0 };

    // Lifetime flags shared with loader threads and queued message-thread calls.
    std::shared_ptr<std::atomic<bool>> aliveFlag = std::make_shared<std::atomic<bool>> (true);
    std::shared_ptr<std::atomic<bool>> cancelFlag = std::make_shared<std::atomic<bool>> (false);
    // Worker threads and the flag each sets as its very last action, for reaping and joining.
    std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> loaderThreads;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TapegrubProcessor)
};
