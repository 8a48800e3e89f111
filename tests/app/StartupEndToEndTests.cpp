// Ternvale.exe itself under Wine: what a start leaves behind and prints.

#include <gtest/gtest.h>

#include <shlobj.h>

#include "support/TestSupport.h"

using namespace testing_support;

namespace
{
std::wstring RoamingFolder()
{
    PWSTR folder = nullptr;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder)))
        result = folder;
    ::CoTaskMemFree(folder);
    return result;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

TEST(StartupEndToEnd, HelpGoesToStandardErrorWithExitCodeOne)
{
    for (const wchar_t* args : {L" --help", L" -h", L" --help --install", L" --close -h"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
        const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + args);
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 1u);
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_EQ(result.err.rfind("Options:", 0), 0u) << result.err;
        for (const char* option : {"--help", "--close", "--install", "--uninstall", "--show"})
            EXPECT_NE(result.err.find(option), std::string::npos) << option;
    }
}

TEST(StartupEndToEnd, ARejectedCommandLinePrintsTheReasonAndExitsWithOne)
{
    const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + L" --help=yes");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.err.find("Options:"), std::string::npos) << result.err;
    EXPECT_GT(result.err.find("Options:"), 0u) << "the parser's message comes first";
}

TEST(StartupEndToEnd, AFirstStartCreatesTheConfigFolderButNoListFile)
{
    const std::wstring folder = RoamingFolder() + L"\\Ternvale";
    DeleteTree(folder);
    ASSERT_FALSE(FileExists(folder));
    const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + L" --help");
    ASSERT_FALSE(result.timedOut);
    EXPECT_TRUE(FileExists(folder + L"\\config"));
    EXPECT_FALSE(FileExists(folder + L"\\config\\p-core-list.txt"));
}
} // namespace
