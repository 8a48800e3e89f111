// The utilisation sampler: counter paths, list shapes, published values, the sampling loop and the
// order of its ending. The counters are chosen by the test, except where the system's are the point
// (Wine has no "Processor Information" counters at all).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "cpu/CoreTopology.h"
#include "cpu/UtilisationSampler.h"
#include "support/ChosenCounters.h"
#include "support/ProcessorBuffer.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace
{

// Waits (bounded) until the sampler has finished at least count samples.
bool WaitForSamples(const UtilisationSampler& sampler, unsigned count)
{
    for (int i = 0; i < 500 && sampler.CompletedSamples() < count; ++i)
        ::Sleep(10);
    return sampler.CompletedSamples() >= count;
}

// Node 0: 4 logical processors, node 1: none, node 2: 2 logical processors.
CoreTopology ThreeNodeTopology()
{
    ProcessorBuffer buffer;
    buffer.Cores(2, 0, 2, 1).Cores(2, 4, 1, 0).Node(0, 0, 0x0F).Node(2, 0, 0x30);
    return CoreTopology(buffer.Data(), buffer.Size());
}

TEST(CounterPaths, NameTheInstanceOfEachProcessor)
{
    struct Case
    {
        DWORD node, index;
        std::wstring utility, time, parking;
    } cases[] = {
        {0, 3, L"\\Processor Information(0,3)\\% Processor Utility", L"\\Processor Information(0,3)\\% Processor Time",
         L"\\Processor Information(0,3)\\Parking Status"},
        {1, 15, L"\\Processor Information(1,15)\\% Processor Utility",
         L"\\Processor Information(1,15)\\% Processor Time", L"\\Processor Information(1,15)\\Parking Status"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.node << "," << c.index);
        EXPECT_EQ(UtilityCounterPath(c.node, c.index), c.utility);
        EXPECT_EQ(TimeCounterPath(c.node, c.index), c.time);
        EXPECT_EQ(ParkingCounterPath(c.node, c.index), c.parking);
    }
}

TEST(SamplingLoop, EndsOnStopAndStopWinsOverAPendingSample)
{
    UniqueHandle stop(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle sample(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    ::SetEvent(stop.Get());
    int samples = 0;
    EXPECT_EQ(RunSamplingLoop(stop.Get(), sample.Get(), [&] { ++samples; }), SamplingLoopEnd::Stopped);
    EXPECT_EQ(samples, 0);
}

TEST(SamplingLoop, TakesOneSamplePerSignal)
{
    UniqueHandle stop(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle sample(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    int samples = 0;
    const auto sampleOnce = [&] {
        // Signals during a sample collapse into one pending request (auto-reset event).
        if (++samples == 1)
        {
            ::SetEvent(sample.Get());
            ::SetEvent(sample.Get());
        }
        else
        {
            ::SetEvent(stop.Get());
        }
    };
    EXPECT_EQ(RunSamplingLoop(stop.Get(), sample.Get(), sampleOnce), SamplingLoopEnd::Stopped);
    EXPECT_EQ(samples, 2);
}

TEST(SamplingLoop, AFailedWaitEndsTheLoopWithoutSampling)
{
    // An event that could not be created is a null handle; the wait fails at once.
    UniqueHandle sample(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    int samples = 0;
    EXPECT_EQ(RunSamplingLoop(nullptr, sample.Get(), [&] { ++samples; }), SamplingLoopEnd::WaitFailed);
    EXPECT_EQ(RunSamplingLoop(nullptr, nullptr, [&] { ++samples; }), SamplingLoopEnd::WaitFailed);
    EXPECT_EQ(samples, 0);
}

TEST(UtilisationSampler, ListsFollowTheTopologyWithEmptyNodesKeepingTheirPlace)
{
    ChosenCounters counters;
    {
        UtilisationSampler sampler(ThreeNodeTopology(), 2, counters);
        ASSERT_EQ(sampler.NodeCount(), 3u);
        EXPECT_EQ(sampler.ProcessorCount(0), 4u);
        EXPECT_EQ(sampler.ProcessorCount(1), 0u);
        EXPECT_EQ(sampler.ProcessorCount(2), 2u);
        EXPECT_EQ(sampler.ProcessorCount(3), 0u);
    }
    const std::vector<std::wstring> expected = {
        UtilityCounterPath(0, 0), ParkingCounterPath(0, 0), UtilityCounterPath(0, 1), ParkingCounterPath(0, 1),
        UtilityCounterPath(0, 2), ParkingCounterPath(0, 2), UtilityCounterPath(0, 3), ParkingCounterPath(0, 3),
        UtilityCounterPath(2, 0), ParkingCounterPath(2, 0), UtilityCounterPath(2, 1), ParkingCounterPath(2, 1),
    };
    EXPECT_EQ(counters.AddedPaths(), expected);
}

TEST(UtilisationSampler, SixteenProcessorsGetSixteenCountersOfEachKind)
{
    ProcessorBuffer buffer;
    buffer.Cores(16, 0, 1, 0).Node(0, 0, 0xFFFF);
    ChosenCounters counters;
    {
        UtilisationSampler sampler(CoreTopology(buffer.Data(), buffer.Size()), 0, counters);
        EXPECT_EQ(sampler.ProcessorCount(0), 16u);
    }
    const std::vector<std::wstring> added = counters.AddedPaths();
    ASSERT_EQ(added.size(), 32u);
    for (DWORD index = 0; index < 16; ++index)
    {
        EXPECT_EQ(added[2 * index], UtilityCounterPath(0, index));
        EXPECT_EQ(added[2 * index + 1], ParkingCounterPath(0, index));
    }
}

TEST(UtilisationSampler, FallsBackToProcessorTimeAndKeepsMinusOneWhereNoCounterExists)
{
    ChosenCounters counters;
    for (DWORD index = 0; index < 4; ++index)
        counters.Refuse(UtilityCounterPath(0, index));
    // Processor 1 has no load counter at all, processor 2 no parking counter.
    counters.Refuse(TimeCounterPath(0, 1));
    counters.Refuse(ParkingCounterPath(0, 2));
    for (DWORD index = 0; index < 4; ++index)
    {
        counters.Set(TimeCounterPath(0, index), 10 * static_cast<LONG>(index));
        counters.SetParking(0, index, 1);
    }

    UtilisationSampler sampler(ThreeNodeTopology(), 0, counters);
    ASSERT_TRUE(WaitForSamples(sampler, 1));
    struct Case
    {
        size_t index;
        LONG load, parking;
    } cases[] = {{0, 0, 1}, {1, -1, 1}, {2, 20, -1}, {3, 30, 1}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(sampler.Load(0, c.index), c.load);
        EXPECT_EQ(sampler.ParkingState(0, c.index), c.parking);
    }
    const std::vector<std::wstring> added = counters.AddedPaths();
    EXPECT_EQ(std::count(added.begin(), added.end(), TimeCounterPath(0, 0)), 1);
    EXPECT_EQ(std::count(added.begin(), added.end(), TimeCounterPath(0, 1)), 0);
}

TEST(UtilisationSampler, EveryValueIsMinusOneUntilTheFirstSampleThenFollowsEachRead)
{
    ChosenCounters counters;
    counters.SetLoad(0, 0, 57);
    counters.SetParking(0, 0, 0);
    counters.SetLoad(2, 1, 100);
    counters.SetParking(2, 1, 1);
    counters.Hold();
    UtilisationSampler sampler(ThreeNodeTopology(), 2, counters);
    ASSERT_EQ(::WaitForSingleObject(counters.CollectingEvent(), 5000), WAIT_OBJECT_0);
    for (size_t node = 0; node < 3; ++node)
        for (size_t index = 0; index < sampler.ProcessorCount(node); ++index)
        {
            EXPECT_EQ(sampler.Load(node, index), -1);
            EXPECT_EQ(sampler.ParkingState(node, index), -1);
        }
    counters.Release();
    ASSERT_TRUE(WaitForSamples(sampler, 1));
    EXPECT_EQ(sampler.Load(0, 0), 57);
    EXPECT_EQ(sampler.ParkingState(0, 0), 0);
    EXPECT_EQ(sampler.Load(2, 1), 100);
    EXPECT_EQ(sampler.ParkingState(2, 1), 1);
    EXPECT_EQ(sampler.Load(0, 1), -1); // a read that fails gives no value
    EXPECT_EQ(sampler.Load(1, 0), -1); // outside the lists
    EXPECT_EQ(sampler.Load(0, 4), -1);

    // A failed read turns a value back into -1; the next good read replaces it.
    counters.Clear(UtilityCounterPath(0, 0));
    sampler.RequestSample();
    ASSERT_TRUE(WaitForSamples(sampler, 2));
    EXPECT_EQ(sampler.Load(0, 0), -1);
    counters.SetLoad(0, 0, 12);
    sampler.RequestSample();
    ASSERT_TRUE(WaitForSamples(sampler, 3));
    EXPECT_EQ(sampler.Load(0, 0), 12);
}

TEST(UtilisationSampler, WithoutAQueryTheListsAreEmptyAndNothingIsReleased)
{
    ChosenCounters counters;
    counters.RefuseQuery();
    {
        UtilisationSampler sampler(ThreeNodeTopology(), 2, counters);
        EXPECT_EQ(sampler.NodeCount(), 0u);
        EXPECT_EQ(sampler.Load(0, 0), -1);
        sampler.RequestSample();
        ASSERT_TRUE(WaitForSamples(sampler, 1)); // the thread still runs
    }
    const std::vector<std::string> events = counters.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 0);
    EXPECT_TRUE(counters.AddedPaths().empty());
}

TEST(UtilisationSampler, WithoutAThreadItTakesNoSamplesAndStillReleasesEverything)
{
    ChosenCounters counters;
    const UtilisationSampler::ThreadStarter noThread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    {
        std::unique_ptr<UtilisationSampler> sampler;
        ASSERT_NO_THROW(sampler = std::make_unique<UtilisationSampler>(ThreeNodeTopology(), 2, counters, noThread));
        EXPECT_EQ(sampler->ProcessorCount(0), 4u);
        sampler->RequestSample();
        ::Sleep(100);
        EXPECT_EQ(sampler->CompletedSamples(), 0u);
        EXPECT_EQ(sampler->Load(0, 0), -1);
        EXPECT_EQ(sampler->ParkingState(2, 1), -1);
    }
    const std::vector<std::string> events = counters.Events();
    EXPECT_EQ(
        std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("remove ", 0) == 0; }),
        12);
    EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 1);
}

TEST(UtilisationSampler, DestructionWaitsForTheSampleUnderWayAndStopWinsOverAPendingOne)
{
    ChosenCounters counters;
    counters.Hold();
    auto sampler = std::make_unique<UtilisationSampler>(ThreeNodeTopology(), 0, counters);
    ASSERT_EQ(::WaitForSingleObject(counters.CollectingEvent(), 5000), WAIT_OBJECT_0);
    sampler->RequestSample(); // pending while the first sample is held

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        sampler.reset();
        destroyed = true;
    });
    // The destructor has signalled its stop event by now or will shortly; it must not get past the
    // join while the sample is held.
    ::Sleep(500);
    EXPECT_FALSE(destroyed.load());
    counters.Release();
    destroyer.join();
    EXPECT_TRUE(destroyed.load());

    const std::vector<std::string> events = counters.Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0], "collect");
    EXPECT_EQ(events[1], "collected");
    EXPECT_EQ(counters.Collections(), 1) << "the pending sample ran after the stop";
    // Every counter is removed, and only then is the query closed.
    EXPECT_EQ(events.size(), 2u + 8u + 1u);
    EXPECT_EQ(events.back(), "close");
    EXPECT_EQ(events[2], "remove " + std::string("\\Processor Information(0,0)\\% Processor Utility"));
}

