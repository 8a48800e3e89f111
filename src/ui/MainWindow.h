#pragma once
// The main window (dialog 101) and its Add New Entry and About dialogs.

#include <windows.h>

#include <optional>

#include "ui/CoreGraph.h"

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The processor and loads that the graph shows from the next opening on, in place of the machine's
// (see CoreGraph::UseSource).
void SetMainWindowGraphSource(CoreTopology topology, std::optional<ULONG> highestNode, SamplerFactory samplerFactory);

// Dialog 108. lParam of WM_INITDIALOG points to a std::wstring: the initial text on entry, the
// entered text after OK. Result 0 after OK, 1 after Cancel or closing.
INT_PTR CALLBACK AddEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Dialog 118.
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
