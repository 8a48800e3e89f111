#pragma once
// Matching one process against the patterns of the list. A pattern with a backslash is a path
// pattern, matched against the process's full image path; any other is matched against the
// executable's file name. Both use PathMatchSpecW (* and ?, any letter case).

#include <windows.h>

#include <functional>
#include <string>

#include "rules/RuleList.h"

[[nodiscard]] bool IsPathPattern(const std::wstring& pattern);
[[nodiscard]] bool HasPathPattern(const ProcessRuleList& rules);

// The full image path (Win32 form) of a process id; false when it cannot be read.
using ImagePathReader = std::function<bool(DWORD processId, std::wstring& path)>;

// Lives for one process in one pass. The path is read at the first path pattern and kept, so a
// process costs at most one read per pass however many path patterns the list has, and none when
// the list has no path pattern. A process whose path cannot be read matches no path pattern.
class ProcessPatternMatcher
{
  public:
    // readPath null: the caller knows the list holds no path pattern, so every pattern is taken
    // as a name pattern without looking for a backslash.
    ProcessPatternMatcher(DWORD processId, const wchar_t* exeName, const ImagePathReader* readPath) noexcept;

    [[nodiscard]] bool Matches(const std::wstring& pattern);

  private:
    enum class PathState
    {
        NotRead,
        Read,
        Unreadable
    };

    DWORD processId_;
    const wchar_t* exeName_;
    const ImagePathReader* readPath_;
    PathState pathState_ = PathState::NotRead;
    std::wstring path_;
};
