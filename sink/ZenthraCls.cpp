#include "sink/ZenthraCls.h"

#include "platform/core/text.h"
#include "sink/ZenthraModule.h"
#include "sink/ignore.h"

namespace zenthra {

using com::HRESULT;
using com::S_OK;

HRESULT ZenthraCls::Construct(com::IUnknown* pCtorObj) {
  using namespace ZenthraModule;
  std::string text;
  IgnoreErrors([&] {
    com::Ptr<com::IObjectConstructString> ctor =
        com::Ptr<com::IUnknown>(pCtorObj).As<com::IObjectConstructString>();
    if (!ctor) return;
    core::Variant value = ctor->ConstructString();
    text = value.IsNull() ? std::string() : value.AsString();
  });
  IgnoreErrors([&] {
    strAttachmentName = text;
    strTargetFolder = "Spam";
  });
  std::size_t p = core::InStr(text, "\r");
  if (p > 1) {
    IgnoreErrors(
        [&] { strTargetFolder = core::Replace(core::Trim(core::Left(text, p - 1)), "\\", "/"); });
    IgnoreErrors([&] { strAttachmentName = core::Trim(core::Mid(text, p + 1)); });
  }
  // Field 3 (the priority) and anything after it are the setup program's.
  std::size_t q = core::InStr(strAttachmentName, "\r");
  if (q > 1) {
    IgnoreErrors([&] { strAttachmentName = core::Trim(core::Left(strAttachmentName, q - 1)); });
  }
  return S_OK;
}

HRESULT ZenthraCls::Register(com::IExStoreEventInfo*, const std::string&, std::int32_t,
                             std::int32_t* plResult) {
  if (plResult) *plResult = 0;
  return S_OK;
}

HRESULT ZenthraCls::OnSyncSave(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                               std::int32_t lFlags) {
  IgnoreErrors([&] {
    if ((lFlags & com::EVT_SYNC_BEGIN) > 0) {
      ZenthraModule::OnSaveBegin(pEventInfo, bstrURLItem, lFlags);
    } else if ((lFlags & com::EVT_SYNC_COMMITTED) > 0) {
      ZenthraModule::OnSaveCommitted(pEventInfo, bstrURLItem, lFlags);
    } else if ((lFlags & com::EVT_SYNC_ABORTED) > 0) {
      ZenthraModule::OnSaveAborted(pEventInfo, bstrURLItem, lFlags);
    }
  });
  return S_OK;
}

HRESULT ZenthraCls::OnSyncDelete(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                                 std::int32_t lFlags) {
  IgnoreErrors([&] {
    if ((lFlags & com::EVT_SYNC_BEGIN) > 0) {
      ZenthraModule::OnDeleteBegin(pEventInfo, bstrURLItem, lFlags);
    } else if ((lFlags & com::EVT_SYNC_COMMITTED) > 0) {
      ZenthraModule::OnDeleteCommitted(pEventInfo, bstrURLItem, lFlags);
    } else if ((lFlags & com::EVT_SYNC_ABORTED) > 0) {
      ZenthraModule::OnDeleteAborted(pEventInfo, bstrURLItem, lFlags);
    }
  });
  return S_OK;
}

}  // namespace zenthra
