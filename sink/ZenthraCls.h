// ZenthraCls: the store event sink.
//
// Constructed with the constructor string "folder CR attachment CR
// priority", it accepts every registration naming it and, for each save in
// a registered folder, hands the event to ZenthraModule by phase. Every
// method returns S_OK: nothing it does can fail or veto the store's change.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/interfaces.h"

namespace zenthra {

inline constexpr const char* kProgId = "Zenthra.ZenthraCls";
inline constexpr const char* kClsid = "{5E7A2D3C-9B41-4F8E-A6C2-1D0E7B9F3A11}";

// The class's own default interface; it has no members.
class _ZenthraCls : public com::IUnknown {
 public:
  static constexpr com::IID kIID{
      0x5E7A2D3C, 0x9B41, 0x4F8E, {0xA6, 0xC2, 0x1D, 0x0E, 0x7B, 0x9F, 0x3A, 0x12}};

 protected:
  ~_ZenthraCls() = default;
};

class ZenthraCls : public com::Implements<_ZenthraCls, com::IObjectConstruct,
                                          com::ICreateRegistration, com::IExStoreSyncEvents> {
 public:
  // Sets the calling thread's settings from the constructor string. A
  // missing construction object or string counts as an empty string.
  com::HRESULT Construct(com::IUnknown* pCtorObj) override;

  // Accepts every registration: *plResult = 0.
  com::HRESULT Register(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                        std::int32_t lFlags, std::int32_t* plResult) override;

  // Dispatch on the first phase flag set, in the order begin, committed,
  // aborted; anything that fails while dispatching is swallowed.
  com::HRESULT OnSyncSave(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                          std::int32_t lFlags) override;
  com::HRESULT OnSyncDelete(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                            std::int32_t lFlags) override;
};

}  // namespace zenthra
