// The update check and the installer launch against a loopback HTTP server, with the desktop (message
// boxes, the error page, the elevated start) answered by the test.

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <wintrust.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackHttpServer.h"
#include "app/Globals.h"
#include "app/Handles.h"
#include "setup/DesktopShell.h"
#include "setup/DownloadFolder.h"
#include "setup/DownloadProgress.h"
#include "setup/Updater.h"
#include "support/TestSupport.h"
#include "ui/resource.h"

using testing_support::ExeDirectory;
using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchRegistryKey;
using testing_support::TempDirectory;
using testing_support::WriteFileBytes;

namespace
{

const std::string VersionPath = "/versioninfo/ternvale/";
const std::string InstallerPath = "/files/TernvaleSetup.exe";
const std::string Marker = "orlenby_updatevalidsig";
const wchar_t ErrorPage[] = L"http://127.0.0.1:1/ternvale/?prod=rie&update_error_sig";
const wchar_t NotSignedWarning[] = L"There was an error validating the digital signature of the update package.\n\n"
                                   L"The file is not signed.\n\n"
                                   L"Would you like to visit Orlenby to manually download the installer?";
const wchar_t LaunchError[] = L"Error launching updater. Please download and run the installer again.";

// A literal with the NUL bytes inside it.
template <size_t N> std::string Raw(const char (&text)[N])
{
    return std::string(text, N - 1);
}

std::string Bytes(const std::vector<unsigned char>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::vector<unsigned char> FileOf(const std::wstring& name)
{
    return ReadFileBytes(ExeDirectory() + L"\\" + name);
}

struct Shown
{
    HWND owner;
    std::wstring text;
    UINT style;
};

// Answers the questions with a fixed button and records everything; the elevated start runs a check
// given by the test while the installer is still held.
class RecordingHost : public UpdateHost
{
  public:
    int answer = IDNO;
    std::vector<Shown> shown;
    std::vector<std::wstring> pagesOpened;
    std::vector<std::wstring> started;
    std::function<bool(const std::wstring&)> onStart = [](const std::wstring&) { return true; };

    int ShowMessage(HWND owner, const std::wstring& text, UINT style) override
    {
        shown.push_back({owner, text, style});
        return (style & MB_TYPEMASK) == MB_YESNO ? answer : IDOK;
    }
    void OpenPage(const std::wstring& url) override
    {
        pagesOpened.push_back(url);
    }
    bool StartElevated(HWND, const std::wstring& path) override
    {
        started.push_back(path);
        return onStart(path);
    }
    void DownloadReached(DownloadStage stage, const std::wstring& path) override
    {
        if (onStage)
            onStage(stage, path);
    }
    std::function<void(DownloadStage, const std::wstring&)> onStage;
};

// The folders of downloads under base, by the program's naming scheme.
std::vector<std::wstring> DownloadFoldersIn(const std::wstring& base)
{
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW found{};
    UniqueFind find(::FindFirstFileW((base + L"\\*").c_str(), &found));
    for (BOOL more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &found))
    {
        if (IsDownloadFolderName(found.cFileName))
            folders.push_back(base + L"\\" + found.cFileName);
    }
    return folders;
}

bool IsReparsePoint(const std::wstring& path);

// Under Wine, CreateSymbolicLinkW makes nothing and deleting a link deletes its target; a Unix link made
// and removed by the Unix tools is what Windows programs there see as a symbolic link.
using UnixNameFunction = char*(CDECL*)(LPCWSTR);
UnixNameFunction WineUnixName()
{
    return reinterpret_cast<UnixNameFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::string UnixName(const std::wstring& path)
{
    char* name = WineUnixName()(path.c_str());
    if (name == nullptr)
        return {};
    std::string copy = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return copy;
}

// Wine's handle of a Unix process does not wait for it: wait for the effect instead.
bool RunUnixUntil(const std::string& commandLine, const std::function<bool()>& done)
{
    std::wstring line(commandLine.begin(), commandLine.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int i = 0; i < 200 && !done(); ++i)
        ::Sleep(50);
    return done();
}

std::wstring FinalPathOfFolder(const std::wstring& folder);
std::wstring NameOf(const std::wstring& path);
std::wstring ParentOf(const std::wstring& path);

bool IsUnixLink(const std::wstring& path)
{
    // A link's final path is its target's; a plain entry's is its own.
    UniqueFile handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return IsReparsePoint(path) ||
           (handle && !SamePath(FinalPathOf(handle.Get()), FinalPathOfFolder(ParentOf(path)) + L"\\" + NameOf(path)));
}

bool MakeLink(const std::wstring& link, const std::wstring& target, bool folder)
{
    if (WineUnixName() != nullptr)
        return RunUnixUntil("/bin/ln -s " + UnixName(target) + " " + UnixName(link),
                            [&] { return ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
    constexpr DWORD allowUnprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (developer mode)
    const DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | allowUnprivileged;
    return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) ||
           ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags & ~allowUnprivileged);
}

// Removes the link itself; nothing when path is no link.
void RemoveLink(const std::wstring& path)
{
    if (WineUnixName() != nullptr)
    {
        // Wine shows a link to a file as a plain file: ask the Unix side.
        const std::string unix = UnixName(path);
        if (unix.empty() || !IsUnixLink(path))
            return;
        RunUnixUntil("/bin/rm -f " + UnixName(path),
                     [&] { return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; });
        return;
    }
    if (!::RemoveDirectoryW(path.c_str()))
        ::DeleteFileW(path.c_str());
}

bool IsReparsePoint(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Every file below folder (links not followed) with its bytes, by path relative to folder.
std::map<std::wstring, std::vector<unsigned char>> Contents(const std::wstring& folder, const std::wstring& under = {})
{
    std::map<std::wstring, std::vector<unsigned char>> files;
    WIN32_FIND_DATAW found{};
    UniqueFind find(::FindFirstFileW((folder + under + L"\\*").c_str(), &found));
    for (BOOL more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &found))
    {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring relative = under + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            files[relative + L" (link)"] = {};
        else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            files[relative + L" (folder)"] = {};
            for (auto& entry : Contents(folder, relative))
                files.insert(std::move(entry));
        }
        else
            files[relative] = ReadFileBytes(folder + relative);
    }
    return files;
}

std::wstring FinalPathOfFolder(const std::wstring& folder)
{
    UniqueFile handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle ? FinalPathOf(handle.Get()) : std::wstring();
}

std::wstring ParentOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring NameOf(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

// Both roots of the beta setting are cleared for each case and restored to nothing afterwards.
class UpdaterTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Running());
        endpoints.versionInfoUrl = server.Url(VersionPath);
        endpoints.downloadBaseUrl = server.Url("/files/");
        endpoints.errorPageUrl = ErrorPage;
        endpoints.signerName = SignerName;
        endpoints.tempFolder = temp.Path();
    }

    // Wine trusts every self-signed file; Windows trusts the test signer only where it was installed.
    static bool SystemTrustsTheSignedStub()
    {
        const std::wstring source = ExeDirectory() + L"\\updater_stub_maker.exe";
        UniqueFile held(
            ::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        return CheckFileSignature(source, held.Get()).status == 0;
    }

    // The installer of the last download; empty when no download folder (or more than one) is there.
    std::wstring InstallerFile() const
    {
        const std::vector<std::wstring> folders = DownloadFoldersIn(temp.Path());
        return folders.size() == 1 ? folders[0] + L"\\" + InstallerFileName : std::wstring();
    }

    ScratchRegistryKey userSettings{L"Ternvale"};
    ScratchRegistryKey machineSettings{L"Ternvale", HKEY_LOCAL_MACHINE};
    LoopbackHttpServer server;
    TempDirectory temp;
    UpdateEndpoints endpoints;
    RecordingHost host;
};

