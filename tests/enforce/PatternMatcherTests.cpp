// Name and path patterns against one process, with PathMatchSpecW as the system has it, and how
// often the matcher asks for the process's path.

#include <gtest/gtest.h>

#include <optional>

#include "enforce/PatternMatcher.h"

namespace
{
const wchar_t GamePath[] = L"C:\\Games\\Foo\\foo.exe";
const wchar_t SteamPath[] = L"D:\\SteamLibrary\\steamapps\\common\\Some Game\\bin\\game.exe";

// Answers with a fixed path (none: the read fails) and counts the reads.
struct PathSource
{
    std::optional<std::wstring> path;
    int reads = 0;

    ImagePathReader Reader()
    {
        return [this](DWORD, std::wstring& out) {
            ++reads;
            if (!path)
                return false;
            out = *path;
            return true;
        };
    }
};

TEST(PatternKind, ABackslashAnywhereMakesAPathPattern)
{
    struct Case
    {
        const wchar_t* pattern;
        bool path;
    };
    const Case cases[] = {
        {L"game.exe", false},   {L"*", false},           {L"", false},
        {L"C:/Games/*", false}, {L"C:\\Games\\*", true}, {L"*\\steamapps\\common\\*", true},
        {L"\\", true},          {L"*\\", true},          {L"game.exe\\", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "pattern \"" << c.pattern << "\"");
        EXPECT_EQ(IsPathPattern(c.pattern), c.path);
    }

    EXPECT_FALSE(HasPathPattern({}));
    EXPECT_FALSE(HasPathPattern({L"game.exe", L"tool*", L""}));
    EXPECT_TRUE(HasPathPattern({L"game.exe", L"C:\\Tools\\*"}));
}

TEST(ProcessPatternMatcher, MatchesNamesByNameAndPathsByPath)
{
    struct Case
    {
        const char* name;
        const wchar_t* exeName;
        std::optional<std::wstring> path; // none: the path cannot be read
        const wchar_t* pattern;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"a name as before", L"foo.exe", GamePath, L"FOO.exe", true},
        {"a name prefix as before", L"foo.exe", GamePath, L"fo*", true},
        {"a name pattern never sees the folder", L"foo.exe", GamePath, L"*Games*", false},
        {"a folder and everything below it", L"foo.exe", GamePath, L"C:\\Games\\*", true},
        {"a folder in another letter case", L"foo.exe", GamePath, L"c:\\GAMES\\foo\\*", true},
        {"a folder that is only a name prefix", L"foo.exe", GamePath, L"C:\\Gam\\*", false},
        {"a folder without the backslash and star", L"foo.exe", GamePath, L"C:\\Games", false},
        {"the whole path", L"foo.exe", GamePath, L"C:\\Games\\Foo\\foo.exe", true},
        {"the file in another folder", L"foo.exe", GamePath, L"C:\\Games\\foo.exe", false},
        {"? stands for one character", L"foo.exe", GamePath, L"C:\\Games\\F?o\\foo.exe", true},
        {"any Steam library", L"game.exe", SteamPath, L"*\\steamapps\\common\\*", true},
        {"not a Steam library", L"foo.exe", GamePath, L"*\\steamapps\\common\\*", false},
        {"a file name in any folder", L"game.exe", SteamPath, L"*\\game.exe", true},
        // An image path always ends with the file's name, never with a backslash.
        {"a lone backslash star", L"foo.exe", GamePath, L"*\\", false},
        {"a lone backslash", L"foo.exe", GamePath, L"\\", false},
        // Every path holds a backslash: every process whose path can be read, like * by name.
        {"star backslash star", L"foo.exe", GamePath, L"*\\*", true},
        {"star backslash star, path unreadable", L"foo.exe", std::nullopt, L"*\\*", false},
        // PathMatchSpecW takes ; as a separator of several patterns; the kind is the whole row's.
        {"two folders in one row", L"foo.exe", GamePath, L"D:\\*;C:\\Games\\*", true},
        {"a name beside a path in one row is matched by path", L"foo.exe", GamePath, L"foo.exe;D:\\*", false},
        {"an empty pattern", L"foo.exe", GamePath, L"", false},
        {"an empty pattern, path unreadable", L"foo.exe", std::nullopt, L"", false},
        {"a folder, path unreadable", L"foo.exe", std::nullopt, L"C:\\Games\\*", false},
        {"a name, path unreadable", L"foo.exe", std::nullopt, L"foo.exe", true},
        {"an empty path read counts as unreadable", L"foo.exe", std::wstring(), L"*\\*", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PathSource source{c.path};
        const ImagePathReader reader = source.Reader();
        ProcessPatternMatcher matcher(7, c.exeName, &reader);
        EXPECT_EQ(matcher.Matches(c.pattern), c.matches);
    }
}

TEST(ProcessPatternMatcher, ReadsThePathOnceAtTheFirstPathPatternOnly)
{
    struct Case
    {
        const char* name;
        std::optional<std::wstring> path;
        ProcessRuleList patterns;
        std::vector<bool> matches;
        std::vector<int> readsAfter; // the reads so far, after each pattern
    };
    const std::vector<Case> cases = {
        {"names only", GamePath, {L"foo.exe", L"bar*", L""}, {true, false, false}, {0, 0, 0}},
        {"the first path pattern reads, the others reuse it",
         GamePath,
         {L"foo.exe", L"C:\\Games\\*", L"*\\Foo\\*", L"D:\\*", L"foo*"},
         {true, true, true, false, true},
         {0, 1, 1, 1, 1}},
        {"an unreadable path is not asked for again",
         std::nullopt,
         {L"C:\\Games\\*", L"*\\*", L"foo.exe", L"*\\foo.exe"},
         {false, false, true, false},
         {1, 1, 1, 1}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PathSource source{c.path};
        const ImagePathReader reader = source.Reader();
        ProcessPatternMatcher matcher(7, L"foo.exe", &reader);
        std::vector<bool> matches;
        std::vector<int> readsAfter;
        for (const std::wstring& pattern : c.patterns)
        {
            matches.push_back(matcher.Matches(pattern));
            readsAfter.push_back(source.reads);
        }
        EXPECT_EQ(matches, c.matches);
        EXPECT_EQ(readsAfter, c.readsAfter);
    }
}

TEST(ProcessPatternMatcher, WithoutAReaderEveryPatternIsANamePattern)
{
    // The pass hands no reader when its list has no path pattern; nothing is read then.
    ProcessPatternMatcher matcher(7, L"foo.exe", nullptr);
    EXPECT_TRUE(matcher.Matches(L"foo.exe"));
    EXPECT_FALSE(matcher.Matches(L"*\\*"));
    EXPECT_FALSE(matcher.Matches(L""));
}

} // namespace
