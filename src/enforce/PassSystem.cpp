#include "enforce/PassSystem.h"

PassSystemCalls RealPassSystemCalls()
{
    PassSystemCalls calls;
    calls.CreateProcessSnapshot = [] { return ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0); };
    calls.FirstProcess = [](HANDLE snapshot, PROCESSENTRY32W& entry) { return ::Process32FirstW(snapshot, &entry); };
    calls.NextProcess = [](HANDLE snapshot, PROCESSENTRY32W& entry) { return ::Process32NextW(snapshot, &entry); };
    calls.OpenProcess = [](DWORD access, DWORD processId) { return ::OpenProcess(access, FALSE, processId); };
    calls.SetProcessAffinityMask = [](HANDLE process, DWORD_PTR mask) {
        return ::SetProcessAffinityMask(process, mask);
    };
    calls.GetProcessAffinityMask = [](HANDLE process, DWORD_PTR& processMask) {
        DWORD_PTR systemMask = 0;
        return ::GetProcessAffinityMask(process, &processMask, &systemMask);
    };
    calls.ActiveProcessorGroupCount = [] { return ::GetActiveProcessorGroupCount(); };
    calls.ActiveProcessorMask = [] {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return info.dwActiveProcessorMask;
    };
    calls.FindKernel32EntryPoint = [](const char* name) -> FARPROC {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        return kernel32 != nullptr ? ::GetProcAddress(kernel32, name) : nullptr;
    };
    calls.WaitForObject = [](HANDLE event, DWORD timeoutMs) { return ::WaitForSingleObject(event, timeoutMs); };
    calls.CreateThread = [](LPTHREAD_START_ROUTINE start, void* parameter, DWORD& threadId) {
        return ::CreateThread(nullptr, 0, start, parameter, 0, &threadId);
    };
    return calls;
}
