#pragma once
// The four device IDs of the [Config] settings and the device pattern built from them.
#include <string>

#include "app/Ini.h"

struct CDeviceSettings {
  std::wstring m_strVid;
  std::wstring m_strPid;
  std::wstring m_strDevicePattern;
  std::wstring m_strBootVid;
  std::wstring m_strBootPid;

  // Reads VID, PID, BLVID and BLPID (defaults 7C3E, 5D1A, 7C3E, 5E1A) and builds the pattern.
  void LoadSettings(CIni& ini);
  // "VID_%s&PID_%s&MI_02" of the current VID and PID.
  void RebuildDevicePattern();
};
