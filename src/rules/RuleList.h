#pragma once
// The user's ordered list of match patterns and its file (UTF-16LE, one pattern per CR LF line).

#include <string>
#include <vector>

// Value semantics: every holder owns its own copy.
using ProcessRuleList = std::vector<std::wstring>;

// Appends the file's patterns to list; returns the number of entries in list afterwards
// (0 when the file is missing, unreadable or empty). Never reports anything.
int LoadRuleList(const std::wstring& path, ProcessRuleList& list);

// Writes list to the file; returns the number of patterns written, or -1 on failure.
int SaveRuleList(const std::wstring& path, ProcessRuleList list);
