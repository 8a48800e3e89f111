#pragma once
// Every private window message of the program. Worker threads only post these; other instances
// send WM_TRAY_SHOW_MAIN, so the numbers are fixed.

#include <windows.h>

constexpr UINT WM_TRAY_CALLBACK = WM_USER + 1;            // icon event: lParam mouse message or balloon notification
constexpr UINT WM_TRAY_ADD_ICON = WM_USER + 2;            // add the notification icon
constexpr UINT WM_TRAY_START_MONITOR = WM_USER + 3;       // (re)start monitoring with the saved list
constexpr UINT WM_TRAY_STOP_MONITOR = WM_USER + 4;        // stop monitoring
constexpr UINT WM_TRAY_UPDATE_BALLOON = WM_USER + 5;      // a newer version exists: show the balloon
constexpr UINT WM_TRAY_START_UPDATE_CHECK = WM_USER + 6;  // start the daily update-check thread
constexpr UINT WM_TRAY_EXIT = WM_USER + 7;                // another instance asked us to close
constexpr UINT WM_TRAY_SHOW_MAIN = WM_USER + 8;           // open the main window or raise it
constexpr UINT WM_MAIN_REFRESH_STATUS = WM_USER + 9;      // a pass finished: refresh the status bar
constexpr UINT WM_TRAY_RULES_CHANGED = WM_USER + 10;      // the list was saved: restart monitoring if it runs
constexpr UINT WM_MAIN_SAVE_RULES = WM_USER + 11;         // save the list box to the rule list file
constexpr UINT WM_GRAPH_START_SAMPLING = WM_APP + 1;      // graph window: start sampling
constexpr UINT WM_GRAPH_STOP_SAMPLING = WM_APP + 2;       // graph window: stop sampling
constexpr UINT WM_GRAPH_SET_TIP = WM_APP + 3;             // graph window: set a bar's tip text (lParam: GraphTipRecord*)

static_assert(WM_TRAY_CALLBACK == 1025 && WM_TRAY_ADD_ICON == 1026 && WM_TRAY_START_MONITOR == 1027 &&
              WM_TRAY_STOP_MONITOR == 1028 && WM_TRAY_UPDATE_BALLOON == 1029 && WM_TRAY_START_UPDATE_CHECK == 1030 &&
              WM_TRAY_EXIT == 1031 && WM_TRAY_SHOW_MAIN == 1032 && WM_MAIN_REFRESH_STATUS == 1033 &&
              WM_TRAY_RULES_CHANGED == 1034 && WM_MAIN_SAVE_RULES == 1035);
static_assert(WM_GRAPH_START_SAMPLING == 0x8001 && WM_GRAPH_STOP_SAMPLING == 0x8002 && WM_GRAPH_SET_TIP == 0x8003);
