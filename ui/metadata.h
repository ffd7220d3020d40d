// The metadata window: every field the file carries, grouped, with one edit
// box for changing a value or a PNG keyword in place, removal marks, fields
// added from the format's list, and the verified save.
#pragma once

#include <windows.h>

// Opens the window over the owner for the file at path and returns when it
// has closed; true when at least one save succeeded while it was open. An
// open window is only brought to the front (false).
bool metadata_show(HWND owner, const wchar_t* path);

// A test driver sends WM_COPYDATA with this dwData and a UTF-16 file path as
// its data; the window writes its state there as UTF-8 text, one line each:
// "file", "note", "status", "scroll" (scroll, total), "edit" (field, by name,
// text, whether the box uses the window's current font), "hot" (row, part, button), "btn" (id,
// enabled) and, in list order, "H" (top, group) or "F" (top, field index, group, label, value,
// flags from "enrxac": editable, renamable, removable, removed, added, changed). Fields are
// separated by tabs; tabs, line feeds and backslashes in texts are escaped.
inline constexpr ULONG_PTR kMetaStateQuery = 0x4E564D52;  // "NVMR"
