#pragma once
// A pass-system table whose answers the test chooses and whose calls it records, and stand-ins for
// the late-bound entry points. Handles it gives out are real (unnamed events), so closing them works.

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "enforce/PassSystem.h"

// What the stand-in entry points were asked and what they answer.
struct EntryPointLog
{
    std::vector<int> informationClasses;
    std::vector<PowerThrottlingState> throttlingStates;
    std::vector<DWORD> informationSizes;
    BOOL setInformationResult = TRUE;

    std::vector<std::vector<ULONG>> cpuSetCalls;
    std::vector<bool> cpuSetCallsWithoutList;
    BOOL setCpuSetsResult = TRUE;

    std::vector<unsigned char> systemCpuSets; // GetSystemCpuSetInformation's buffer
    int systemCpuSetCalls = 0;
};
inline EntryPointLog entryLog;

inline BOOL WINAPI FakeSetProcessInformation(HANDLE, int informationClass, void* information, DWORD size)
{
    entryLog.informationClasses.push_back(informationClass);
    entryLog.informationSizes.push_back(size);
    PowerThrottlingState state{};
    std::memcpy(&state, information, sizeof(state));
    entryLog.throttlingStates.push_back(state);
    return entryLog.setInformationResult;
}

inline BOOL WINAPI FakeGetProcessDefaultCpuSets(HANDLE, ULONG*, ULONG, ULONG*)
{
    return TRUE;
}

inline BOOL WINAPI FakeSetProcessDefaultCpuSets(HANDLE, const ULONG* ids, ULONG count)
{
    entryLog.cpuSetCallsWithoutList.push_back(ids == nullptr);
    entryLog.cpuSetCalls.emplace_back(ids, ids + (ids != nullptr ? count : 0));
    return entryLog.setCpuSetsResult;
}

inline BOOL WINAPI FakeGetSystemCpuSetInformation(void* information, ULONG length, ULONG* returned, HANDLE, ULONG)
{
    ++entryLog.systemCpuSetCalls;
    const auto size = static_cast<ULONG>(entryLog.systemCpuSets.size());
    *returned = size;
    if (information == nullptr || length < size)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(information, entryLog.systemCpuSets.data(), size);
    return TRUE;
}

template <typename Proc> FARPROC AsFarProc(Proc proc)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(proc));
}

// All four stand-ins by name.
inline std::map<std::string, FARPROC> FakeEntryPoints()
{
    return {{"SetProcessInformation", AsFarProc(&FakeSetProcessInformation)},
            {"GetProcessDefaultCpuSets", AsFarProc(&FakeGetProcessDefaultCpuSets)},
            {"SetProcessDefaultCpuSets", AsFarProc(&FakeSetProcessDefaultCpuSets)},
            {"GetSystemCpuSetInformation", AsFarProc(&FakeGetSystemCpuSetInformation)}};
}

// Processors 0 to count - 1 of a group with the CPU-set ids firstId onwards, as
// GetSystemCpuSetInformation gives them.
inline std::vector<unsigned char> CpuSetRecordsOfGroup(WORD group, ULONG count, ULONG firstId)
{
    std::vector<unsigned char> bytes(count * 32, 0);
    for (ULONG i = 0; i < count; ++i)
    {
        unsigned char* record = bytes.data() + 32 * i;
        const ULONG size = 32;
        const ULONG id = firstId + i;
        std::memcpy(record, &size, 4);
        std::memcpy(record + 8, &id, 4);
        std::memcpy(record + 12, &group, 2);
        record[14] = static_cast<unsigned char>(i);
    }
    return bytes;
}

// Group-0 processors 0 to 7 with the CPU-set ids 256 to 263.
inline std::vector<unsigned char> EightCpuSetRecords()
{
    return CpuSetRecordsOfGroup(0, 8, 256);
}

struct FakePassSystem
{
    // The process list of every snapshot, unless realProcesses walks the system's.
    std::vector<std::pair<DWORD, std::wstring>> processes;
    bool realProcesses = false;
    bool snapshotFails = false;
    bool openFails = false;
    BOOL affinityResult = TRUE;
    // Every process starts with this mask; a successful set changes that process's mask.
    DWORD_PTR startAffinity = ~DWORD_PTR{0};
    bool affinityReadFails = false;
    DWORD_PTR activeProcessorMask = 0;
    WORD activeGroupCount = 1;
    std::map<std::string, FARPROC> entryPoints; // names not in it are missing
    bool threadCreationFails = false;
    std::function<void()> atSnapshot; // runs at the start of every pass, on the pass's thread
    // Full image paths by process id, unless realProcesses reads the system's; ids not in it fail.
    std::map<DWORD, std::wstring> imagePaths;

