// The real main window (dialog 101) under Wine, driven with window messages from the test thread
// while its own thread runs it modally: the list and its file, the Add New Entry dialog, the
// status bar, the menu's check marks and commands.

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "app/Globals.h"
#include "cpu/UtilisationSampler.h"
#include "enforce/EnforcementPass.h"
#include "enforce/Monitor.h"
#include "support/ChosenCounters.h"
#include "support/ProcessorBuffer.h"
#include "support/TestSupport.h"
#include "ui/MainWindow.h"
#include "ui/PrivateMessages.h"
#include "ui/resource.h"

using namespace ui_testing;
using testing_support::ScratchRegistryKey;

namespace
{
std::atomic<int> RulesChangedCount{0};

LRESULT CALLBACK RecordingTrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TRAY_RULES_CHANGED)
        ++RulesChangedCount;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// Stands in for the tray window: only counts the change announcements.
HWND CreateRecordingTray()
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &RecordingTrayProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TernvaleTestRecordingTray";
    ::RegisterClassExW(&windowClass);
    return ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             windowClass.hInstance, nullptr);
}

// Counts what the status bar is sent, in front of its own procedure.
struct StatusBarSpy
{
    static inline std::atomic<int> SetTexts{0};
    static inline std::atomic<int> SetParts{0};
    static inline WNDPROC Original = nullptr;

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == SB_SETTEXTW)
            ++SetTexts;
        if (message == SB_SETPARTS)
            ++SetParts;
        return ::CallWindowProcW(Original, window, message, wParam, lParam);
    }
};

class MainWindowTest : public UiTest
{
  protected:
    void SetUp() override
    {
        UiTest::SetUp();
        RulesChangedCount = 0;
    }

    void TearDown() override
    {
        if (ui_)
        {
            if (const HWND main = MainWindowHandle.load())
                ::PostMessageW(main, WM_COMMAND, IDOK, 0);
            EXPECT_TRUE(ui_->Join());
        }
        UiTest::TearDown();
    }

    void Open()
    {
        ui_ = std::make_unique<UiThread>([this] {
            const HWND tray = CreateRecordingTray();
            TrayWindowHandle = tray;
            result_ = ::DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, &MainWindowProc, 0);
            TrayWindowHandle = nullptr;
            ::DestroyWindow(tray);
        });
        ASSERT_TRUE(WaitUntil([] { return MainWindowHandle.load() != nullptr; }));
        main_ = MainWindowHandle.load();
        // The handle is set first thing in WM_INITDIALOG; a sent message waits for the rest.
        Sync(main_);
        list_ = ::GetDlgItem(main_, IDC_RULE_LIST);
    }

    // Waits for the main window to close and gives its dialog result.
    INT_PTR WaitForClose()
    {
        EXPECT_TRUE(ui_->Join());
        ui_.reset();
        return result_;
    }

    std::vector<std::wstring> Rows() const
    {
        std::vector<std::wstring> rows;
        const LRESULT count = ::SendMessageW(list_, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i)
        {
            std::wstring row(static_cast<size_t>(::SendMessageW(list_, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
            row.resize(static_cast<size_t>(::SendMessageW(list_, LB_GETTEXT, i, reinterpret_cast<LPARAM>(row.data()))));
            rows.push_back(row);
        }
        return rows;
    }

    HWND StartAdd() const
    {
        ::PostMessageW(main_, WM_COMMAND, IDC_ADD, 0);
        return WaitForDialog(L"Add New Entry");
    }

    // Double-clicks the row (or, with -1, the list without a selection).
    void DoubleClick(int row) const
    {
        ::SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(row), 0);
        ::PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDC_RULE_LIST, LBN_DBLCLK), reinterpret_cast<LPARAM>(list_));
    }

    // OK with the text, or Cancel when text is null; returns once the main window has finished.
    void FinishAdd(HWND dialog, const wchar_t* text) const
    {
        ASSERT_NE(dialog, nullptr);
        if (text != nullptr)
        {
            ::SetDlgItemTextW(dialog, IDC_ENTRY_TEXT, text);
            ::SendMessageW(dialog, WM_COMMAND, IDOK, 0);
        }
        else
        {
            ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        }
        ASSERT_TRUE(WaitUntil([dialog] { return !::IsWindow(dialog); }));
        Sync(main_);
    }

    void Add(const wchar_t* text) const
    {
        FinishAdd(StartAdd(), text);
    }

    void Command(UINT id) const
    {
        ::SendMessageW(main_, WM_COMMAND, id, 0);
    }

    std::wstring FileText() const
    {
        return ReadRuleFile(RuleListPath);
    }

    std::unique_ptr<UiThread> ui_;
    INT_PTR result_ = -2;
    HWND main_ = nullptr;
    HWND list_ = nullptr;
};

