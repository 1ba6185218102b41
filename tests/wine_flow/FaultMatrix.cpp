// The fault matrix of scripts/faults: every fault of the simulated mouse at a
// tenth, half and nine tenths of each stage, and each fault on both Kestrel
// attempts. Each cell runs the updater as a user would, checks the result box,
// the progress and notice lines, that the window closes and leaves no work
// folder, and brings the mouse back with a rerun (the recovery program when the
// mouse is left in its boot loader). Not a test program: it prints a table,
// writes it as Markdown and exits nonzero when a cell fails. The rows go to
// standard error, since the updater's trace lines share standard output.
//
//   fault_matrix --program P.exe --recovery R.exe --dir FOLDER [--only TEXT] [--shard K/N]
//   fault_matrix ... --scenario NAME --phase update|rerun [--expect completed|failed]
// The mouse is the one named by ORVANE_SIMMOUSE. A scenario cell runs in two
// phases because the scenario is set and cleared by the mouse's own tool.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/Format.h"
#include "kestrel/KestrelDfu.h"
#include "resources/resource.h"
#include "simmouse/SimMouse.h"
#include "tests/support/WinDriver.h"

using namespace windriver;

namespace {

const wchar_t kMainCaption[] = L"Orvane Dravik Mouse\x2013 Firmware Updater";
const wchar_t kBoxCaption[] = L"Orvane Firmware Updater";
const wchar_t kFailed[] = L"Update failed.\r\nPlease check USB connection and try again.";
const wchar_t kCompleted[] = L"Update is completed.";
// Longest cell: the Kestrel verify fault on both attempts, two sixteen-second
// success waits and two five-second pauses; the rest is margin for a slow start.
const DWORD kResultTimeoutMs = 150000;
// Never-ending progress ends at the program's own limit, on the real clock.
const char kNeverEnding[] = "chatty";

struct Options {
  std::wstring program, recovery, dir, only, scenario, phase, expect;
  int shard = 0, shards = 1;  // this run takes the cells whose index is shard modulo shards
};

struct Cell {
  std::string name;
  std::string what;  // fault, stage, percent, times as the table shows them
  bool hasFault = false;
  simmouse::Fault fault;
  bool expectSuccess = false;
  bool anyOutcome = false;  // a scenario run without --expect
};

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(c == L'\r' ? ' ' : c == L'\n' ? '/' : (c < 128 ? static_cast<char>(c) : '?'));
  return s;
}

std::wstring WinPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring w = L"Z:";
  for (wchar_t c : path) w.push_back(c == L'/' ? L'\\' : c);
  return w;
}

// One run of the updater from its start to its end; fills `problems`.
class Run {
 public:
  Run(const Options& o, const std::wstring& exe, const std::wstring& temp)
      : m_temp(temp),
        m_resultTimeoutMs(Narrow(o.scenario) == kNeverEnding ? kResultTimeoutMs + static_cast<DWORD>(kDfuFirstWaitLimitMs)
                                                             : kResultTimeoutMs) {
    CreateDirectoryW(temp.c_str(), nullptr);
    m_app = Launch(BesideMe(exe), {{L"TEMP", temp}, {L"TMP", temp}});
  }
  ~Run() {
    if (m_app.Running()) m_app.Kill();
    m_app.Close();
  }

  bool Open(std::vector<std::string>* problems) {
    if (!m_app.handle) return Fail(problems, "did not start");
    m_main = WaitForWindow(m_app.pid, kMainCaption, 45000);
    if (!m_main) return Fail(problems, Ended() ? "ended before its window (" + ExitText() + ")" : "no window");
    return true;
  }

  // Update, Yes, then the result box; returns its text ("" when none came).
  std::wstring Update(std::vector<std::string>* problems, std::wstring* progressText, std::wstring* notice) {
    Press(m_main, IDOK);
    HWND prompt = WaitForWindow(m_app.pid, kBoxCaption, 20000);
    if (!prompt) {
      Fail(problems, "no prompt");
      return L"";
    }
    Press(prompt, IDYES);
    HWND result = nullptr;
    WaitUntil(
        [&] {
          std::vector<HWND> boxes = TopWindows(m_app.pid, kBoxCaption);
          for (HWND b : boxes)
            if (b != prompt) result = b;
          return result != nullptr || Ended();
        },
        m_resultTimeoutMs, 50);
    if (!result) {
      Fail(problems, Ended() ? "crashed (" + ExitText() + ")" : "hung: no result box");
      return L"";
    }
    std::wstring text = MessageBoxText(result);
    *progressText = ControlText(m_main, IDC_PROGRESS_TEXT);
    *notice = ControlText(m_main, IDC_NOTICE);
    Press(result, IDOK);
    if (!WaitUntil([&] { return !IsWindow(result); }, 5000)) Fail(problems, "result box stays");
    return text;
  }

