#pragma once
// A stand-in for the performance counters: each counter path reads the value the test chose for it,
// or fails when none was chosen. Records what the sampler asks for, and can hold a collection until
// released, to catch a sample in the middle.

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/Handles.h"
#include "cpu/UtilisationSampler.h"

namespace testing_support
{

class ChosenCounters final : public CounterApi
{
  public:
    static constexpr PDH_STATUS Failed = static_cast<PDH_STATUS>(0xC0000BB8); // PDH_CSTATUS_NO_OBJECT

    ChosenCounters()
        : collecting_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          release_(::CreateEventW(nullptr, TRUE, TRUE, nullptr))
    {
    }

    void SetLoad(DWORD node, DWORD index, LONG value)
    {
        Set(UtilityCounterPath(node, index), value);
    }
    void SetParking(DWORD node, DWORD index, LONG value)
    {
        Set(ParkingCounterPath(node, index), value);
    }
    void Set(const std::wstring& path, LONG value)
    {
        std::lock_guard<std::mutex> lock(lock_);
        values_[path] = value;
    }
    void Clear(const std::wstring& path)
    {
        std::lock_guard<std::mutex> lock(lock_);
        values_.erase(path);
    }
    // Adding this path fails, as it does for a counter the system lacks.
    void Refuse(const std::wstring& path)
    {
        std::lock_guard<std::mutex> lock(lock_);
        refused_.insert(path);
    }
    void RefuseQuery()
    {
        queryFails_ = true;
    }

    // Collections wait for Release() after signalling CollectingEvent().
    void Hold()
    {
        ::ResetEvent(release_.Get());
    }
    void Release()
    {
        ::SetEvent(release_.Get());
    }
    [[nodiscard]] HANDLE CollectingEvent() const
    {
        return collecting_.Get();
    }

    std::vector<std::wstring> AddedPaths() const
    {
        std::lock_guard<std::mutex> lock(lock_);
        return added_;
    }
    // "collect", "collected", "remove <path>", "close", in the order they happened.
    std::vector<std::string> Events() const
    {
        std::lock_guard<std::mutex> lock(lock_);
        return events_;
    }
    int Collections() const
    {
        std::lock_guard<std::mutex> lock(lock_);
        return collections_;
    }

    PDH_STATUS OpenQuery(PDH_HQUERY& query) override
    {
        if (queryFails_)
            return Failed;
        query = reinterpret_cast<PDH_HQUERY>(static_cast<std::uintptr_t>(0x5150));
        return ERROR_SUCCESS;
    }
    PDH_STATUS AddEnglishCounter(PDH_HQUERY, const wchar_t* path, PDH_HCOUNTER& counter) override
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (refused_.count(path) != 0)
            return Failed;
        added_.push_back(path);
        counter = reinterpret_cast<PDH_HCOUNTER>(static_cast<std::uintptr_t>(added_.size()));
        return ERROR_SUCCESS;
    }
    PDH_STATUS CollectQueryData(PDH_HQUERY) override
    {
        Log("collect");
        ::SetEvent(collecting_.Get());
        ::WaitForSingleObject(release_.Get(), INFINITE);
        {
            std::lock_guard<std::mutex> lock(lock_);
            ++collections_;
        }
        Log("collected");
        return ERROR_SUCCESS;
    }
    PDH_STATUS GetFormattedLong(PDH_HCOUNTER counter, LONG& value) override
    {
        std::lock_guard<std::mutex> lock(lock_);
        const auto found = values_.find(PathOf(counter));
        if (found == values_.end())
            return Failed;
        value = found->second;
        return ERROR_SUCCESS;
    }
    PDH_STATUS RemoveCounter(PDH_HCOUNTER counter) override
    {
        std::lock_guard<std::mutex> lock(lock_);
        events_.push_back("remove " + Narrow(PathOf(counter)));
        return ERROR_SUCCESS;
    }
    PDH_STATUS CloseQuery(PDH_HQUERY) override
    {
        Log("close");
        return ERROR_SUCCESS;
    }

  private:
    std::wstring PathOf(PDH_HCOUNTER counter) const
    {
        const auto index = reinterpret_cast<std::uintptr_t>(counter);
        return index >= 1 && index <= added_.size() ? added_[index - 1] : std::wstring();
    }
    static std::string Narrow(const std::wstring& text)
    {
        return std::string(text.begin(), text.end()); // counter paths are ASCII
    }
    void Log(const char* event)
    {
        std::lock_guard<std::mutex> lock(lock_);
        events_.emplace_back(event);
    }

    mutable std::mutex lock_;
    std::map<std::wstring, LONG> values_;
    std::set<std::wstring> refused_;
    std::vector<std::wstring> added_;
    std::vector<std::string> events_;
    int collections_ = 0;
    bool queryFails_ = false;
    UniqueHandle collecting_;
    UniqueHandle release_;
};

} // namespace testing_support
