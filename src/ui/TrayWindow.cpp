#include "ui/TrayWindow.h"

#include <system_error>
#include <thread>

#include "app/Globals.h"
#include "app/Handles.h"
#include "enforce/Monitor.h"
#include "ui/MainWindow.h"
#include "ui/PrivateMessages.h"
#include "ui/UiPlatform.h"
#include "ui/resource.h"

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the shell is given the full record");

namespace
{
constexpr int IconAddRetries = 20;
constexpr DWORD IconAddRetryMs = 100;

// State of the tray window; everything here is touched by the UI thread only.
UINT TaskbarCreatedMessage = 0;
HICON TrayIcon = nullptr; // shared, never destroyed
UniqueMenu TrayMenu;      // loaded at the first right-click, kept for the life of the process
bool BalloonPending = false;

NOTIFYICONDATAW IconRecord(HWND window, UINT iconId)
{
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof(record);
    record.hWnd = window;
    record.uID = iconId;
    return record;
}

// The program icon at the small size of the notification area and title bars, from its own
// 16/24-pixel image rather than the 32-pixel one scaled down. Shared: never destroyed.
HICON LoadSmallIcon()
{
    return static_cast<HICON>(::LoadImageW(ModuleInstance, MAKEINTRESOURCEW(IDI_TERNVALE), IMAGE_ICON,
                                           ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                           LR_SHARED));
}

UINT IconId()
{
    return ::GetCurrentProcessId();
}

// Copies as much of text as the fixed field holds, always terminated.
template <size_t N> void CopyBounded(wchar_t (&field)[N], const wchar_t* text)
{
    size_t i = 0;
    for (; i + 1 < N && text[i] != L'\0'; ++i)
        field[i] = text[i];
    field[i] = L'\0';
}

void AddIcon(HWND window)
{
    NOTIFYICONDATAW record = TrayIconAddRecord(window, IconId(), TrayIcon);
    AddIconWithRetries([&record] { return Ui().NotifyIcon(NIM_ADD, &record) != FALSE; }, [](DWORD ms) { ::Sleep(ms); });
    // Even without the icon: the shell may take the version with a later add.
    record.uVersion = NOTIFYICON_VERSION;
    Ui().NotifyIcon(NIM_SETVERSION, &record);
}

void StartUpdateCheck()
{
    try
    {
        std::thread(Ui().UpdateCheck).detach();
    }
    catch (const std::system_error&)
    {
        // No thread: the program runs on without automatic update checks.
    }
}

void ShowMain(HWND window)
{
    if (const HWND main = MainWindowHandle.load())
    {
        ::SetForegroundWindow(main);
        return;
    }
    // Modal: returns when the main window closes; its loop dispatches this window's messages too.
    const INT_PTR result = ::DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, &MainWindowProc, 0);
    if (result == 0)
        ::SendMessageW(window, WM_TRAY_START_MONITOR, 0, 0);
}

void ShowContextMenu(HWND window)
{
    POINT cursor{};
    ::GetCursorPos(&cursor);
    if (!TrayMenu)
        TrayMenu.Reset(::LoadMenuW(ModuleInstance, MAKEINTRESOURCEW(IDM_TRAY)));
    const HMENU popup = ::GetSubMenu(TrayMenu.Get(), 0);
    if (popup == nullptr)
        return;
    // Without the foreground the menu would not close when the user clicks elsewhere.
    ::SetForegroundWindow(window);
    const UINT command = static_cast<UINT>(
        ::TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr));
    // The shell's documented quirk: a message after the menu lets a second menu open cleanly.
    ::PostMessageW(window, WM_NULL, 0, 0);
    if (command == IDM_EXIT)
        ::PostQuitMessage(0);
    else if (command == IDM_OPEN)
        ::SendMessageW(window, WM_TRAY_CALLBACK, 0, WM_LBUTTONUP);
}

void OnIconEvent(HWND window, LPARAM event)
{
    switch (ActionForTrayEvent(event, BalloonPending))
    {
    case TrayEventAction::ShowMain:
        ::SendMessageW(window, WM_TRAY_SHOW_MAIN, 0, 0);
        break;
    case TrayEventAction::ContextMenu:
        ShowContextMenu(window);
        break;
    case TrayEventAction::BalloonGone:
        BalloonPending = false;
        break;
    case TrayEventAction::StartUpdate:
        Ui().InstallUpdate(window);
        BalloonPending = false;
        break;
    case TrayEventAction::None:
        break;
    }
}

