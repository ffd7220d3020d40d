// Stepping through a folder's pictures: the natural name order and the
// choice of the picture a step opens. Free of any window; the Windows build
// sorts with the shell's own order and uses these for the rest.
#pragma once

#include <string>
#include <vector>

// The 14 extensions that make a file part of the sequence, null-terminated.
extern const wchar_t* const kImageExts[];

// Whether a file name ends in one of kImageExts (from its last '.', without
// regard to case).
bool IsImageName(const std::wstring& name);

// The shell's natural order, written out: runs of digits compare by their
// value, letters without regard to case, and spaces and punctuation sort
// before digits, digits before letters. Negative, zero or positive.
int LogicalCompare(const std::wstring& a, const std::wstring& b);

// Case-insensitive equality of two names.
bool SameName(const std::wstring& a, const std::wstring& b);

// Step codes: 1 next, -1 previous, 2 first, 3 last.
// The index in `list` (sorted by `compare`) that a step from `name` opens,
// or -1 when the step opens nothing. A name no longer in the list steps from
// where it would stand.
int SiblingTarget(const std::vector<std::wstring>& list, const std::wstring& name, int step,
                  int (*compare)(const std::wstring&, const std::wstring&));
