#pragma once
// The main window's rules without window calls: status texts and their change tracking, status
// bar part edges, which rows may be edited and saved, what the Add New Entry result leads to, and
// the About text.

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "rules/RuleList.h"

// Rows this long or longer are neither edited nor saved (the edit and save buffers hold 1024
// characters with the terminator).
inline constexpr size_t RowBufferLength = 1024;

std::wstring MonitorStateText(LONG state);
// Loads below 1.0 % show as 0.00.
double ShownUsage(double average);
std::wstring PCoreUsageText(double usage);
std::wstring ECoreUsageText(double usage);
std::wstring MatchedText(DWORD matched, DWORD scanned);

inline constexpr int StatusPartCount = 4;
using StatusTextArray = std::array<std::wstring, StatusPartCount>;

// What the status bar last showed and the values those texts came from. Reset on every opening
// so that the first refresh writes every part.
struct StatusModel
{
    LONG State = 2;
    DWORD Scanned = 0xFFFFFFFF;
    DWORD Matched = 0xFFFFFFFF;
    double PUsage = -1.0;
    double EUsage = -1.0;
    StatusTextArray StatusTexts;
    StatusTextArray ShownTexts;
};

struct StatusChanges
{
    // Parts whose text differs from what the bar shows; ShownTexts already holds the new texts.
    std::vector<int> PartsToWrite;
    // Some value changed, so the part edges are measured and set again.
    bool SetEdges = false;
};

// Takes the latest readings (usages already passed through ShownUsage).
StatusChanges UpdateStatusModel(StatusModel& model, LONG state, DWORD scanned, DWORD matched, double pUsage,
                                double eUsage);

// Right edges of the parts from the measured text widths: each part is its text plus 20 pixels,
// and the last one reaches the end of the bar (-1).
std::array<int, StatusPartCount> StatusPartEdges(const std::array<int, StatusPartCount>& textWidths);

// LB_GETTEXTLEN result (LB_ERR included) taken as unsigned: only shorter rows fit the buffers.
bool RowFitsBuffer(LRESULT textLength);

// The rows that a save writes, in list box order: no empty rows, none too long for the buffer.
ProcessRuleList RowsToSave(const std::vector<std::wstring>& rows);

enum class AddOutcome
{
    RestorePendingRow, // cancelled while editing: the row goes back unchanged
    Nothing,           // cancelled, or OK with an empty field
    RefuseDuplicate,   // the list already has the text (in any letter case)
    AddRow,            // add, save and announce
};
AddOutcome DecideAdd(INT_PTR dialogResult, const std::wstring& text, const std::wstring& pendingEditText,
                     bool alreadyListed);

// The scheme and host of an address ("https://host/path" gives "https://host").
std::wstring SiteAddress(const std::wstring& url);
std::wstring AboutText(const std::wstring& siteAddress);
