#pragma once
// A recording IMainView: what the user would have seen, readable by tests.
// Thread-safe, since the worker and the progress callback write from other threads.
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kestrel/KestrelDfu.h"
#include "ui/MainView.h"

class FakeMainView : public IMainView {
 public:
  struct Box {
    std::wstring text;
    std::wstring caption;  // "<none>" for a null caption
    UINT type;
  };
  struct Look {
    UINT normal, hover;
    COLORREF text;
  };

  void SetControlText(int id, const std::wstring& text) override {
    std::lock_guard<std::mutex> l(m);
    texts[id] = text;
    textHistory[id].push_back(text);
  }
  void SetProgressPos(int pos) override {
    std::lock_guard<std::mutex> l(m);
    progress.push_back(pos);
  }
  void EnableUpdateButton(bool enable) override {
    std::lock_guard<std::mutex> l(m);
    updateEnabled = enable;
  }
  void SetUpdateAppearance(UINT normal, UINT hover, COLORREF text, const wchar_t*, const wchar_t*) override {
    std::lock_guard<std::mutex> l(m);
    looks.push_back({normal, hover, text});
  }
  int ShowMessageBox(const std::wstring& text, const wchar_t* caption, UINT type) override {
    std::function<int(const Box&)> answer;
    Box box{text, caption ? caption : L"<none>", type};
    {
      std::lock_guard<std::mutex> l(m);
      boxes.push_back(box);
      answer = answerBox;
    }
    return answer ? answer(box) : ((type & 0xF) == MB_YESNO ? IDYES : IDOK);
  }
  void RequestClose() override { ++closeRequests; }
  void HoldSystem(bool hold) override {
    std::lock_guard<std::mutex> l(m);
    holds.push_back(hold);
  }
  // On the update's clock, as the window's wait runs on the real one.
  void WaitHandlingSentMessages(DWORD ms) override { KestrelTime().SleepMs(ms); }
  void EndDialog(int result) override {
    std::lock_guard<std::mutex> l(m);
    endResult = result;
  }

  std::wstring Text(int id) {
    std::lock_guard<std::mutex> l(m);
    auto it = texts.find(id);
    return it == texts.end() ? std::wstring() : it->second;
  }
  std::vector<int> Progress() {
    std::lock_guard<std::mutex> l(m);
    return progress;
  }
  std::vector<Box> Boxes() {
    std::lock_guard<std::mutex> l(m);
    return boxes;
  }

  std::mutex m;
  std::map<int, std::wstring> texts;
  std::map<int, std::vector<std::wstring>> textHistory;
  std::vector<int> progress;
  bool updateEnabled = false;
  std::vector<Look> looks;
  std::vector<Box> boxes;
  int endResult = -1;
  std::atomic<int> closeRequests{0};
  std::vector<bool> holds;  // HoldSystem calls, in order
  std::function<int(const Box&)> answerBox;  // null: Yes / OK
};
