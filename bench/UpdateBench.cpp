// Whole-update benchmark (scripts/bench update): the time from Yes to the
// result box of a full two-stage update at the mouse's real speed, against two
// floors. The mouse's: both files at 64 bytes per millisecond plus the waits
// the flow must make (its two one-second pauses before the Kestrel transfer
// and its 100 ms before closing the SDK), also with the simulated mouse's own
// steps added. The link's: the reports the update took, each at the cost the
// HID link showed when measured here first, plus the same pauses. Also the program's CPU time over the update and while the
// flow waits. The bar and the mouse's states show where the time went.
//   update_bench --program P.exe --kestrel-bytes N --mcu-bytes N [--runs N]
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "simmouse/Firmware.h"
#include "simmouse/SimMouse.h"
#include "standins/MouseLink.h"
#include "tests/support/WinDriver.h"

using namespace windriver;

namespace {

const wchar_t kMainCaption[] = L"Orvane Dravik Mouse\x2013 Firmware Updater";
const wchar_t kBoxCaption[] = L"Orvane Firmware Updater";

double CpuMs(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
  auto ticks = [](const FILETIME& f) {
    return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e4;
}

struct Result {
  double ms = -1, cpuMs = -1;
  std::wstring box;
  // When the bar first showed each position, from Yes; -1 when never.
  double firstAt[101];
  // When the mouse first entered each state of the update, from Yes.
  std::vector<std::pair<std::string, double>> mouseSteps;
  double waitFrom = 0, waitTo = 0, waitCpuMs = -1;
  uint64_t reports = 0;  // both ways, as the mouse counted them
  double yesEpochMs = 0;  // wall clock of the Yes, for a sampler outside Wine
};

// Milliseconds since 1970 on the wall clock, which Wine shares with the host.
double EpochMs() {
  FILETIME f;
  GetSystemTimeAsFileTime(&f);
  unsigned long long t = (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  return static_cast<double>(t) / 1e4 - 11644473600000.0;
}

Result UpdateOnce(const std::wstring& exe, simmouse::Store& store) {
  Result r;
  for (double& t : r.firstAt) t = -1;
  simmouse::Reset(store, 0x0101, "1.1.0");
  const simmouse::MouseState before = store.Load();
  Process app = Launch(exe, {{L"ORVANE_SIMMOUSE", L""}});
  HWND main = WaitForWindow(app.pid, kMainCaption, 45000);
  if (main) {
    Press(main, IDOK);
    HWND prompt = WaitForWindow(app.pid, kBoxCaption, 20000);
    if (prompt) {
      double cpu0 = CpuMs(app.handle);
      double t0 = NowMs();
      r.yesEpochMs = EpochMs();
      Press(prompt, IDYES);
      HWND result = nullptr;
      double lastBar = -1000, waitCpu0 = -1, waitCpu1 = -1;
      // Polled without troubling the program: the mouse's state file every
      // 2 ms, the window list (no messages) likewise, the bar every 50 ms.
      WaitUntil(
          [&] {
            double now = NowMs() - t0;
            if (now - lastBar >= 500) {
              lastBar = now;
              int pos = ProgressPos(main, IDC_PROGRESS);
              if (pos >= 0 && pos <= 100 && r.firstAt[pos] < 0) r.firstAt[pos] = now;
            }
            // The flow's first pause: the program only waits.
            if (waitCpu0 < 0 && now >= 300) waitCpu0 = CpuMs(app.handle), r.waitFrom = now;
            if (waitCpu1 < 0 && now >= 1800) waitCpu1 = CpuMs(app.handle), r.waitTo = now;
            simmouse::MouseState m = store.Load();
            std::string step = std::string(simmouse::StateName(m.state)) + "/" + simmouse::StageName(m.stage);
            if (r.mouseSteps.empty() || r.mouseSteps.back().first != step) r.mouseSteps.push_back({step, now});
            // A box counts once its text is set: it can be listed while it is still being made.
            for (HWND w : TopWindows(app.pid))
              if (w != main && w != prompt && IsWindow(w) && !MessageBoxText(w).empty()) result = w;
            return result != nullptr || !app.Running();
          },
          180000, 2);
      if (waitCpu0 >= 0 && waitCpu1 >= 0) r.waitCpuMs = waitCpu1 - waitCpu0;
      if (result) {
        r.ms = NowMs() - t0;
        const simmouse::MouseState after = store.Load();
        r.reports = after.reportsReceived + after.reportsSent - before.reportsReceived - before.reportsSent;
        r.cpuMs = CpuMs(app.handle) - cpu0;
        r.box = MessageBoxText(result);
        Press(result, IDOK);
        WaitUntil([&] { return !IsWindow(result); }, 5000);
      }
    }
    PostMessageW(main, WM_CLOSE, 0, 0);
  }
  if (!app.WaitExit(15000)) app.Kill();
  app.Close();
  return r;
}

// The HID link as the libraries meet it, through their own transport: a
// request and its answer one at a time (the round trip), and bursts of 16
// requests before their 16 answers (the cost of one report when the link is
// kept full, as a transfer keeps it). Medians, in ms per report.
struct LinkCost {
  double roundTripMs = -1, perReportMs = -1;
};

LinkCost MeasureLink() {
  using namespace simmouse::proto;
  LinkCost cost;
  std::unique_ptr<standins::Transport> link = standins::MakeTransport();
  if (!link->Open(simmouse::kVendorId, simmouse::kAppProductId)) return cost;
  Report answer;
  auto exchange = [&](int n) {
    for (int i = 0; i < n; ++i)
      if (link->Send(Request(kIdentify, static_cast<uint8_t>(i))) != standins::Transport::Io::Ok) return false;
    for (int i = 0; i < n; ++i)
      if (link->Receive(&answer, 2000) != standins::Transport::Io::Ok) return false;
    return true;
  };
  std::vector<double> single, burst;
  for (int i = 0; i < 200; ++i) {
    double t = NowMs();
    if (!exchange(1)) return cost;
    single.push_back(NowMs() - t);
  }
  for (int i = 0; i < 40; ++i) {
    double t = NowMs();
    if (!exchange(16)) return cost;
    burst.push_back((NowMs() - t) / 32);  // 16 requests and 16 answers
  }
  std::sort(single.begin(), single.end());
  std::sort(burst.begin(), burst.end());
  cost.roundTripMs = single[single.size() / 2];
  cost.perReportMs = burst[burst.size() / 2];
  return cost;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring program;
  double kestrelBytes = 0, mcuBytes = 0;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring k = argv[i];
    if (k == L"--program") program = argv[i + 1];
    else if (k == L"--kestrel-bytes") kestrelBytes = _wtof(argv[i + 1]);
    else if (k == L"--mcu-bytes") mcuBytes = _wtof(argv[i + 1]);
    else if (k == L"--runs") runs = _wtoi(argv[i + 1]);
  }
  simmouse::Store store;  // ORVANE_SIMMOUSE
  // The mouse at its real speed.
  MouseHost host(std::wstring(store.path().begin(), store.path().end()), L"1");
  if (program.empty() || kestrelBytes <= 0 || mcuBytes <= 0 || runs < 1 || store.inMemory()) {
    std::fprintf(stderr, "usage: update_bench --program P.exe --kestrel-bytes N --mcu-bytes N [--runs N]"
                         " (with ORVANE_SIMMOUSE set)\n");
    return 2;
  }
  // 64 bytes per millisecond, and the flow's own pauses: one second before the
  // path goes out and one before the transfer starts, 100 ms before the SDK is
  // closed. A successful transfer ends the Kestrel wait at once (no one-second
  // step of the success wait is taken).
  double kestrelMs = kestrelBytes / simmouse::kReportBytes, mcuMs = mcuBytes / simmouse::kReportBytes;
  double floorMs = 1000 + 1000 + 100 + kestrelMs + mcuMs;
  // The simulated mouse's own pace and steps: a report a millisecond, which
  // carries 56 bytes of code after the protocol's header; the Kestrel check,
  // the MCU's switch to its boot loader, its check and its return.
  double blocksMs = std::ceil(kestrelBytes / simmouse::proto::kBlockBytes) +
                    std::ceil(mcuBytes / simmouse::proto::kBlockBytes);
  double stepsMs = simmouse::kVerifyMs + simmouse::kReenumerateMs + simmouse::kVerifyMs + simmouse::kReenumerateMs;
  double mouseMs = blocksMs - kestrelMs - mcuMs + stepsMs;
  std::printf("floor: Kestrel %.0f bytes = %.0f ms, MCU %.0f bytes = %.0f ms, pauses 2100 ms: %.0f ms;"
              " at the mouse's pace of a %u-byte block a millisecond, with its own steps (%.0f ms): %.0f ms\n",
              kestrelBytes, kestrelMs, mcuBytes, mcuMs, floorMs, static_cast<unsigned>(simmouse::proto::kBlockBytes),
              stepsMs, floorMs + mouseMs);
  std::vector<double> times;
  std::vector<uint64_t> reportCounts;
  for (int i = 0; i < runs; ++i) {
    Result r = UpdateOnce(BesideMe(program), store);
    if (r.ms < 0 || r.box != L"Update is completed.") {
      std::fprintf(stderr, "update_bench: run %d did not complete (%ls)\n", i + 1,
                   r.ms < 0 ? L"no result box" : r.box.c_str());
      return 1;
    }
    times.push_back(r.ms);
    reportCounts.push_back(r.reports);
    std::printf("run %d: %.0f ms from Yes to the result box, ratio %.3f (%.3f at the mouse's pace); %llu reports;"
                " program CPU as Wine's GetProcessTimes tells it %.0f ms = %.2f %% of one core over the update, %.2f %%"
                " while the flow waits\n",
                i + 1, r.ms, r.ms / floorMs, r.ms / (floorMs + mouseMs), static_cast<unsigned long long>(r.reports),
                r.cpuMs, 100.0 * r.cpuMs / r.ms,
                r.waitCpuMs < 0 ? -1.0 : 100.0 * r.waitCpuMs / (r.waitTo - r.waitFrom));
    // For the script's sampler of the program's threads outside Wine.
    std::printf("  window: yes %.0f, wait %.0f..%.0f, result %.0f (epoch ms)\n", r.yesEpochMs,
                r.yesEpochMs + r.waitFrom, r.yesEpochMs + r.waitTo, r.yesEpochMs + r.ms);
    // Where the time went, as the bar showed it.
    auto first = [&](int from, int to) {
      for (int p = from; p <= to; ++p)
        if (r.firstAt[p] >= 0) return r.firstAt[p];
      return -1.0;
    };
    std::printf("  bar: Kestrel moves at %.0f ms, reaches 49 at %.0f ms; MCU stage shows 50+ at %.0f ms, 99 at %.0f ms;"
                " result at %.0f ms\n",
                first(1, 49), first(49, 49), first(50, 99), first(99, 99), r.ms);
    std::printf("  mouse:");
    for (const auto& step : r.mouseSteps) std::printf(" %s at %.0f ms;", step.first.c_str(), step.second);
    std::printf("\n");
  }
  std::sort(times.begin(), times.end());
  double median = times[times.size() / 2];
  std::sort(reportCounts.begin(), reportCounts.end());
  const uint64_t reports = reportCounts[reportCounts.size() / 2];
  // Measured after the updates, so that its reports are not counted in theirs.
  const LinkCost link = MeasureLink();
  if (link.perReportMs < 0) {
    std::fprintf(stderr, "update_bench: the mouse's HID link did not answer\n");
    return 1;
  }
  std::printf("link: round trip %.3f ms a report, %.3f ms a report in bursts of 16 (the mouse takes 1 ms a report)\n",
              link.roundTripMs, link.perReportMs);
  const double linkFloor = 2100 + reports * link.perReportMs;
  std::printf("median %.0f ms, ratio to the mouse's floor %.3f (%.3f at its pace, with its steps); %llu reports an update, ratio"
              " to the link's floor (%.0f ms) %.3f\n",
              median, median / floorMs, median / (floorMs + mouseMs), static_cast<unsigned long long>(reports),
              linkFloor, median / linkFloor);
  return 0;
}
