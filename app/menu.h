// The viewer's menu bar and popup menus: owner-drawn items from static label
// records, access letters, the dark bar and the hook that themes popups.
#pragma once

#include <windows.h>

// While true, popup menus created on this thread keep the system look (set
// around the system dialogs and message boxes).
extern bool g_lightPopups;

// Builds the bar with its popups for the DPI.
HMENU BuildMenu(UINT dpi);

// Handles the menu messages of the viewer window (measure, draw, access
// letters, the dark bar). True when the message was handled; *result holds
// the window procedure's answer.
bool MenuMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT dpi, LRESULT* result);

// The thread hook that gives popup menus the dark theme; installed once.
void InstallPopupHook();
// Removes the hook and deletes the menu font and brush.
void ReleaseMenuResources();
