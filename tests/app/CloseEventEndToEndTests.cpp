// Ternvale.exe under Wine when somebody else holds the name of the shared close request.

#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/Handles.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace
{
constexpr wchar_t CloseEventName[] = L"Global\\{f372ebd9-2e97-4246-87b2-febe6486ee32}";

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring RuleListPath()
{
    PWSTR folder = nullptr;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder)))
        result = folder;
    ::CoTaskMemFree(folder);
    return result + L"\\Ternvale\\config\\p-core-list.txt";
}

// An instance whose close request was taken first by somebody who shuts everyone else out stays
// resident and steers its list; "--close" then finds no request it may set.
TEST(CloseEventEndToEnd, ATakenCloseRequestNameNeitherEndsNorBlocksTheProgram)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
    UniqueLocalMem descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    UniqueHandle taken(::CreateEventW(&security, TRUE, FALSE, CloseEventName));
    ASSERT_TRUE(taken) << ::GetLastError();
    ASSERT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "an instance is running";
    UniqueHandle probe(::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, CloseEventName));
    if (probe)
        GTEST_SKIP() << "this system does not enforce the access list of a named event";

    const std::wstring list = RuleListPath();
    const bool hadList = FileExists(list);
    const std::vector<unsigned char> savedList = ReadFileBytes(list);
    ::SHCreateDirectoryExW(nullptr, list.substr(0, list.find_last_of(L'\\')).c_str(), nullptr);
    const std::wstring rule = L"tvhelper-*.exe\r\n";
    ASSERT_TRUE(WriteFileBytes(list, std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(rule.data()),
                                                                reinterpret_cast<const unsigned char*>(
                                                                    rule.data() + rule.size()))));
    ScratchRegistryKey settings(L"Ternvale");
    TempDirectory folder;
    const std::wstring helperPath = folder.File(L"tvhelper-close.exe");
    ASSERT_TRUE(::CopyFileW((ExeDirectory() + L"\\e2e_sleeper.exe").c_str(), helperPath.c_str(), FALSE));
    UniqueHandle helper(StartProcess(Quoted(helperPath) + L" 60000"));
    ASSERT_TRUE(helper);

    UniqueHandle resident(StartProcess(Quoted(TernvaleExePath()) + L" -tray"));
    ASSERT_TRUE(resident);
    DWORD matched = 0;
    for (int i = 0; i < 300 && !(settings.GetDword(L"CurrentEnforcedCount", matched) && matched > 0); ++i)
    {
        if (::WaitForSingleObject(resident.Get(), 100) == WAIT_OBJECT_0)
            break;
    }
    EXPECT_EQ(::WaitForSingleObject(resident.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the program ended instead of staying resident";
    EXPECT_EQ(matched, 1u) << "the running helper was not steered";
    EXPECT_TRUE(::FindWindowW(L"Ternvale_TrayClass", nullptr)) << "no tray window";
    DWORD scanned = 0;
    EXPECT_TRUE(settings.GetDword(L"LastScannedCount", scanned)) << "no pass ran";

    const ProcessResult close = RunProcess(Quoted(TernvaleExePath()) + L" --close");
    EXPECT_EQ(close.exitCode, 1u);
    EXPECT_EQ(::WaitForSingleObject(resident.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    for (const HANDLE process : {resident.Get(), helper.Get()})
    {
        ::TerminateProcess(process, 0);
        ::WaitForSingleObject(process, 10000);
    }
    if (hadList)
        WriteFileBytes(list, savedList);
    else
        ::DeleteFileW(list.c_str());
}
} // namespace
