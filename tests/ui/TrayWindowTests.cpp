// The real tray window under Wine on a thread of its own with its message loop: the icon and its
// re-adding, showing and raising the main window, restarting monitoring, the update balloon and
// the ways out. Shell calls, message boxes and the installer go to stand-ins.

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "app/Globals.h"
#include "app/ResidentLoop.h"
#include "enforce/Monitor.h"
#include "support/TestSupport.h"
#include "ui/PrivateMessages.h"
#include "ui/TrayWindow.h"
#include "ui/resource.h"

using namespace ui_testing;

namespace
{
std::atomic<int> MonitorStarts{0};

// Counts the restarts of monitoring on their way into the tray procedure.
LRESULT CALLBACK CountMonitorStarts(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    if (message == WM_TRAY_START_MONITOR)
        ++MonitorStarts;
    return ::DefSubclassProc(window, message, wParam, lParam);
}

class TrayWindowTest : public UiTest
{
  protected:
    void SetUp() override
    {
        UiTest::SetUp();
        MonitorStarts = 0;
        ::ResetEvent(ExitEvent.Get());
    }

    void TearDown() override
    {
        if (ui_)
        {
            if (const HWND main = MainWindowHandle.load())
                ::PostMessageW(main, WM_CLOSE, 0, 0);
            if (::IsWindow(tray_))
                ::PostMessageW(tray_, WM_TRAY_EXIT, 0, 0);
            EXPECT_TRUE(ui_->Join());
        }
        AppMonitor.StopMonitor();
        TrayWindowHandle = nullptr;
        ShowAtStart = false;
        ::ResetEvent(ExitEvent.Get());
        UiTest::TearDown();
    }

    // Creates the tray window and runs the message loop as the resident program does.
    void Start()
    {
        ui_ = std::make_unique<UiThread>([this] {
            CreateTrayWindow();
            if (const HWND tray = TrayWindowHandle.load())
                ::SetWindowSubclass(tray, &CountMonitorStarts, 1, 0);
            MSG message;
            while (::GetMessageW(&message, nullptr, 0, 0) > 0)
            {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            windowAliveAfterLoop_ = ::IsWindow(TrayWindowHandle.load()) != FALSE;
            exitSignalledAfterLoop_ = ::WaitForSingleObject(ExitEvent.Get(), 0) == WAIT_OBJECT_0;
            // What the window did by itself; the removal below is the entry function's, after its loop.
            iconCallsAtLoopEnd_ = fake_.IconCalls();
            RemoveTrayIcon();
        });
        ASSERT_TRUE(WaitUntil([] { return TrayWindowHandle.load() != nullptr; }));
        tray_ = TrayWindowHandle.load();
        // The posted start-up work has run once monitoring has started.
        ASSERT_TRUE(WaitUntil([] { return MonitorStarts.load() == 1; }));
        Sync(tray_);
    }

    // Sent: none of these events opens a modal window while the main window is open.
    void IconEvent(LPARAM event) const
    {
        ::SendMessageW(tray_, WM_TRAY_CALLBACK, ::GetCurrentProcessId(), event);
    }

    HWND OpenMainByClick() const
    {
        ::PostMessageW(tray_, WM_TRAY_CALLBACK, ::GetCurrentProcessId(), WM_LBUTTONUP);
        if (!WaitUntil([] { return MainWindowHandle.load() != nullptr; }))
            return nullptr;
        return MainWindowHandle.load();
    }

    static int CountMainWindows()
    {
        int count = 0;
        for (HWND window = nullptr; (window = ::FindWindowExW(nullptr, window, L"#32770", L"Ternvale")) != nullptr;)
        {
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            if (process == ::GetCurrentProcessId())
                ++count;
        }
        return count;
    }

    std::vector<DWORD> IconOperations() const
    {
        std::vector<DWORD> operations;
        for (const FakeUi::IconCall& call : fake_.IconCalls())
            operations.push_back(call.operation);
        return operations;
    }

    std::unique_ptr<UiThread> ui_;
    HWND tray_ = nullptr;
    bool windowAliveAfterLoop_ = false;
    bool exitSignalledAfterLoop_ = false;
    std::vector<FakeUi::IconCall> iconCallsAtLoopEnd_;

    static size_t Deletions(const std::vector<FakeUi::IconCall>& calls)
    {
        return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [](const FakeUi::IconCall& call) {
            return call.operation == static_cast<DWORD>(NIM_DELETE);
        }));
    }
};

