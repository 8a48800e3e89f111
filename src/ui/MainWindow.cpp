#include "ui/MainWindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <string>
#include <utility>
#include <vector>

#include "app/Globals.h"
#include "app/Handles.h"
#include "enforce/Monitor.h"
#include "rules/RuleList.h"
#include "setup/Updater.h"
#include "ui/CoreGraph.h"
#include "ui/MainWindowText.h"
#include "ui/PrivateMessages.h"
#include "ui/UiPlatform.h"
#include "ui/resource.h"

namespace
{
constexpr UINT_PTR GraphTimerId = 1;
constexpr UINT GraphTimerMs = 1000;

// The main window's state. It outlives each opening of the window (one modal dialog at a time
// on the UI thread), so that the status event is registered once and the graph is built anew
// from the same object at every opening.
class MainWindow
{
  public:
    static MainWindow& Instance()
    {
        static MainWindow state;
        return state;
    }

    INT_PTR Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void UseGraphSource(CoreTopology topology, std::optional<ULONG> highestNode, SamplerFactory samplerFactory)
    {
        graph_.UseSource(std::move(topology), highestNode, std::move(samplerFactory));
    }

  private:
    MainWindow() = default;

    BOOL OnInitDialog(HWND window);
    void OnCommand(WPARAM wParam);
    void OnDestroy();
    void CreateStatusBar();
    void PlaceGraph();
    void ColourGraph();
    void LoadRows();
    void SetCheckMarks();
    void RefreshStatus();
    void SetStatusEdges();
    void SaveRules();
    void AddEntry();
    void EditRow();
    void AnnounceChange();
    LRESULT List(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    static void CALLBACK OnGraphTimer(HWND, UINT, UINT_PTR, DWORD);

    HWND window_ = nullptr;
    HWND statusBar_ = nullptr;
    StatusModel status_;
    std::wstring pendingEditText_;
    bool statusEventRegistered_ = false;
    // Loaded at the first opening and kept, like the marker, instead of once per opening.
    UniqueIcon bigIcon_;
    // Declared before the graph, which keeps a non-owning copy of the handle.
    UniqueGdiObject marker_;
    bool markerLoaded_ = false;
    CoreGraph graph_;
};

LRESULT MainWindow::List(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendDlgItemMessageW(window_, IDC_RULE_LIST, message, wParam, lParam);
}

INT_PTR MainWindow::Handle(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message)
    {
    case WM_INITDIALOG:
        return OnInitDialog(window);
    case WM_COMMAND:
        OnCommand(wParam);
        return TRUE;
    case WM_CLOSE:
        ::EndDialog(window, 1);
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    case WM_SIZE:
        if (statusBar_ != nullptr)
            ::SendMessageW(statusBar_, WM_SIZE, 0, 0);
        return 0;
    case WM_ENTERMENULOOP:
        SetCheckMarks();
        return 0;
    case WM_MAIN_REFRESH_STATUS:
        RefreshStatus();
        return 0;
    case WM_MAIN_SAVE_RULES:
        SaveRules();
        return 0;
    default:
        // Colour and theme messages included: the window keeps the system's standard look.
        return FALSE;
    }
}

BOOL MainWindow::OnInitDialog(HWND window)
{
    window_ = window;
    MainWindowHandle = window;
    status_ = StatusModel{};

    if (!bigIcon_)
        bigIcon_.Reset(static_cast<HICON>(
            ::LoadImageW(ModuleInstance, MAKEINTRESOURCEW(IDI_TERNVALE), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                         ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR)));
    ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.Get()));

    CreateStatusBar();
    PlaceGraph();
    ColourGraph();
    graph_.ShowAll();
    ::ShowWindow(graph_.Window(), SW_SHOWNORMAL);
    graph_.StartSampling();
    ::SetTimer(window, GraphTimerId, GraphTimerMs, &MainWindow::OnGraphTimer);

    ::SetMenu(window, ::LoadMenuW(ModuleInstance, MAKEINTRESOURCEW(IDM_MAIN)));
    ::SetDlgItemTextW(window, IDC_INTRO_TEXT, LoadResourceString(IDS_INTRO).c_str());
    LoadRows();

    if (!statusEventRegistered_)
    {
        AppMonitor.AddPassNotifyEvent(StatusEvent.Get());
        statusEventRegistered_ = true;
    }
    ::SendMessageW(window, WM_MAIN_REFRESH_STATUS, 0, 0);
    return TRUE;
}

