// Form: a window with a caption, a client area and its controls.
//
// Life of a form: Load (the Load event; also done by the first Show), Show
// (visible, then active), Activate/Deactivate as it gains and loses being the
// program's active form (the Activate event each time it becomes active),
// Hide, and Unload (the Unload event, then hidden and not loaded). After the
// last loaded form of a program unloads, the program ends. Handlers may call
// any of these from inside another: a Load handler that unloads the form
// stops the Show, an Activate handler may unload its own form.
//
// The form owns its controls, which live as long as the form and keep their
// state across Unload and a later Load; a Load handler sets them up afresh.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ui/control.h"
#include "platform/ui/event.h"

namespace ui {

class Program;

inline constexpr int vbDefault = 0;
inline constexpr int vbArrow = 1;
inline constexpr int vbHourglass = 11;
inline constexpr int vbCustom = 99;

class Form {
 public:
  using Observer = std::function<void(Form&, Property)>;

  // Registers the form with `program`, which must outlive it.
  Form(Program& program, std::string name);
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  virtual ~Form();

  Program& program() const { return *program_; }
  const std::string& Name() const { return name_; }

  const std::string& Caption() const { return caption_; }
  void Caption(std::string caption);

  // Size of the client area in twips; negative sizes are error 380.
  int ClientWidth() const { return client_width_; }
  int ClientHeight() const { return client_height_; }
  void ClientSize(int width, int height);

  // 0 default, 1 arrow, ... 11 hourglass, ... 15, 99 custom; else error 380.
  int MousePointer() const { return mouse_pointer_; }
  void MousePointer(int pointer);

  // Creates a control of type T owned by the form. Names are unique within
  // a form: a name already in use is error 5 and creates nothing.
  template <typename T>
  T& Add(std::string name) {
    auto control = std::make_unique<T>(std::move(name));
    T& ref = *control;
    Adopt(std::move(control));
    return ref;
  }
  // The control of that name (exact comparison), or nullptr.
  Control* FindControl(std::string_view name) const;
  // All controls in tab order (by TabIndex; equal indices in creation order).
  std::vector<Control*> Controls() const;

  // A disabled form takes no user input on any of its controls (code may
  // still change them), e.g. while the window logic lets events through
  // during a long operation.
  bool Enabled() const { return enabled_; }
  void Enabled(bool enabled);

  bool Loaded() const { return loaded_; }
  bool Visible() const { return visible_; }
  bool Active() const;

  // Loads the form if it is not loaded: raises Load.
  void Load();
  // Loads the form if needed, makes it visible and active.
  void Show();
  // Makes a visible form the program's active form; raises Activate when it
  // was not active. For front ends, when the window gains focus.
  void Activate();
  // The form stops being active (a front end calls this when the window
  // loses focus); raises Deactivate when it was active.
  void Deactivate();
  // Hides the form (it stays loaded).
  void Hide();
  // Raises Unload, then hides the form and marks it not loaded. Does nothing
  // when the form is not loaded or is unloading already.
  void Unload();

  void OnLoad(std::function<void()> handler) { load_.Set(std::move(handler)); }
  void OnActivate(std::function<void()> handler) { activate_.Set(std::move(handler)); }
  void OnDeactivate(std::function<void()> handler) { deactivate_.Set(std::move(handler)); }
  void OnUnload(std::function<void()> handler) { unload_.Set(std::move(handler)); }

  void SetObserver(Observer observer) { observer_ = std::move(observer); }

 private:
  friend class Program;
  void Adopt(std::unique_ptr<Control> control);
  void Notify(Property what);
  // Called by the program when another form becomes active.
  void LoseActive();

  Program* program_;
  std::string name_;
  std::string caption_;
  int client_width_ = 0;
  int client_height_ = 0;
  int mouse_pointer_ = vbDefault;
  bool enabled_ = true;
  bool loaded_ = false;
  bool visible_ = false;
  bool unloading_ = false;
  std::vector<std::unique_ptr<Control>> controls_;
  Event<> load_{"Load"};
  Event<> activate_{"Activate"};
  Event<> deactivate_{"Deactivate"};
  Event<> unload_{"Unload"};
  Observer observer_;
};

}  // namespace ui