TEST_F(TrayWindowTest, CreationAddsTheIconThenStartsTheUpdateCheckAndMonitoring)
{
    const int checksBefore = FakeUi::UpdateChecks();
    Start();
    wchar_t className[64] = {};
    ::GetClassNameW(tray_, className, 64);
    EXPECT_STREQ(className, L"Ternvale_TrayClass");
    EXPECT_EQ(WindowText(tray_), L"Ternvale_TrayWnd");
    EXPECT_FALSE(::IsWindowVisible(tray_));
    EXPECT_EQ(::FindWindowW(L"Ternvale_TrayClass", nullptr), tray_);

    const std::vector<FakeUi::IconCall> calls = fake_.IconCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].operation, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(calls[0].record.hWnd, tray_);
    EXPECT_EQ(calls[0].record.uID, ::GetCurrentProcessId());
    EXPECT_STREQ(calls[0].record.szTip, L"Ternvale");
    EXPECT_NE(calls[0].record.hIcon, nullptr);
    EXPECT_EQ(calls[1].operation, static_cast<DWORD>(NIM_SETVERSION));
    EXPECT_EQ(calls[1].record.uVersion, 3u);

    EXPECT_TRUE(WaitUntil([checksBefore] { return FakeUi::UpdateChecks() == checksBefore + 1; }));
    EXPECT_TRUE(AppMonitor.IsMonitoring());
    EXPECT_EQ(MainWindowHandle.load(), nullptr) << "no --show";
}

TEST_F(TrayWindowTest, AnIconThatCannotBeAddedIsRetriedAndStillGetsItsVersion)
{
    fake_.FailingAdds = 2;
    Start();
    EXPECT_EQ(IconOperations(), (std::vector<DWORD>{NIM_ADD, NIM_ADD, NIM_ADD, NIM_SETVERSION}));
}

TEST_F(TrayWindowTest, ShowAtStartOpensTheMainWindowAfterMonitoringStarted)
{
    ShowAtStart = true;
    Start();
    ASSERT_TRUE(WaitUntil([] { return MainWindowHandle.load() != nullptr; }));
    EXPECT_TRUE(AppMonitor.IsMonitoring());
}

TEST_F(TrayWindowTest, AClickOrOpenWhileTheMainWindowIsOpenRaisesItAndOpensNoOther)
{
    Start();
    const HWND main = OpenMainByClick();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(CountMainWindows(), 1);

    for (LPARAM event : {static_cast<LPARAM>(WM_LBUTTONUP), static_cast<LPARAM>(WM_LBUTTONDBLCLK)})
    {
        SCOPED_TRACE(event);
        IconEvent(event);
        EXPECT_EQ(CountMainWindows(), 1);
        EXPECT_EQ(MainWindowHandle.load(), main);
    }
    // "&Open" sends the tray window a left click.
    ::SendMessageW(tray_, WM_TRAY_SHOW_MAIN, 0, 0);
    EXPECT_EQ(CountMainWindows(), 1);
    if (testing_support::RunningUnderWine())
    {
        EXPECT_EQ(::GetForegroundWindow(), main);
    }
    else
    {
        // Windows lets only the process with the user's last input take the foreground, which a test
        // run need not be: the window must at least be shown and not minimised.
        EXPECT_TRUE(::IsWindowVisible(main));
        EXPECT_FALSE(::IsIconic(main));
    }
}

TEST_F(TrayWindowTest, ClosingTheMainWindowWithOkRestartsMonitoringOtherwiseNot)
{
    Start();
    struct Row
    {
        const char* name;
        UINT message;
        WPARAM wParam;
        int restarts;
    };
    const Row rows[] = {
        {"close box", WM_CLOSE, 0, 0},
        {"minimize to tray", WM_COMMAND, IDM_MINIMIZE_TO_TRAY, 0},
        {"OK", WM_COMMAND, IDOK, 1},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        const int before = MonitorStarts;
        const HWND main = OpenMainByClick();
        ASSERT_NE(main, nullptr);
        ::PostMessageW(main, row.message, row.wParam, 0);
        ASSERT_TRUE(WaitUntil([] { return MainWindowHandle.load() == nullptr; }));
        Sync(tray_);
        EXPECT_EQ(MonitorStarts - before, row.restarts);
        EXPECT_TRUE(AppMonitor.IsMonitoring());
    }
}

