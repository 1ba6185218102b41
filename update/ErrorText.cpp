#include "update/ErrorText.h"

#include "app/Format.h"

// The Tamber in-system-programming errors, indexed by code; entry 0 is never used.
static const wchar_t* const g_szIspErrorText[39] = {
    L"",
    L"Wrong Password Format!!",
    L"Wrong Vendor ID!!",
    L"Wrong Product ID!!",
    L"Wrong Chip Name!!",
    L"Load TM8 File Failed!! Please Check the File.",
    L"Check TM8 File, Not a valid TM8 file!!",
    L"Can't Find USB HID Device!!",
    L"Check if connected device is Tamber ISP, Return User Mode Failed!!",
    L"Check if connected device is Tamber ISP, TM8 File is not for the attached device!!",
    L"Get the firmware version and compare it : Protocol Handshake Error!!",
    L"Firmware Version is not for this chip!!",
    L"Firmware Version in TM8 file does not match that of USB Device!",
    L"Dispatch the working function : This firmware version is not supported!!",
    L"Write down the password and verify if it is valid : Protocol Handshake Error!!",
    L"Check Code Option, X'tal setting in code option does not match!!",
    L"Set Encryption Algorithm : Protocol Handshake Error!!",
    L"Set Chip Erase Result : Protocol Handshake Error!!",
    L"Get Chip Erase Result : Chip Erase Failed!!",
    L"Get User Code CheckSum : Blank Check Failed!!",
    L"Enable Program : Program Failed!!",
    L"Write Data : Program Failed!!",
    L"Update Code Option : Program Failed!!",
    L"Update Code Option : Update Code Option failed!!",
    L"Update Code Option : Security bit is Enabled. Code Option can not be updated!!",
    L"Get User Code CheckSum : Data Verify Failed!!",
    L"Return User Mode : Protocol Handshake Error!!",
    L"Write Data Failed!!",
    L"Read Data Failed!!",
    L"Codeoption Erase Protocol Handshake Error!!",
    L"Chip Erase Protocol Handshake Error!!",
    L"Blank Check Failed!!",
    L"Program Codeoption Failed!!",
    L"Code Security Value Error!",
    L"Security = CS3, Unsupport  ISP Download !!",
    L"Get Code Option Fail!!",
    L"Protocol Handshake Error!!",
    L"Code Option Blank Check Failed!!",
    L"Code Option Program Failed!!",
};

std::wstring GetUpdateErrorText(int code) {
  switch (code) {
    case -1: return L"File not exist";
    case -3: return L"File open fail";
    case -4: return L"No Device";
    case -5: return L"no Tmb.dll";
    case -6: return L"Not support multi-device";
    case -7: return L"Tamber 8bits MCU";
    case -8: return L"Write Data Fail";
    default: break;
  }
  if (code >= 1 && code <= 38) return FormatText(L"%ls", g_szIspErrorText[code]);
  return L"Unknow Error";
}
