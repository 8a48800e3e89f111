#include "setup/DownloadProgress.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/Globals.h"

namespace
{
constexpr wchar_t ProgressClassName[] = L"Ternvale_DownloadProgress";
constexpr wchar_t DownloadingText[] = L"Downloading the update...";
constexpr UINT WM_PROGRESS_WORKER_DONE = WM_APP + 1; // wakes the loop; the window itself does nothing with it
constexpr DWORD RefreshMs = 250;
constexpr int BarSteps = 1000;

std::wstring GroupedKilobytes(unsigned long long bytes)
{
    std::wstring digits = std::to_wstring(bytes / 1024);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, L",");
    return digits + L" KB";
}

// One progress window; lives on the stack of DownloadWithProgress.
class ProgressWindow
{
  public:
    ProgressWindow() = default;
    ~ProgressWindow()
    {
        Destroy();
    }
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    bool Create(HWND owner)
    {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = &ProgressWindow::Thunk;
        windowClass.hInstance = Module();
        windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
        windowClass.lpszClassName = ProgressClassName;
        ::RegisterClassExW(&windowClass); // fails harmlessly when registered already

        RECT frame{0, 0, 360, 120};
        const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
        ::AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
        window_ = ::CreateWindowExW(WS_EX_DLGMODALFRAME, ProgressClassName, ProductName, style, x, y, width, height,
                                    owner, nullptr, Module(), this);
        if (window_ == nullptr)
            return false;
        const HFONT font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
        auto control = [&](const wchar_t* className, const wchar_t* text, DWORD controlStyle, int left, int top,
                           int controlWidth, int controlHeight, int id) {
            const HWND child = ::CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | controlStyle, left, top,
                                                 controlWidth, controlHeight, window_,
                                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Module(), nullptr);
            ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
            return child;
        };
        control(L"STATIC", DownloadingText, SS_LEFT, 12, 10, 336, 16, -1);
        bar_ = control(PROGRESS_CLASSW, L"", 0, 12, 30, 336, 16, ProgressBarId);
        ::SendMessageW(bar_, PBM_SETRANGE32, 0, BarSteps);
        control(L"STATIC", ProgressText(0, 0).c_str(), SS_LEFT, 12, 52, 336, 16, ProgressTextId);
        control(L"BUTTON", L"Cancel", BS_DEFPUSHBUTTON | WS_TABSTOP, 268, 82, 80, 26, IDCANCEL);
        if (owner != nullptr && ::IsWindowEnabled(owner))
        {
            // Modal to its owner, as a dialog would be: nothing else is started from there meanwhile.
            owner_ = owner;
            ::EnableWindow(owner_, FALSE);
        }
        ::ShowWindow(window_, SW_SHOWNORMAL);
        ::UpdateWindow(window_);
        return true;
    }

    void Destroy()
    {
        if (owner_ != nullptr)
            ::EnableWindow(owner_, TRUE); // before the window goes, so that the owner gets the activation back
        owner_ = nullptr;
        if (window_ != nullptr)
            ::DestroyWindow(window_);
        window_ = nullptr;
    }

    void Show(unsigned long long received, unsigned long long total)
    {
        ::SetDlgItemTextW(window_, ProgressTextId, ProgressText(received, total).c_str());
        const int position =
            total == 0 ? 0 : static_cast<int>(std::min<unsigned long long>(received, total) * BarSteps / total);
        ::SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }

    [[nodiscard]] HWND Handle() const
    {
        return window_;
    }
    [[nodiscard]] bool CancelRequested() const
    {
        return cancelRequested_;
    }

  private:
    static HINSTANCE Module()
    {
        return ModuleInstance != nullptr ? ModuleInstance : ::GetModuleHandleW(nullptr);
    }

    static LRESULT CALLBACK Thunk(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
    {
        if (message == WM_NCCREATE)
        {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<ProgressWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr && (message == WM_CLOSE || (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)))
        {
            self->cancelRequested_ = true;
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
    HWND owner_ = nullptr;
    HWND bar_ = nullptr;
    bool cancelRequested_ = false;
};
} // namespace

std::wstring ProgressText(unsigned long long received, unsigned long long total)
{
    if (total == 0)
        return GroupedKilobytes(received) + L" received";
    return GroupedKilobytes(received) + L" of " + GroupedKilobytes(total) + L" received";
}

TransferResult DownloadWithProgress(HWND owner, const std::wstring& url, std::vector<unsigned char>& bytes,
                                    size_t limit, const ProgressSettings& settings)
{
    bytes.clear();
    ProgressWindow window;
    if (!window.Create(owner))
        return TransferResult::Failed;
    const HWND handle = window.Handle();

    TransferControl control;
    std::vector<unsigned char> body;
    std::atomic<bool> done{false};
    bool complete = false;
    std::thread worker;
    try
    {
        worker = std::thread([&] {
            complete = DownloadToMemory(url, body, limit, &control, settings.stallLimitMs);
            done = true;
            ::PostMessageW(handle, WM_PROGRESS_WORKER_DONE, 0, 0);
        });
    }
    catch (...)
    {
        return TransferResult::Failed;
    }
    if (settings.shown)
        settings.shown(handle);

    bool ending = false;
    bool quit = false;
    WPARAM quitCode = 0;
    while (!done)
    {
        const HANDLE events[] = {settings.exitEvent};
        const DWORD count = settings.exitEvent != nullptr ? 1 : 0;
        if (::MsgWaitForMultipleObjects(count, events, FALSE, RefreshMs, QS_ALLINPUT) == WAIT_OBJECT_0 && count == 1)
        {
            ending = true;
            break;
        }
        MSG message;
        while (!quit && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        {
            if (message.message == WM_QUIT)
            {
                quit = true;
                quitCode = message.wParam;
                break;
            }
            if (!::IsDialogMessageW(handle, &message))
            {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
        if (quit)
        {
            ending = true;
            break;
        }
        if (window.CancelRequested())
            break;
        window.Show(control.Received(), control.Total());
        // The worker's own receive time-out covers a stalled read; this covers everything else.
        if (::GetTickCount64() - control.LastProgressTick() > settings.stallLimitMs)
            break;
    }
    const bool finished = done.load();
    if (!finished)
        control.Stop();
    worker.join();
    window.Destroy();
    if (quit)
        ::PostQuitMessage(static_cast<int>(quitCode));
    if (ending)
        return TransferResult::Ended;
    if (!finished || !complete || window.CancelRequested())
        return TransferResult::Failed;
    bytes = std::move(body);
    return TransferResult::Complete;
}