    // Records; read them only after the passes (the monitor thread writes them).
    int snapshots = 0;
    std::vector<std::pair<DWORD, DWORD>> opens; // access, process id
    std::vector<DWORD_PTR> affinityMasks;
    std::vector<DWORD> affinityReads; // process ids
    std::map<DWORD, DWORD_PTR> affinities; // process id to its current mask, once set
    std::vector<std::string> lookups;
    std::vector<DWORD> threadIds;
    // The time-out of every wait between passes, and what each wait gave.
    std::vector<DWORD> waitTimeouts;
    std::vector<DWORD> waitResults;
    // Given in place of a wait's time-out (the real wait still runs, and a stop still comes through);
    // WAIT_TIMEOUT keeps it.
    DWORD timeoutResult = WAIT_TIMEOUT;
    std::vector<DWORD> pathReads; // process ids, in the order of the reads

    PassSystemCalls Calls()
    {
        PassSystemCalls real = RealPassSystemCalls();
        PassSystemCalls calls = real;
        calls.CreateProcessSnapshot = [this, real]() -> HANDLE {
            ++snapshots;
            threadIds.push_back(::GetCurrentThreadId());
            if (atSnapshot)
                atSnapshot();
            if (snapshotFails)
                return INVALID_HANDLE_VALUE;
            return realProcesses ? real.CreateProcessSnapshot() : ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        };
        calls.FirstProcess = [this, real](HANDLE snapshot, PROCESSENTRY32W& entry) {
            cursor_ = 0;
            return realProcesses ? real.FirstProcess(snapshot, entry) : Fill(entry);
        };
        calls.NextProcess = [this, real](HANDLE snapshot, PROCESSENTRY32W& entry) {
            return realProcesses ? real.NextProcess(snapshot, entry) : Fill(entry);
        };
        calls.OpenProcess = [this](DWORD access, DWORD processId) -> HANDLE {
            opens.emplace_back(access, processId);
            if (openFails)
            {
                ::SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            openedIds_[handle] = processId;
            return handle;
        };
        calls.SetProcessAffinityMask = [this](HANDLE process, DWORD_PTR mask) {
            affinityMasks.push_back(mask);
            if (affinityResult)
                affinities[openedIds_[process]] = mask;
            return affinityResult;
        };
        calls.GetProcessAffinityMask = [this](HANDLE process, DWORD_PTR& processMask) -> BOOL {
            const DWORD processId = openedIds_[process];
            affinityReads.push_back(processId);
            if (affinityReadFails)
                return FALSE;
            const auto it = affinities.find(processId);
            processMask = it != affinities.end() ? it->second : startAffinity;
            return TRUE;
        };
        calls.ActiveProcessorMask = [this] { return activeProcessorMask; };
        calls.ActiveProcessorGroupCount = [this] { return activeGroupCount; };
        calls.FindKernel32EntryPoint = [this](const char* name) -> FARPROC {
            lookups.emplace_back(name);
            const auto it = entryPoints.find(name);
            return it != entryPoints.end() ? it->second : nullptr;
        };
        calls.WaitForObject = [this, real](HANDLE event, DWORD timeoutMs) {
            DWORD result = real.WaitForObject(event, timeoutMs);
            if (result == WAIT_TIMEOUT)
                result = timeoutResult;
            waitTimeouts.push_back(timeoutMs);
            waitResults.push_back(result);
            return result;
        };
        calls.FullImagePath = [this, real](DWORD processId, std::wstring& path) {
            pathReads.push_back(processId);
            if (realProcesses)
                return real.FullImagePath(processId, path);
            const auto it = imagePaths.find(processId);
            if (it == imagePaths.end())
                return false;
            path = it->second;
            return true;
        };
        calls.CreateThread = [this, real](LPTHREAD_START_ROUTINE start, void* parameter, DWORD& threadId) -> HANDLE {
            if (threadCreationFails)
                return nullptr;
            return real.CreateThread(start, parameter, threadId);
        };
        return calls;
    }

    [[nodiscard]] size_t OpensWith(DWORD access) const
    {
        size_t count = 0;
        for (const auto& open : opens)
            count += open.first == access ? 1 : 0;
        return count;
    }

  private:
    BOOL Fill(PROCESSENTRY32W& entry)
    {
        if (cursor_ >= processes.size())
            return FALSE;
        entry.th32ProcessID = processes[cursor_].first;
        const std::wstring& name = processes[cursor_].second;
        const size_t length = std::min<size_t>(name.size(), MAX_PATH - 1);
        std::copy_n(name.c_str(), length, entry.szExeFile);
        entry.szExeFile[length] = L'\0';
        ++cursor_;
        return TRUE;
    }
    size_t cursor_ = 0;
    // Which process each handle handed out stands for (a closed handle's value may come again).
    std::map<HANDLE, DWORD> openedIds_;
};