  // The close box, then the process's end and its work folder.
  void Close(std::vector<std::string>* problems) {
    // The result box's owner is enabled again only after the box has gone; a
    // close that reaches it still disabled is dropped, as a click would be.
    WaitUntil([&] { return IsWindowEnabled(m_main) != FALSE; }, 5000);
    PostMessageW(m_main, WM_CLOSE, 0, 0);
    DWORD code = 0;
    if (!m_app.WaitExit(15000, &code)) {
      Fail(problems, "not closable");
      m_app.Kill();
      return;
    }
    if (code != 0) Fail(problems, FormatTextA("exit code 0x%08lX", static_cast<unsigned long>(code)));
    if (GetFileAttributesW((m_temp + L"\\OrvaneTessik_mouse").c_str()) != INVALID_FILE_ATTRIBUTES)
      Fail(problems, "work folder left");
  }

 private:
  bool Ended() const { return !m_app.Running(); }
  std::string ExitText() const {
    DWORD code = 0;
    GetExitCodeProcess(m_app.handle, &code);
    return FormatTextA("exit code 0x%08lX", static_cast<unsigned long>(code));
  }
  static bool Fail(std::vector<std::string>* problems, const std::string& what) {
    problems->push_back(what);
    return false;
  }

  std::wstring m_temp;
  Process m_app;
  HWND m_main = nullptr;
  DWORD m_resultTimeoutMs;
};

struct Row {
  std::string cell, what, expected, box, lines, rerun, verdict;
  double seconds = 0;
};

std::string Outcome(const std::wstring& box) {
  if (box == kCompleted) return "completed";
  if (box == kFailed) return "failed";
  return box.empty() ? "none" : "\"" + Narrow(box) + "\"";
}

// The failing (or succeeding) run of a cell; the mouse has its fault already.
void UpdatePhase(const Options& o, const Cell& c, Row* row, std::vector<std::string>* problems) {
  std::wstring progressText, notice;
  Run run(o, o.program, o.dir + L"\\temp");
  std::wstring box;
  if (run.Open(problems)) {
    box = run.Update(problems, &progressText, &notice);
    if (!box.empty()) run.Close(problems);
  }
  row->box = Outcome(box);
  bool succeeded = box == kCompleted;
  if (!box.empty() && !c.anyOutcome && succeeded != c.expectSuccess) problems->push_back("wrong result");
  if (!box.empty()) {
    // The lines follow the outcome: "Update finished." and the completion notice, or both empty.
    bool linesRight = succeeded ? progressText == L"Update finished." && notice == kCompleted
                                : progressText.empty() && notice.empty();
    row->lines = linesRight ? "right" : "\"" + Narrow(progressText) + "\" / \"" + Narrow(notice) + "\"";
    if (!linesRight) problems->push_back("1006/1008 wrong");
  }
}

bool MouseUpdated(const simmouse::MouseState& m) {
  return m.state == simmouse::DeviceState::Application && m.mcuValid && m.mcuVersion > 0x0101 &&
         m.kestrelVersion != "1.1.0";
}

// Faults off, cable in, then the program that suits the mouse's mode updates it.
void RerunPhase(const Options& o, simmouse::Store& store, Row* row, std::vector<std::string>* problems) {
  simmouse::ClearFaults(store);
  if (store.Load().state == simmouse::DeviceState::Unplugged) simmouse::Plug(store);
  if (MouseUpdated(store.Load())) {
    row->rerun = "not needed";
    return;
  }
  bool boot = store.Load().state == simmouse::DeviceState::BootLoader;
  std::vector<std::string> rerunProblems;
  Run run(o, boot ? o.recovery : o.program, o.dir + L"\\temp");
  std::wstring progressText, notice, box;
  if (run.Open(&rerunProblems)) {
    box = run.Update(&rerunProblems, &progressText, &notice);
    if (!box.empty()) run.Close(&rerunProblems);
  }
  bool ok = box == kCompleted && MouseUpdated(store.Load());
  row->rerun = std::string(boot ? "recovery " : "program ") + (ok ? "restored" : "FAILED");
  if (!ok) rerunProblems.push_back("mouse not restored");
  for (const std::string& p : rerunProblems) problems->push_back("rerun: " + p);
}

std::vector<Cell> Cells() {
  using simmouse::FaultKind;
  using simmouse::Stage;
  const FaultKind kinds[] = {FaultKind::Unplug, FaultKind::Disconnect, FaultKind::Silent, FaultKind::Refuse,
                             FaultKind::Verify};
  std::vector<Cell> cells;
  auto add = [&](FaultKind kind, Stage stage, int percent, int times) {
    Cell c;
    c.hasFault = true;
    c.fault.kind = kind;
    c.fault.stage = stage;
    c.fault.percent = percent;
    c.fault.remaining = times;
    c.name = FormatTextA("%s-%s-%d%s", simmouse::StageName(stage), simmouse::FaultName(kind), percent,
                         times > 1 ? "-twice" : "");
    c.what = FormatTextA("%s at %d %% of %s%s", simmouse::FaultName(kind), percent, simmouse::StageName(stage),
                         times > 1 ? ", both attempts" : "");
    // Only a Kestrel result of 2 (the verify fault) is tried again, after five
    // seconds; the second attempt succeeds unless the fault strikes it too.
    c.expectSuccess = kind == FaultKind::Verify && stage == Stage::Kestrel && times == 1;
    cells.push_back(c);
  };
  for (Stage stage : {Stage::Kestrel, Stage::Mcu})
    for (FaultKind kind : kinds)
      for (int percent : {10, 50, 90}) add(kind, stage, percent, 1);
  for (FaultKind kind : kinds) add(kind, Stage::Kestrel, 50, 2);
  return cells;
}

