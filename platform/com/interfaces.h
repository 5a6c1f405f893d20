// The published interfaces through which the hosting services talk to a
// component: object construction (IObjectConstruct, IObjectConstructString)
// and the store's synchronous events (ICreateRegistration,
// IExStoreSyncEvents, IExStoreEventInfo, IExStoreDispEventInfo), with the
// store's event flags.
//
// Event methods receive the URL of the item as UTF-8 text and the flags as a
// signed 32-bit value, as the store passes them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ado/record.h"
#include "platform/com/unknown.h"
#include "platform/core/variant.h"

namespace com {

// Flags of a store event (lFlags).
inline constexpr std::int32_t EVT_NEW_ITEM = 0x00000001;
inline constexpr std::int32_t EVT_IS_COLLECTION = 0x00000002;
inline constexpr std::int32_t EVT_REPLICATED_ITEM = 0x00000004;
inline constexpr std::int32_t EVT_IS_DELIVERED = 0x00000008;
inline constexpr std::int32_t EVT_SOFTDELETE = 0x00000010;
inline constexpr std::int32_t EVT_HARDDELETE = 0x00000020;
inline constexpr std::int32_t EVT_INITNEW = 0x00000040;
inline constexpr std::int32_t EVT_MOVE = 0x00000100;
inline constexpr std::int32_t EVT_COPY = 0x00000200;
inline constexpr std::int32_t EVT_SYNC_BEGIN = 0x01000000;
inline constexpr std::int32_t EVT_SYNC_COMMITTED = 0x02000000;
inline constexpr std::int32_t EVT_SYNC_ABORTED = 0x04000000;
inline constexpr std::int32_t EVT_INVALID_SOURCE_URL = 0x20000000;
inline constexpr std::int32_t EVT_INVALID_URL = 0x40000000;
inline constexpr std::int32_t EVT_ERROR = static_cast<std::int32_t>(0x80000000);

// The construction object handed to IObjectConstruct::Construct; the
// component asks it for IObjectConstructString.
class IObjectConstructString : public IUnknown {
 public:
  static constexpr IID kIID{
      0x41C4F8B2, 0x7439, 0x11D2, {0x98, 0xCB, 0x00, 0xC0, 0x4F, 0x8E, 0xE1, 0xC4}};
  // The configured constructor string; Null when none was stored.
  virtual core::Variant ConstructString() = 0;

 protected:
  ~IObjectConstructString() = default;
};

class IObjectConstruct : public IUnknown {
 public:
  static constexpr IID kIID{
      0x41C4F8B3, 0x7439, 0x11D2, {0x98, 0xCB, 0x00, 0xC0, 0x4F, 0x8E, 0xE1, 0xC4}};
  // Called once on each new object, before any other method, when
  // construction is enabled for its class. A failure result fails activation.
  virtual HRESULT Construct(IUnknown* pCtorObj) = 0;

 protected:
  ~IObjectConstruct() = default;
};

// The store's side of one event.
class IExStoreEventInfo : public IUnknown {
 public:
  static constexpr IID kIID{
      0x9DA0E0F3, 0x86CE, 0x11D1, {0x86, 0x99, 0x00, 0xC0, 0x4F, 0xB9, 0x86, 0xA0}};
  // Vetoes the change in the begin phase of a synchronous event; lErrorCode
  // is what the saving client is told.
  virtual HRESULT AbortChange(std::int32_t lErrorCode) = 0;

 protected:
  ~IExStoreEventInfo() = default;
};

// The scriptable view of the same event, obtained from IExStoreEventInfo by
// QueryInterface.
class IExStoreDispEventInfo : public IUnknown {
 public:
  static constexpr IID kIID{
      0x9DA0E0F4, 0x86CE, 0x11D1, {0x86, 0x99, 0x00, 0xC0, 0x4F, 0xB9, 0x86, 0xA0}};
  // An open record bound to the item of the event. Throws core::RuntimeError
  // when the item cannot be bound.
  virtual adodb::RecordPtr EventRecord() = 0;

 protected:
  ~IExStoreDispEventInfo() = default;
};

class ICreateRegistration : public IUnknown {
 public:
  static constexpr IID kIID{
      0x9DA0E0FF, 0x86CE, 0x11D1, {0x86, 0x99, 0x00, 0xC0, 0x4F, 0xB9, 0x86, 0xA0}};
  // Asked when a registration item naming the class is saved; *plResult 0
  // accepts it, anything else refuses it.
  virtual HRESULT Register(IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                           std::int32_t lFlags, std::int32_t* plResult) = 0;

 protected:
  ~ICreateRegistration() = default;
};

class IExStoreSyncEvents : public IUnknown {
 public:
  static constexpr IID kIID{
      0x9DA0E0FE, 0x86CE, 0x11D1, {0x86, 0x99, 0x00, 0xC0, 0x4F, 0xB9, 0x86, 0xA0}};
  // Called once per phase (EVT_SYNC_BEGIN, then EVT_SYNC_COMMITTED or
  // EVT_SYNC_ABORTED) of a save or a delete in the registered scope.
  virtual HRESULT OnSyncSave(IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                             std::int32_t lFlags) = 0;
  virtual HRESULT OnSyncDelete(IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                               std::int32_t lFlags) = 0;

 protected:
  ~IExStoreSyncEvents() = default;
};

}  // namespace com
