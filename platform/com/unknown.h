// The object model's base: result codes, IUnknown, the reference-counting
// smart pointer and the class factory.
//
// Objects are reference counted: AddRef and Release return the new count and
// the object deletes itself when the count reaches zero. QueryInterface hands
// out a pointer already AddRef'ed, or E_NOINTERFACE with *ppv set to null.
// Methods never throw across an interface boundary; failures are HRESULTs.
#pragma once

#include <atomic>
#include <cstdint>
#include <tuple>
#include <utility>

#include "platform/com/guid.h"

namespace com {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);

inline constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
inline constexpr bool Failed(HRESULT hr) { return hr < 0; }

class IUnknown {
 public:
  static constexpr IID kIID{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

  virtual HRESULT QueryInterface(const IID& iid, void** ppv) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;  // only Release destroys
};

class IClassFactory : public IUnknown {
 public:
  static constexpr IID kIID{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

  // Creates a new object and returns its interface iid. pUnkOuter must be
  // null (no aggregation): CLASS_E_NOAGGREGATION otherwise.
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, const IID& iid, void** ppv) = 0;
  // Keeps the library loaded while fLock is held, whether or not objects exist.
  virtual HRESULT LockServer(bool fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Intrusive smart pointer: AddRef on copy, Release on destruction.
template <class T>
class Ptr {
 public:
  Ptr() = default;
  Ptr(std::nullptr_t) {}
  // Takes a new reference to p.
  explicit Ptr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  Ptr(const Ptr& o) : Ptr(o.p_) {}
  Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~Ptr() { Reset(); }
  Ptr& operator=(Ptr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Adopts a reference the caller already owns (e.g. from QueryInterface).
  static Ptr Attach(T* p) {
    Ptr r;
    r.p_ = p;
    return r;
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(p_, nullptr); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Releases the current object and returns the slot for an out-parameter.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&p_);
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // The object's interface U, or null when it does not offer it.
  template <class U>
  Ptr<U> As() const {
    Ptr<U> r;
    if (p_ && Failed(p_->QueryInterface(U::kIID, r.PutVoid()))) r.Reset();
    return r;
  }

 private:
  T* p_ = nullptr;
};

// The number of live objects and server locks of the library (or program)
// that this code is linked into. DllCanUnloadNow answers from it.
std::atomic<std::int32_t>& ModuleLockCount();

// Base for classes: reference counting and QueryInterface over the listed
// interfaces (IUnknown is answered with the first). Each live object holds a
// module lock, so a library is not unloaded under its objects.
template <class... Interfaces>
class Implements : public Interfaces... {
 public:
  Implements() { ModuleLockCount().fetch_add(1); }
  Implements(const Implements&) = delete;
  Implements& operator=(const Implements&) = delete;

  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (iid == IUnknown::kIID) {
      *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
    } else {
      (void)((iid == Interfaces::kIID ? (*ppv = static_cast<Interfaces*>(this), true) : false) ||
             ...);
    }
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  std::uint32_t AddRef() override { return refs_.fetch_add(1) + 1; }
  std::uint32_t Release() override {
    std::uint32_t n = refs_.fetch_sub(1) - 1;
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~Implements() { ModuleLockCount().fetch_sub(1); }

 private:
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
  std::atomic<std::uint32_t> refs_{0};
};

// Creates a T and returns it as interface I with one reference.
template <class T, class I, class... Args>
Ptr<I> MakeObject(Args&&... args) {
  return Ptr<I>(static_cast<I*>(new T(std::forward<Args>(args)...)));
}

}  // namespace com