// A file content that no save of the window can produce: any save replaces it.
const wchar_t Untouched[] = L"untouched-marker.exe\r\n";

TEST_F(MainWindowTest, ADuplicateInAnyCaseIsRefusedAndSavesNothing)
{
    WriteRuleFile(RuleListPath, L"abcdef.exe\r\n");
    Open();
    WriteRuleFile(RuleListPath, Untouched);

    Add(L"ABCDEF.EXE");
    const std::vector<ShownMessage> messages = fake_.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, L"ERROR: Item already in list");
    EXPECT_EQ(messages[0].caption, L"Ternvale");
    EXPECT_EQ(messages[0].flags, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(messages[0].owner, main_);
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"abcdef.exe"}));
    EXPECT_EQ(FileText(), Untouched);
    EXPECT_EQ(RulesChangedCount, 0);

    // A prefix and a longer name are different entries.
    Add(L"abc");
    EXPECT_EQ(FileText(), L"abc\r\nabcdef.exe\r\n");
    EXPECT_EQ(RulesChangedCount, 1);
    Add(L"abcdef.exe2");
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"abc", L"abcdef.exe", L"abcdef.exe2"}));
    EXPECT_EQ(FileText(), L"abc\r\nabcdef.exe\r\nabcdef.exe2\r\n");
    EXPECT_EQ(RulesChangedCount, 2);
    EXPECT_EQ(fake_.Messages().size(), 1u);
}

TEST_F(MainWindowTest, APathPatternIsARowLikeAnyOther)
{
    Open();
    Add(L"C:\\Games\\*");
    Add(L"*\\steamapps\\common\\*");
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"*\\steamapps\\common\\*", L"C:\\Games\\*"}));
    EXPECT_EQ(FileText(), L"*\\steamapps\\common\\*\r\nC:\\Games\\*\r\n");
    EXPECT_EQ(RulesChangedCount, 2);

    Add(L"c:\\GAMES\\*");
    ASSERT_EQ(fake_.Messages().size(), 1u);
    EXPECT_EQ(fake_.Messages()[0].text, L"ERROR: Item already in list");
    EXPECT_EQ(RulesChangedCount, 2);
}

TEST_F(MainWindowTest, OkWithAnEmptyFieldOrCancelAddsAndSavesNothing)
{
    WriteRuleFile(RuleListPath, L"a.exe\r\n");
    Open();
    WriteRuleFile(RuleListPath, Untouched);

    Add(L"");
    FinishAdd(StartAdd(), nullptr);
    HWND dialog = StartAdd();
    ASSERT_NE(dialog, nullptr);
    ::SendMessageW(dialog, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([dialog] { return !::IsWindow(dialog); }));
    Sync(main_);

    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"a.exe"}));
    EXPECT_EQ(FileText(), Untouched);
    EXPECT_EQ(RulesChangedCount, 0);
    EXPECT_TRUE(fake_.Messages().empty());
}

TEST_F(MainWindowTest, TextBeyondTenTwentyTwoCharactersIsCut)
{
    Open();
    const std::wstring typed(1500, L'x');
    Add(typed.c_str());
    const std::wstring kept(1022, L'x');
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{kept}));
    EXPECT_EQ(FileText(), kept + L"\r\n");
}

