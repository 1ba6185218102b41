#pragma once
// The programs the Windows tests start, named in one place. The simulation
// builds reach the simulated mouse through ORVANE_SIMMOUSE; the shipped
// programs contain no simulation and never read it.
namespace programs {

constexpr const wchar_t kSimUpdater[] = L"OrvaneUpdaterSim.exe";
constexpr const wchar_t kSimRecovery[] = L"OrvaneUpdaterRecoverySim.exe";
constexpr const wchar_t kShippedUpdater[] = L"OrvaneUpdater.exe";

}  // namespace programs