TEST_F(TrayWindowTest, AnEditRestartsMonitoringOnlyWhileItRuns)
{
    Start();
    const HWND main = OpenMainByClick();
    ASSERT_NE(main, nullptr);

    // Remove with no row selected removes nothing, yet saves and restarts all the same.
    ::SendMessageW(main, WM_COMMAND, IDC_REMOVE, 0);
    EXPECT_EQ(MonitorStarts, 2);
    EXPECT_TRUE(AppMonitor.IsMonitoring());
    ::SendMessageW(main, WM_COMMAND, IDC_CLEAR_ALL, 0);
    EXPECT_EQ(MonitorStarts, 3);

    ::SendMessageW(tray_, WM_TRAY_STOP_MONITOR, 0, 0);
    EXPECT_FALSE(AppMonitor.IsMonitoring());
    ::SendMessageW(main, WM_COMMAND, IDC_CLEAR_ALL, 0);
    EXPECT_EQ(MonitorStarts, 3);
    EXPECT_FALSE(AppMonitor.IsMonitoring());
}

TEST_F(TrayWindowTest, TheIconComesBackAfterTaskbarCreated)
{
    Start();
    fake_.Clear();
    ::SendMessageW(tray_, ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    const std::vector<FakeUi::IconCall> calls = fake_.IconCalls();
    ASSERT_EQ(IconOperations(), (std::vector<DWORD>{NIM_DELETE, NIM_ADD, NIM_SETVERSION}));
    EXPECT_EQ(calls[0].record.uID, ::GetCurrentProcessId());
    EXPECT_EQ(calls[0].record.hWnd, tray_);
    EXPECT_EQ(calls[1].record.uID, ::GetCurrentProcessId());
    EXPECT_STREQ(calls[1].record.szTip, L"Ternvale");
    EXPECT_NE(calls[1].record.hIcon, nullptr);
}

TEST_F(TrayWindowTest, ABalloonClickActsOnlyWhileTheBalloonIsPending)
{
    Start();
    IconEvent(NIN_BALLOONUSERCLICK);
    EXPECT_TRUE(fake_.InstallOwners().empty()) << "no balloon shown yet";

    fake_.Clear();
    ::SendMessageW(tray_, WM_TRAY_UPDATE_BALLOON, 0, 0);
    const std::vector<FakeUi::IconCall> calls = fake_.IconCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].operation, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(calls[0].record.uFlags, static_cast<UINT>(NIF_INFO));
    EXPECT_STREQ(calls[0].record.szInfoTitle, L"Update for Ternvale is available");
    EXPECT_STREQ(calls[0].record.szInfo, L"Click here to update.");

    IconEvent(NIN_BALLOONUSERCLICK);
    EXPECT_EQ(fake_.InstallOwners(), std::vector<HWND>{tray_});
    IconEvent(NIN_BALLOONUSERCLICK);
    EXPECT_EQ(fake_.InstallOwners().size(), 1u) << "the first click cleared the flag";

    for (LPARAM gone : {static_cast<LPARAM>(NIN_BALLOONTIMEOUT), static_cast<LPARAM>(NIN_BALLOONHIDE)})
    {
        SCOPED_TRACE(gone);
        ::SendMessageW(tray_, WM_TRAY_UPDATE_BALLOON, 0, 0);
        IconEvent(gone);
        IconEvent(NIN_BALLOONUSERCLICK);
        EXPECT_EQ(fake_.InstallOwners().size(), 1u);
    }
    EXPECT_TRUE(fake_.Messages().empty());
}