TEST_F(MainWindowTest, EditingARowTakesItOutAndTheDialogDecidesWhatComesBack)
{
    struct Row
    {
        const char* name;
        const wchar_t* typed; // null: Cancel
        std::vector<std::wstring> rows;
        std::wstring file;
        int announcements;
        size_t messages;
    };
    const std::wstring original = L"a.exe\r\nb.exe\r\n";
    const Row rows[] = {
        {"cancel puts the row back", nullptr, {L"a.exe", L"b.exe"}, Untouched, 0, 0},
        {"a new text replaces the row", L"c.exe", {L"b.exe", L"c.exe"}, L"b.exe\r\nc.exe\r\n", 1, 0},
        {"the same text comes back", L"a.exe", {L"a.exe", L"b.exe"}, original, 1, 0},
        // The row stays out of the list box, but no save is made: the file keeps it for now.
        {"an empty text drops the row", L"", {L"b.exe"}, Untouched, 0, 0},
        {"a listed text drops the row and warns", L"B.EXE", {L"b.exe"}, Untouched, 0, 1},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        WriteRuleFile(RuleListPath, original);
        RulesChangedCount = 0;
        fake_.Clear();
        Open();
        WriteRuleFile(RuleListPath, Untouched);

        DoubleClick(0);
        const HWND dialog = WaitForDialog(L"Add New Entry");
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(WindowText(::GetDlgItem(dialog, IDC_ENTRY_TEXT)), L"a.exe");
        EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"b.exe"})) << "the row is out while it is edited";
        FinishAdd(dialog, row.typed);

        EXPECT_EQ(Rows(), row.rows);
        EXPECT_EQ(FileText(), row.file);
        EXPECT_EQ(RulesChangedCount, row.announcements);
        EXPECT_EQ(fake_.Messages().size(), row.messages);
        Command(IDOK);
        EXPECT_EQ(WaitForClose(), 0);
    }
}

TEST_F(MainWindowTest, ARowEditedToEmptyLeavesTheFileAtTheNextSave)
{
    WriteRuleFile(RuleListPath, L"a.exe\r\nb.exe\r\n");
    Open();
    DoubleClick(0);
    FinishAdd(WaitForDialog(L"Add New Entry"), L"");
    EXPECT_EQ(FileText(), L"a.exe\r\nb.exe\r\n");
    Add(L"c.exe");
    EXPECT_EQ(FileText(), L"b.exe\r\nc.exe\r\n");
}

TEST_F(MainWindowTest, TwoEditsOpenAtOnceEachPutTheirOwnRowBack)
{
    // The entry dialogs have no owner, so the list stays usable while one is open.
    WriteRuleFile(RuleListPath, L"a.exe\r\nb.exe\r\n");
    Open();
    WriteRuleFile(RuleListPath, Untouched);
    DoubleClick(0);
    const HWND first = WaitForDialog(L"Add New Entry");
    ASSERT_NE(first, nullptr);
    DoubleClick(0);
    HWND second = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        for (HWND dialog : FindDialogs(L"Add New Entry"))
            if (dialog != first)
                second = dialog;
        return second != nullptr;
    }));
    EXPECT_EQ(WindowText(::GetDlgItem(first, IDC_ENTRY_TEXT)), L"a.exe");
    EXPECT_EQ(WindowText(::GetDlgItem(second, IDC_ENTRY_TEXT)), L"b.exe");
    EXPECT_TRUE(Rows().empty());

    FinishAdd(second, nullptr);
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"b.exe"}));
    FinishAdd(first, nullptr);
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"a.exe", L"b.exe"}));
    EXPECT_EQ(FileText(), Untouched);
}

TEST_F(MainWindowTest, ADoubleClickWithoutSelectionOrOnAnOverlongRowOpensNothing)
{
    const std::wstring overlong(1024, L'z');
    WriteRuleFile(RuleListPath, L"a.exe\r\n" + overlong + L"\r\n");
    Open();
    for (int row : {-1, 1})
    {
        SCOPED_TRACE(row);
        ::SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(row), 0);
        // Sent, not posted: an Add New Entry dialog would keep the call from returning in time.
        DWORD_PTR ignored = 0;
        EXPECT_NE(::SendMessageTimeoutW(main_, WM_COMMAND, MAKEWPARAM(IDC_RULE_LIST, LBN_DBLCLK),
                                        reinterpret_cast<LPARAM>(list_), SMTO_NORMAL, 3000, &ignored),
                  0);
        EXPECT_EQ(FindDialog(L"Add New Entry"), nullptr);
        EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"a.exe", overlong}));
    }
}

