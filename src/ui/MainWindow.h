#pragma once
// The main window (dialog 101) and its Add New Entry and About dialogs.

#include <windows.h>

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Dialog 108. lParam of WM_INITDIALOG points to a std::wstring: the initial text on entry, the
// entered text after OK. Result 0 after OK, 1 after Cancel or closing.
INT_PTR CALLBACK AddEntryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Dialog 118.
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