void MainWindow::CreateStatusBar()
{
    statusBar_ =
        ::CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, window_,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS_BAR)), ModuleInstance, nullptr);
    int edges[StatusPartCount] = {};
    ::SendMessageW(statusBar_, SB_SETPARTS, StatusPartCount, reinterpret_cast<LPARAM>(edges));
}

void MainWindow::PlaceGraph()
{
    RECT placeholder{};
    ::GetWindowRect(::GetDlgItem(window_, IDC_GRAPH_PLACEHOLDER), &placeholder);
    POINT topLeft{placeholder.left, placeholder.top};
    ::ScreenToClient(window_, &topLeft);
    if (!graph_.IsClassRegistered())
        graph_.RegisterGraphClass();
    graph_.Build(window_, topLeft.x, topLeft.y, placeholder.right - placeholder.left,
                 placeholder.bottom - placeholder.top);
}

void MainWindow::ColourGraph()
{
    graph_.TextColour = ::GetSysColor(COLOR_WINDOWTEXT);
    graph_.LoadFillColour = RGB(50, 130, 25);
    graph_.ApplyColours();
    graph_.FrameColour = ::GetSysColor(COLOR_ACTIVEBORDER);
    graph_.ApplyColours();
    graph_.BarBackgroundColour = ::GetSysColor(COLOR_BTNFACE);
    graph_.ApplyColours();
    graph_.WindowBackgroundColour = ::GetSysColor(COLOR_BTNFACE);
    graph_.ApplyColours();
    graph_.ParkedFillColour = RGB(172, 172, 172);
    graph_.ApplyColours();

    if (!markerLoaded_)
    {
        marker_.Reset(
            ::LoadImageW(ModuleInstance, MAKEINTRESOURCEW(IDB_EFFICIENCY_MARKER), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
        markerLoaded_ = true;
    }
    graph_.Marker = static_cast<HBITMAP>(marker_.Get());
    graph_.MarkerAndMode = true;
    graph_.MarkerSize = BITMAP{};
    if (marker_)
        ::GetObjectW(marker_.Get(), sizeof(graph_.MarkerSize), &graph_.MarkerSize);
    graph_.ApplyColours();
}

void MainWindow::LoadRows()
{
    ProcessRuleList list;
    if (LoadRuleList(RuleListPath, list) <= 0)
        return;
    for (const std::wstring& pattern : list)
        List(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(pattern.c_str()));
}

void MainWindow::OnCommand(WPARAM wParam)
{
    if (GET_WM_COMMAND_CMD(wParam, 0) == LBN_DBLCLK)
    {
        EditRow();
        return;
    }
    switch (GET_WM_COMMAND_ID(wParam, 0))
    {
    case IDOK:
        ::EndDialog(window_, 0);
        break;
    case IDC_ADD:
        AddEntry();
        break;
    case IDC_REMOVE: {
        const LRESULT selected = List(LB_GETCURSEL);
        if (selected != LB_ERR)
            List(LB_DELETESTRING, static_cast<WPARAM>(selected));
        AnnounceChange();
        break;
    }
    case IDC_CLEAR_ALL:
        List(LB_RESETCONTENT);
        AnnounceChange();
        break;
    case IDM_MINIMIZE_TO_TRAY:
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
        break;
    case IDM_ABOUT:
        ::DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_ABOUT), nullptr, &AboutDialogProc, 0);
        break;
    case IDM_INCLUDE_BETAS:
        SetBetaUpdates(!GetBetaUpdates());
        break;
    case IDM_CHECK_FOR_UPDATE:
        // Blocks this thread for the length of the request, as the user asked for it.
        Ui().CheckForUpdate(window_);
        break;
    case IDM_EFFICIENCY_MODE_OFF:
        GlobalSettings.Toggle(MethodEfficiencyModeName, true);
        break;
    case IDM_CPU_AFFINITIES:
        GlobalSettings.Toggle(MethodCPUAffinityName, false);
        break;
    case IDM_CPU_SETS:
        GlobalSettings.Toggle(MethodCPUSetsName, false);
        break;
    default:
        // IDCANCEL (Escape) included: the window stays open.
        break;
    }
}