TEST_F(MainWindowTest, RemoveWithoutSelectionStillSavesAndAnnounces)
{
    WriteRuleFile(RuleListPath, L"a.exe\r\nb.exe\r\n");
    Open();
    WriteRuleFile(RuleListPath, Untouched);
    ::SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    Command(IDC_REMOVE);
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"a.exe", L"b.exe"}));
    EXPECT_EQ(FileText(), L"a.exe\r\nb.exe\r\n");
    EXPECT_EQ(RulesChangedCount, 1);

    ::SendMessageW(list_, LB_SETCURSEL, 0, 0);
    Command(IDC_REMOVE);
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"b.exe"}));
    EXPECT_EQ(FileText(), L"b.exe\r\n");
    EXPECT_EQ(RulesChangedCount, 2);
}

TEST_F(MainWindowTest, ClearAllSavesAnEmptyListWithoutAsking)
{
    WriteRuleFile(RuleListPath, L"a.exe\r\nb.exe\r\n");
    Open();
    Command(IDC_CLEAR_ALL);
    EXPECT_TRUE(Rows().empty());
    EXPECT_TRUE(testing_support::FileExists(RuleListPath));
    EXPECT_EQ(FileText(), L"");
    EXPECT_EQ(RulesChangedCount, 1);
    EXPECT_TRUE(fake_.Messages().empty());
}

TEST_F(MainWindowTest, RowsShowAndSaveInSortedOrder)
{
    WriteRuleFile(RuleListPath, L"b.exe\r\nA.exe\r\nc.exe\r\n");
    Open();
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"A.exe", L"b.exe", L"c.exe"}));
    Command(IDC_REMOVE);
    EXPECT_EQ(FileText(), L"A.exe\r\nb.exe\r\nc.exe\r\n");
}

TEST_F(MainWindowTest, EmptyAndOverlongRowsShowButAreNotSaved)
{
    const std::wstring overlong(1024, L'z');
    const std::wstring longest(1023, L'y');
    WriteRuleFile(RuleListPath, L"c.exe\r\n\r\n" + overlong + L"\r\n" + longest + L"\r\n");
    Open();
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"", L"c.exe", longest, overlong}));
    Command(IDC_REMOVE);
    EXPECT_EQ(FileText(), L"c.exe\r\n" + longest + L"\r\n");
}

