// The audio thread's contract: no heap traffic in the steady state, whatever is switched on,
// and no waiting for the lane lock (a held lock costs one silent block and a 4 ms fade-in).
#include "support/AllocationCounter.h"
#include "support/ProcessorRig.h"
#include "engine/SignalHelpers.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace
{
constexpr double kRate = 48000.0;
constexpr int kBlock = 512;

// Keeps the compiler from eliding an allocation whose result is never used.
void* volatile sink = nullptr;

// Seven lanes of drum loops, every dial of every lane away from its neutral value, Raw,
// Sparkle, De-Res, the length gate and the master filters on.
void loadFullGroove (TapegrubProcessor& p)
{
    for (int lane = 0; lane < 7; ++lane)
    {
        const auto x = tgtest::drumLoop (120.0, 2, 44100.0, (std::uint32_t) lane + 1);
        auto loop = tgtest::makeBuffer ((int) x.size(), [&x] (int c, int i) { return (c == 0 ? 1.0f : 0.8f) * x[(size_t) i]; });
        tgtest::installLoop (p, lane, std::move (loop), 44100.0, 120.0, 2);

        const juce::String l (lane);
        tgtest::setParam (p, "fx_" + l + "_0", 0.6f);                        // pitch +2
        tgtest::setParam (p, "fx_" + l + "_1", 0.3f);                        // pan
        tgtest::setParam (p, "fx_" + l + "_2", 0.5f);                        // drive
        tgtest::setParam (p, "fx_" + l + "_3", 0.4f);                        // crush
        tgtest::setParam (p, "fx_" + l + "_4", lane % 2 == 0 ? 0.3f : 0.8f); // low- or high-pass
        tgtest::setParam (p, "fx_" + l + "_5", 0.4f);                        // reverb send
        tgtest::setParam (p, "fx_" + l + "_6", 0.8f);                        // punch
    }
    for (const char* id : { "raw", "sparkle", "deres", "dc", "mono", "phase" })
        tgtest::setParam (p, id, 1.0f);
    tgtest::setParam (p, "lenmode", 1.0f);
    p.handleUpdateNowIfNeeded(); // the pitch-shifted copies are made here, on the message thread
}
} // namespace

// The counter must see every path, or a zero below would prove nothing.
TEST (RealtimeSafety, AllocationCounterSeesEveryPathOnItsThreadOnly)
{
    tgtest::startCountingAllocations();
    sink = std::malloc (16);
    std::free (sink);
    sink = std::calloc (4, 8);
    sink = std::realloc (sink, 4096);
    std::free (sink);
    sink = ::operator new (24);
    ::operator delete (sink);
    sink = new int[8];
    delete[] static_cast<int*> (sink);
    sink = ::operator new (64, std::align_val_t (64));
    ::operator delete (sink, std::align_val_t (64));
    {
        juce::HeapBlock<float> block (1000);
        sink = block.get();
    }
    const auto seen = tgtest::stopCountingAllocations();
    EXPECT_EQ (seen.allocations, 7);
    EXPECT_EQ (seen.frees, 7);

    // Another thread's allocations are not counted.
    std::atomic<int> stage { 0 };
    std::thread other ([&stage] {
        while (stage.load() == 0)
            std::this_thread::yield();
        sink = std::malloc (32);
        std::free (sink);
        stage.store (2);
    });
    tgtest::startCountingAllocations();
    stage.store (1);
    while (stage.load() != 2)
        std::this_thread::yield();
    const auto elsewhere = tgtest::stopCountingAllocations();
    other.join();
    EXPECT_EQ (elsewhere.allocations, 0);
    EXPECT_EQ (elsewhere.frees, 0);
}

TEST (RealtimeSafety, SteadyStateProcessBlockNeverTouchesTheHeap)
{
    tgtest::Rig rig (kRate, kBlock);
    auto& p = rig.processor;
    loadFullGroove (p);

    // Sized once for the largest block below through setSize, whose allocation size the later
    // shrinking and regrowing calls compare against, so they never reallocate.
    juce::AudioBuffer<float> buffer;
    buffer.setSize (2, 4096, false, false, true);
    juce::MidiBuffer midi;
    auto run = [&] (int blocks, const std::initializer_list<int>& sizes) {
        int i = 0;
        for (int b = 0; b < blocks; ++b)
        {
            const int n = *(sizes.begin() + (i++ % (int) sizes.size()));
            buffer.setSize (2, n, false, false, true);
            p.processBlock (buffer, midi);
            if (rig.head.playing)
                *rig.head.ppq += n / kRate * (*rig.head.bpm / 60.0);
        }
    };

    run (40, { kBlock }); // fades, filters and the reverb settle
    for (const auto& host : { std::make_pair (true, "host playing"), std::make_pair (false, "play switch, host stopped") })
    {
        SCOPED_TRACE (host.second);
        if (! host.first)
        {
            tgtest::setParam (p, "play", 1.0f);
            rig.head.playing = false;
            run (2, { kBlock }); // the stop block, then internal playback
            p.handleUpdateNowIfNeeded();
            tgtest::setParam (p, "play", 1.0f);
            run (2, { kBlock });
        }

        tgtest::startCountingAllocations();
        run (300, { kBlock, 100, 1, 333, 4096 });
        const auto seen = tgtest::stopCountingAllocations();
        EXPECT_EQ (seen.allocations, 0);
        EXPECT_EQ (seen.frees, 0);
        EXPECT_TRUE (p.isPlayingNow.load());
    }
    EXPECT_GT (buffer.getMagnitude (0, buffer.getNumSamples()), 0.0f);
}

TEST (RealtimeSafety, AudioThreadNeverWaitsForTheLaneLock)
{
    tgtest::Rig rig (kRate, kBlock);
    auto& p = rig.processor;
    tgtest::installLoop (p, tg::kick, tgtest::makeBuffer (96000, [] (int, int) { return 0.5; }), kRate, 120.0, 1);
    tgtest::render (p, rig.head, 4 * kBlock, kBlock);

    juce::AudioBuffer<float> buffer (2, kBlock);
    juce::MidiBuffer midi;
    std::future<void> audio;
    bool returned = false;
    {
        const juce::SpinLock::ScopedLockType held (p.laneLock); // a writer swapping lane audio
        audio = std::async (std::launch::async, [&] { p.processBlock (buffer, midi); });
        returned = audio.wait_for (std::chrono::seconds (10)) == std::future_status::ready;
    }
    audio.wait();
    ASSERT_TRUE (returned) << "processBlock waited for the lane lock";
    for (int c = 0; c < 2; ++c)
        EXPECT_EQ (buffer.getMagnitude (c, 0, kBlock), 0.0f);

    // The next block fades every lane back in over 4 ms.
    *rig.head.ppq += kBlock / kRate * 2.0;
    const auto out = tgtest::render (p, rig.head, kBlock, kBlock);
    const double level = 0.5 * p.parameters.getRawParameterValue ("vol_0")->load();
    for (int k = 0; k < kBlock; ++k)
        ASSERT_NEAR (out.getSample (0, k), level * juce::jmin (1.0, (k + 1.0) / 192.0), 1e-5) << k;
}
