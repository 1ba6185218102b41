#pragma once
// Text lookup by English identifier and language index (0 English, 1 Traditional
// Chinese, 2 Simplified Chinese), falling back to the English text of the same
// identifier and then to the caller's default.
#include <cstddef>

#include "app/Platform.h"

#define LOCALIZED_TEXT_UNITS 512

// Copies at most cchBuffer units, terminator included (truncating). Always TRUE.
BOOL LoadLocalizedString(WORD language, UINT id, wchar_t* buffer, size_t cchBuffer, const wchar_t* def);

// Loads one string resource into buffer; false when the tables have no text under id.
// Windows: the executable's string tables. Tests may install their own.
typedef bool (*StringResourceFn)(UINT id, wchar_t* buffer, size_t cchBuffer);
void SetStringResourceLoader(StringResourceFn fn);  // null restores the default