TEST_F(MainWindowTest, EnterClosesWithResultZeroAndEscapeDoesNothing)
{
    Open();
    ::PostMessageW(list_, WM_KEYDOWN, VK_ESCAPE, 0);
    ::PostMessageW(list_, WM_KEYUP, VK_ESCAPE, 0);
    Command(IDCANCEL);
    Sync(main_);
    EXPECT_TRUE(::IsWindow(main_));
    EXPECT_EQ(MainWindowHandle.load(), main_);

    ::PostMessageW(list_, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(WaitForClose(), 0);
    EXPECT_EQ(MainWindowHandle.load(), nullptr);
}

TEST_F(MainWindowTest, TheCloseBoxAndMinimizeToTrayCloseWithResultOne)
{
    for (UINT how : {static_cast<UINT>(WM_CLOSE), static_cast<UINT>(IDM_MINIMIZE_TO_TRAY)})
    {
        SCOPED_TRACE(how);
        Open();
        if (how == WM_CLOSE)
            ::PostMessageW(main_, WM_CLOSE, 0, 0);
        else
            ::PostMessageW(main_, WM_COMMAND, IDM_MINIMIZE_TO_TRAY, 0);
        EXPECT_EQ(WaitForClose(), 1);
        EXPECT_EQ(MainWindowHandle.load(), nullptr);
    }
}

TEST_F(MainWindowTest, TheStatusBarShowsTheCountersAndRefreshesOnlyWhatChanged)
{
    ASSERT_TRUE(settings_.SetDword(L"LastScannedCount", 250));
    ASSERT_TRUE(settings_.SetDword(L"CurrentEnforcedCount", 12));
    Open();
    const HWND bar = ::GetDlgItem(main_, IDC_STATUS_BAR);
    ASSERT_NE(bar, nullptr);
    const auto partText = [bar](int part) {
        std::wstring text(256, L'\0');
        ::SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text.data()));
        return std::wstring(text.c_str());
    };
    EXPECT_EQ(::SendMessageW(bar, SB_GETPARTS, 0, 0), 4);
    EXPECT_EQ(partText(0), L"STOPPED");
    EXPECT_EQ(partText(1), L"P-Core usage: 0.00%");
    EXPECT_EQ(partText(2), L"E-Core usage: 0.00%");
    EXPECT_EQ(partText(3), L"Matched processes: 12 of 250");
    int edges[4] = {};
    ::SendMessageW(bar, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges));
    EXPECT_GT(edges[0], 20);
    EXPECT_LT(edges[0], edges[1]);
    EXPECT_LT(edges[1], edges[2]);
    EXPECT_EQ(edges[3], -1);

    StatusBarSpy::SetTexts = 0;
    StatusBarSpy::SetParts = 0;
    StatusBarSpy::Original = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&StatusBarSpy::Proc)));
    ::SendMessageW(main_, WM_MAIN_REFRESH_STATUS, 0, 0);
    ::SendMessageW(main_, WM_MAIN_REFRESH_STATUS, 0, 0);
    EXPECT_EQ(StatusBarSpy::SetTexts, 0);
    EXPECT_EQ(StatusBarSpy::SetParts, 0);

    ASSERT_TRUE(settings_.SetDword(L"CurrentEnforcedCount", 13));
    ::SendMessageW(main_, WM_MAIN_REFRESH_STATUS, 0, 0);
    EXPECT_EQ(StatusBarSpy::SetTexts, 1);
    EXPECT_EQ(StatusBarSpy::SetParts, 1);
    EXPECT_EQ(partText(3), L"Matched processes: 13 of 250");
    ::SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StatusBarSpy::Original));
}

TEST_F(MainWindowTest, CheckMarksFollowTheSettingsAndTheCommandsToggleThem)
{
    ScratchRegistryKey machine(L"Ternvale", HKEY_LOCAL_MACHINE);
    Open();
    const HMENU menu = ::GetMenu(main_);
    ASSERT_NE(menu, nullptr);
    const auto checked = [menu](UINT id) { return (::GetMenuState(menu, id, MF_BYCOMMAND) & MF_CHECKED) != 0; };
    const auto enterMenu = [this] { ::SendMessageW(main_, WM_ENTERMENULOOP, FALSE, 0); };

    enterMenu();
    EXPECT_TRUE(checked(IDM_EFFICIENCY_MODE_OFF)) << "on by default";
    EXPECT_FALSE(checked(IDM_CPU_AFFINITIES));
    EXPECT_FALSE(checked(IDM_CPU_SETS));
    EXPECT_FALSE(checked(IDM_INCLUDE_BETAS));

    struct Row
    {
        UINT command;
        const wchar_t* value;
        DWORD firstWrite;
    };
    const Row rows[] = {
        {IDM_EFFICIENCY_MODE_OFF, MethodEfficiencyModeName, 0},
        {IDM_CPU_AFFINITIES, MethodCPUAffinityName, 1},
        {IDM_CPU_SETS, MethodCPUSetsName, 1},
        {IDM_INCLUDE_BETAS, BetaUpdatesName, 1},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.value)));
        Command(row.command);
        DWORD data = 0xFF;
        ASSERT_TRUE(settings_.GetDword(row.value, data));
        EXPECT_EQ(data, row.firstWrite);
        enterMenu();
        EXPECT_EQ(checked(row.command), row.firstWrite == 1);
        Command(row.command);
        ASSERT_TRUE(settings_.GetDword(row.value, data));
        EXPECT_EQ(data, 1 - row.firstWrite);
        enterMenu();
        EXPECT_EQ(checked(row.command), row.firstWrite == 0);
    }
    DWORD machineBetas = 0xFF;
    EXPECT_TRUE(machine.GetDword(BetaUpdatesName, machineBetas));
    EXPECT_EQ(machineBetas, 0u) << "the machine-wide value follows";
}

