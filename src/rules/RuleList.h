#pragma once
// The user's ordered list of match patterns and its file (UTF-16LE, one pattern per CR LF line).

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

// Value semantics: every holder owns its own copy.
using ProcessRuleList = std::vector<std::wstring>;

// Appends the file's patterns to list; returns the number of entries in list afterwards
// (0 when the file is missing, unreadable or empty). Never reports anything.
int LoadRuleList(const std::wstring& path, ProcessRuleList& list);

// Writes list to the file; returns the number of patterns written, or -1 on failure.
// The new content goes to a temporary file beside the list that then replaces it, so a failed
// save leaves the file on disk exactly as it was.
int SaveRuleList(const std::wstring& path, ProcessRuleList list);
// The calls of a save that a full or failing disk makes fail, and the wait between two tries of
// the replace while another program holds the list; tests replace them.
class RuleFileWrites
{
  public:
    virtual ~RuleFileWrites() = default;
    virtual BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) = 0;
    virtual BOOL FlushFileBuffers(HANDLE file) = 0;
    virtual void WaitBeforeRetry(DWORD milliseconds) = 0;
};
int SaveRuleList(const std::wstring& path, ProcessRuleList list, RuleFileWrites& writes);

// The patterns held in a file's bytes, appended to list: little-endian UTF-16 code units (an odd
// last byte is a unit of its own), only LF ends a line, every CR is dropped, text after the last
// LF is not a pattern. No byte-order mark is recognised.
void ParseRuleList(const unsigned char* bytes, std::size_t size, ProcessRuleList& list);

// The file's text for list: each pattern followed by CR LF, no byte-order mark.
std::wstring FormatRuleList(const ProcessRuleList& list);
