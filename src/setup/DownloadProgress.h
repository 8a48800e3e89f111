#pragma once
// The installer transfer on a worker thread, with a small progress window on the calling (user
// interface) thread, which keeps handling its messages meanwhile.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "setup/Updater.h"

inline constexpr DWORD DownloadStallLimitMs = 30000;
// The control ids of the progress window.
inline constexpr int ProgressTextId = 100;
inline constexpr int ProgressBarId = 101;

struct ProgressSettings
{
    HANDLE exitEvent = nullptr;                 // set: the program is ending
    DWORD stallLimitMs = DownloadStallLimitMs;  // this long without a byte: the transfer has failed
    std::function<void(HWND window)> shown;     // called once the window is up (tests press its buttons)
};

// Downloads url while the window shows the progress. Cancel, a stall and a failed transfer give
// Failed; the exit event or a quit message (the tray menu's Exit, which is posted again for the caller's
// loop) give Ended. The worker thread has ended when this returns.
TransferResult DownloadWithProgress(HWND owner, const std::wstring& url, std::vector<unsigned char>& bytes,
                                    size_t limit, const ProgressSettings& settings);

// "1,234 KB received", or "1,234 KB of 5,678 KB received" when the total is known.
std::wstring ProgressText(unsigned long long received, unsigned long long total);
