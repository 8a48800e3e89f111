// Stands in for the downloaded installer in the update tests: it leaves "<own path>.ran" holding
// its command line, so a test can see that it was started and with which arguments.
#include <windows.h>

#include <string>

int wmain()
{
    wchar_t self[MAX_PATH] = {};
    if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return 1;
    const std::wstring marker = std::wstring(self) + L".ran";
    HANDLE file =
        ::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    const wchar_t* commandLine = ::GetCommandLineW();
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, commandLine, static_cast<DWORD>(::lstrlenW(commandLine) * sizeof(wchar_t)),
                                &written, nullptr);
    ::CloseHandle(file);
    return ok ? 0 : 1;
}
