#pragma once
// The system calls of the monitor thread and its passes, reached through one table so that tests
// can observe or fail single calls. RealPassSystemCalls() calls Win32 directly.

#include <windows.h>

#include <tlhelp32.h>

#include <functional>
#include <mutex>
#include <string>

#include "app/PlatformGaps.h"
#include "enforce/CpuSets.h"

struct PassSystemCalls
{
    // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0); INVALID_HANDLE_VALUE on failure.
    std::function<HANDLE()> CreateProcessSnapshot;
    std::function<BOOL(HANDLE snapshot, PROCESSENTRY32W& entry)> FirstProcess;
    std::function<BOOL(HANDLE snapshot, PROCESSENTRY32W& entry)> NextProcess;
    // OpenProcess, not inheritable; null on failure.
    std::function<HANDLE(DWORD access, DWORD processId)> OpenProcess;
    std::function<BOOL(HANDLE process, DWORD_PTR mask)> SetProcessAffinityMask;
    // GetProcessAffinityMask: the process's own mask (the system mask is not wanted).
    std::function<BOOL(HANDLE process, DWORD_PTR& processMask)> GetProcessAffinityMask;
    // dwActiveProcessorMask of GetSystemInfo.
    std::function<DWORD_PTR()> ActiveProcessorMask;
    // GetActiveProcessorGroupCount.
    std::function<WORD()> ActiveProcessorGroupCount;
    // GetProcAddress in kernel32.dll; null when the system lacks the function.
    std::function<FARPROC(const char* name)> FindKernel32EntryPoint;
    // WaitForSingleObject: the monitor thread's wait on its stop event between passes.
    std::function<DWORD(HANDLE event, DWORD timeoutMs)> WaitForObject;
    // The full image path in Win32 form (QueryFullProcessImageNameW, flags 0, through a handle
    // opened with PROCESS_QUERY_LIMITED_INFORMATION); false when the process cannot be opened or
    // the path cannot be read.
    std::function<bool(DWORD processId, std::wstring& path)> FullImagePath;
    // CreateThread with default security and stack; null on failure.
    std::function<HANDLE(LPTHREAD_START_ROUTINE start, void* parameter, DWORD& threadId)> CreateThread;
};

PassSystemCalls RealPassSystemCalls();

// The longest path Windows can hand out, in characters with the terminating null.
inline constexpr DWORD LongestPathLength = 32767;

// Text from a call that fills a buffer of the given size (in characters, with the terminating null)
// and then sets size to the characters written, failing with ERROR_INSUFFICIENT_BUFFER when the
// buffer is too small, as QueryFullProcessImageNameW does. The buffer starts at MAX_PATH and
// doubles up to LongestPathLength; any other failure, or still too small at the longest, is false.
bool ReadWithGrowingBuffer(const std::function<BOOL(wchar_t* buffer, DWORD& size)>& read, std::wstring& text);

// What a run keeps from its first use on: the active-processor mask and the late-bound entry
// points, each looked up once, and the CPU-set catalog. Only the monitor thread fills it; the
// once-flags keep the first use single even if that ever changed.
struct SteeringCache
{
    std::once_flag firstMatch;
    DWORD_PTR activeProcessorMask = 0;
    WORD activeGroupCount = 1;
    SetProcessInformationProc setProcessInformation = nullptr;

    std::once_flag firstCpuSetUse;
    CpuSetEntryPoints cpuSetEntryPoints;
    CpuSetCatalog catalog;
};
