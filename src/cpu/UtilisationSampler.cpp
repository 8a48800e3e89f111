#include "cpu/UtilisationSampler.h"

#include <cwchar>
#include <system_error>
#include <utility>

#include "cpu/CoreTopology.h"

static_assert(std::atomic<LONG>::is_always_lock_free, "published values must be plain 32-bit stores");

namespace
{

class PdhCounterApi final : public CounterApi
{
  public:
    PDH_STATUS OpenQuery(PDH_HQUERY& query) override
    {
        return ::PdhOpenQueryW(nullptr, 0, &query);
    }
    PDH_STATUS AddEnglishCounter(PDH_HQUERY query, const wchar_t* path, PDH_HCOUNTER& counter) override
    {
        return ::PdhAddEnglishCounterW(query, path, 0, &counter);
    }
    PDH_STATUS CollectQueryData(PDH_HQUERY query) override
    {
        return ::PdhCollectQueryData(query);
    }
    PDH_STATUS GetFormattedLong(PDH_HCOUNTER counter, LONG& value) override
    {
        PDH_FMT_COUNTERVALUE result{};
        const PDH_STATUS status = ::PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &result);
        value = result.longValue;
        return status;
    }
    PDH_STATUS RemoveCounter(PDH_HCOUNTER counter) override
    {
        return ::PdhRemoveCounter(counter);
    }
    PDH_STATUS CloseQuery(PDH_HQUERY query) override
    {
        return ::PdhCloseQuery(query);
    }
};

std::wstring FormatPath(const wchar_t* format, DWORD node, DWORD index, const wchar_t* name = nullptr)
{
    wchar_t buffer[128] = {};
    if (name != nullptr)
        std::swprintf(buffer, std::size(buffer), format, node, index, name);
    else
        std::swprintf(buffer, std::size(buffer), format, node, index);
    return buffer;
}

} // namespace

CounterApi& SystemCounterApi()
{
    static PdhCounterApi api;
    return api;
}

ULONG SystemHighestNumaNode()
{
    ULONG highest = 0;
    if (!::GetNumaHighestNodeNumber(&highest))
        return 0;
    return highest;
}

std::wstring UtilityCounterPath(DWORD node, DWORD index)
{
    return FormatPath(L"\\Processor Information(%u,%u)\\%% Processor %ls", node, index, L"Utility");
}

std::wstring TimeCounterPath(DWORD node, DWORD index)
{
    return FormatPath(L"\\Processor Information(%u,%u)\\%% Processor Time", node, index);
}

std::wstring ParkingCounterPath(DWORD node, DWORD index)
{
    return FormatPath(L"\\Processor Information(%u,%u)\\Parking Status", node, index);
}

SamplingLoopEnd RunSamplingLoop(HANDLE stopEvent, HANDLE sampleEvent, const std::function<void()>& sampleOnce)
{
    const HANDLE events[] = {stopEvent, sampleEvent};
    for (;;)
    {
        const DWORD result = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0)
            return SamplingLoopEnd::Stopped;
        if (result != WAIT_OBJECT_0 + 1)
            return SamplingLoopEnd::WaitFailed;
        sampleOnce();
    }
}

UtilisationSampler::UtilisationSampler()
    : UtilisationSampler(CoreTopology(), SystemHighestNumaNode(), SystemCounterApi())
{
}

