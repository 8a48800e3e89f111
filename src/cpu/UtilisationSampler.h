#pragma once
// Per-logical-processor load and parking state from the "Processor Information" performance
// counters, sampled on a thread of its own, one sample per request.

#include <windows.h>

#include <pdh.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/Handles.h"

class CoreTopology;

// The Performance Data Helper calls the sampler makes. SystemCounterApi() forwards to pdh.dll;
// tests and demonstrations substitute their own to feed loads and parking states of their choosing.
class CounterApi
{
  public:
    virtual ~CounterApi() = default;
    virtual PDH_STATUS OpenQuery(PDH_HQUERY& query) = 0;
    virtual PDH_STATUS AddEnglishCounter(PDH_HQUERY query, const wchar_t* path, PDH_HCOUNTER& counter) = 0;
    virtual PDH_STATUS CollectQueryData(PDH_HQUERY query) = 0;
    // PdhGetFormattedCounterValue with PDH_FMT_LONG; value is only meaningful on success.
    virtual PDH_STATUS GetFormattedLong(PDH_HCOUNTER counter, LONG& value) = 0;
    virtual PDH_STATUS RemoveCounter(PDH_HCOUNTER counter) = 0;
    virtual PDH_STATUS CloseQuery(PDH_HQUERY query) = 0;
};

CounterApi& SystemCounterApi();

// The highest NUMA node number the system reports, 0 when it cannot say.
ULONG SystemHighestNumaNode();

// Counter paths of one logical processor, instance "(node,index)" of the "Processor Information" set.
std::wstring UtilityCounterPath(DWORD node, DWORD index); // % Processor Utility
std::wstring TimeCounterPath(DWORD node, DWORD index);    // % Processor Time, where Utility is missing
std::wstring ParkingCounterPath(DWORD node, DWORD index); // Parking Status

enum class SamplingLoopEnd
{
    Stopped,
    WaitFailed,
};

// Waits on {stopEvent, sampleEvent} and calls sampleOnce per signal of sampleEvent. The stop event
// comes first in the wait, so it wins when both are signalled. A failing wait ends the loop rather
// than spinning (an event that could not be created is a null handle).
SamplingLoopEnd RunSamplingLoop(HANDLE stopEvent, HANDLE sampleEvent, const std::function<void()>& sampleOnce);

class UtilisationSampler
{
  public:
    // The system's topology, NUMA nodes and counters.
    UtilisationSampler();
    // Starts the sampling thread with body; throws std::system_error when no thread can be made.
    using ThreadStarter = std::function<std::thread(std::function<void()> body)>;
    // The given topology and node numbers 0..highestNode, through api (which must outlive the sampler).
    // Never throws for want of a thread: without one it takes no samples and every value stays -1.
    UtilisationSampler(const CoreTopology& topology, ULONG highestNode, CounterApi& api,
                       const ThreadStarter& startThread = {});
    // Stops and joins the sampling thread (waiting for a sample under way), then releases the
    // counters and the query. Must not run on the sampling thread.
    ~UtilisationSampler();
    UtilisationSampler(const UtilisationSampler&) = delete;
    UtilisationSampler& operator=(const UtilisationSampler&) = delete;

    void RequestSample();

    // Latest published values; -1 = no value (also outside the lists).
    [[nodiscard]] LONG Load(size_t node, size_t index) const;
    [[nodiscard]] LONG ParkingState(size_t node, size_t index) const;

    // Shape of the lists, fixed at construction: one entry per node number 0..highest, each with
    // one value per logical processor of that node. Empty when the query could not be opened.
    [[nodiscard]] size_t NodeCount() const;
    [[nodiscard]] size_t ProcessorCount(size_t node) const;
    // Samples finished since construction.
    [[nodiscard]] unsigned CompletedSamples() const;

  private:
    using Published = std::vector<std::vector<std::atomic<LONG>>>;
    static LONG Read(const Published& values, size_t node, size_t index);

    void AddCounters(const CoreTopology& topology, ULONG highestNode);
    void SampleOnce();

    CounterApi& api_;
    PDH_HQUERY query_ = nullptr;
    std::vector<std::vector<PDH_HCOUNTER>> loadCounters_;
    std::vector<std::vector<PDH_HCOUNTER>> parkingCounters_;
    UniqueHandle stopEvent_;
    UniqueHandle sampleEvent_;
    std::thread thread_;
    // Written only by the sampling thread, read by the UI thread; each value is one whole 32-bit
    // store, so relaxed order suffices (a refresh may mix two samples).
    Published loads_;
    Published parkingStates_;
    std::atomic<unsigned> completedSamples_{0};
};