void OnCreate(HWND window)
{
    TrayWindowHandle = window;
    TaskbarCreatedMessage = ::RegisterWindowMessageW(L"TaskbarCreated");
    // The program runs elevated for administrators, and the system then drops the shell's
    // broadcast from a lower integrity level unless it is let through explicitly.
    ::ChangeWindowMessageFilterEx(window, TaskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
    // The same for a later start by the same user: not elevated, it must still reach this instance.
    ::ChangeWindowMessageFilterEx(window, WM_TRAY_SHOW_MAIN, MSGFLT_ALLOW, nullptr);
    TrayIcon = LoadSmallIcon();
    ::PostMessageW(window, WM_TRAY_START_UPDATE_CHECK, 0, 0);
    ::PostMessageW(window, WM_TRAY_START_MONITOR, 0, 0);
    if (ShowAtStart)
        ::PostMessageW(window, WM_TRAY_SHOW_MAIN, 0, 0);
}

LRESULT HandleTrayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_DESTROY:
        RemoveTrayIcon();
        ::SetEvent(ExitEvent.Get());
        ::PostQuitMessage(0);
        return 0;
    case WM_TRAY_CALLBACK:
        OnIconEvent(window, lParam);
        return ::DefWindowProcW(window, message, wParam, lParam);
    case WM_TRAY_ADD_ICON:
        AddIcon(window);
        return 0;
    case WM_TRAY_START_MONITOR:
        // A monitor thread that cannot be started leaves monitoring stopped; the next request retries.
        AppMonitor.StartMonitor();
        return 0;
    case WM_TRAY_STOP_MONITOR:
        AppMonitor.StopMonitor();
        return 0;
    case WM_TRAY_UPDATE_BALLOON: {
        NOTIFYICONDATAW record = TrayIconBalloonRecord(window, IconId());
        Ui().NotifyIcon(NIM_MODIFY, &record);
        BalloonPending = true;
        return 0;
    }
    case WM_TRAY_START_UPDATE_CHECK:
        StartUpdateCheck();
        return 0;
    case WM_TRAY_EXIT:
        ::DestroyWindow(window);
        return 0;
    case WM_TRAY_SHOW_MAIN:
        ShowMain(window);
        return 0;
    case WM_TRAY_RULES_CHANGED:
        if (AppMonitor.IsMonitoring())
            ::SendMessageW(window, WM_TRAY_START_MONITOR, 0, 0);
        return 0;
    default:
        if (TaskbarCreatedMessage != 0 && message == TaskbarCreatedMessage)
        {
            // Explorer restarted: the old icon is gone with it.
            RemoveTrayIcon();
            ::SendMessageW(window, WM_TRAY_ADD_ICON, 0, 0);
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    try
    {
        return HandleTrayMessage(window, message, wParam, lParam);
    }
    catch (...)
    {
        // Nothing may unwind into the system's dispatch code.
        return 0;
    }
}
} // namespace

NOTIFYICONDATAW TrayIconAddRecord(HWND window, UINT iconId, HICON icon)
{
    NOTIFYICONDATAW record = IconRecord(window, iconId);
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_TRAY_CALLBACK;
    record.hIcon = icon;
    CopyBounded(record.szTip, ProductName);
    return record;
}

NOTIFYICONDATAW TrayIconBalloonRecord(HWND window, UINT iconId)
{
    NOTIFYICONDATAW record = IconRecord(window, iconId);
    record.uFlags = NIF_INFO;
    record.uTimeout = 10000;
    CopyBounded(record.szInfoTitle, L"Update for Ternvale is available");
    CopyBounded(record.szInfo, L"Click here to update.");
    record.dwInfoFlags = 0;
    return record;
}

NOTIFYICONDATAW TrayIconRemoveRecord(HWND window, UINT iconId)
{
    NOTIFYICONDATAW record = IconRecord(window, iconId);
    record.uCallbackMessage = WM_TRAY_CALLBACK;
    return record;
}

int AddIconWithRetries(const std::function<bool()>& tryAdd, const std::function<void(DWORD)>& wait)
{
    int attempts = 1;
    if (tryAdd())
        return attempts;
    for (int retry = 0; retry < IconAddRetries; ++retry)
    {
        wait(IconAddRetryMs);
        ++attempts;
        if (tryAdd())
            break;
    }
    return attempts;
}

TrayEventAction ActionForTrayEvent(LPARAM event, bool balloonPending)
{
    switch (static_cast<UINT>(event))
    {
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    // An icon of version 3 chosen with Enter (after a mouse selection), or with Enter or Space from the
    // keyboard; the shell may send either twice, and showing the main window twice only raises it.
    case NIN_SELECT:
    case NIN_KEYSELECT:
        return TrayEventAction::ShowMain;
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU: // the menu key or Shift+F10 on an icon of version 3
        return TrayEventAction::ContextMenu;
    case NIN_BALLOONHIDE:
    case NIN_BALLOONTIMEOUT:
        return TrayEventAction::BalloonGone;
    case NIN_BALLOONUSERCLICK:
        return balloonPending ? TrayEventAction::StartUpdate : TrayEventAction::None;
    default:
        return TrayEventAction::None;
    }
}

bool CreateTrayWindow()
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &TrayWindowProc;
    windowClass.hInstance = ModuleInstance;
    windowClass.hIcon = ::LoadIconW(ModuleInstance, MAKEINTRESOURCEW(IDI_TERNVALE));
    windowClass.hIconSm = LoadSmallIcon();
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDM_TRAY);
    windowClass.lpszClassName = TrayClassName;
    // Fails harmlessly when the class is already registered (a second tray window in tests).
    ::RegisterClassExW(&windowClass);

    ::CreateWindowExW(0, TrayClassName, TrayWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                      nullptr, nullptr, ModuleInstance, nullptr);
    if (const HWND window = TrayWindowHandle.load())
        ::SendMessageW(window, WM_TRAY_ADD_ICON, 0, 0);
    return true;
}

void RemoveTrayIcon()
{
    NOTIFYICONDATAW record = TrayIconRemoveRecord(TrayWindowHandle.load(), IconId());
    Ui().NotifyIcon(NIM_DELETE, &record);
}
