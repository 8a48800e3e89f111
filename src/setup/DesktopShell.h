#pragma once
// Starting things in the desktop user's own context from a program that may run elevated: the shell
// of the desktop (Explorer) runs in that context, so what it is asked to start runs there too.

#include <windows.h>

#include <functional>
#include <string>

// True when this process runs with an elevated token.
bool IsProcessElevated();
// ShellExecute by the desktop's shell (found through the shell windows, as the documentation shows for
// launching unelevated from an elevated process). False when the desktop's shell cannot be reached.
bool ShellExecuteThroughDesktop(const std::wstring& file, const std::wstring& parameters);

// How a page is opened so that the browser never gets the program's elevation.
struct PageOpening
{
    std::function<bool()> isElevated;
    std::function<bool(const std::wstring& url)> openThroughDesktopShell; // false: the shell cannot be reached
    std::function<void(const std::wstring& url)> openDirectly;
};
enum class PageOpenedBy
{
    Directly,     // not elevated: this process's own context is the user's
    DesktopShell, // elevated: the desktop's shell opened it
    Nothing,      // elevated, and the desktop's shell could not be reached: nothing is shown
};
PageOpenedBy OpenUnelevated(const std::wstring& url, const PageOpening& opening);
// IsProcessElevated, ShellExecuteThroughDesktop and ShellExecuteW.
PageOpening SystemPageOpening();
