#include "enforce/PatternMatcher.h"

#include <shlwapi.h>

#include <algorithm>

bool IsPathPattern(const std::wstring& pattern)
{
    return pattern.find(L'\\') != std::wstring::npos;
}

bool HasPathPattern(const ProcessRuleList& rules)
{
    return std::any_of(rules.begin(), rules.end(), [](const std::wstring& pattern) { return IsPathPattern(pattern); });
}

ProcessPatternMatcher::ProcessPatternMatcher(DWORD processId, const wchar_t* exeName,
                                             const ImagePathReader* readPath) noexcept
    : processId_(processId), exeName_(exeName), readPath_(readPath)
{
}

bool ProcessPatternMatcher::Matches(const std::wstring& pattern)
{
    // Only an empty line of the file makes one; the documentation leaves PathMatchSpecW's answer
    // for an empty spec open, and a pattern nobody can see must not steer anything.
    if (pattern.empty())
        return false;
    if (readPath_ == nullptr || !IsPathPattern(pattern))
        return ::PathMatchSpecW(exeName_, pattern.c_str()) != FALSE;
    if (pathState_ == PathState::NotRead)
        pathState_ = (*readPath_)(processId_, path_) && !path_.empty() ? PathState::Read : PathState::Unreadable;
    return pathState_ == PathState::Read && ::PathMatchSpecW(path_.c_str(), pattern.c_str()) != FALSE;
}
