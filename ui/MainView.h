#pragma once
// The narrow interface through which the decisions reach the main window.
// The Win32 dialog implements it; tests implement it with a recording fake.
// SetControlText and SetProgressPos may be called from any thread (the dialog
// turns them into SetWindowTextW and SendMessageW); the rest run on the
// window's thread, except ShowMessageBox, which the worker also calls.
#include <string>

#include "app/Platform.h"

class IMainView {
 public:
  virtual ~IMainView() = default;
  virtual void SetControlText(int controlId, const std::wstring& text) = 0;
  virtual void SetProgressPos(int pos) = 0;
  virtual void EnableUpdateButton(bool enable) = 0;
  // The Update button's look: normal and hover PNG, text colour, face (null: "Arial"),
  // caption (null: unchanged).
  virtual void SetUpdateAppearance(UINT normalPng, UINT hoverPng, COLORREF text, const wchar_t* face,
                                   const wchar_t* caption) = 0;
  // A message box owned by the dialog; a null caption gives the platform's default caption.
  // Returns the button pressed (IDOK, IDYES, IDNO).
  virtual int ShowMessageBox(const std::wstring& text, const wchar_t* caption, UINT type) = 0;
  // Ends the modal run with the given result.
  virtual void EndDialog(int result) = 0;
  // Runs the window's close command again a little later (window's thread).
  virtual void RequestClose() {}
  // While an update writes (true until it is called with false): a sign-out or
  // shutdown is refused with a reason and idle sleep is kept away. A sleep the
  // user chooses, a closed lid or a shutdown forced past the reason still come.
  // Any thread.
  virtual void HoldSystem(bool hold) {}
  // Waits up to `ms`, handling meanwhile what other threads send the window
  // (their SendMessageW waits for this thread). Window's thread.
  virtual void WaitHandlingSentMessages(DWORD ms) = 0;
};
