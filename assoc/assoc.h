// Per-user file associations. The program has no installer: it registers
// itself for picture types under HKEY_CURRENT_USER only (ProgID, "Open with",
// application entry, Default Programs capabilities and an uninstall entry
// whose command removes every key again), records its own path so that a
// moved or replaced copy can take the registrations over, and repairs a
// registration whose program file is gone at start-up.
//
// The table is portable; every assoc_* function is Windows-only and meant for
// the UI thread.
#pragma once

struct AssocType {
  const wchar_t* ext;          // with its leading dot: ".png"
  const wchar_t* description;  // the ProgID's text: "PNG image"
};
extern const AssocType g_assocTypes[];
extern const int g_assocTypeCount;

// The running program's path, read once and kept for the life of the process.
const wchar_t* assoc_exe_path();

// Whether `ext` (".png") lists this program's ProgID under
// OpenWithProgids.
bool assoc_is_registered(const wchar_t* ext);
// How many types of the table are registered.
int assoc_registered_count();

// The program path recorded at the last registration. False, with `out` empty
// whenever capacity allows, when nothing usable is recorded (no value, not
// REG_SZ, too long for the buffer, or empty).
bool assoc_registered_exe_path(wchar_t* out, int capacity);
// True when no path is recorded or the recorded one is this program's.
bool assoc_points_here();

// Rewrites every registered type for the running program and drops the
// application entry of a previous copy with another file name. True when
// every rewrite succeeded (and when nothing is registered).
bool assoc_repoint_here();
// Registers one type for the running program, taking the other types over
// first when another copy is recorded.
bool assoc_register(const wchar_t* ext);
// Removes one type; the shared entries go with the last one. Always true.
bool assoc_unregister(const wchar_t* ext);

// Tells the shell that associations changed.
void assoc_notify_shell();
// Start-up repair: a recorded program file that is gone hands the
// registrations to the running copy; a missing uninstall entry is written
// again for the recorded copy.
void assoc_heal_if_moved();