void MainWindow::AddEntry()
{
    // Taken out of the shared state before the dialog runs: the main window stays enabled, so
    // another edit may start while this dialog is open, and each must restore its own row.
    const std::wstring pending = std::exchange(pendingEditText_, std::wstring());
    std::wstring text = pending;
    const INT_PTR result = ::DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_ADD_ENTRY), nullptr,
                                             &AddEntryDialogProc, reinterpret_cast<LPARAM>(&text));
    const bool listed =
        result == 0 && !text.empty() &&
        List(LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str())) != LB_ERR;
    switch (DecideAdd(result, text, pending, listed))
    {
    case AddOutcome::RestorePendingRow:
        List(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(pending.c_str()));
        break;
    case AddOutcome::RefuseDuplicate:
        Ui().ShowMessage(window_, L"ERROR: Item already in list", ProductName, MB_ICONERROR);
        break;
    case AddOutcome::AddRow:
        List(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        AnnounceChange();
        break;
    case AddOutcome::Nothing:
        break;
    }
}

void MainWindow::EditRow()
{
    const LRESULT row = List(LB_GETCURSEL);
    // LB_ERR (no selection) fails this test as well.
    if (!RowFitsBuffer(List(LB_GETTEXTLEN, static_cast<WPARAM>(row))))
        return;
    wchar_t buffer[RowBufferLength] = {};
    List(LB_GETTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(buffer));
    List(LB_DELETESTRING, static_cast<WPARAM>(row));
    pendingEditText_ = buffer;
    ::SendMessageW(window_, WM_COMMAND, MAKEWPARAM(IDC_ADD, 0), 0);
}

void MainWindow::AnnounceChange()
{
    ::SendMessageW(window_, WM_MAIN_SAVE_RULES, 0, 0);
    if (const HWND tray = TrayWindowHandle.load())
        ::SendMessageW(tray, WM_TRAY_RULES_CHANGED, 0, 0);
}

void MainWindow::SaveRules()
{
    std::vector<std::wstring> rows;
    const LRESULT count = List(LB_GETCOUNT);
    for (LRESULT row = 0; row < count; ++row)
    {
        if (!RowFitsBuffer(List(LB_GETTEXTLEN, static_cast<WPARAM>(row))))
            continue;
        wchar_t buffer[RowBufferLength] = {};
        List(LB_GETTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(buffer));
        rows.emplace_back(buffer);
    }
    SaveRuleList(RuleListPath, RowsToSave(rows));
}

void MainWindow::SetCheckMarks()
{
    const HMENU menu = ::GetMenu(window_);
    if (menu == nullptr)
        return;
    const auto check = [menu](UINT command, bool on) {
        ::CheckMenuItem(menu, command, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
    };
    bool on = false;
    check(IDM_INCLUDE_BETAS, GetBetaUpdates());
    GlobalSettings.GetBool(MethodEfficiencyModeName, on, true);
    check(IDM_EFFICIENCY_MODE_OFF, on);
    GlobalSettings.GetBool(MethodCPUAffinityName, on, false);
    check(IDM_CPU_AFFINITIES, on);
    GlobalSettings.GetBool(MethodCPUSetsName, on, false);
    check(IDM_CPU_SETS, on);
}

void MainWindow::RefreshStatus()
{
    if (statusBar_ == nullptr)
        return;
    const LONG state = AppMonitor.MonitorState();
    const DWORD scanned = GetCounter(LastScannedCountName);
    const DWORD matched = GetCounter(CurrentEnforcedCountName);
    double efficient = 0.0;
    double performance = 0.0;
    graph_.AverageLoad(true, efficient);
    graph_.AverageLoad(false, performance);

    const StatusChanges changes =
        UpdateStatusModel(status_, state, scanned, matched, ShownUsage(performance), ShownUsage(efficient));
    for (const int part : changes.PartsToWrite)
        ::SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(part),
                       reinterpret_cast<LPARAM>(status_.ShownTexts[part].c_str()));
    if (changes.SetEdges)
        SetStatusEdges();
}

