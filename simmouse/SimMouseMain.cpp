// simmouse: drives the simulated mouse's state file from the command line.
//   simmouse [--state PATH] plug | unplug | show
//   simmouse [--state PATH] reset [--mcu 0101] [--kestrel 1.1.0]
//   simmouse [--state PATH] fault <unplug|silent|refuse|verify|disconnect> [kestrel|mcu] [percent] [--times N]
//   simmouse [--state PATH] clear-faults
//   simmouse [--state PATH] scenario NAME      (none clears it)
//   simmouse scenarios                         the names, one a line
// Without --state the file named by ORVANE_SIMMOUSE is used.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Format.h"
#include "simmouse/SimMouse.h"

namespace {

void Print(const std::string& text) { std::fputs(text.c_str(), stdout); }

int Usage() {
  std::fputs(
      "usage: simmouse [--state PATH] plug | unplug | show | clear-faults\n"
      "       simmouse [--state PATH] reset [--mcu 0101] [--kestrel 1.1.0]\n"
      "       simmouse [--state PATH] fault <unplug|silent|refuse|verify|disconnect> [kestrel|mcu] [percent]"
      " [--times N]\n"
      "       simmouse [--state PATH] scenario NAME | scenarios\n",
      stderr);
  return 2;
}

bool ParseNumber(const std::string& text, int base, unsigned long max, unsigned long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, base);
  if (*end != '\0' || v > max || text[0] == '-') return false;
  *out = v;
  return true;
}

void Show(const simmouse::Store& store) {
  simmouse::MouseState s = store.Load();
  Print(FormatTextA("file=%s\n", store.path().c_str()));
  Print(simmouse::SerializeState(s));
  for (const simmouse::HidInterface& i : simmouse::PresentInterfaces(s)) {
    std::string path(i.path.begin(), i.path.end());
    std::string first;
    for (wchar_t c : i.hardwareIds) {
      if (c == L'\0') break;
      first.push_back(static_cast<char>(c));
    }
    Print(FormatTextA("interface=%s feature=%u %s %s\n", path.c_str(), i.featureReportLength,
                      i.writable ? "writable" : "read-only", first.c_str()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string path;
  bool havePath = false;
  if (args.size() >= 2 && args[0] == "--state") {
    path = args[1];
    havePath = true;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Usage();
  if (args[0] == "scenarios" && args.size() == 1) {
    for (const std::string& name : simmouse::ScenarioNames()) Print(name + "\n");
    return 0;
  }
  simmouse::Store store = havePath ? simmouse::Store(path) : simmouse::Store();
  if (store.inMemory()) {
    std::fputs("simmouse: no state file: set ORVANE_SIMMOUSE or pass --state PATH\n", stderr);
    return 2;
  }

  const std::string& cmd = args[0];
  bool ok = false;
  if (cmd == "plug" && args.size() == 1) {
    ok = simmouse::Plug(store);
  } else if (cmd == "unplug" && args.size() == 1) {
    ok = simmouse::Unplug(store);
  } else if (cmd == "show" && args.size() == 1) {
    Show(store);
    return 0;
  } else if (cmd == "clear-faults" && args.size() == 1) {
    ok = simmouse::ClearFaults(store);
  } else if (cmd == "scenario" && args.size() == 2) {
    if (!simmouse::IsScenarioName(args[1])) {
      std::fputs(FormatTextA("simmouse: no scenario %s (see: simmouse scenarios)\n", args[1].c_str()).c_str(), stderr);
      return 2;
    }
    ok = simmouse::SetScenario(store, args[1]);
  } else if (cmd == "reset") {
    unsigned long mcu = 0x0101;
    std::string kestrel = "1.1.0";
    for (size_t i = 1; i < args.size(); i += 2) {
      if (i + 1 >= args.size()) return Usage();
      if (args[i] == "--mcu") {
        if (!ParseNumber(args[i + 1], 16, 0xFFFF, &mcu)) return Usage();
      } else if (args[i] == "--kestrel") {
        kestrel = args[i + 1];
        if (kestrel.empty() || kestrel.find_first_of("\r\n") != std::string::npos) return Usage();
      } else {
        return Usage();
      }
    }
    ok = simmouse::Reset(store, static_cast<uint16_t>(mcu), kestrel);
  } else if (cmd == "fault" && args.size() >= 2) {
    simmouse::Fault f;
    f.stage = simmouse::Stage::None;
    if (!simmouse::ParseFaultName(args[1], &f.kind)) return Usage();
    size_t i = 2;
    if (i < args.size() && simmouse::ParseStageName(args[i], &f.stage)) ++i;
    unsigned long n = 0;
    if (i < args.size() && ParseNumber(args[i], 10, 100, &n)) {
      f.percent = static_cast<int>(n);
      ++i;
    }
    if (i + 1 < args.size() && args[i] == "--times") {
      if (!ParseNumber(args[i + 1], 10, 1000000, &n)) return Usage();
      f.remaining = static_cast<int>(n);
      i += 2;
    }
    if (i != args.size()) return Usage();
    ok = simmouse::AddFault(store, f);
  } else {
    return Usage();
  }
  if (!ok) {
    std::fputs(FormatTextA("simmouse: cannot write %s\n", store.path().c_str()).c_str(), stderr);
    return 1;
  }
  return 0;
}
