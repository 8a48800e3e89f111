#include "app/Watchers.h"

#include <thread>
#include <utility>

#include "app/Globals.h"
#include "ui/PrivateMessages.h"

void CloseWatcher(HANDLE exitEvent, HANDLE closeRequestEvent, const std::atomic<HWND>& trayWindow) noexcept
{
    const HANDLE events[] = {exitEvent, closeRequestEvent};
    (void)::WaitForMultipleObjects(closeRequestEvent != nullptr ? 2 : 1, events, FALSE, INFINITE);
    ::SetEvent(exitEvent);
    if (const HWND tray = trayWindow.load())
        ::PostMessageW(tray, WM_TRAY_EXIT, 0, 0);
}

void StatusWatcher(HANDLE exitEvent, HANDLE statusEvent, const std::atomic<HWND>& mainWindow) noexcept
{
    const HANDLE events[] = {exitEvent, statusEvent};
    while (::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
    {
        if (const HWND main = mainWindow.load())
            ::PostMessageW(main, WM_MAIN_REFRESH_STATUS, 0, 0);
    }
}

namespace
{
template <typename Body> bool StartDetached(Body body) noexcept
{
    try
    {
        std::thread(std::move(body)).detach();
        return true;
    }
    catch (...)
    {
        return false;
    }
}
} // namespace

int StartWatchers(HANDLE exitEvent, HANDLE closeRequestEvent, HANDLE statusEvent, const std::atomic<HWND>& trayWindow,
                  const std::atomic<HWND>& mainWindow) noexcept
{
    int started = 0;
    UniqueHandle closeExit;
    UniqueHandle closeRequest;
    if (DuplicateOwnHandle(exitEvent, closeExit) && DuplicateOwnHandle(closeRequestEvent, closeRequest))
        started += StartDetached([exitCopy = std::move(closeExit), requestCopy = std::move(closeRequest), &trayWindow] {
            CloseWatcher(exitCopy.Get(), requestCopy.Get(), trayWindow);
        });
    UniqueHandle statusExit;
    UniqueHandle status;
    if (DuplicateOwnHandle(exitEvent, statusExit) && DuplicateOwnHandle(statusEvent, status))
        started += StartDetached([exitCopy = std::move(statusExit), statusCopy = std::move(status), &mainWindow] {
            StatusWatcher(exitCopy.Get(), statusCopy.Get(), mainWindow);
        });
    return started;
}

int StartWatchers() noexcept
{
    return StartWatchers(ExitEvent.Get(), CloseRequestEvent.Get(), StatusEvent.Get(), TrayWindowHandle,
                         MainWindowHandle);
}
