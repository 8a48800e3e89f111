// The two watcher threads with their own events and a message-only window in place of the program's.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/Handles.h"
#include "app/Watchers.h"
#include "support/TestSupport.h"
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

    // Takes messages of this kind until count have arrived or the generous limit has passed; returns
    // how many were taken. A passing test returns as soon as the last one is there.
    int ReceiveAtLeast(UINT kind, int count, DWORD limitMs = 30000) const
    {
        int received = 0;
        const ULONGLONG end = ::GetTickCount64() + limitMs;
        for (;;)
        {
            MSG message;
            while (received < count && ::PeekMessageW(&message, window_, kind, kind, PM_REMOVE))
                ++received;
            const ULONGLONG now = ::GetTickCount64();
            if (received >= count || now >= end)
                return received;
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 100)),
                                        QS_POSTMESSAGE);
        }
    }
    // The messages of this kind already in the queue, taken without waiting.
    int Pending(UINT kind) const
    {
        return Receive(kind, 0);
    }

  private:
    HWND window_;
};

// Waits until a watcher has taken the auto-reset event's signal: a signal still pending is taken back
// by the probe and given again.
bool WaitUntilTaken(HANDLE autoResetEvent)
{
    return testing_support::WaitUntil([autoResetEvent] {
        if (::WaitForSingleObject(autoResetEvent, 0) != WAIT_OBJECT_0)
            return true;
        ::SetEvent(autoResetEvent);
        return false;
    });
}

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
        watcher.join(); // a watcher that has ended has posted all it will
        EXPECT_EQ(::WaitForSingleObject(exitEvent.Get(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(tray.Pending(WM_TRAY_EXIT), c.withTrayWindow ? 1 : 0);
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
    EXPECT_EQ(tray.Pending(WM_TRAY_EXIT), 1);
}

TEST(Watchers, StatusWatcherPostsNothingWhileTheMainWindowIsClosed)
{
    MessageTarget main;
    std::atomic<HWND> mainHandle{nullptr};
    UniqueHandle exitEvent = ManualEvent();
    UniqueHandle status(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::thread watcher(StatusWatcher, exitEvent.Get(), status.Get(), std::cref(mainHandle));
    ::SetEvent(status.Get());
    ASSERT_TRUE(WaitUntilTaken(status.Get()));
    // Ended, the watcher has made its decision about the signal it took.
    ::SetEvent(exitEvent.Get());
    watcher.join();
    EXPECT_EQ(main.Pending(WM_MAIN_REFRESH_STATUS), 0);
}

TEST(Watchers, StatusWatcherRefreshesTheOpenMainWindowOncePerSignalUntilTheEnd)
{
    MessageTarget main;
    std::atomic<HWND> mainHandle{main.Get()};
    UniqueHandle exitEvent = ManualEvent();
    UniqueHandle status(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::thread watcher(StatusWatcher, exitEvent.Get(), status.Get(), std::cref(mainHandle));

    // Each refresh arrives before the next signal is given, since an auto-reset event folds signals together.
    for (int i = 0; i < 3; ++i)
    {
        ::SetEvent(status.Get());
        EXPECT_EQ(main.ReceiveAtLeast(WM_MAIN_REFRESH_STATUS, 1), 1) << "signal " << i;
    }
    ::SetEvent(exitEvent.Get());
    watcher.join(); // ends on the exit event
    EXPECT_EQ(main.Pending(WM_MAIN_REFRESH_STATUS), 0) << "one refresh per signal";
    ::SetEvent(status.Get());
    EXPECT_EQ(main.Pending(WM_MAIN_REFRESH_STATUS), 0);
}

TEST(Watchers, StatusWatcherEndsWhenItsWaitFails)
{
    // Without a status event the wait fails at once: the watcher must end, and post nothing.
    MessageTarget main;
    std::atomic<HWND> mainHandle{main.Get()};
    UniqueHandle exitEvent = ManualEvent();
    UniqueHandle ended = ManualEvent();
    std::thread watcher([&] {
        StatusWatcher(exitEvent.Get(), nullptr, mainHandle);
        ::SetEvent(ended.Get());
    });
    const bool endedInTime = ::WaitForSingleObject(ended.Get(), 30000) == WAIT_OBJECT_0;
    if (!endedInTime)
    {
        ::SetEvent(exitEvent.Get()); // a watcher that kept waiting still ends on the exit event
    }
    watcher.join();
    EXPECT_TRUE(endedInTime) << "the watcher went on waiting after its wait failed";
    EXPECT_EQ(main.Pending(WM_MAIN_REFRESH_STATUS), 0);
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
        EXPECT_EQ(main.ReceiveAtLeast(WM_MAIN_REFRESH_STATUS, 1), 1) << "signal " << i;
    }
    ::SetEvent(exitSignal.Get());
    EXPECT_EQ(tray.ReceiveAtLeast(WM_TRAY_EXIT, 1), 1);
    ::SetEvent(statusSignal.Get());
    EXPECT_EQ(main.Receive(WM_MAIN_REFRESH_STATUS, 300), 0); // the status watcher has ended
}
} // namespace
