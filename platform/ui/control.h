// Control: what every control of a window has in common.
//
// A control has a name, a position and size in twips relative to its form's
// client area, a tab index, and Visible/Enabled flags. Every property change
// that a front end would have to show is reported to one observer callback,
// after the change, and only when the value really changed; the observer
// mirrors state and must not change the control from inside the callback.
//
// Property errors are run-time errors, as the window logic expects them: an
// out-of-range property value is error 380, an out-of-range list index 381.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ui {

namespace err {
inline constexpr std::int32_t kOutOfStackSpace = 28;
inline constexpr std::int32_t kInvalidPropertyValue = 380;
inline constexpr std::int32_t kInvalidPropertyArrayIndex = 381;
}  // namespace err

// What changed, as reported to observers.
enum class Property {
  Caption,   // Label, CheckBox, CommandButton, Form
  Text,      // TextBox text (also the caret and selection)
  Value,     // CheckBox value
  Geometry,  // Left, Top, Width, Height; Form client size
  TabIndex,
  Visible,
  Enabled,
  Style,         // PasswordChar, MultiLine, ScrollBars, colours, font, modes
  Items,         // ListBox entries added, changed or removed
  Selection,     // ListBox selected states
  Drawing,       // PictureBox display list changed
  Refresh,       // PictureBox asked to be repainted now
  MousePointer,  // Form
  State,         // Form loaded, shown, hidden, activated, unloaded
};

class Form;

enum class ControlKind { Label, CommandButton, CheckBox, TextBox, ListBox, PictureBox };

class Control {
 public:
  using Observer = std::function<void(Control&, Property)>;

  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  virtual ~Control();

  const std::string& Name() const { return name_; }
  ControlKind Kind() const { return kind_; }

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void Left(int twips);
  void Top(int twips);
  // Width and height below 0 are error 380 and leave the control unchanged.
  void Width(int twips);
  void Height(int twips);
  // All four at once, with one notification.
  void Move(int left, int top, int width, int height);

  int TabIndex() const { return tab_index_; }
  void TabIndex(int index);  // below 0 is error 380

  bool Visible() const { return visible_; }
  void Visible(bool visible);
  bool Enabled() const { return enabled_; }
  void Enabled(bool enabled);

  // True when a user could operate the control now: it is visible and
  // enabled, and so is its form's input (Form::Enabled). The user-input
  // simulations of the controls do nothing otherwise.
  bool AcceptsInput() const;

  // One observer per control; a new one replaces the old, an empty one removes it.
  void SetObserver(Observer observer) { observer_ = std::move(observer); }

 protected:
  Control(ControlKind kind, std::string name);
  // Tells the observer, if any, that the property changed.
  void Notify(Property what);

 private:
  ControlKind kind_;
  std::string name_;
  int left_ = 0;
  int top_ = 0;
  int width_ = 0;
  int height_ = 0;
  int tab_index_ = 0;
  bool visible_ = true;
  bool enabled_ = true;
  Observer observer_;
  const Form* form_ = nullptr;  // set when a form adopts the control
  friend class Form;
};

// Throws core::RuntimeError 380 naming the property and the control.
[[noreturn]] void ThrowInvalidPropertyValue(const Control& control, std::string_view property);

}  // namespace ui
