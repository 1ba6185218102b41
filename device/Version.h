#pragma once
// Device revisions and package versions: read, formatted, dotted and compared.
#include <string>

#include "app/Platform.h"

std::wstring GetDeviceRevision(const wchar_t* hardwareIds);
DWORD RevisionToNumber(const std::wstring& revision);
std::wstring FormatDeviceVersion(DWORD value);
std::wstring FormatFileVersion(DWORD value);
LONG FileVersionToNumber(DWORD value);
BOOL IsPackageNewer(DWORD deviceNumber, DWORD packageVersion);
// The text SetVersionText shows: a 4-character text dotted, anything else unchanged.
std::wstring VersionDisplayText(const std::wstring& text);

class IMainView;
// Shows VersionDisplayText(text) in the control.
void SetVersionText(IMainView& view, int controlId, const std::wstring& text);
