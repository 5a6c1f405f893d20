// Program: the running program's windowing context.
//
// It owns no forms. It knows the program's forms (each form registers itself
// with the program it is given), which one is active, which are loaded, the
// message box provider, the DoEvents hook of the front end, and whether the
// program has ended. The program ends when End is called or when its last
// loaded form unloads; the end hook then tells the front end to stop its
// event loop. Ending does not unwind the caller: code that ends the program
// returns right after.
//
// A Program must outlive its forms.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "platform/ui/dialogs.h"

namespace ui {

class Form;

class Program {
 public:
  explicit Program(Dialogs& dialogs) : dialogs_(&dialogs) {}
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  Dialogs& dialogs() const { return *dialogs_; }
  void SetDialogs(Dialogs& dialogs) { dialogs_ = &dialogs; }

  // Shows a message box through the installed provider; returns the result.
  int MsgBox(std::string_view prompt, int style = vbOKOnly, std::string_view title = "");

  // Lets the front end process pending events (repaints, clicks). Does
  // nothing unless a hook is installed; the hook may run event handlers,
  // including ones that re-enter the caller's window logic.
  void DoEvents();
  void SetDoEventsHook(std::function<void()> hook) { do_events_ = std::move(hook); }

  // Ends the program: Ended() becomes true and the end hook runs, once.
  void End();
  bool Ended() const { return ended_; }
  void SetEndHook(std::function<void()> hook) { on_end_ = std::move(hook); }

  // The form that is active now, or nullptr.
  Form* ActiveForm() const { return active_; }
  // Every form created with this program and not yet destroyed.
  const std::vector<Form*>& Forms() const { return forms_; }
  int LoadedFormCount() const;

 private:
  friend class Form;
  void Register(Form* form);
  void Unregister(Form* form);
  // Makes `form` the active form (nullptr: none), deactivating the old one.
  void SetActive(Form* form);
  // Called by a form after it unloaded.
  void FormUnloaded();

  Dialogs* dialogs_;
  std::function<void()> do_events_;
  std::function<void()> on_end_;
  bool ended_ = false;
  Form* active_ = nullptr;
  std::vector<Form*> forms_;
};

}  // namespace ui
