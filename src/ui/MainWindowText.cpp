#include "ui/MainWindowText.h"

#include "app/Globals.h"

#include <cstdarg>
#include <cwchar>

namespace
{
std::wstring Format(const wchar_t* format, ...)
{
    wchar_t buffer[256] = {};
    va_list args;
    va_start(args, format);
    std::vswprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), format, args);
    va_end(args);
    return buffer;
}

// Exact comparison on purpose: the text follows every change of the value; NaN never equals.
bool SameValue(double a, double b)
{
    return a == b;
}
} // namespace

std::wstring MonitorStateText(LONG state)
{
    switch (state)
    {
    case 0:
        return L"STOPPED";
    case 1:
        return L"MONITORING";
    case 2:
        return L"ERROR";
    default:
        return L"UNKNOWN";
    }
}

double ShownUsage(double average)
{
    return average < 1.0 ? 0.0 : average;
}

std::wstring PCoreUsageText(double usage)
{
    return Format(L"P-Core usage: %.2f%%", usage);
}

std::wstring ECoreUsageText(double usage)
{
    return Format(L"E-Core usage: %.2f%%", usage);
}

std::wstring MatchedText(DWORD matched, DWORD scanned)
{
    return Format(L"Matched processes: %d of %d", static_cast<int>(matched), static_cast<int>(scanned));
}

StatusChanges UpdateStatusModel(StatusModel& model, LONG state, DWORD scanned, DWORD matched, double pUsage,
                                double eUsage)
{
    StatusChanges changes;
    bool changed = false;
    if (state != model.State)
    {
        model.State = state;
        model.StatusTexts[0] = MonitorStateText(state);
        changed = true;
    }
    if (!SameValue(pUsage, model.PUsage))
    {
        model.PUsage = pUsage;
        model.StatusTexts[1] = PCoreUsageText(pUsage);
        changed = true;
    }
    if (!SameValue(eUsage, model.EUsage))
    {
        model.EUsage = eUsage;
        model.StatusTexts[2] = ECoreUsageText(eUsage);
        changed = true;
    }
    if (scanned != model.Scanned || matched != model.Matched)
    {
        model.Scanned = scanned;
        model.Matched = matched;
        model.StatusTexts[3] = MatchedText(matched, scanned);
        changed = true;
    }
    if (!changed)
        return changes;
    for (int part = 0; part < StatusPartCount; ++part)
    {
        if (model.StatusTexts[part] != model.ShownTexts[part])
        {
            model.ShownTexts[part] = model.StatusTexts[part];
            changes.PartsToWrite.push_back(part);
        }
    }
    changes.SetEdges = true;
    return changes;
}

std::array<int, StatusPartCount> StatusPartEdges(const std::array<int, StatusPartCount>& textWidths)
{
    std::array<int, StatusPartCount> edges{};
    int right = 0;
    for (int part = 0; part < StatusPartCount; ++part)
    {
        right += textWidths[part] + 20;
        edges[part] = right;
    }
    edges[StatusPartCount - 1] = -1;
    return edges;
}

bool RowFitsBuffer(LRESULT textLength)
{
    return static_cast<ULONG_PTR>(textLength) < RowBufferLength;
}

ProcessRuleList RowsToSave(const std::vector<std::wstring>& rows)
{
    ProcessRuleList list;
    for (const std::wstring& row : rows)
    {
        if (!row.empty() && row.size() < RowBufferLength)
            list.push_back(row);
    }
    return list;
}

AddOutcome DecideAdd(INT_PTR dialogResult, const std::wstring& text, const std::wstring& pendingEditText,
                     bool alreadyListed)
{
    if (dialogResult != 0)
        return pendingEditText.empty() ? AddOutcome::Nothing : AddOutcome::RestorePendingRow;
    if (text.empty())
        return AddOutcome::Nothing;
    return alreadyListed ? AddOutcome::RefuseDuplicate : AddOutcome::AddRow;
}

std::wstring SiteAddress(const std::wstring& url)
{
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos)
        return url;
    const size_t path = url.find(L'/', scheme + 3);
    return path == std::wstring::npos ? url : url.substr(0, path);
}

std::wstring AboutText(const std::wstring& siteAddress)
{
    return std::wstring(L"Ternvale v") + VersionText +
           L"\n"
           L"Copyright (C) 2026 Orlenby LLC. All rights reserved.\n" +
           siteAddress +
           L"\n"
           L"\n"
           L"Application icons drawn by Orlenby for Ternvale.";
}
