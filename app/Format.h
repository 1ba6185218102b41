#pragma once
// The one way this program formats a text: printf-style into a string that
// grows to fit. Wide formats use %ls for wide strings so that they mean the
// same with every C library.
#include <cstdarg>
#include <string>

std::wstring FormatText(const wchar_t* format, ...);
std::wstring FormatTextV(const wchar_t* format, va_list args);
std::string FormatTextA(const char* format, ...);
std::string FormatTextAV(const char* format, va_list args);
