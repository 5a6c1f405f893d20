// Event: one handler slot that a control raises.
//
// A control raises its events synchronously, on the caller's thread, while the
// change that caused them is already visible. Handlers may change the control
// again from inside the handler; that raises the event again, nested inside
// the running one (window logic relies on this to undo a change it refuses).
// Nesting is bounded: a handler that keeps changing its own control gets
// run-time error 28 ("Out of stack space") instead of overflowing the stack.
#pragma once

#include <functional>
#include <utility>

namespace ui {

// Deepest nesting of one event inside itself before error 28 is raised.
inline constexpr int kMaxEventNesting = 64;

namespace internal {
// Throws core::RuntimeError 28. Out of line to keep <core/error.h> out of here.
[[noreturn]] void ThrowOutOfStackSpace(const char* event_name);
}  // namespace internal

template <typename... Args>
class Event {
 public:
  using Handler = std::function<void(Args...)>;

  explicit Event(const char* name) : name_(name) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Installs the handler, replacing any earlier one; an empty function removes it.
  void Set(Handler handler) { handler_ = std::move(handler); }
  bool HasHandler() const { return static_cast<bool>(handler_); }
  // How many raises of this event are running right now (0 outside handlers).
  int Nesting() const { return nesting_; }

  // Calls the handler, if any. Exceptions from the handler propagate.
  void Raise(Args... args) {
    if (!handler_) return;
    if (nesting_ >= kMaxEventNesting) internal::ThrowOutOfStackSpace(name_);
    // A copy keeps the running handler alive if it replaces itself.
    Handler handler = handler_;
    ++nesting_;
    struct Unnest {
      int& n;
      ~Unnest() { --n; }
    } unnest{nesting_};
    handler(std::forward<Args>(args)...);
  }

 private:
  const char* name_;
  Handler handler_;
  int nesting_ = 0;
};

}  // namespace ui
