#pragma once
// Diagnostic texts of the updater library's error codes.
#include <string>

std::wstring GetUpdateErrorText(int code);
