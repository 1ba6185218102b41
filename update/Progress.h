#pragma once
// One progress scale for both stages: Kestrel 0..49, Tamber 50..99.
#include <atomic>
#include <cstdint>

#include "app/ReportGate.h"
#include "vendor/VendorCall.h"

// 0 idle; the last reported status during an update; 10 worker returned; 255 update over.
extern std::atomic<int32_t> g_iUpdateState;
// 2 Kestrel stage, 1 Tamber stage.
extern std::atomic<int32_t> g_iUpdateStage;
// Highest percentage shown.
extern std::atomic<int32_t> g_iProgress;

// (status, value): status 7 carries the stage's percentage. Once a worker has
// closed the reports, late ones (a library thread that goes on reporting)
// change neither the window nor g_iUpdateState, until the next worker opens them.
void VENDOR_CALL UpdateProgressCallback(int status, int value);
// Opened at the worker's start, closed at the end of its stages.
extern CReportGate<std::mutex> g_updateReports;
// The percentage UpdateProgressCallback shows for a stage-7 value in the current stage.
int32_t ScaleProgress(int32_t stage, int value);
