// The two watcher threads with their own events and a message-only window in place of the program's.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/Handles.h"
#include "app/Watchers.h"
#include "ui/PrivateMessages.h"

namespace
{
// A message-only window on the test thread whose queue the watchers post to.
class MessageTarget
{
  public:
    MessageTarget()
        : window_(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr))
    {
    }
    ~MessageTarget()
    {
        ::DestroyWindow(window_);
    }
    MessageTarget(const MessageTarget&) = delete;
    MessageTarget& operator=(const MessageTarget&) = delete;
    HWND Get() const
    {
        return window_;
    }
    // How many messages of this kind arrive within the time given.
    int Receive(UINT kind, DWORD withinMs) const
    {
        int count = 0;
        const ULONGLONG end = ::GetTickCount64() + withinMs;
        for (;;)
        {
            MSG message;
            while (::PeekMessageW(&message, window_, kind, kind, PM_REMOVE))
                ++count;
            const ULONGLONG now = ::GetTickCount64();
            if (now >= end)
                return count;
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_POSTMESSAGE);
        }
    }

  private:
    HWND window_;
};

UniqueHandle ManualEvent()
{
    return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

TEST(Watchers, CloseWatcherTurnsAnyEndOfItsWaitIntoAnExit)
{
    enum class Wake
    {
        CloseRequest,
        ExitEvent,
        NoCloseEvent, // the shared event could not be created: the program's end alone ends the wait
    };
    struct Case
    {
        const char* name;
        Wake wake;
        bool withTrayWindow;
    };
    const Case cases[] = {
        {"close request", Wake::CloseRequest, true},
        {"program ending", Wake::ExitEvent, true},
        {"no close event", Wake::NoCloseEvent, true},
        {"close request before the tray window exists", Wake::CloseRequest, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        MessageTarget tray;
        std::atomic<HWND> trayHandle{c.withTrayWindow ? tray.Get() : nullptr};
        UniqueHandle exitEvent = ManualEvent();
        UniqueHandle closeRequest = c.wake == Wake::NoCloseEvent ? UniqueHandle() : ManualEvent();
        std::thread watcher(CloseWatcher, exitEvent.Get(), closeRequest.Get(), std::cref(trayHandle));
        if (c.wake == Wake::CloseRequest)
            ::SetEvent(closeRequest.Get());
        if (c.wake == Wake::NoCloseEvent)
        {
            // A failed wait would end the instance right after its start.
            EXPECT_EQ(tray.Receive(WM_TRAY_EXIT, 300), 0) << "ended without being asked";
            EXPECT_EQ(::WaitForSingleObject(exitEvent.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
        }
        if (c.wake == Wake::ExitEvent || c.wake == Wake::NoCloseEvent)
            ::SetEvent(exitEvent.Get());
        watcher.join();
        EXPECT_EQ(::WaitForSingleObject(exitEvent.Get(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(tray.Receive(WM_TRAY_EXIT, 100), c.withTrayWindow ? 1 : 0);
    }
}

TEST(Watchers, CloseWatcherWaitsUntilWoken)
{
    MessageTarget tray;
    std::atomic<HWND> trayHandle{tray.Get()};
    UniqueHandle exitEvent = ManualEvent();
    UniqueHandle closeRequest = ManualEvent();
    std::thread watcher(CloseWatcher, exitEvent.Get(), closeRequest.Get(), std::cref(trayHandle));
    EXPECT_EQ(tray.Receive(WM_TRAY_EXIT, 300), 0);
    EXPECT_EQ(::WaitForSingleObject(exitEvent.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ::SetEvent(closeRequest.Get());
    watcher.join();
    EXPECT_EQ(tray.Receive(WM_TRAY_EXIT, 100), 1);
}

TEST(Watchers, StatusWatcherRefreshesTheOpenMainWindowOncePerSignalUntilTheEnd)
{
    MessageTarget main;
    std::atomic<HWND> mainHandle{nullptr};
    UniqueHandle exitEvent = ManualEvent();
    UniqueHandle status(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::thread watcher(StatusWatcher, exitEvent.Get(), status.Get(), std::cref(mainHandle));

    // The main window is closed: the signal is taken but nothing is posted. (Each signal below is
    // received before the next is set, since an auto-reset event folds signals together.)
    ::SetEvent(status.Get());
    EXPECT_EQ(main.Receive(WM_MAIN_REFRESH_STATUS, 300), 0);

    mainHandle = main.Get();
    for (int i = 0; i < 3; ++i)
    {
        ::SetEvent(status.Get());
        EXPECT_EQ(main.Receive(WM_MAIN_REFRESH_STATUS, 300), 1) << "signal " << i;
    }

    ::SetEvent(exitEvent.Get());
    watcher.join(); // ends on the exit event
    ::SetEvent(status.Get());
    EXPECT_EQ(main.Receive(WM_MAIN_REFRESH_STATUS, 100), 0);
}

TEST(Watchers, StatusWatcherEndsWhenItsWaitFails)
{
    std::atomic<HWND> mainHandle{nullptr};
    UniqueHandle exitEvent = ManualEvent();
    std::thread watcher(StatusWatcher, exitEvent.Get(), nullptr, std::cref(mainHandle));
    watcher.join();
    SUCCEED();
}

TEST(Watchers, StartedWatchersOutliveTheHandlesTheyWereGiven)
{
    // The program's globals close their handles at process exit while the detached watchers may still
    // wait; each watcher must wait on handles of its own. The window handles outlive the detached threads.
    static MessageTarget tray;
    static MessageTarget main;
    static std::atomic<HWND> trayHandle{tray.Get()};
    static std::atomic<HWND> mainHandle{main.Get()};
    UniqueHandle exitEvent = ManualEvent();
    UniqueHandle closeRequest = ManualEvent();
    UniqueHandle status(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    // The test's own way to the same events once the given handles are gone.
    const auto keep = [](const UniqueHandle& event) {
        HANDLE copy = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), event.Get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        return UniqueHandle(copy);
    };
    const UniqueHandle exitSignal = keep(exitEvent);
    const UniqueHandle statusSignal = keep(status);
    ASSERT_TRUE(exitSignal && statusSignal);

    ASSERT_EQ(StartWatchers(exitEvent.Get(), closeRequest.Get(), status.Get(), trayHandle, mainHandle), 2);
    exitEvent.Reset();
    closeRequest.Reset();
    status.Reset();

    // Every signal is still seen: the watcher's next wait is on a live handle, not a closed one.
    for (int i = 0; i < 3; ++i)
    {
        ::SetEvent(statusSignal.Get());
        EXPECT_EQ(main.Receive(WM_MAIN_REFRESH_STATUS, 300), 1) << "signal " << i;
    }
    ::SetEvent(exitSignal.Get());
    EXPECT_EQ(tray.Receive(WM_TRAY_EXIT, 1000), 1);
    ::SetEvent(statusSignal.Get());
    EXPECT_EQ(main.Receive(WM_MAIN_REFRESH_STATUS, 300), 0); // the status watcher has ended
}
} // namespace