TEST_F(TrayWindowTest, ExitFromAnotherInstanceDestroysTheWindowAndEndsTheLoop)
{
    Start();
    fake_.Clear();
    ::PostMessageW(tray_, WM_TRAY_EXIT, 0, 0);
    ASSERT_TRUE(ui_->Join());
    ui_.reset();
    EXPECT_FALSE(windowAliveAfterLoop_);
    EXPECT_TRUE(exitSignalledAfterLoop_);
    // The window's own destruction removed the icon, before the loop ended.
    const std::vector<FakeUi::IconCall>& calls = iconCallsAtLoopEnd_;
    ASSERT_EQ(Deletions(calls), 1u);
    EXPECT_EQ(calls[0].operation, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(calls[0].record.hWnd, tray_);
    EXPECT_EQ(calls[0].record.uID, ::GetCurrentProcessId());
    EXPECT_EQ(calls[0].record.uCallbackMessage, WM_TRAY_CALLBACK);
}

TEST_F(TrayWindowTest, TheContextMenuOpensTheMainWindowAndExitsTheLoop)
{
    Start();
    // "&Open": the menu is answered by its mnemonic.
    ::PostMessageW(tray_, WM_TRAY_CALLBACK, ::GetCurrentProcessId(), WM_RBUTTONUP);
    HWND menu = nullptr;
    ASSERT_TRUE(WaitUntil([&menu] { return (menu = ::FindWindowW(L"#32768", nullptr)) && ::IsWindowVisible(menu); }));
    ::PostMessageW(menu, WM_CHAR, L'o', 0);
    ASSERT_TRUE(WaitUntil([] { return MainWindowHandle.load() != nullptr; }));
    ::PostMessageW(MainWindowHandle.load(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([] { return MainWindowHandle.load() == nullptr; }));

    // "E&xit": the loop ends without destroying the window.
    ::PostMessageW(tray_, WM_TRAY_CALLBACK, ::GetCurrentProcessId(), WM_RBUTTONUP);
    ASSERT_TRUE(WaitUntil([&menu] { return (menu = ::FindWindowW(L"#32768", nullptr)) && ::IsWindowVisible(menu); }));
    ::PostMessageW(menu, WM_CHAR, L'x', 0);
    ASSERT_TRUE(ui_->Join());
    ui_.reset();
    EXPECT_TRUE(windowAliveAfterLoop_);
    EXPECT_FALSE(exitSignalledAfterLoop_);
    // The menu's exit leaves the icon to the entry function, whose removal after the loop names it.
    EXPECT_EQ(Deletions(iconCallsAtLoopEnd_), 0u);
    const std::vector<FakeUi::IconCall> calls = fake_.IconCalls();
    ASSERT_EQ(calls.size(), iconCallsAtLoopEnd_.size() + 1);
    EXPECT_EQ(calls.back().operation, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(calls.back().record.hWnd, tray_);
    EXPECT_EQ(calls.back().record.uID, ::GetCurrentProcessId());
}

// The program's own loop, as its entry point runs it after creating the tray window: whichever way
// the loop ends, the icon is gone when it returns 0, also when the window still exists (Exit in the
// menu only quits the loop).
TEST_F(TrayWindowTest, TheResidentLoopRemovesTheIconWhenItEnds)
{
    struct Case
    {
        const char* name;
        bool fromMenu; // E&xit in the context menu, or WM_TRAY_EXIT from another instance's close
        bool windowAliveAtReturn;
    };
    const Case cases[] = {
        {"Exit in the context menu", true, true},
        {"close request", false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        int result = -1;
        bool aliveAtReturn = false;
        std::vector<FakeUi::IconCall> callsAtReturn;
        UiThread ui([&] {
            CreateTrayWindow();
            result = RunResidentLoop();
            aliveAtReturn = ::IsWindow(TrayWindowHandle.load()) != FALSE;
            callsAtReturn = fake_.IconCalls();
        });
        ASSERT_TRUE(WaitUntil([] { return TrayWindowHandle.load() != nullptr; }));
        const HWND tray = TrayWindowHandle.load();
        // The posted start-up work ran in the loop: monitoring has started.
        ASSERT_TRUE(WaitUntil([] { return AppMonitor.IsMonitoring(); }));
        Sync(tray);
        fake_.Clear();
        if (c.fromMenu)
        {
            ::PostMessageW(tray, WM_TRAY_CALLBACK, ::GetCurrentProcessId(), WM_RBUTTONUP);
            HWND menu = nullptr;
            ASSERT_TRUE(
                WaitUntil([&menu] { return (menu = ::FindWindowW(L"#32768", nullptr)) && ::IsWindowVisible(menu); }));
            ::PostMessageW(menu, WM_CHAR, L'x', 0);
        }
        else
        {
            ::PostMessageW(tray, WM_TRAY_EXIT, 0, 0);
        }
        ASSERT_TRUE(ui.Join());

        EXPECT_EQ(result, 0);
        EXPECT_EQ(aliveAtReturn, c.windowAliveAtReturn);
        ASSERT_FALSE(callsAtReturn.empty()) << "the icon is still there";
        EXPECT_EQ(callsAtReturn.back().operation, static_cast<DWORD>(NIM_DELETE));
        EXPECT_EQ(callsAtReturn.back().record.hWnd, tray);

        AppMonitor.StopMonitor();
        TrayWindowHandle = nullptr;
        ::ResetEvent(ExitEvent.Get());
    }
}

} // namespace
