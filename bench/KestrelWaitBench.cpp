// How the Kestrel flow's outcome wait behaves on the real clock: the CPU it
// burns per second of waiting, and how soon it returns after the SDK thread
// reports an outcome.
//   kestrel_wait_bench [--seconds S] [--samples N]
// Goals: at most 1 % of one core while waiting; median and 99th percentile of
// the reaction under 1 ms.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "kestrel/KestrelDfu.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <ctime>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& f) {
    return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
#else
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
#endif
}

// The event handler prints a trace line per event; keep them out of the report.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
#ifdef _WIN32
    m_saved = _dup(_fileno(stdout));
    FILE* null = std::fopen("NUL", "w");
    if (null) {
      _dup2(_fileno(null), _fileno(stdout));
      std::fclose(null);
    }
#else
    m_saved = dup(fileno(stdout));
    FILE* null = std::fopen("/dev/null", "w");
    if (null) {
      dup2(fileno(null), fileno(stdout));
      std::fclose(null);
    }
#endif
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (m_saved < 0) return;
#ifdef _WIN32
    _dup2(m_saved, _fileno(stdout));
    _close(m_saved);
#else
    dup2(m_saved, fileno(stdout));
    close(m_saved);
#endif
  }

 private:
  int m_saved = -1;
};

SdkEventRecord Event(int32_t status) {
  SdkEventRecord r;
  std::memset(&r, 0, sizeof(r));
  r.status = status;
  return r;
}

unsigned g_session = 0;

void ResetWords() {
  g_session = OpenDfuAttempt();  // the handler acts only on the events of the open attempt
  g_dfu_flag = -1;
  g_bDFU = false;
  g_bEventSeen = false;
  g_pfnProgress = nullptr;
}

// Waits `seconds` while the SDK thread sends a non-final event every 100 ms,
// then an outcome. Returns CPU seconds per wall second.
double CpuPerSecondOfWaiting(double seconds, double* wallOut) {
  ResetWords();
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::thread sdk([until] {
    while (Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      OnSdkEvent(g_session, Event(SDK_STATUS_IGNORED));
    }
    OnSdkEvent(g_session, Event(SDK_STATUS_TIMEOUT));
  });
  const double cpu0 = ProcessCpuSeconds();
  const auto wall0 = Clock::now();
  IKestrelTime& time = KestrelRealTime();
  WaitForDfuOutcome(time, time.NowMs());
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  const double cpu = std::max(0.0, ProcessCpuSeconds() - cpu0);  // coarse process clocks can step back
  sdk.join();
  *wallOut = wall;
  return cpu / wall;
}

// Reaction times in microseconds from the SDK thread's report to the wait's return.
std::vector<double> ReactionTimes(int samples) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(samples));
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delay(1000, 4000);
  IKestrelTime& time = KestrelRealTime();
  for (int i = 0; i < samples; ++i) {
    ResetWords();
    const int delayUs = delay(rng);
    Clock::time_point reported;
    std::thread sdk([&reported, delayUs] {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
      reported = Clock::now();
      OnSdkEvent(g_session, Event(SDK_STATUS_TIMEOUT));
    });
    WaitForDfuOutcome(time, time.NowMs());
    const Clock::time_point returned = Clock::now();
    sdk.join();  // makes `reported` visible here
    us.push_back(std::chrono::duration<double, std::micro>(returned - reported).count());
  }
  std::sort(us.begin(), us.end());
  return us;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  int samples = 500;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--samples") == 0) samples = std::atoi(argv[i + 1]);
  }
  if (seconds <= 0) seconds = 3;
  if (samples <= 0) samples = 500;

  double wall = 0, cpuShare = 0;
  std::vector<double> reactions;
  {
    QuietStdout quiet;
    cpuShare = CpuPerSecondOfWaiting(seconds, &wall);
    reactions = ReactionTimes(samples);
  }

  const double median = Percentile(reactions, 0.5);
  const double p99 = Percentile(reactions, 0.99);
  const bool cpuOk = cpuShare <= 0.01;
  const bool latencyOk = median < 1000 && p99 < 1000;
  std::printf("kestrel_wait_bench: outcome wait on the real clock\n");
  std::printf("  cpu while waiting: %.3f ms per second of waiting (%.2f %% of one core, over %.1f s)  goal <= 1 %%  %s\n",
              cpuShare * 1000, cpuShare * 100, wall, cpuOk ? "ok" : "MISSED");
  std::printf("  reaction, report to return: median %.1f us, p99 %.1f us, max %.1f us (%d samples)  goal < 1000 us  %s\n",
              median, p99, reactions.empty() ? 0.0 : reactions.back(), samples, latencyOk ? "ok" : "MISSED");
  return cpuOk && latencyOk ? 0 : 1;
}