void MainWindow::SetStatusEdges()
{
    const WindowDc dc(statusBar_);
    if (dc.Get() == nullptr)
        return;
    const auto font = reinterpret_cast<HGDIOBJ>(::SendMessageW(statusBar_, WM_GETFONT, 0, 0));
    std::array<int, StatusPartCount> widths{};
    {
        // Measured with the bar's own font; the system font is wider.
        const SelectObjectRestorer restore(dc.Get(), font != nullptr ? font : ::GetCurrentObject(dc.Get(), OBJ_FONT));
        for (int part = 0; part < StatusPartCount; ++part)
        {
            SIZE size{};
            const std::wstring& text = status_.StatusTexts[part];
            ::GetTextExtentPoint32W(dc.Get(), text.c_str(), static_cast<int>(text.size()), &size);
            widths[part] = size.cx;
        }
    }
    std::array<int, StatusPartCount> edges = StatusPartEdges(widths);
    ::SendMessageW(statusBar_, SB_SETPARTS, StatusPartCount, reinterpret_cast<LPARAM>(edges.data()));
}

void MainWindow::OnDestroy()
{
    ::DestroyWindow(statusBar_);
    statusBar_ = nullptr;
    MainWindowHandle = nullptr;
    // Ends the sampler under the graph lock; the graph window goes with its parent.
    graph_.StopSampling();
    window_ = nullptr;
}

void CALLBACK MainWindow::OnGraphTimer(HWND, UINT, UINT_PTR, DWORD)
{
    Instance().graph_.Tick();
}
} // namespace

void SetMainWindowGraphSource(CoreTopology topology, std::optional<ULONG> highestNode, SamplerFactory samplerFactory)
{
    MainWindow::Instance().UseGraphSource(std::move(topology), highestNode, std::move(samplerFactory));
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    try
    {
        return MainWindow::Instance().Handle(window, message, wParam, lParam);
    }
    catch (...)
    {
        // Nothing may unwind into the dialog manager; the window carries on as far as it can.
        return FALSE;
    }
}

INT_PTR CALLBACK AddEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG: {
        if (lParam == 0)
            return FALSE;
        ::SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
        const auto* text = reinterpret_cast<const std::wstring*>(lParam);
        if (!text->empty())
            ::SetDlgItemTextW(dialog, IDC_ENTRY_TEXT, text->c_str());
        ::PostMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(dialog, IDC_ENTRY_TEXT)), TRUE);
        return TRUE;
    }
    case WM_COMMAND:
        if (GET_WM_COMMAND_ID(wParam, lParam) == IDOK)
        {
            wchar_t buffer[RowBufferLength] = {};
            // One less than the buffer: at most 1022 characters are taken.
            ::GetWindowTextW(::GetDlgItem(dialog, IDC_ENTRY_TEXT), buffer, RowBufferLength - 1);
            if (auto* text = reinterpret_cast<std::wstring*>(::GetWindowLongPtrW(dialog, GWLP_USERDATA)))
                *text = buffer;
            ::EndDialog(dialog, 0);
            return TRUE;
        }
        if (GET_WM_COMMAND_ID(wParam, lParam) == IDCANCEL)
        {
            ::SendMessageW(dialog, WM_CLOSE, 0, 0);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        ::EndDialog(dialog, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message)
    {
    case WM_INITDIALOG:
        ::SetWindowTextW(dialog, L"About Ternvale");
        ::SetDlgItemTextW(dialog, IDC_ABOUT_TEXT, AboutText(SiteAddress(ErrorPageUrl)).c_str());
        return TRUE;
    case WM_COMMAND:
        if (wParam == IDOK)
        {
            ::SendMessageW(dialog, WM_CLOSE, 0, 0);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        ::EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}
