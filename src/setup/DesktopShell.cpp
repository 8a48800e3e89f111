#include "setup/DesktopShell.h"

#include <exdisp.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include "app/Handles.h"

using Microsoft::WRL::ComPtr;

namespace
{
// CLSID_ShellWindows and SID_STopLevelBrowser, spelt out so that no GUID library is needed.
constexpr CLSID ShellWindowsClass = {0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
constexpr GUID TopLevelBrowserService = {0x4C96BE40, 0x915C, 0x11CF, {0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37}};

// A VARIANT that holds nothing (or a number): nothing to clear.
VARIANT PlainVariant(VARTYPE type = VT_EMPTY, LONG value = 0)
{
    VARIANT variant;
    ::VariantInit(&variant);
    variant.vt = type;
    if (type == VT_I4)
        variant.lVal = value;
    return variant;
}

ComPtr<IShellDispatch2> DesktopShellDispatch()
{
    ComPtr<IShellWindows> windows;
    if (FAILED(::CoCreateInstance(ShellWindowsClass, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&windows))))
        return nullptr;
    VARIANT location = PlainVariant();
    VARIANT root = PlainVariant();
    long window = 0;
    ComPtr<IDispatch> desktop;
    if (windows->FindWindowSW(&location, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &desktop) !=
            S_OK ||
        !desktop)
        return nullptr;
    ComPtr<IServiceProvider> services;
    ComPtr<IShellBrowser> browser;
    ComPtr<IShellView> view;
    ComPtr<IDispatch> background;
    ComPtr<IShellFolderViewDual> folderView;
    ComPtr<IDispatch> application;
    ComPtr<IShellDispatch2> shell;
    if (FAILED(desktop.As(&services)) ||
        FAILED(services->QueryService(TopLevelBrowserService, IID_PPV_ARGS(&browser))) ||
        FAILED(browser->QueryActiveShellView(&view)) || !view ||
        FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(&background))) ||
        FAILED(background.As(&folderView)) || FAILED(folderView->get_Application(&application)) || !application ||
        FAILED(application.As(&shell)))
        return nullptr;
    return shell;
}
} // namespace

bool IsProcessElevated()
{
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = sizeof(elevation);
    return ::GetTokenInformation(token.Get(), TokenElevation, &elevation, size, &size) && elevation.TokenIsElevated;
}

bool ShellExecuteThroughDesktop(const std::wstring& file, const std::wstring& parameters)
{
    const ComApartment apartment(COINIT_APARTMENTTHREADED);
    const ComPtr<IShellDispatch2> shell = DesktopShellDispatch();
    if (!shell)
        return false;
    UniqueBstr fileText(::SysAllocString(file.c_str()));
    if (!fileText)
        return false;
    OwnedVariant arguments;
    if (!parameters.empty() && !arguments.SetString(parameters.c_str()))
        return false;
    return SUCCEEDED(shell->ShellExecute(fileText.Get(), arguments.Get(), PlainVariant(), PlainVariant(),
                                         PlainVariant(VT_I4, SW_SHOWNORMAL)));
}

PageOpenedBy OpenUnelevated(const std::wstring& url, const PageOpening& opening)
{
    if (!opening.isElevated())
    {
        opening.openDirectly(url);
        return PageOpenedBy::Directly;
    }
    // Falling back to this process's own start would open an elevated browser: better nothing.
    return opening.openThroughDesktopShell(url) ? PageOpenedBy::DesktopShell : PageOpenedBy::Nothing;
}

PageOpening SystemPageOpening()
{
    PageOpening opening;
    opening.isElevated = &IsProcessElevated;
    opening.openThroughDesktopShell = [](const std::wstring& url) { return ShellExecuteThroughDesktop(url, {}); };
    opening.openDirectly = [](const std::wstring& url) {
        ::ShellExecuteW(nullptr, nullptr, url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    };
    return opening;
}
