#pragma once
// The programs the Windows tests start, named in one place: the shipped ones.
// They find the simulated mouse as they would find a real one, through the
// virtual HID bus (windriver::MouseHost); only the vendor libraries' stand-ins
// they carry read ORVANE_SIMMOUSE.
namespace programs {

constexpr const wchar_t kUpdater[] = L"OrvaneUpdater.exe";
constexpr const wchar_t kRecovery[] = L"OrvaneUpdaterRecovery.exe";

}  // namespace programs