TEST_F(MainWindowTest, AMethodToggleTakesEffectAtTheNextPassWithoutARestart)
{
    // This test program matches itself. Wine cannot switch power throttling, so every pass with
    // the efficiency method on reports its failure, and every pass with it off stays silent.
    static UniqueHandle pass(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring name = std::wstring(self).substr(std::wstring(self).find_last_of(L'\\') + 1);
    WriteRuleFile(RuleListPath, name + L"\r\n");
    AppMonitor.AddPassNotifyEvent(pass.Get());
    AppMonitor.StartMonitor();
    Open();
    testing_support::DebugOutputCapture capture;
    const std::wstring failure = L"ERROR: SetEfficiencyMode failed\n";
    // One pass may already be under way with the flags it read before the last change.
    const auto nextFullPass = [&capture] {
        ASSERT_EQ(::WaitForSingleObject(pass.Get(), 5000), WAIT_OBJECT_0);
        capture.Clear();
        ASSERT_EQ(::WaitForSingleObject(pass.Get(), 5000), WAIT_OBJECT_0);
    };

    nextFullPass();
    EXPECT_GE(capture.Count(failure), 1u);
    Command(IDM_EFFICIENCY_MODE_OFF);
    nextFullPass();
    EXPECT_EQ(capture.Count(failure), 0u);
    Command(IDM_EFFICIENCY_MODE_OFF);
    nextFullPass();
    EXPECT_GE(capture.Count(failure), 1u);
    EXPECT_TRUE(AppMonitor.IsMonitoring());
    AppMonitor.StopMonitor();
}

TEST_F(MainWindowTest, CheckForUpdateAsksTheUpdaterOnBehalfOfTheMainWindow)
{
    Open();
    Command(IDM_CHECK_FOR_UPDATE);
    EXPECT_EQ(fake_.UpdateCheckOwners(), std::vector<HWND>{main_});
    EXPECT_TRUE(fake_.InstallOwners().empty());
}

TEST_F(MainWindowTest, TheAboutBoxShowsItsFiveLinesAndClosesWithOk)
{
    Open();
    ::PostMessageW(main_, WM_COMMAND, IDM_ABOUT, 0);
    const HWND about = WaitForDialog(L"About Ternvale");
    ASSERT_NE(about, nullptr);
    const std::wstring text = WindowText(::GetDlgItem(about, IDC_ABOUT_TEXT));
    EXPECT_EQ(text.rfind(L"Ternvale v1.0.0.2\n", 0), 0u) << testing::PrintToString(text);
    EXPECT_NE(text.find(L"Orlenby"), std::wstring::npos);
    EXPECT_EQ(::IsWindowEnabled(main_), TRUE) << "the About box has no owner";
    ::SendMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([about] { return !::IsWindow(about); }));
    EXPECT_TRUE(::IsWindow(main_));
}

TEST_F(MainWindowTest, TheWindowCarriesItsIntroductionIconAndGraph)
{
    Open();
    EXPECT_EQ(WindowText(main_), L"Ternvale");
    EXPECT_EQ(WindowText(::GetDlgItem(main_, IDC_INTRO_TEXT)),
              L"Ternvale keeps processes from being automatically scheduled onto E-cores. Indicate the processes to "
              L"monitor in the list, and Ternvale will take care of the rest! ");
    EXPECT_NE(::SendMessageW(main_, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(main_, IDC_GRAPH_PLACEHOLDER)));

    const HWND graph = ::FindWindowExW(main_, nullptr, L"Orlenby_CPUCoreUtilizationGraph", nullptr);
    ASSERT_NE(graph, nullptr);
    EXPECT_TRUE(::IsWindowVisible(graph));
    RECT placeholder{};
    RECT graphRect{};
    ::GetWindowRect(::GetDlgItem(main_, IDC_GRAPH_PLACEHOLDER), &placeholder);
    ::GetWindowRect(graph, &graphRect);
    EXPECT_TRUE(::EqualRect(&placeholder, &graphRect));
}

