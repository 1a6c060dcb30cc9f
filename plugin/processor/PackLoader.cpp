// Pack loading: a worker thread reads and sorts a pack into a fresh engine; the message
// thread then replaces (or blends into) the processor's lanes, generates and re-arms them.
#include "TapegrubProcessor.h"
#include "engine/PackReader.h"

using namespace tgparams;

void TapegrubProcessor::LoadProgressSink::set (float newFraction, const juce::String& newMessage)
{
    fraction.store (juce::jlimit (0.0f, 1.0f, newFraction));
    const juce::ScopedLock sl (lock);
    message = newMessage;
}

juce::String TapegrubProcessor::LoadProgressSink::getMessage() const
{
    const juce::ScopedLock sl (lock);
    return message;
}

// One load, moved from loadPackAsync to the worker and on to the completion.
struct TapegrubProcessor::LoadTask
{
    TapegrubProcessor* processor = nullptr;
    std::shared_ptr<std::atomic<bool>> alive, cancel, finished;
    std::shared_ptr<LoadProgressSink> sink;
    juce::File file;
    bool isFolder = false;
    int epoch = 0;
    std::function<void (bool)> onDone;
    std::function<void()> onApplied;
    bool add = false, restoring = false;

    std::unique_ptr<tg::LoopEngine> fresh;
    bool ok = false;
};

void TapegrubProcessor::loadPackAsync (const juce::File& file, bool isFolder, std::function<void (bool)> onDone,
                                       std::function<void()> onApplied, bool add, bool restoring)
{
    const int epoch = ++restoreEpoch;
    undoStack.clear();
    redoStack.clear();

    loadProgress = std::make_shared<LoadProgressSink>();
    loadProgress->set (0.0f, "READING LOOPS");

    // Reap the workers that have finished; the rest keep running until their end.
    for (auto it = loaderThreads.begin(); it != loaderThreads.end();)
    {
        if (it->second->load())
        {
            if (it->first.joinable())
                it->first.join();
            it = loaderThreads.erase (it);
        }
        else
        {
            ++it;
        }
    }

    auto task = std::make_shared<LoadTask>();
    task->processor = this;
    task->alive = aliveFlag;
    task->cancel = cancelFlag;
    task->finished = std::make_shared<std::atomic<bool>> (false);
    task->sink = loadProgress;
    task->file = file;
    task->isFolder = isFolder;
    task->epoch = epoch;
    task->onDone = std::move (onDone);
    task->onApplied = std::move (onApplied);
    task->add = add;
    task->restoring = restoring;

    auto finished = task->finished;
    std::thread worker ([task]() mutable
    {
        auto engine = std::make_unique<tg::LoopEngine>();
        engine->cancel = task->cancel;
        auto sink = task->sink;
        engine->progress = [sink] (float fraction, const juce::String& message) { sink->set (fraction, message); };

        tg::PackContents contents;
        bool ok = tg::readPack (task->file, task->isFolder, task->cancel, engine->progress, contents);
        if (ok && ! task->cancel->load())
            ok = engine->ingest (contents.files, contents.rates, contents.packName);
        else
            ok = false;

        task->fresh = std::move (engine);
        task->ok = ok;

        auto finishedFlag = task->finished;
        juce::MessageManager::callAsync ([task = std::move (task)]() mutable { completeLoad (std::move (task)); });
        finishedFlag->store (true);
    });

    loaderThreads.emplace_back (std::move (worker), std::move (finished));
}

void TapegrubProcessor::completeLoad (std::shared_ptr<LoadTask> task)
{
    auto onDone = task->onDone;
    const bool alive = task->alive->load();

    if (! alive || task->processor->restoreEpoch.load() != task->epoch || ! task->ok)
    {
        task->fresh.reset();
        if (onDone)
            onDone (false);
        return;
    }

    task->processor->applyLoad (*task);
    task->fresh.reset();
    if (onDone)
        onDone (true);
}

void TapegrubProcessor::applyLoad (LoadTask& task)
{
    auto& fresh = *task.fresh;
    lastPackPath = task.file.getFullPathName();
    lastPackIsFolder = task.isFolder;

    const bool blend = task.add && engine.packLoaded;
    copyHoldFlagsFromParameters();
    takeLanesOffline (-1);

    if (blend)
    {
        bool added = false;
        for (size_t lane = 0; lane < (size_t) numLanes; ++lane)
        {
            auto& mine = engine.lanes[lane];
            for (auto& candidate : fresh.lanes[lane].loops)
            {
                const bool known = std::any_of (mine.loops.begin(), mine.loops.end(),
                                                [&] (const tg::Loop& l) { return l.name == candidate.name; });
                if (! known)
                {
                    mine.loops.push_back (std::move (candidate));
                    added = true;
                }
            }
        }

        // Lanes that had nothing to play take the newest candidate.
        for (size_t lane = 0; lane < (size_t) numLanes; ++lane)
        {
            auto& l = engine.lanes[lane];
            if (l.source.getNumSamples() == 0 && ! l.loops.empty() && ! l.hold)
            {
                l.pick = (int) l.loops.size() - 1;
                engine.assignLoop ((int) lane, l.loops.back());
                l.autoSemi = 0;
            }
        }

        engine.packLoaded = true;
        if (added)
        {
            if (engine.packName.isNotEmpty() && fresh.packName.isNotEmpty())
                engine.packName = engine.packName + " + " + fresh.packName;
            else if (fresh.packName.isNotEmpty())
                engine.packName = fresh.packName;
        }
        engine.loopCount += fresh.loopCount;
        engine.oneShotCount += fresh.oneShotCount;
        engine.movedCount += fresh.movedCount;
        engine.skippedCount += fresh.skippedCount;
    }
    else
    {
        for (size_t lane = 0; lane < (size_t) numLanes; ++lane)
            if (! engine.lanes[lane].hold)
                engine.lanes[lane] = std::move (fresh.lanes[lane]);

        engine.packLoaded = fresh.packLoaded;
        engine.packName = fresh.packName;
        engine.packBpm = fresh.packBpm;
        engine.loopCount = fresh.loopCount;
        engine.oneShotCount = fresh.oneShotCount;
        engine.movedCount = fresh.movedCount;
        engine.skippedCount = fresh.skippedCount;

        if (! task.restoring)
        {
            engine.generate (random);
            repickForKey (false);
        }
    }

    if (task.onApplied)
        task.onApplied();

    rearmLanes();

    if (blend)
        packChain.emplace_back (task.file, task.isFolder);
    else
        packChain = { { task.file, task.isFolder } };

    if (! task.restoring)
    {
        if (! blend)
            autoMixLevels (-1);
        pendingState = {};
        restoreInProgress.store (false);
    }
    // A restore chain clears the pending session itself once its last pack has landed.
}

void TapegrubProcessor::rearmLanes()
{
    const auto polarity = phaseGuardPolarities();
    for (int lane = 0; lane < numLanes; ++lane)
        if (const int semis = laneSemitoneTotal (lane); semis != 0)
            engine.lanes[(size_t) lane].shifted ((float) semis);

    {
        const juce::SpinLock::ScopedLockType lock (laneLock);
        for (int lane = 0; lane < numLanes; ++lane)
        {
            laneViews[(size_t) lane].polarity = polarity[(size_t) lane];
            refreshLanePlayLocked (lane);
        }
    }

    for (int lane = 0; lane < numLanes; ++lane)
        freeRetired (lane);
}
