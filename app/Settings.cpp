#include "app/Settings.h"

#include "app/Format.h"

void CDeviceSettings::RebuildDevicePattern() {
  m_strDevicePattern = FormatText(L"VID_%ls&PID_%ls&MI_02", m_strVid.c_str(), m_strPid.c_str());
}

void CDeviceSettings::LoadSettings(CIni& ini) {
  m_strVid = ini.GetString(L"VID", L"7C3E");
  m_strPid = ini.GetString(L"PID", L"5D1A");
  RebuildDevicePattern();
  m_strBootVid = ini.GetString(L"BLVID", L"7C3E");
  m_strBootPid = ini.GetString(L"BLPID", L"5E1A");
}