TEST_F(MainWindowTest, EveryOpeningStartsFromTheFileAndAFreshStatusBar)
{
    WriteRuleFile(RuleListPath, L"a.exe\r\n");
    Open();
    Command(IDOK);
    EXPECT_EQ(WaitForClose(), 0);

    WriteRuleFile(RuleListPath, L"b.exe\r\n");
    Open();
    EXPECT_EQ(Rows(), (std::vector<std::wstring>{L"b.exe"}));
    const HWND bar = ::GetDlgItem(main_, IDC_STATUS_BAR);
    std::wstring text(64, L'\0');
    ::SendMessageW(bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text.data()));
    EXPECT_EQ(std::wstring(text.c_str()), L"STOPPED");
}

TEST(AddEntryDialog, WithoutATextPointerItStillClosesSafely)
{
    ModuleInstance = ::GetModuleHandleW(nullptr);
    INT_PTR result = -2;
    UiThread ui([&result] {
        result = ::DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_ADD_ENTRY), nullptr, &AddEntryDialogProc, 0);
    });
    const HWND dialog = WaitForDialog(L"Add New Entry");
    ASSERT_NE(dialog, nullptr);
    ::SetDlgItemTextW(dialog, IDC_ENTRY_TEXT, L"x.exe");
    ::SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(ui.Join());
    EXPECT_EQ(result, 0);
}

// A hybrid processor with chosen loads in the main window's graph: two hyper-threaded P-cores
// (processors 0 to 3, loads 70 to 76, average 73) and two E-cores (4 and 5, loads 20 and 30,
// average 25). The counters belong to the fixture, which outlives the window: its sampler reads them
// until the window has closed.
class HybridGraphTest : public MainWindowTest
{
  protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        testing_support::ProcessorBuffer buffer;
        buffer.CoreOfClass(1, 0x3).CoreOfClass(1, 0xC).CoreOfClass(0, 0x10).CoreOfClass(0, 0x20).Node(0, 0, 0x3F);
        const CoreTopology topology(buffer.Data(), buffer.Size());
        const LONG loads[] = {70, 72, 74, 76, 20, 30};
        for (DWORD index = 0; index < 6; ++index)
            counters_->SetLoad(0, index, loads[index]);
        SetMainWindowGraphSource(topology, 0, [counters = counters_, topology] {
            return std::make_unique<UtilisationSampler>(topology, 0, *counters);
        });
    }

    void TearDown() override
    {
        MainWindowTest::TearDown();
        SetMainWindowGraphSource(CoreTopology(), std::nullopt, [] { return std::make_unique<UtilisationSampler>(); });
    }

    std::wstring PartText(int part) const
    {
        std::wstring text(256, L'\0');
        ::SendMessageW(::GetDlgItem(main_, IDC_STATUS_BAR), SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text.data()));
        return text.c_str();
    }

    std::shared_ptr<testing_support::ChosenCounters> counters_ = std::make_shared<testing_support::ChosenCounters>();
};

// The graph takes new samples only from the window's one-second timer, so the loads reach the status
// bar only while the timer runs; each average goes to its own part.
TEST_F(HybridGraphTest, TheTimerKeepsSamplingAndEachCoreKindShowsItsOwnAverage)
{
    Open();
    const int atOpening = counters_->Collections();
    ASSERT_TRUE(WaitUntil([&] { return counters_->Collections() >= atOpening + 2; }))
        << "no samples after the opening: the timer does not tick";
    EXPECT_TRUE(WaitUntil([&] {
        ::SendMessageW(main_, WM_MAIN_REFRESH_STATUS, 0, 0);
        return PartText(1) != L"P-Core usage: 0.00%" && PartText(2) != L"E-Core usage: 0.00%";
    }));
    EXPECT_EQ(PartText(1), L"P-Core usage: 73.00%");
    EXPECT_EQ(PartText(2), L"E-Core usage: 25.00%");
}

// After the window has opened, every pass of the program's monitor signals the status event, which
// is what makes the status bar follow the passes.
TEST_F(MainWindowTest, OpeningRegistersTheStatusEventWithTheMonitor)
{
    Open();
    ::ResetEvent(StatusEvent.Get());
    EnforcementPass(AppMonitor, ProcessRuleList{});
    EXPECT_EQ(::WaitForSingleObject(StatusEvent.Get(), 0), WAIT_OBJECT_0);
}

} // namespace
