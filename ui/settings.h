// The settings window: which picture types the program offers itself for in
// the "Open with" lists, for the current user.
#pragma once

#include <windows.h>

// Opens the window over the owner and returns when it has closed; an open
// window is only brought to the front.
void settings_show(HWND owner);
