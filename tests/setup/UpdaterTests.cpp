// The update check and the installer launch against a loopback HTTP server, with the desktop (message
// boxes, the error page, the elevated start) answered by the test.

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <wintrust.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackHttpServer.h"
#include "app/Globals.h"
#include "app/Handles.h"
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
    bool StartElevated(const std::wstring& path) override
    {
        started.push_back(path);
        return onStart(path);
    }
};

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

    std::wstring InstallerFile() const
    {
        return temp.File(InstallerFileName);
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
    EXPECT_FALSE(FileExists(InstallerFile()));
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
            EXPECT_EQ(host.started, std::vector<std::wstring>{InstallerFile()});
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
    {
        const std::wstring source = ExeDirectory() + L"\\updater_stub_maker.exe";
        UniqueFile held(
            ::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (CheckFileSignature(source, held.Get()).status != 0)
            GTEST_SKIP() << "this system does not trust a self-signed file, so nothing would be started";
    }
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
    const std::wstring source = ExeDirectory() + L"\\updater_stub_maker.exe";
    {
        UniqueFile held(
            ::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (CheckFileSignature(source, held.Get()).status != 0)
            GTEST_SKIP() << "this system does not trust a self-signed file, so nothing would be started";
    }
    server.Serve(InstallerPath, {Bytes(FileOf(L"updater_stub_maker.exe"))});
    host.onStart = [](const std::wstring& path) { return DesktopUpdateHost().StartElevated(path); };
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

} // namespace
