#include "app/Watchers.h"

#include <thread>

#include "app/Globals.h"
#include "ui/PrivateMessages.h"

void CloseWatcher(HANDLE exitEvent, HANDLE closeRequestEvent, const std::atomic<HWND>& trayWindow) noexcept
{
    const HANDLE events[] = {exitEvent, closeRequestEvent};
    (void)::WaitForMultipleObjects(2, events, FALSE, INFINITE);
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
        std::thread(body).detach();
        return true;
    }
    catch (...)
    {
        return false;
    }
}
} // namespace

int StartWatchers() noexcept
{
    // The handles are taken once here; the globals outlive the resident run.
    const HANDLE exitEvent = ExitEvent.Get();
    const HANDLE closeRequest = CloseRequestEvent.Get();
    const HANDLE status = StatusEvent.Get();
    int started = 0;
    started += StartDetached([=] { CloseWatcher(exitEvent, closeRequest, TrayWindowHandle); });
    started += StartDetached([=] { StatusWatcher(exitEvent, status, MainWindowHandle); });
    return started;
}
