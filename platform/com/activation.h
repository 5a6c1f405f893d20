// Activation: creating an object of a registered class by its ProgID.
//
// CreateObject looks the ProgID up in the class registry, loads the library
// (once per process; the handle is cached), asks its DllGetClassObject for
// the class factory and creates the object. Every failure is a
// core::RuntimeError 429 ("ActiveX component can't create object") whose
// description names the ProgID and the reason.
//
// Only a library that can be trusted is loaded: an absolute path, a file and
// folders that nobody but root and the running user can change
// (trusted_file.h). It is loaded through the descriptor that was checked.
//
// Construction: every activation passes through one seam, the construction
// hook, asked before the library is loaded, so that a hook that refuses the
// class (by throwing) keeps its code from running at all. When the hook
// returns a constructor string for the class, the new object is asked for
// IObjectConstruct and constructed with an IObjectConstructString carrying
// that string before it is handed out; an object that does not offer
// IObjectConstruct, or whose Construct fails, is not handed out (429). A
// hook's error 429 is passed on as it is; any other error is reported as
// unreadable construction settings. The component catalog installs the hook;
// tests set one directly.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/com/class_registry.h"
#include "platform/com/interfaces.h"
#include "platform/com/unknown.h"
#include "platform/core/variant.h"

namespace com {

// Returns the constructor string for the class being activated, or nullopt
// when construction is not enabled for it. The value may be Null.
using ConstructionHook = std::function<std::optional<core::Variant>(const ClassEntry& entry)>;

// Installs hook for the whole process and returns the previous one. An
// empty hook disables construction. Called concurrently with activations
// safely; an activation uses the hook that was installed when it began.
ConstructionHook SetConstructionHook(ConstructionHook hook);

// Installs a hook for its lifetime and puts the previous one back.
class ScopedConstructionHook {
 public:
  explicit ScopedConstructionHook(ConstructionHook hook)
      : previous_(SetConstructionHook(std::move(hook))) {}
  ~ScopedConstructionHook() { SetConstructionHook(std::move(previous_)); }
  ScopedConstructionHook(const ScopedConstructionHook&) = delete;
  ScopedConstructionHook& operator=(const ScopedConstructionHook&) = delete;

 private:
  ConstructionHook previous_;
};

// A construction object whose ConstructString returns value.
Ptr<IObjectConstructString> MakeConstructString(core::Variant value);

// A new object of the class registered under progId, constructed as above.
Ptr<IUnknown> CreateObject(std::string_view progId);

// Unloads every cached library whose DllCanUnloadNow answers S_OK and
// returns how many were unloaded. Libraries without that export stay. An
// unloaded library is activated anew from its file, but its code is unmapped
// only by a call at least ten seconds later: a thread may still be returning
// from the Release of its last object.
std::size_t FreeUnusedLibraries();

}  // namespace com