TEST(ParseVersion, PacksFourPartsWithSpillAndWrapAround)
{
    struct Case
    {
        const wchar_t* text;
        DWORD packed;
    };
    const Case cases[] = {
        {L"1.0.0.2", 0x01000002},
        {L"1.0.0.10", 0x0100000A},
        {L"2.0.0.0", 0x02000000},
        {L"255.255.255.255", 0xFFFFFFFF},
        {L"1.0.1", 0}, // too short to be read at all
        {L"10.0.0", 0},
        {L"", 0},
        {L"10.20.3", 0x0A140300}, // seven characters: the missing part is 0
        {L"1.2.3.x", 0x01020300},
        {L"a.b.c.d", 0},
        {L"1.0.0.2 beta", 0x01000002},
        {L"1.0.0.256", 0x01000100}, // 256 spills into the third part
        {L"1.0.1.256", 0x01000100}, // parts are ORed, not added
        {L"1.0.0.1000", 0x010003E8},
        {L"1.0.256.0", 0x01010000},
        {L"256.0.0.0", 0}, // wraps out of 32 bits
        {L"257.0.0.1", 0x01000001},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseVersion(c.text), c.packed);
    }
    EXPECT_TRUE(IsNewerVersion(L"1.0.0.10"));
    EXPECT_TRUE(IsNewerVersion(L"2.0.0.0"));
    EXPECT_FALSE(IsNewerVersion(L"1.0.0.2"));
    EXPECT_FALSE(IsNewerVersion(L"1.0.1"));
    EXPECT_FALSE(IsNewerVersion(L"1.0.0.1"));
}

TEST(SignatureResultText, NamesTheReasonForEachStatus)
{
    struct Case
    {
        LONG status;
        DWORD lastError;
        const wchar_t* text;
    };
    const DWORD noSignature = static_cast<DWORD>(TRUST_E_NOSIGNATURE);
    const Case cases[] = {
        {0, 0, L"The file is signed and signature verified."},
        {TRUST_E_NOSIGNATURE, noSignature, L"The file is not signed."},
        {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN), L"The file is not signed."},
        {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN), L"The file is not signed."},
        {TRUST_E_NOSIGNATURE, ERROR_ACCESS_DENIED, L"An error occurred verifying the file signature: 5 800b0100"},
        {TRUST_E_EXPLICIT_DISTRUST, 0, L"Signature present, but specifically disallowed."},
        {TRUST_E_SUBJECT_NOT_TRUSTED, 0, L"The file is signed, but not trusted."},
        {CRYPT_E_SECURITY_SETTINGS, 0,
         L"The signature was not explicitly trusted by the admin and admin policy has disabled user trust."},
        {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST),
         L"An error occurred verifying the file signature: 80096010 80096010"},
        {CERT_E_UNTRUSTEDROOT, 0, L"An error occurred verifying the file signature: 0 800b0109"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(SignatureResultText(c.status, c.lastError), c.text);
    }
    EXPECT_EQ(SignatureWarningText(TRUST_E_NOSIGNATURE, noSignature), NotSignedWarning);
    EXPECT_EQ(LoadResourceString(9999), L"ERROR");
}

