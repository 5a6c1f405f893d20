// Message boxes.
//
// Window logic asks a Dialogs object for every message box; the front end
// provides one that shows real boxes, tests use ScriptedDialogs, which records
// every box and answers from a queue.
//
// The style argument combines a button set (low bits), an icon and a default
// button, by their published values; the result is the button pressed.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// Button sets.
inline constexpr int vbOKOnly = 0;
inline constexpr int vbOKCancel = 1;
inline constexpr int vbAbortRetryIgnore = 2;
inline constexpr int vbYesNoCancel = 3;
inline constexpr int vbYesNo = 4;
inline constexpr int vbRetryCancel = 5;
// Icons.
inline constexpr int vbCritical = 16;
inline constexpr int vbQuestion = 32;
inline constexpr int vbExclamation = 48;
inline constexpr int vbInformation = 64;
// Default button.
inline constexpr int vbDefaultButton1 = 0;
inline constexpr int vbDefaultButton2 = 256;
inline constexpr int vbDefaultButton3 = 512;
// Results.
inline constexpr int vbOK = 1;
inline constexpr int vbCancel = 2;
inline constexpr int vbAbort = 3;
inline constexpr int vbRetry = 4;
inline constexpr int vbIgnore = 5;
inline constexpr int vbYes = 6;
inline constexpr int vbNo = 7;

// One message box as asked for.
struct MessageBox {
  std::string prompt;
  int style = vbOKOnly;
  std::string title;

  int Buttons() const { return style & 0x0F; }
  int Icon() const { return style & 0xF0; }
  int DefaultButton() const { return style & 0xF00; }
};

// The results a box of this style can give, in button order; empty when the
// button set is not one of the six.
std::vector<int> ButtonResults(int style);

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows the box, waits for the user and returns the result (vbOK ...).
  virtual int MsgBox(const MessageBox& box) = 0;
};

// Records every box and answers from a queue of scripted results. A box with
// the single button OK needs no scripted answer when the queue is empty. A
// box with a choice and nothing scripted, or a scripted answer that is not
// one of the box's buttons, is a fault of the test script: std::logic_error
// naming the box, so that it cannot pass for a user's answer.
class ScriptedDialogs : public Dialogs {
 public:
  int MsgBox(const MessageBox& box) override;

  // Queues the answer to the next box that is shown.
  void Answer(int result) { answers_.push_back(result); }
  std::size_t PendingAnswers() const { return answers_.size(); }

  // Runs while each box is up, before it is answered: lets a test look at
  // the program's state at that moment (the pointer, a control's text).
  void WhileShown(std::function<void(const MessageBox&)> probe) { probe_ = std::move(probe); }

  // Every box shown so far, oldest first.
  const std::vector<MessageBox>& Shown() const { return shown_; }
  void ClearShown() { shown_.clear(); }

 private:
  std::function<void(const MessageBox&)> probe_;
  std::deque<int> answers_;
  std::vector<MessageBox> shown_;
};

}  // namespace ui