UtilisationSampler::UtilisationSampler(const CoreTopology& topology, ULONG highestNode, CounterApi& api,
                                       const ThreadStarter& startThread)
    : api_(api)
{
    stopEvent_.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    sampleEvent_.Reset(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    if (api_.OpenQuery(query_) == ERROR_SUCCESS)
        AddCounters(topology, highestNode);
    else
        query_ = nullptr;
    std::function<void()> body = [this] {
        RunSamplingLoop(stopEvent_.Get(), sampleEvent_.Get(), [this] { SampleOnce(); });
    };
    // The graph builds its sampler inside a window procedure, which no exception may leave; and a
    // constructor that threw would never release the query and counters made above.
    try
    {
        thread_ = startThread ? startThread(std::move(body)) : std::thread(std::move(body));
    }
    catch (const std::system_error&)
    {
    }
}

UtilisationSampler::~UtilisationSampler()
{
    ::SetEvent(stopEvent_.Get());
    if (thread_.joinable())
        thread_.join();
    stopEvent_.Reset();
    sampleEvent_.Reset();
    for (const auto* counters : {&loadCounters_, &parkingCounters_})
        for (const auto& node : *counters)
            for (PDH_HCOUNTER counter : node)
                if (counter != nullptr)
                    api_.RemoveCounter(counter);
    if (query_ != nullptr)
        api_.CloseQuery(query_);
}

void UtilisationSampler::AddCounters(const CoreTopology& topology, ULONG highestNode)
{
    // Every list gets its node's entry, so node numbers without processors keep their positions.
    const size_t nodes = size_t{highestNode} + 1;
    loadCounters_.resize(nodes);
    parkingCounters_.resize(nodes);
    loads_.reserve(nodes);
    parkingStates_.reserve(nodes);
    for (size_t i = 0; i < nodes; ++i)
    {
        const auto node = static_cast<DWORD>(i);
        const DWORD count = topology.LogicalProcessorCount(node);
        loads_.emplace_back(count);
        parkingStates_.emplace_back(count);
        for (DWORD index = 0; index < count; ++index)
        {
            loads_[node][index].store(-1, std::memory_order_relaxed);
            parkingStates_[node][index].store(-1, std::memory_order_relaxed);

            PDH_HCOUNTER load = nullptr;
            if (api_.AddEnglishCounter(query_, UtilityCounterPath(node, index).c_str(), load) != ERROR_SUCCESS &&
                api_.AddEnglishCounter(query_, TimeCounterPath(node, index).c_str(), load) != ERROR_SUCCESS)
                load = nullptr;
            PDH_HCOUNTER parking = nullptr;
            if (api_.AddEnglishCounter(query_, ParkingCounterPath(node, index).c_str(), parking) != ERROR_SUCCESS)
                parking = nullptr;
            loadCounters_[node].push_back(load);
            parkingCounters_[node].push_back(parking);
        }
    }
}

void UtilisationSampler::SampleOnce()
{
    api_.CollectQueryData(query_);
    const auto publish = [this](const std::vector<std::vector<PDH_HCOUNTER>>& counters, Published& values) {
        for (size_t node = 0; node < counters.size(); ++node)
        {
            for (size_t index = 0; index < counters[node].size(); ++index)
            {
                LONG value = -1;
                const PDH_HCOUNTER counter = counters[node][index];
                if (counter == nullptr || api_.GetFormattedLong(counter, value) != ERROR_SUCCESS)
                    value = -1;
                values[node][index].store(value, std::memory_order_relaxed);
            }
        }
    };
    publish(loadCounters_, loads_);
    publish(parkingCounters_, parkingStates_);
    completedSamples_.fetch_add(1, std::memory_order_release);
}

void UtilisationSampler::RequestSample()
{
    ::SetEvent(sampleEvent_.Get());
}

LONG UtilisationSampler::Read(const Published& values, size_t node, size_t index)
{
    if (node >= values.size() || index >= values[node].size())
        return -1;
    return values[node][index].load(std::memory_order_relaxed);
}

LONG UtilisationSampler::Load(size_t node, size_t index) const
{
    return Read(loads_, node, index);
}

LONG UtilisationSampler::ParkingState(size_t node, size_t index) const
{
    return Read(parkingStates_, node, index);
}

size_t UtilisationSampler::NodeCount() const
{
    return loads_.size();
}

size_t UtilisationSampler::ProcessorCount(size_t node) const
{
    return node < loads_.size() ? loads_[node].size() : 0;
}

unsigned UtilisationSampler::CompletedSamples() const
{
    return completedSamples_.load(std::memory_order_acquire);
}
