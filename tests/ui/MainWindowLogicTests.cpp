// The main window's and the tray window's rules that need no window: status texts and their
// change tracking, part edges, row rules, Add outcomes, icon records and retries, icon events.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ui/MainWindowText.h"
#include "ui/PrivateMessages.h"
#include "ui/TrayWindow.h"

namespace
{

TEST(StatusTexts, FormatsEachPart)
{
    struct Row
    {
        const char* name;
        std::wstring actual;
        std::wstring expected;
    };
    const Row rows[] = {
        {"state 0", MonitorStateText(0), L"STOPPED"},
        {"state 1", MonitorStateText(1), L"MONITORING"},
        {"state 2", MonitorStateText(2), L"ERROR"},
        {"state 3", MonitorStateText(3), L"UNKNOWN"},
        {"state -1", MonitorStateText(-1), L"UNKNOWN"},
        {"P usage 37.25", PCoreUsageText(ShownUsage(37.25)), L"P-Core usage: 37.25%"},
        {"E usage 0.5 counts as idle", ECoreUsageText(ShownUsage(0.5)), L"E-Core usage: 0.00%"},
        {"E usage just under 1", ECoreUsageText(ShownUsage(0.999)), L"E-Core usage: 0.00%"},
        {"P usage exactly 1", PCoreUsageText(ShownUsage(1.0)), L"P-Core usage: 1.00%"},
        {"P usage 100", PCoreUsageText(ShownUsage(100.0)), L"P-Core usage: 100.00%"},
        {"E usage rounds", ECoreUsageText(ShownUsage(12.345)), L"E-Core usage: 12.35%"},
        {"12 of 250", MatchedText(12, 250), L"Matched processes: 12 of 250"},
        {"nothing scanned", MatchedText(0, 0), L"Matched processes: 0 of 0"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.actual, row.expected);
    }
}

TEST(StatusModel, TheFirstRefreshWritesEveryPartAndSetsTheEdges)
{
    StatusModel model;
    const StatusChanges changes = UpdateStatusModel(model, 1, 250, 12, 37.25, 0.0);
    EXPECT_EQ(changes.PartsToWrite, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(changes.SetEdges);
    const StatusTextArray expected = {L"MONITORING", L"P-Core usage: 37.25%", L"E-Core usage: 0.00%",
                                      L"Matched processes: 12 of 250"};
    EXPECT_EQ(model.ShownTexts, expected);
    EXPECT_EQ(model.StatusTexts, expected);
}

TEST(StatusModel, ARefreshWithNothingChangedWritesNothing)
{
    StatusModel model;
    UpdateStatusModel(model, 0, 250, 12, 5.0, 2.0);
    const StatusChanges again = UpdateStatusModel(model, 0, 250, 12, 5.0, 2.0);
    EXPECT_TRUE(again.PartsToWrite.empty());
    EXPECT_FALSE(again.SetEdges);
}

TEST(StatusModel, OnlyChangedTextsAreWritten)
{
    struct Row
    {
        const char* name;
        LONG state;
        DWORD scanned, matched;
        double p, e;
        std::vector<int> parts;
        bool edges;
    };
    // Each row starts from the same shown state: STOPPED, P 5.00, E 2.00, 12 of 250.
    const Row rows[] = {
        {"state", 1, 250, 12, 5.0, 2.0, {0}, true},
        {"P usage", 0, 250, 12, 6.0, 2.0, {1}, true},
        {"E usage", 0, 250, 12, 5.0, 3.0, {2}, true},
        {"scanned", 0, 251, 12, 5.0, 2.0, {3}, true},
        {"matched", 0, 250, 13, 5.0, 2.0, {3}, true},
        // A value changed but its text did not: nothing to write, yet the edges are measured again.
        {"P usage below the second decimal", 0, 250, 12, 5.001, 2.0, {}, true},
        {"everything", 1, 1, 1, 50.0, 60.0, {0, 1, 2, 3}, true},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        StatusModel model;
        UpdateStatusModel(model, 0, 250, 12, 5.0, 2.0);
        const StatusChanges changes = UpdateStatusModel(model, row.state, row.scanned, row.matched, row.p, row.e);
        EXPECT_EQ(changes.PartsToWrite, row.parts);
        EXPECT_EQ(changes.SetEdges, row.edges);
    }
}

TEST(StatusModel, ANotANumberLoadAlwaysCountsAsChanged)
{
    StatusModel model;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    UpdateStatusModel(model, 0, 0, 0, nan, 0.0);
    const StatusChanges again = UpdateStatusModel(model, 0, 0, 0, nan, 0.0);
    EXPECT_TRUE(again.SetEdges);
    EXPECT_TRUE(again.PartsToWrite.empty()) << "the text itself is the same";
}

TEST(StatusModel, AReopenedWindowStartsAfresh)
{
    StatusModel model;
    UpdateStatusModel(model, 0, 0, 0, 0.0, 0.0);
    model = StatusModel{};
    // The remembered state 2 makes even a stopped monitor write part 0; the counters' 0xFFFFFFFF
    // and the usages' -1 make a zero reading new as well.
    const StatusChanges changes = UpdateStatusModel(model, 0, 0, 0, 0.0, 0.0);
    EXPECT_EQ(changes.PartsToWrite, (std::vector<int>{0, 1, 2, 3}));
}

TEST(StatusPartEdges, EachPartIsItsTextPlusTwentyAndTheLastReachesTheEnd)
{
    EXPECT_EQ(StatusPartEdges({70, 120, 118, 160}), (std::array<int, 4>{90, 230, 368, -1}));
    EXPECT_EQ(StatusPartEdges({0, 0, 0, 0}), (std::array<int, 4>{20, 40, 60, -1}));
}

TEST(RowRules, OnlyRowsShorterThanTheBufferAreEditedOrSaved)
{
    EXPECT_TRUE(RowFitsBuffer(0));
    EXPECT_TRUE(RowFitsBuffer(1023));
    EXPECT_FALSE(RowFitsBuffer(1024));
    EXPECT_FALSE(RowFitsBuffer(LB_ERR)) << "no selection";

    const std::vector<std::wstring> rows = {L"", L"a.exe", std::wstring(1023, L'x'), std::wstring(1024, L'y'),
                                            L"b.exe"};
    const ProcessRuleList saved = RowsToSave(rows);
    EXPECT_EQ(saved, (ProcessRuleList{L"a.exe", std::wstring(1023, L'x'), L"b.exe"}));
    EXPECT_TRUE(RowsToSave({}).empty());
}

TEST(AddRules, TheDialogResultTextAndListDecide)
{
    struct Row
    {
        const char* name;
        INT_PTR result;
        std::wstring text, pending;
        bool listed;
        AddOutcome expected;
    };
    const Row rows[] = {
        {"new text", 0, L"game.exe", L"", false, AddOutcome::AddRow},
        {"duplicate", 0, L"GAME.EXE", L"", true, AddOutcome::RefuseDuplicate},
        {"empty field", 0, L"", L"", false, AddOutcome::Nothing},
        {"empty field while editing: the row stays out", 0, L"", L"old.exe", false, AddOutcome::Nothing},
        {"edited to a new text", 0, L"new.exe", L"old.exe", false, AddOutcome::AddRow},
        {"edited to a listed text", 0, L"other.exe", L"old.exe", true, AddOutcome::RefuseDuplicate},
        {"cancel", 1, L"", L"", false, AddOutcome::Nothing},
        {"cancel while editing", 1, L"old.exe", L"old.exe", false, AddOutcome::RestorePendingRow},
        {"dialog could not be created", -1, L"", L"", false, AddOutcome::Nothing},
        {"dialog could not be created while editing", -1, L"old.exe", L"old.exe", false, AddOutcome::RestorePendingRow},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DecideAdd(row.result, row.text, row.pending, row.listed), row.expected);
    }
}

TEST(AboutText, FiveLinesWithVersionNoticeAddressBlankAndCredit)
{
    EXPECT_EQ(SiteAddress(L"https://www.example.com/ternvale/?prod=rie"), L"https://www.example.com");
    EXPECT_EQ(SiteAddress(L"https://www.example.com"), L"https://www.example.com");
    EXPECT_EQ(SiteAddress(L"not an address"), L"not an address");

    const std::wstring text = AboutText(L"https://www.example.com");
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(text);
    EXPECT_EQ(lines[0], L"Ternvale v1.0.0.2");
    EXPECT_NE(lines[1].find(L"2026"), std::wstring::npos);
    EXPECT_NE(lines[1].find(L"Orlenby"), std::wstring::npos);
    EXPECT_EQ(lines[2], L"https://www.example.com");
    EXPECT_TRUE(lines[3].empty());
    EXPECT_NE(lines[4].find(L"icons"), std::wstring::npos);
}

TEST(TrayIconRecords, EachOperationCarriesItsFields)
{
    const HWND window = reinterpret_cast<HWND>(0x1234);
    const HICON icon = reinterpret_cast<HICON>(0x5678);

    const NOTIFYICONDATAW add = TrayIconAddRecord(window, 77, icon);
    EXPECT_EQ(add.cbSize, 976u);
    EXPECT_EQ(add.hWnd, window);
    EXPECT_EQ(add.uID, 77u);
    EXPECT_EQ(add.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(add.uCallbackMessage, WM_TRAY_CALLBACK);
    EXPECT_EQ(add.hIcon, icon);
    EXPECT_STREQ(add.szTip, L"Ternvale");
    EXPECT_EQ(add.uVersion, 0u);

    const NOTIFYICONDATAW balloon = TrayIconBalloonRecord(window, 77);
    EXPECT_EQ(balloon.cbSize, 976u);
    EXPECT_EQ(balloon.hWnd, window);
    EXPECT_EQ(balloon.uID, 77u);
    EXPECT_EQ(balloon.uFlags, static_cast<UINT>(NIF_INFO));
    EXPECT_EQ(balloon.uTimeout, 10000u);
    EXPECT_STREQ(balloon.szInfoTitle, L"Update for Ternvale is available");
    EXPECT_STREQ(balloon.szInfo, L"Click here to update.");
    EXPECT_EQ(balloon.dwInfoFlags, 0u);
    EXPECT_EQ(balloon.hIcon, nullptr);
    EXPECT_STREQ(balloon.szTip, L"");

    const NOTIFYICONDATAW remove = TrayIconRemoveRecord(window, 77);
    EXPECT_EQ(remove.cbSize, 976u);
    EXPECT_EQ(remove.hWnd, window);
    EXPECT_EQ(remove.uID, 77u);
    EXPECT_EQ(remove.uFlags, 0u);
    EXPECT_EQ(remove.uCallbackMessage, WM_TRAY_CALLBACK);
}

TEST(TrayIconRetries, AtMostTwentyRetriesAHundredMillisecondsApart)
{
    struct Row
    {
        const char* name;
        int succeedsAt; // attempt number that succeeds; 0 = never
        int attempts;
    };
    const Row rows[] = {
        {"first try", 1, 1},
        {"third try", 3, 3},
        {"last try", 21, 21},
        {"never", 0, 21},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        int tries = 0;
        std::vector<DWORD> waits;
        const int attempts =
            AddIconWithRetries([&] { return ++tries == row.succeedsAt; }, [&](DWORD ms) { waits.push_back(ms); });
        EXPECT_EQ(attempts, row.attempts);
        EXPECT_EQ(tries, row.attempts);
        EXPECT_EQ(waits, std::vector<DWORD>(static_cast<size_t>(row.attempts - 1), 100));
    }
}

TEST(TrayIconEvents, EachEventLeadsToItsAction)
{
    struct Row
    {
        const char* name;
        LPARAM event;
        bool pending;
        TrayEventAction expected;
    };
    const Row rows[] = {
        {"left button up", WM_LBUTTONUP, false, TrayEventAction::ShowMain},
        {"left double click", WM_LBUTTONDBLCLK, false, TrayEventAction::ShowMain},
        {"right button up", WM_RBUTTONUP, false, TrayEventAction::ContextMenu},
        {"Enter on an icon the mouse selected", NIN_SELECT, false, TrayEventAction::ShowMain},
        {"Enter or Space from the keyboard", NIN_KEYSELECT, false, TrayEventAction::ShowMain},
        {"the menu key", WM_CONTEXTMENU, false, TrayEventAction::ContextMenu},
        {"right button down", WM_RBUTTONDOWN, false, TrayEventAction::None},
        {"balloon hidden", NIN_BALLOONHIDE, true, TrayEventAction::BalloonGone},
        {"balloon timed out", NIN_BALLOONTIMEOUT, true, TrayEventAction::BalloonGone},
        {"balloon clicked while pending", NIN_BALLOONUSERCLICK, true, TrayEventAction::StartUpdate},
        {"balloon clicked while not pending", NIN_BALLOONUSERCLICK, false, TrayEventAction::None},
        {"left button down", WM_LBUTTONDOWN, false, TrayEventAction::None},
        {"mouse move", WM_MOUSEMOVE, true, TrayEventAction::None},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ActionForTrayEvent(row.event, row.pending), row.expected);
    }
}

} // namespace