void PrintRow(FILE* out, const Row& r) {
  std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %.1f | %s |\n", r.cell.c_str(), r.what.c_str(),
               r.expected.c_str(), r.box.c_str(), r.lines.c_str(), r.rerun.c_str(), r.seconds, r.verdict.c_str());
  std::fflush(out);
}

const char kHeader[] =
    "| cell | fault | expected | result box | 1006/1008 | rerun | seconds | verdict |\n"
    "|---|---|---|---|---|---|---|---|\n";

void Finish(Row* row, const std::vector<std::string>& problems, DWORD started) {
  row->seconds = (GetTickCount() - started) / 1000.0;
  row->verdict = "pass";
  if (!problems.empty()) {
    row->verdict = "FAIL:";
    for (const std::string& p : problems) row->verdict += " " + p + ";";
  }
  if (row->lines.empty()) row->lines = "-";
  if (row->rerun.empty()) row->rerun = "-";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring k = argv[i], v = argv[i + 1];
    if (k == L"--program") o.program = v;
    else if (k == L"--recovery") o.recovery = v;
    else if (k == L"--dir") o.dir = WinPath(v);
    else if (k == L"--only") o.only = v;
    else if (k == L"--scenario") o.scenario = v;
    else if (k == L"--phase") o.phase = v;
    else if (k == L"--expect") o.expect = v;
    else if (k == L"--shard" && swscanf(v.c_str(), L"%d/%d", &o.shard, &o.shards) != 2) o.shards = 0;
  }
  if (o.program.empty() || o.recovery.empty() || o.dir.empty() || o.shards < 1 || o.shard < 0 ||
      o.shard >= o.shards) {
    std::fprintf(stderr, "usage: fault_matrix --program P.exe --recovery R.exe --dir FOLDER [--only TEXT]\n");
    return 2;
  }
  simmouse::Store store;  // ORVANE_SIMMOUSE
  if (store.inMemory()) {
    std::fprintf(stderr, "fault_matrix: ORVANE_SIMMOUSE is not set\n");
    return 2;
  }
  MouseHost host;
  CreateDirectoryW(o.dir.c_str(), nullptr);

  // A scenario cell, one phase per call: its rows are added to rows.md.
  if (!o.scenario.empty()) {
    FILE* rows = _wfopen((o.dir + L"\\rows.md").c_str(), L"a");
    if (!rows) return 2;
    Cell c;
    c.name = "scenario-" + Narrow(o.scenario);
    c.what = "scenario " + Narrow(o.scenario);
    c.anyOutcome = o.expect.empty();
    c.expectSuccess = o.expect == L"completed";
    Row row;
    row.cell = c.name;
    row.what = c.what;
    row.expected = c.anyOutcome ? "its own" : Narrow(o.expect);
    std::vector<std::string> problems;
    DWORD started = GetTickCount();
    if (o.phase == L"update") {
      UpdatePhase(o, c, &row, &problems);
      row.rerun = "next row";
    } else {
      row.cell += " (rerun)";
      row.expected = "-";
      row.box = "-";
      RerunPhase(o, store, &row, &problems);
    }
    Finish(&row, problems, started);
    PrintRow(stderr, row);
    PrintRow(rows, row);
    std::fclose(rows);
    return problems.empty() ? 0 : 1;
  }

  FILE* rows = _wfopen((o.dir + L"\\rows.md").c_str(), L"w");
  if (!rows) return 2;
  if (o.shard == 0) std::fputs(kHeader, stderr);
  int failed = 0;
  std::vector<Cell> cells = Cells();
  for (size_t i = 0; i < cells.size(); ++i) {
    const Cell& c = cells[i];
    if (static_cast<int>(i % o.shards) != o.shard) continue;
    if (!o.only.empty() && c.name.find(Narrow(o.only)) == std::string::npos) continue;
    Row row;
    row.cell = c.name;
    row.what = c.what;
    row.expected = c.expectSuccess ? "completed" : "failed";
    std::vector<std::string> problems;
    DWORD started = GetTickCount();
    simmouse::Reset(store, 0x0101, "1.1.0");
    simmouse::AddFault(store, c.fault);
    UpdatePhase(o, c, &row, &problems);
    RerunPhase(o, store, &row, &problems);
    Finish(&row, problems, started);
    if (!problems.empty()) ++failed;
    PrintRow(stderr, row);
    PrintRow(rows, row);
  }
  std::fclose(rows);
  return failed ? 1 : 0;
}