TEST(Utf8ToUtf16, ConvertsAndReplacesBrokenBytes)
{
    struct Case
    {
        std::string bytes;
        std::wstring text;
    };
    const Case cases[] = {
        {"", L""},
        {"1.0.0.3\r\n", L"1.0.0.3\r\n"},
        {"caf\xC3\xA9 \xE2\x82\xAC", L"caf\u00E9 \u20AC"},
        {"a\xFF"
         "b",
         L"a\uFFFDb"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(Utf8ToUtf16(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()), c.text);
    }
}

// Each answer of the version server, through the manual check: what it learns and what it says.
TEST_F(UpdaterTest, VersionAnswersDecideWhatTheManualCheckSays)
{
    enum class Says
    {
        Nothing,
        NoUpdate,
        Question,
    };
    struct Case
    {
        const char* name;
        std::string body;
        std::wstring version;
        Says says;
    };
    const std::string valid = "\r\n" + Marker + "\r\n";
    const std::string padded = "1.0.0.3" + valid;
    const Case cases[] = {
        {"running version", "1.0.0.2" + valid, L"1.0.0.2", Says::NoUpdate},
        {"newer by a two-digit part", "1.0.0.10" + valid, L"1.0.0.10", Says::Question},
        {"too short", "1.0.1" + valid, L"1.0.1", Says::NoUpdate},
        {"next major", "2.0.0.0" + valid, L"2.0.0.0", Says::Question},
        {"line feeds only", "1.0.0.3\n" + Marker, L"1.0.0.3", Says::Question},
        {"no marker", "1.0.0.3\r\nsomething else\r\n", L"", Says::Nothing},
        {"no line break", "1.0.0.3 " + Marker, L"", Says::Nothing},
        {"no dot", "10003" + valid, L"", Says::Nothing},
        {"NUL before the marker", Raw("1.0.0.3\r\norlenby_update\0validsig\r\n"), L"", Says::Nothing},
        {"NUL after the marker", Raw("1.0.0.3\r\norlenby_updatevalidsig\r\n\0junk"), L"1.0.0.3", Says::Question},
        {"empty body", "", L"", Says::Nothing},
        {"64 KiB exactly", padded + std::string(MaxVersionAnswerBytes - padded.size(), 'x'), L"1.0.0.3",
         Says::Question},
        {"one byte over 64 KiB", padded + std::string(MaxVersionAnswerBytes - padded.size() + 1, 'x'), L"",
         Says::Nothing},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        server.Serve(VersionPath, {c.body});
        std::wstring version = L"stale";
        FetchVersionInfo(endpoints.versionInfoUrl, version);
        EXPECT_EQ(version, c.version);

        host = RecordingHost();
        HWND owner = reinterpret_cast<HWND>(0x1234);
        CheckForUpdateNow(owner, endpoints, host);
        switch (c.says)
        {
        case Says::Nothing:
            EXPECT_TRUE(host.shown.empty());
            break;
        case Says::NoUpdate:
            ASSERT_EQ(host.shown.size(), 1u);
            EXPECT_EQ(host.shown[0].text, L"No update available.");
            EXPECT_EQ(host.shown[0].style, static_cast<UINT>(MB_ICONINFORMATION));
            EXPECT_EQ(host.shown[0].owner, owner);
            break;
        case Says::Question:
            // Answered No: nothing is downloaded.
            ASSERT_EQ(host.shown.size(), 1u);
            EXPECT_EQ(host.shown[0].text, L"A newer version is available. Update now?");
            EXPECT_EQ(host.shown[0].style, static_cast<UINT>(MB_YESNO | MB_ICONINFORMATION));
            EXPECT_EQ(host.shown[0].owner, owner);
            break;
        }
    }
    for (const std::string& path : server.Requests())
        EXPECT_EQ(path, VersionPath);
}

TEST_F(UpdaterTest, UnreachableServerGivesNoVersionAndNoMessage)
{
    endpoints.versionInfoUrl = L"http://127.0.0.1:1/versioninfo/ternvale/";
    std::wstring version = L"stale";
    FetchVersionInfo(endpoints.versionInfoUrl, version);
    EXPECT_EQ(version, L"");
    CheckForUpdateNow(nullptr, endpoints, host);
    EXPECT_TRUE(host.shown.empty());
    // A missing page is a body without the marker.
    FetchVersionInfo(server.Url("/nothing/here/"), version);
    EXPECT_EQ(version, L"");
}

TEST_F(UpdaterTest, TransfersAreBoundedAndMustBeComplete)
{
    using Ending = LoopbackHttpServer::Ending;
    struct Case
    {
        const char* name;
        size_t size;
        Ending ending;
        size_t limit;
        bool ok;
    };
    const Case cases[] = {
        {"complete", 100000, Ending::Complete, 100000, true},
        {"one chunk", 4096, Ending::Complete, 100000, true},
        {"one byte", 1, Ending::Complete, 100000, true},
        {"over the limit", 100001, Ending::Complete, 100000, false},
        {"empty", 0, Ending::Complete, 100000, false},
        {"reset halfway", 300000, Ending::Reset, 1000000, false},
        {"closed before the announced length", 300000, Ending::ClosedEarly, 1000000, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string body(c.size, '\0');
        for (size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<char>(i * 7 + i / 4096);
        server.Serve("/blob", {body, c.ending});
        std::vector<unsigned char> bytes{1, 2, 3};
        EXPECT_EQ(DownloadToMemory(server.Url("/blob"), bytes, c.limit), c.ok);
        if (c.ok)
            EXPECT_EQ(Bytes(bytes), body);
        else
            EXPECT_TRUE(bytes.empty());
    }
}

// The read loop itself, fed by a scripted reader: each step is one call's result and byte count.
TEST(ReadWholeBody, StopsOnErrorsAndLimits)
{
    struct Step
    {
        bool ok;
        DWORD count;
    };
    struct Case
    {
        const char* name;
        std::vector<Step> steps;
        size_t limit;
        bool ok;
        size_t size;
    };
    const Case cases[] = {
        {"chunks then the end", {{true, 4096}, {true, 100}, {true, 4096}, {true, 0}}, 100000, true, 8292},
        {"short reads", {{true, 1}, {true, 2}, {true, 3}, {true, 0}}, 100000, true, 6},
        {"read error after data", {{true, 4096}, {true, 4096}, {false, 0}}, 100000, false, 0},
        {"read error with bytes reported", {{true, 4096}, {false, 100}}, 100000, false, 0},
        {"read error at once", {{false, 0}}, 100000, false, 0},
        {"nothing at all", {{true, 0}}, 100000, false, 0},
        {"exactly the limit", {{true, 4096}, {true, 4096}, {true, 1808}, {true, 0}}, 10000, true, 10000},
        {"one byte over the limit", {{true, 4096}, {true, 4096}, {true, 1809}, {true, 0}}, 10000, false, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        size_t next = 0;
        unsigned char fill = 0;
        std::vector<unsigned char> expected;
        BodyReader read = [&](unsigned char* into, DWORD size, DWORD& got) {
            EXPECT_EQ(size, 4096u);
            if (next >= c.steps.size())
            {
                ADD_FAILURE() << "read after the end";
                got = 0;
                return true;
            }
            const Step step = c.steps[next++];
            got = step.count;
            for (DWORD i = 0; i < step.count; ++i)
                expected.push_back(into[i] = ++fill);
            return step.ok;
        };
        std::vector<unsigned char> bytes{9};
        EXPECT_EQ(ReadWholeBody(read, bytes, c.limit), c.ok);
        EXPECT_EQ(bytes.size(), c.size);
        if (c.ok)
        {
            EXPECT_EQ(bytes, expected);
        }
    }
}

TEST_F(UpdaterTest, BetaSettingMovesBothRequestsUnderBeta)
{
    ASSERT_TRUE(userSettings.SetDword(BetaUpdatesName, 1));
    const std::vector<unsigned char> unsigned_ = FileOf(L"updater_installer_stub.exe");
    ASSERT_GT(unsigned_.size(), InstallerSizeFloor);
    server.Serve(VersionPath + "beta/", {"1.0.0.3\r\n" + Marker + "\r\n"});
    server.Serve("/files/beta/TernvaleSetup.exe", {Bytes(unsigned_)});
    host.answer = IDYES; // update now; then decline the page
    CheckForUpdateNow(nullptr, endpoints, host);
    const std::vector<std::string> expected = {VersionPath + "beta/", "/files/beta/TernvaleSetup.exe"};
    EXPECT_EQ(server.Requests(), expected);
    EXPECT_EQ(ReadFileBytes(InstallerFile()), unsigned_);

    // The machine-wide setting alone is enough.
    ASSERT_TRUE(userSettings.SetDword(BetaUpdatesName, 0));
    ASSERT_TRUE(machineSettings.SetDword(BetaUpdatesName, 1));
    server.Clear();
    server.Serve(VersionPath + "beta/", {"1.0.0.3\r\n" + Marker + "\r\n"});
    std::wstring version;
    FetchVersionInfo(endpoints.versionInfoUrl, version);
    EXPECT_EQ(version, L"1.0.0.3");
}

TEST_F(UpdaterTest, InstallerAtTheSizeFloorIsRefusedWithoutAFile)
{
    // 16384 bytes written out: a floor that moved would pass a test built from the constant.
    server.Serve(InstallerPath, {std::string(16384, 'M')});
    InstallUpdate(nullptr, endpoints, host);
    EXPECT_TRUE(DownloadFoldersIn(temp.Path()).empty());
    EXPECT_TRUE(host.started.empty());
    ASSERT_EQ(host.shown.size(), 1u);
    EXPECT_EQ(host.shown[0].text, LaunchError);
    EXPECT_EQ(host.shown[0].style, static_cast<UINT>(MB_ICONERROR));

    // One byte more is written and then tested; random bytes are no signed program.
    host = RecordingHost();
    const std::string body(16385, 'M');
    server.Serve(InstallerPath, {body});
    EXPECT_FALSE(DownloadAndRunInstaller(endpoints, host));
    EXPECT_EQ(Bytes(ReadFileBytes(InstallerFile())), body);
    EXPECT_TRUE(host.started.empty());
    ASSERT_EQ(host.shown.size(), 1u);
    UniqueFile file(
        ::CreateFileW(InstallerFile().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    const SignatureCheck check = CheckFileSignature(InstallerFile(), file.Get());
    EXPECT_NE(check.status, 0);
    EXPECT_EQ(host.shown[0].text, SignatureWarningText(check.status, check.lastError));
    EXPECT_EQ(host.shown[0].style, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
}

TEST_F(UpdaterTest, UnsignedInstallerWarnsAndOffersThePage)
{
    server.Serve(InstallerPath, {Bytes(FileOf(L"updater_installer_stub.exe"))});
    for (int answer : {IDYES, IDNO})
    {
        SCOPED_TRACE(answer == IDYES ? "visit the page" : "do not visit");
        host = RecordingHost();
        host.answer = answer;
        InstallUpdate(reinterpret_cast<HWND>(0x42), endpoints, host);
        ASSERT_EQ(host.shown.size(), 2u);
        EXPECT_EQ(host.shown[0].text, NotSignedWarning);
        EXPECT_EQ(host.shown[0].style, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
        EXPECT_EQ(host.shown[0].owner, nullptr);
        EXPECT_EQ(host.shown[1].text, LaunchError);
        EXPECT_EQ(host.shown[1].style, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(host.shown[1].owner, reinterpret_cast<HWND>(0x42));
        EXPECT_EQ(host.pagesOpened,
                  answer == IDYES ? std::vector<std::wstring>{ErrorPage} : std::vector<std::wstring>{});
        EXPECT_TRUE(host.started.empty());
    }
}

#ifndef TERNVALE_NO_SIGNED_STUBS

// Whatever this system's WinVerifyTrust thinks of a self-signed file, the program shows the text that
// status calls for, and starts only a file it trusts whose certificate names the maker.
TEST_F(UpdaterTest, SignedInstallersAreStartedOnlyWhenTrustedAndSignedByTheMaker)
{
    struct Case
    {
        const wchar_t* file;
        bool maker;
    };
    const Case cases[] = {
        {L"updater_stub_maker.exe", true},
        {L"updater_stub_maker_organisation.exe", true},
        {L"updater_stub_foreign.exe", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.file);
        const std::wstring source = ExeDirectory() + L"\\" + c.file;
        UniqueFile held(
            ::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        const SignatureCheck direct = CheckFileSignature(source, held.Get());
        std::printf("%ls: WinVerifyTrust 0x%08lx, last error 0x%08lx, signer \"%ls\", organisation \"%ls\"\n", c.file,
                    static_cast<unsigned long>(direct.status), static_cast<unsigned long>(direct.lastError),
                    direct.signer.c_str(), direct.organisation.c_str());
        EXPECT_EQ(SignerMatches(direct, SignerName), direct.status == 0 && c.maker);

        host = RecordingHost();
        server.Serve(InstallerPath, {Bytes(FileOf(c.file))});
        const bool started = DownloadAndRunInstaller(endpoints, host);
        if (direct.status == 0 && c.maker)
        {
            EXPECT_TRUE(started);
            ASSERT_EQ(host.started.size(), 1u);
            EXPECT_TRUE(SamePath(host.started[0], InstallerFile())) << testing::PrintToString(host.started[0]);
            EXPECT_TRUE(host.shown.empty());
            continue;
        }
        EXPECT_FALSE(started);
        EXPECT_TRUE(host.started.empty());
        ASSERT_EQ(host.shown.size(), 1u);
        const LONG shownStatus = direct.status == 0 ? TRUST_E_SUBJECT_NOT_TRUSTED : direct.status;
        const DWORD shownError =
            direct.status == 0 ? static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED) : direct.lastError;
        EXPECT_EQ(host.shown[0].text, SignatureWarningText(shownStatus, shownError));
    }
}

TEST_F(UpdaterTest, TamperedSignedInstallerIsNotStarted)
{
    std::vector<unsigned char> body = FileOf(L"updater_stub_maker.exe");
    ASSERT_GT(body.size(), 20000u);
    body[body.size() / 3] ^= 0x5A;
    server.Serve(InstallerPath, {Bytes(body)});
    EXPECT_FALSE(DownloadAndRunInstaller(endpoints, host));
    EXPECT_TRUE(host.started.empty());
    ASSERT_EQ(host.shown.size(), 1u);
    EXPECT_NE(host.shown[0].text.find(L"There was an error validating"), std::wstring::npos);
}

// While the installer is being started, nobody can change, replace, rename or delete it, and the
// system can still run it.
TEST_F(UpdaterTest, VerifiedInstallerCannotBeSwappedBeforeTheStart)
{
    const std::vector<unsigned char> body = FileOf(L"updater_stub_maker.exe");
    if (!SystemTrustsTheSignedStub())
        GTEST_SKIP() << "this system does not trust a self-signed file, so nothing would be started";
    const std::wstring impostor = temp.File(L"impostor.exe");
    ASSERT_TRUE(WriteFileBytes(impostor, {'M', 'Z', 'x'}));
    server.Serve(InstallerPath, {Bytes(body)});

    host.onStart = [&](const std::wstring& path) {
        EXPECT_EQ(ReadFileBytes(path), body);
        UniqueFile writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
        EXPECT_FALSE(writer) << "opened for writing";
        EXPECT_FALSE(::DeleteFileW(path.c_str())) << "deleted";
        EXPECT_FALSE(::MoveFileExW(path.c_str(), (path + L".old").c_str(), 0)) << "renamed away";
        EXPECT_FALSE(::MoveFileExW(impostor.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) << "replaced";
        // Another process tries as well.
        testing_support::RunProcess(L"cmd.exe /c copy /y \"" + impostor + L"\" \"" + path + L"\"", 30000);
        EXPECT_EQ(ReadFileBytes(path), body);

        // The held file can still be started: run it the plain way and wait for it.
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        std::wstring commandLine = L"\"" + path + L"\" /S";
        if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process))
        {
            ADD_FAILURE() << "could not start the held installer: " << ::GetLastError();
            return false;
        }
        UniqueHandle processHandle(process.hProcess);
        UniqueHandle threadHandle(process.hThread);
        EXPECT_EQ(::WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
        DWORD exitCode = 1;
        ::GetExitCodeProcess(process.hProcess, &exitCode);
        EXPECT_EQ(exitCode, 0u);
        return true;
    };
    EXPECT_TRUE(DownloadAndRunInstaller(endpoints, host));
    ASSERT_EQ(host.started.size(), 1u);
    EXPECT_TRUE(FileExists(InstallerFile() + L".ran"));
    // Released after the start: the file is left in place and can be removed again.
    EXPECT_EQ(ReadFileBytes(InstallerFile()), body);
    EXPECT_TRUE(::DeleteFileW(InstallerFile().c_str()));
}

// The whole way with the real shell start: download, test, start through ShellExecuteExW "runas" with
// "/S" while the file is held, and the installer runs.
TEST_F(UpdaterTest, TrustedInstallerIsStartedSilentlyByTheShell)
{
    if (!SystemTrustsTheSignedStub())
        GTEST_SKIP() << "this system does not trust a self-signed file, so nothing would be started";
    server.Serve(InstallerPath, {Bytes(FileOf(L"updater_stub_maker.exe"))});
    host.onStart = [](const std::wstring& path) { return DesktopUpdateHost().StartElevated(nullptr, path); };
    ASSERT_TRUE(DownloadAndRunInstaller(endpoints, host));
    EXPECT_TRUE(host.shown.empty());

    const std::wstring marker = InstallerFile() + L".ran";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!FileExists(marker) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Let the installer end before its folder goes.
    UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && ::Process32FirstW(snapshot.Get(), &entry); more;
         more = ::Process32NextW(snapshot.Get(), &entry))
    {
        if (std::wstring(entry.szExeFile) != InstallerFileName)
            continue;
        UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process)
            ::WaitForSingleObject(process.Get(), 30000);
    }
    const std::string ran = Bytes(ReadFileBytes(marker));
    const std::wstring commandLine(reinterpret_cast<const wchar_t*>(ran.data()), ran.size() / sizeof(wchar_t));
    EXPECT_NE(commandLine.find(L"/S"), std::wstring::npos) << std::string(commandLine.begin(), commandLine.end());
}

// Whatever was planted in the temporary folder before or during the download, nothing outside the
// program's own new folder is written or removed, and either the real installer is started or the
// update fails with string 119.
TEST_F(UpdaterTest, PlantedLinksAndFilesNeverRedirectTheInstaller)
{
    const std::vector<unsigned char> body = FileOf(L"updater_stub_maker.exe");
    if (!SystemTrustsTheSignedStub())
        GTEST_SKIP() << "this system does not trust a self-signed file, so nothing would be started";
    enum class Plant
    {
        FolderLinkedAway,     // orlenby -> the victim folder
        InstallerLinkedAway,  // orlenby\TernvaleSetup.exe -> a victim file
        ReadOnlyInstaller,    // orlenby\TernvaleSetup.exe, read-only
        FolderAsInstaller,    // orlenby\TernvaleSetup.exe, a folder
        FolderSwappedForLink, // the new folder renamed away and a link put in its place, before the file
        FileSwappedForLink,   // the written installer replaced by a link to a victim file before it is held
    };
    struct Case
    {
        const char* name;
        Plant plant;
    };
    const Case cases[] = {
        {"orlenby is a link to a victim folder", Plant::FolderLinkedAway},
        {"the installer's name is a link to a victim file", Plant::InstallerLinkedAway},
        {"the installer's name is a read-only file", Plant::ReadOnlyInstaller},
        {"the installer's name is a folder", Plant::FolderAsInstaller},
        {"the new folder is swapped for a link during the download", Plant::FolderSwappedForLink},
        {"the written installer is swapped for a link", Plant::FileSwappedForLink},
    };
    server.Serve(InstallerPath, {Bytes(body)});
    const std::wstring base = FinalPathOfFolder(temp.Path());
    ASSERT_FALSE(base.empty());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDirectory victim;
        const std::wstring victimFile = victim.File(L"victim.exe");
        ASSERT_TRUE(WriteFileBytes(victimFile, {'v', 'i', 'c', 't', 'i', 'm'}));
        const std::wstring planted = temp.File(L"orlenby");
        testing_support::DeleteTree(planted);
        switch (c.plant)
        {
        case Plant::FolderLinkedAway:
            ASSERT_TRUE(MakeLink(planted, victim.Path(), true)) << ::GetLastError();
            ASSERT_TRUE(IsReparsePoint(planted));
            break;
        case Plant::InstallerLinkedAway:
            ASSERT_TRUE(::CreateDirectoryW(planted.c_str(), nullptr));
            ASSERT_TRUE(MakeLink(planted + L"\\TernvaleSetup.exe", victimFile, false)) << ::GetLastError();
            break;
        case Plant::ReadOnlyInstaller:
            ASSERT_TRUE(::CreateDirectoryW(planted.c_str(), nullptr));
            ASSERT_TRUE(WriteFileBytes(planted + L"\\TernvaleSetup.exe", {'r', 'o'}));
            ASSERT_TRUE(::SetFileAttributesW((planted + L"\\TernvaleSetup.exe").c_str(), FILE_ATTRIBUTE_READONLY));
            break;
        case Plant::FolderAsInstaller:
            ASSERT_TRUE(::CreateDirectoryW(planted.c_str(), nullptr));
            ASSERT_TRUE(::CreateDirectoryW((planted + L"\\TernvaleSetup.exe").c_str(), nullptr));
            break;
        case Plant::FolderSwappedForLink:
        case Plant::FileSwappedForLink:
            break;
        }
        const auto victimBefore = Contents(victim.Path());
        const auto plantedBefore = Contents(temp.Path() + L"\\orlenby");

        host = RecordingHost();
        host.onStage = [&](DownloadStage stage, const std::wstring& path) {
            if (c.plant == Plant::FolderSwappedForLink && stage == DownloadStage::FolderCreated)
            {
                // The program holds its folder against this; where the system lets it through anyway, the
                // link must be noticed.
                if (::MoveFileExW(path.c_str(), (path + L"-moved").c_str(), 0))
                    MakeLink(path, victim.Path(), true);
            }
            if (c.plant == Plant::FileSwappedForLink && stage == DownloadStage::InstallerWritten)
            {
                if (::DeleteFileW(path.c_str()))
                    MakeLink(path, victimFile, false);
            }
        };
        host.onStart = [&](const std::wstring& path) {
            EXPECT_EQ(ReadFileBytes(path), body) << "another file was started";
            EXPECT_TRUE(IsDownloadFolderName(NameOf(ParentOf(path))));
            EXPECT_TRUE(SamePath(ParentOf(ParentOf(path)), base)) << testing::PrintToString(path);
            EXPECT_FALSE(IsReparsePoint(path));
            EXPECT_FALSE(IsReparsePoint(ParentOf(path)));
            return true;
        };
        InstallUpdate(nullptr, endpoints, host);
        if (host.started.empty())
        {
            ASSERT_EQ(host.shown.size(), 1u);
            EXPECT_EQ(host.shown[0].text, LaunchError);
        }
        else
        {
            EXPECT_TRUE(host.shown.empty());
        }
        // Only the plain cases must start: their plants are not on the program's way at all.
        if (c.plant != Plant::FolderSwappedForLink && c.plant != Plant::FileSwappedForLink)
            EXPECT_EQ(host.started.size(), 1u);
        std::printf("%s: %s\n", c.name, host.started.empty() ? "refused (string 119)" : "the real installer started");
        EXPECT_EQ(Contents(victim.Path()), victimBefore) << "a victim file was written or removed";
        EXPECT_EQ(Contents(temp.Path() + L"\\orlenby"), plantedBefore) << "something planted was touched";

        // Links the test made go first, so that no clean-up follows one.
        for (const std::wstring& folder : DownloadFoldersIn(temp.Path()))
        {
            RemoveLink(folder);
            RemoveLink(folder + L"\\" + InstallerFileName);
            RemoveLink(folder + L"-moved");
        }
        RemoveLink(planted);
        RemoveLink(planted + L"\\TernvaleSetup.exe");
        ::SetFileAttributesW((planted + L"\\TernvaleSetup.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_EQ(Contents(victim.Path()), victimBefore);
    }
}

#endif

// A check loop that does not end cannot be stopped from outside; rather than hang until the
// test runner's time-out, the program fails at once.
void ExpectEndsOrAbort(std::future<void>& loop, const char* what)
{
    if (loop.wait_for(std::chrono::seconds(20)) == std::future_status::ready)
        return;
    std::printf("FAILED: the update checks did not end (%s)\n", what);
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 1);
}

TEST_F(UpdaterTest, ChecksRepeatUntilTheExitEventAndEndOnAFailedWait)
{
    server.Serve(VersionPath, {"1.0.0.3\r\n" + Marker + "\r\n"});
    UniqueHandle exitEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> newer{0};
    auto run = [&](HANDLE event, DWORD interval) {
        return std::async(std::launch::async, [&, event, interval] {
            RunUpdateChecks(event, interval, endpoints.versionInfoUrl, [&] { ++newer; });
        });
    };

    // Repeats after each time-out, until the event is set.
    auto repeating = run(exitEvent.Get(), 20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server.Requests().size() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::SetEvent(exitEvent.Get());
    ExpectEndsOrAbort(repeating, "exit event set");
    EXPECT_GE(server.Requests().size(), 3u);
    EXPECT_EQ(static_cast<size_t>(newer.load()), server.Requests().size());

    struct Case
    {
        const char* name;
        HANDLE event;
    };
    const Case cases[] = {
        {"already set: one check", exitEvent.Get()},
        {"a handle that cannot be waited on: one check, then the thread ends", nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        server.Clear();
        server.Serve(VersionPath, {"1.0.0.3\r\n" + Marker + "\r\n"});
        newer = 0;
        auto once = run(c.event, 10);
        ExpectEndsOrAbort(once, c.name);
        EXPECT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(newer.load(), 1);
    }

    // No news, no call.
    server.Serve(VersionPath, {"1.0.0.2\r\n" + Marker + "\r\n"});
    newer = 0;
    auto current = run(exitEvent.Get(), 10);
    ExpectEndsOrAbort(current, "no news");
    EXPECT_EQ(newer.load(), 0);
}

TEST(DownloadFolderNames, AreRecognisedExactlyAndFinalPathsArePlain)
{
    const unsigned char random[DownloadFolderRandomBytes] = {0x00, 0x01, 0xAB, 0xFF, 0x10, 0x20, 0x30, 0x40,
                                                             0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0};
    const std::wstring made = DownloadFolderName(random, sizeof(random));
    EXPECT_EQ(made, L"orlenby-0001abff102030405060708090a0b0c0");
    struct Case
    {
        std::wstring name;
        bool ours;
    };
    const Case names[] = {
        {made, true},
        {L"orlenby", false},                                    // the old fixed folder is not touched
        {L"orlenby-0001abff102030405060708090a0b0c", false},     // one digit short
        {L"orlenby-0001abff102030405060708090a0b0c00", false},   // one digit long
        {L"orlenby-0001ABFF102030405060708090a0b0c0", false},    // never made in capitals
        {L"orlenby-0001abff102030405060708090a0b0cg", false},
        {L"orlenbyx0001abff102030405060708090a0b0c0", false},
        {L"Orlenby-0001abff102030405060708090a0b0c0", false},
    };
    for (const Case& c : names)
    {
        SCOPED_TRACE(testing::PrintToString(c.name));
        EXPECT_EQ(IsDownloadFolderName(c.name), c.ours);
    }

    const std::pair<const wchar_t*, const wchar_t*> paths[] = {
        {L"\\\\?\\C:\\Users\\u\\Temp\\x", L"C:\\Users\\u\\Temp\\x"},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\x"},
        {L"C:\\plain", L"C:\\plain"},
    };
    for (const auto& [final, plain] : paths)
        EXPECT_EQ(PathFromFinalPath(final), plain);
    EXPECT_TRUE(SamePath(L"C:\\Temp\\A.exe", L"c:\\temp\\a.EXE"));
    EXPECT_FALSE(SamePath(L"C:\\Temp\\A.exe", L"C:\\Temp\\A.exe.old"));
}

TEST_F(UpdaterTest, OnlyA2xxAnswerIsAnAnswerOrAnInstaller)
{
    const std::string answer = "1.0.0.3\r\n" + Marker + "\r\n";
    const std::string installer(InstallerSizeFloor + 1, 'M');
    const std::pair<int, bool> statuses[] = {{200, true}, {203, true}, {299, true}, {403, false},
                                             {404, false}, {410, false}, {500, false}, {503, false}};
    for (const auto& [status, usable] : statuses)
    {
        SCOPED_TRACE(status);
        server.Serve(VersionPath, {answer, LoopbackHttpServer::Ending::Complete, status});
        server.Serve(InstallerPath, {installer, LoopbackHttpServer::Ending::Complete, status});
        std::wstring version = L"stale";
        FetchVersionInfo(endpoints.versionInfoUrl, version);
        EXPECT_EQ(version, usable ? L"1.0.0.3" : L"");
        std::vector<unsigned char> bytes;
        EXPECT_EQ(DownloadToMemory(server.Url(InstallerPath), bytes, MaxInstallerBytes), usable);
        EXPECT_EQ(bytes.size(), usable ? installer.size() : 0u);

        // An error page is never written as the installer.
        host = RecordingHost();
        InstallUpdate(nullptr, endpoints, host);
        EXPECT_EQ(DownloadFoldersIn(temp.Path()).empty(), !usable);
        ASSERT_FALSE(host.shown.empty());
        EXPECT_EQ(host.shown.back().text, LaunchError);
    }
}

// The folder of each download is new, private to the user (as far as this system stores access lists),
// and the folders of earlier downloads go at the next one, links removed as links.
TEST_F(UpdaterTest, EachDownloadGetsANewPrivateFolderAndEarlierOnesGo)
{
    TempDirectory victim;
    ASSERT_TRUE(WriteFileBytes(victim.File(L"keep.txt"), {'k', 'e', 'e', 'p'}));
    const auto victimBefore = Contents(victim.Path());
    server.Serve(InstallerPath, {std::string(InstallerSizeFloor + 1, 'M')});

    EXPECT_FALSE(DownloadAndRunInstaller(endpoints, host));
    const std::vector<std::wstring> first = DownloadFoldersIn(temp.Path());
    ASSERT_EQ(first.size(), 1u);

    // Leftovers of every kind under the scheme's names: a link to a victim folder, a folder with a
    // read-only file, a sub-folder and a link inside.
    const unsigned char linkName[DownloadFolderRandomBytes] = {1};
    const unsigned char treeName[DownloadFolderRandomBytes] = {2};
    const std::wstring plantedLink = temp.File(DownloadFolderName(linkName, sizeof(linkName)));
    const std::wstring tree = temp.File(DownloadFolderName(treeName, sizeof(treeName)));
    ASSERT_TRUE(MakeLink(plantedLink, victim.Path(), true)) << ::GetLastError();
    ASSERT_TRUE(IsReparsePoint(plantedLink));
    ASSERT_TRUE(::CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(tree + L"\\sub\\old.exe", {'o', 'l', 'd'}));
    ASSERT_TRUE(::SetFileAttributesW((tree + L"\\sub\\old.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(MakeLink(tree + L"\\into-victim", victim.Path(), true));
    const std::wstring unrelated = temp.File(L"orlenby");
    ASSERT_TRUE(::CreateDirectoryW(unrelated.c_str(), nullptr));

    host = RecordingHost();
    EXPECT_FALSE(DownloadAndRunInstaller(endpoints, host));
    EXPECT_FALSE(FileExists(first[0])) << "the earlier folder was left";
    std::wstring fresh;
    for (const std::wstring& folder : DownloadFoldersIn(temp.Path()))
    {
        if (FileExists(folder + L"\\" + InstallerFileName) && !IsReparsePoint(folder))
            fresh = folder;
    }
    ASSERT_FALSE(fresh.empty());
    EXPECT_NE(NameOf(fresh), NameOf(first[0]));
    // Where the system cannot delete a link without following it, the link stays: never its target.
    EXPECT_TRUE(!FileExists(plantedLink) || IsReparsePoint(plantedLink));
    EXPECT_FALSE(FileExists(tree + L"\\sub")) << "a leftover's content was left";
    EXPECT_TRUE(!FileExists(tree + L"\\into-victim") || IsReparsePoint(tree + L"\\into-victim"));
    EXPECT_TRUE(FileExists(unrelated)) << "a folder outside the scheme was removed";
    EXPECT_EQ(Contents(victim.Path()), victimBefore) << "removal went through a link";
    RemoveLink(plantedLink);
    RemoveLink(tree + L"\\into-victim");
    const std::vector<std::wstring> second = {fresh};

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(second[0].c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    UniqueLocalMem owner(descriptor);
    if (dacl == nullptr || WineUnixName() != nullptr)
        GTEST_SKIP() << "Wine reports an access list made up from the Unix mode bits, not the folder's own";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "inherits from the temporary folder";
    std::vector<std::wstring> trustees;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        LPWSTR sid = nullptr;
        ASSERT_TRUE(::ConvertSidToStringSidW(&ace->SidStart, &sid));
        UniqueLocalMem sidOwner(sid);
        trustees.push_back(sid);
    }
    UniqueHandle token;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()));
    unsigned char buffer[256] = {};
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size));
    LPWSTR user = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &user));
    UniqueLocalMem userOwner(user);
    std::sort(trustees.begin(), trustees.end());
    std::vector<std::wstring> expected = {L"S-1-5-18", L"S-1-5-32-544", user};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(trustees, expected);
}

TEST(OpenUnelevated, AnElevatedProgramOpensPagesOnlyThroughTheDesktopShell)
{
    struct Case
    {
        const char* name;
        bool elevated;
        bool shellAvailable;
        PageOpenedBy by;
    };
    const Case cases[] = {
        {"not elevated: its own start is the user's", false, true, PageOpenedBy::Directly},
        {"not elevated, no desktop shell", false, false, PageOpenedBy::Directly},
        {"elevated: through the desktop shell", true, true, PageOpenedBy::DesktopShell},
        {"elevated, no desktop shell: nothing", true, false, PageOpenedBy::Nothing},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> direct;
        std::vector<std::wstring> shell;
        PageOpening opening;
        opening.isElevated = [&] { return c.elevated; };
        opening.openThroughDesktopShell = [&](const std::wstring& url) {
            shell.push_back(url);
            return c.shellAvailable;
        };
        opening.openDirectly = [&](const std::wstring& url) { direct.push_back(url); };
        EXPECT_EQ(OpenUnelevated(ErrorPage, opening), c.by);
        EXPECT_EQ(direct, c.elevated ? std::vector<std::wstring>{} : std::vector<std::wstring>{ErrorPage});
        EXPECT_EQ(shell, c.elevated ? std::vector<std::wstring>{ErrorPage} : std::vector<std::wstring>{});
    }
}

TEST(ProgressText, SaysWhatArrivedAndOfWhat)
{
    EXPECT_EQ(ProgressText(0, 0), L"0 KB received");
    EXPECT_EQ(ProgressText(2047, 0), L"1 KB received");
    EXPECT_EQ(ProgressText(5 * 1024 * 1024, 0), L"5,120 KB received");
    EXPECT_EQ(ProgressText(1024, 1234567 * 1024ull), L"1 KB of 1,234,567 KB received");
}

// A host whose installer transfer is the real one with the progress window, on a test exit event.
class ProgressHost : public RecordingHost
{
  public:
    ProgressSettings settings;
    TransferResult DownloadInstaller(HWND owner, const std::wstring& url, std::vector<unsigned char>& bytes) override
    {
        return DownloadWithProgress(owner, url, bytes, MaxInstallerBytes, settings);
    }
};

// The transfer runs beside the window's messages and ends on each way out; the messages of the update
// stay those of a failed (or, on the program's end, abandoned) download.
TEST_F(UpdaterTest, TheProgressWindowEndsTheTransferOnEachWayOut)
{
    using Ending = LoopbackHttpServer::Ending;
    enum class Action
    {
        None,
        Cancel,
        CloseBox,
        Exit,
        Quit,
    };
    struct Case
    {
        const char* name;
        Ending ending;
        Action action;
        DWORD stallLimitMs;
        TransferResult result;
    };
    // The stall limit of the other rows is far beyond the test's own time-out: only the action can end them.
    const DWORD never = 3600 * 1000;
    const Case cases[] = {
        {"complete", Ending::Complete, Action::None, never, TransferResult::Complete},
        {"cancel", Ending::Stall, Action::Cancel, never, TransferResult::Failed},
        {"window closed", Ending::Stall, Action::CloseBox, never, TransferResult::Failed},
        {"program ending", Ending::Stall, Action::Exit, never, TransferResult::Ended},
        {"tray menu's Exit", Ending::Stall, Action::Quit, never, TransferResult::Ended},
        {"stalled", Ending::Stall, Action::None, 1500, TransferResult::Failed},
    };
    const std::vector<unsigned char> stub = FileOf(L"updater_installer_stub.exe");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        // Wine's WinINet neither times out nor ends a read that waits for data, so the stalled server gives
        // up too, after a while; the program must have given up long before (see its stall limit).
        server.Serve(InstallerPath, {Bytes(stub), c.ending, 200, c.stallLimitMs == never ? 0u : 10000u});
        UniqueHandle exitEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ProgressSettings settings;
        settings.exitEvent = exitEvent.Get();
        settings.stallLimitMs = c.stallLimitMs;
        std::wstring firstText;
        settings.shown = [&](HWND window) {
            EXPECT_TRUE(::IsWindowVisible(window));
            wchar_t text[128] = {};
            ::GetDlgItemTextW(window, ProgressTextId, text, static_cast<int>(std::size(text)));
            firstText = text;
            switch (c.action)
            {
            case Action::Cancel:
                ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
                break;
            case Action::CloseBox:
                ::PostMessageW(window, WM_CLOSE, 0, 0);
                break;
            case Action::Exit:
                ::SetEvent(exitEvent.Get());
                break;
            case Action::Quit:
                ::PostQuitMessage(7);
                break;
            case Action::None:
                break;
            }
        };
        std::vector<unsigned char> bytes{1};
        EXPECT_EQ(DownloadWithProgress(nullptr, server.Url(InstallerPath), bytes, MaxInstallerBytes, settings),
                  c.result);
        EXPECT_EQ(firstText, L"0 KB received");
        EXPECT_EQ(bytes, c.result == TransferResult::Complete ? stub : std::vector<unsigned char>{});
        MSG quit{};
        const bool quitPosted = ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
        EXPECT_EQ(quitPosted, c.action == Action::Quit) << "the quit message is the caller's";
        if (quitPosted)
            EXPECT_EQ(quit.wParam, 7u);
        EXPECT_FALSE(::FindWindowW(L"Ternvale_DownloadProgress", nullptr)) << "the window was left";

        // The same through the balloon's flow: a failed transfer says string 119, an abandoned one nothing.
        ProgressHost progressHost;
        progressHost.settings = settings;
        progressHost.settings.shown = [&](HWND window) {
            if (c.action == Action::Quit)
                ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0); // the quit itself was shown above
            else
                settings.shown(window);
        };
        ::ResetEvent(exitEvent.Get());
        InstallUpdate(nullptr, endpoints, progressHost);
        std::vector<std::wstring> texts;
        for (const Shown& shown : progressHost.shown)
            texts.push_back(shown.text);
        std::vector<std::wstring> expected;
        if (c.result == TransferResult::Complete)
            expected = {NotSignedWarning, LaunchError};
        else if (c.result == TransferResult::Failed || c.action == Action::Quit)
            expected = {LaunchError};
        EXPECT_EQ(texts, expected);
        EXPECT_TRUE(progressHost.started.empty());
    }
}

} // namespace
