#pragma once
// The two detached helper threads of the resident run. They never touch a window: they only post
// to the window whose handle is set at that moment.

#include <windows.h>

#include <atomic>

// Waits for the program's end or another instance's close request; without a close request (it could
// not be created or opened) for the program's end alone, so that the instance keeps running. Whatever
// ends the wait, also a failure, counts as a request to close: it sets exitEvent and posts WM_TRAY_EXIT
// to the tray window, if there is one.
void CloseWatcher(HANDLE exitEvent, HANDLE closeRequestEvent, const std::atomic<HWND>& trayWindow) noexcept;

// Turns each signal of statusEvent into WM_MAIN_REFRESH_STATUS for the main window while it is open;
// ends when exitEvent is set or the wait fails.
void StatusWatcher(HANDLE exitEvent, HANDLE statusEvent, const std::atomic<HWND>& mainWindow) noexcept;

// Both watchers, each on a detached thread that waits on duplicates of its own of the event handles:
// the owners of the originals (the program's globals) close them at process exit, possibly while a
// detached watcher still waits, and a handle closed under a pending wait is undefined behaviour. A
// null event stays null (see above for each watcher). A watcher whose thread or handles
// cannot be made is left out: the program then runs without it. Returns how many were started.
int StartWatchers(HANDLE exitEvent, HANDLE closeRequestEvent, HANDLE statusEvent, const std::atomic<HWND>& trayWindow,
                  const std::atomic<HWND>& mainWindow) noexcept;
// The same on the program's globals.
int StartWatchers() noexcept;