TEST(UtilisationSampler, TheSystemCountersGiveValuesWhereTheSystemHasThem)
{
    // Wine has none of the "Processor Information" counters: every counter fails to be added and
    // every value stays -1, while the lists still follow the system's topology. Windows has them:
    // from the second sample on (a rate needs two) every processor has a load and a parking state.
    const bool countersExist = !testing_support::RunningUnderWine();
    const CoreTopology topology;
    const ULONG highest = SystemHighestNumaNode();
    UtilisationSampler sampler;
    ASSERT_TRUE(WaitForSamples(sampler, 1));
    sampler.RequestSample();
    ASSERT_TRUE(WaitForSamples(sampler, 2));
    if (sampler.NodeCount() == 0)
        GTEST_SKIP() << "the query could not be opened here";
    ASSERT_EQ(sampler.NodeCount(), size_t{highest} + 1);
    for (size_t node = 0; node < sampler.NodeCount(); ++node)
    {
        ASSERT_EQ(sampler.ProcessorCount(node), topology.LogicalProcessorCount(static_cast<DWORD>(node)));
        for (size_t index = 0; index < sampler.ProcessorCount(node); ++index)
        {
            SCOPED_TRACE(index);
            if (countersExist)
            {
                EXPECT_GE(sampler.Load(node, index), 0);
                EXPECT_LE(sampler.Load(node, index), 100);
                EXPECT_GE(sampler.ParkingState(node, index), 0);
            }
            else
            {
                EXPECT_EQ(sampler.Load(node, index), -1);
                EXPECT_EQ(sampler.ParkingState(node, index), -1);
            }
        }
    }
}

TEST(UtilisationSampler, AHybridTopologyOnTheSystemCountersHasItsShapeAndNoValues)
{
    ProcessorBuffer buffer;
    buffer.Cores(8, 0, 2, 1).Cores(8, 16, 1, 0).Node(0, 0, 0xFFFFFF);
    UtilisationSampler sampler(CoreTopology(buffer.Data(), buffer.Size()), 1, SystemCounterApi());
    ASSERT_TRUE(WaitForSamples(sampler, 1));
    if (sampler.NodeCount() == 0)
        GTEST_SKIP() << "the query could not be opened here";
    ASSERT_EQ(sampler.NodeCount(), 2u);
    EXPECT_EQ(sampler.ProcessorCount(0), 24u);
    EXPECT_EQ(sampler.ProcessorCount(1), 0u);
    // Windows has counters for the processors this machine really has, which the built topology
    // need not match: only Wine's lack of every counter gives a fixed answer.
    if (!testing_support::RunningUnderWine())
        return;
    for (size_t index = 0; index < 24; ++index)
    {
        EXPECT_EQ(sampler.Load(0, index), -1);
        EXPECT_EQ(sampler.ParkingState(0, index), -1);
    }
}

} // namespace
