#pragma once
// The loop engine: seven lanes of candidate loops, the current pick of each lane and
// everything playback derives from it. Plain value types; no locks of their own. The
// processor's engine is changed on the message thread only; a loader thread owns a fresh
// engine privately until it is handed over.
#include "Conditioning.h"
#include "Lanes.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace tg
{
// One analysed loop of a pack: a candidate of one lane. Identified by name everywhere.
struct Loop
{
    juce::String name;               // file name without folders and last extension
    juce::AudioBuffer<float> audio;  // always two channels, at sampleRate, conditioned
    double sampleRate = 44100.0;
    double bpm = 120.0;
    int bars = 1;                    // 1, 2, 4 or 8 after conditioning
    bool bpmFromName = false;        // tempo written in the path: never re-detected
    bool fullKit = false;            // the keyword that placed it names a whole kit
};

struct Lane
{
    Lane() = default;
    Lane (Lane&&) noexcept = default;
    Lane& operator= (Lane&&) noexcept = default;
    Lane (const Lane&) = delete;
    Lane& operator= (const Lane&) = delete;

    std::vector<Loop> loops;          // candidates in the order ingest appended them
    int pick = -1;                    // index into loops, -1 none
    juce::AudioBuffer<float> source;  // copy of the picked loop's audio, uncropped
    double sampleRate = 44100.0;
    juce::String loopName;            // empty: the lane plays nothing
    double bpm = 120.0;
    int bars = 1;
    int cropLen = 0;                  // bars, 0 = not cropped
    int cropStart = 0;                // first bar of the crop window
    int beatShift = 0;                // beats, kept in 0 .. 4 * bars - 1 by its writers

    // Derived by rebuildPlayBuffer only.
    juce::AudioBuffer<float> play;    // what the audio thread plays, two channels
    juce::AudioBuffer<float> mono;    // one-channel sum of play
    int playBars = 1;
    bool tonal = false;
    bool fullKit = false;
    std::vector<int> onsets;          // sample positions in mono, ascending
    std::vector<Notch> notches;       // always empty on BASS and LEAD
    int keyRoot = -1;                 // pitch class, -1 unknown
    bool keyMinor = true;
    float keyConfidence = 0.0f;       // 0..1, 1 when named
    bool keyNamed = false;

    // Pitch-shifted copies of play by whole semitones (at most two), and buffers taken out
    // of that cache that a lane view may still point at: freed by the processor only after
    // the views are re-pointed.
    std::map<int, juce::AudioBuffer<float>> pitched;
    std::vector<juce::AudioBuffer<float>> retired;

    int autoSemi = 0;                 // automatic semitone offset (LEAD's random -1/0/+1)
    bool hold = false;                // mirrored from the lane's hold parameter

    // Rebuilds play, mono, playBars, tonal, onsets and the key from source, crop and shift,
    // and retires the pitch cache. laneIndex is this lane's position 0..6.
    void rebuildPlayBuffer (int laneIndex);

    // A copy of play transposed by round(semitones) with its length kept, cached; null
    // when the shift is 0 or play is empty. Valid until moved to retired.
    const juce::AudioBuffer<float>* shifted (float semitones);
};

// Per-file decisions of the last ingest, in the order ingest saw the files.
struct IngestRecord
{
    enum class Verdict { loop, oneShot, texture, noise, unplaced };

    juce::String path;
    juce::String name;
    Verdict verdict = Verdict::unplaced;
    int lane = -1;          // final lane, -1 if none
    int laneByName = -1;    // lane the name chose
    bool primary = false;
    bool fullKit = false;
    double bpm = 0.0;
    int bars = 0;           // after conditioning
    bool bpmFromName = false;
    int samples = 0;        // conditioned length
    double sampleRate = 0.0;
};

const char* verdictName (IngestRecord::Verdict verdict) noexcept;

class LoopEngine
{
public:
    // The lanes' picks in a form that survives a change of pack.
    struct LoopSet
    {
        std::array<juce::String, numLanes> loop;
        std::array<int, numLanes> cropLen {};
        std::array<int, numLanes> cropStart {};
    };

    LoopEngine() = default;
    LoopEngine (LoopEngine&&) = default;
    LoopEngine& operator= (LoopEngine&&) = default;

    std::array<Lane, numLanes> lanes;
    juce::String packName;
    std::function<void (float fraction, const juce::String& message)> progress;
    std::shared_ptr<std::atomic<bool>> cancel;
    double packBpm = 125.0;
    int loopCount = 0;
    int oneShotCount = 0;
    int movedCount = 0;
    int skippedCount = 0;
    bool packLoaded = false;

    std::vector<IngestRecord> ingestReport;

    // Optional, for tools that inspect a pack: called by ingest on its own thread for every
    // accepted loop once it is conditioned, with the index of its record in ingestReport.
    // Sees loops the lane fill may later drop.
    std::function<void (size_t record, const Loop& loop)> inspectLoop;

    // Makes the loop the lane's current audio (crop and shift reset, notches recomputed).
    // The caller sets pick and owns autoSemi.
    void assignLoop (int lane, const Loop& loop);

    LoopSet captureSet() const;
    void applySet (const LoopSet& set);

    // Sorts decoded files onto the lanes; buffers are moved out of files. True when at
    // least one loop was accepted.
    bool ingest (std::vector<std::pair<juce::String, juce::AudioBuffer<float>>>& files,
                 const std::vector<double>& rates, const juce::String& packName);

    // New picks for every lane that is not held.
    void generate (juce::Random& random);

private:
    void refreshNotches (int lane);
};

// Index of a new loop for one lane, avoiding its current loop, loops sounding on other
// lanes and a second full kit; -1 when the lane has no candidates. One random draw.
int pickDistinctIdx (const Lane* lanes, int lane, juce::Random& random);
} // namespace tg
