// Test sinks for the store's event dispatch, one class per behaviour, so that
// objects activated without construction still know what to do.
//   EventsTest.A/B/C     log every call, labelled "A", "B", "C" unless a
//                        constructor string gives another label
//   EventsTest.Veto      logs and vetoes in the begin phase
//   EventsTest.Refuse    refuses its registration items
//   EventsTest.Nester    in the committed phase bumps "urn:test:count" on the
//                        item through the event record: a save in its own scope
//   EventsTest.VetoMoves vetoes the begin phase of items moved into its scope
//   EventsTest.Deleter   deletes the item in the committed phase
//   EventsTest.Leaky     in the committed phase sets "urn:test:kept" through
//                        the event record, and "urn:test:leaked" through a
//                        connection of its own whose transaction it never ends
//   EventsTest.Gate      in the committed phase waits until EventsTestOpenGate
//                        (ten seconds at most), then logs
// The log is read through the exported EventsTestLog.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ado/record.h"
#include "platform/com/interfaces.h"
#include "platform/com/server.h"
#include "platform/core/error.h"
#include "platform/store/provider.h"

namespace {

std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}
std::string& Log() {
  static std::string log;
  return log;
}
void Append(const std::string& line) {
  std::lock_guard<std::mutex> lock(LogMutex());
  Log() += line + "\n";
}

const char* PhaseName(std::int32_t flags) {
  if (flags & com::EVT_SYNC_BEGIN) return "begin";
  if (flags & com::EVT_SYNC_COMMITTED) return "committed";
  if (flags & com::EVT_SYNC_ABORTED) return "aborted";
  return "none";
}

enum class Kind { Recorder, Veto, Refuse, Nester, VetoMoves, Leaky, Deleter, Gate };

constexpr const char* kLabels[] = {"A",      "B",         "C",     "Veto",    "Refuse",
                                   "Nester", "VetoMoves", "Leaky", "Deleter", "Gate"};

// The gate the Gate sink waits at, and how many wait there now.
struct Gate {
  std::mutex mu;
  std::condition_variable changed;
  bool open = false;
  int waiting = 0;
};
Gate& TheGate() {
  static Gate gate;
  return gate;
}

void WaitAtGate() {
  Gate& g = TheGate();
  std::unique_lock<std::mutex> lock(g.mu);
  ++g.waiting;
  g.changed.notify_all();
  g.changed.wait_for(lock, std::chrono::seconds(10), [&] { return g.open; });
  --g.waiting;
}

// Connections the leaky sink keeps with their transactions open.
std::vector<adodb::ConnectionPtr>& Kept() {
  static std::vector<adodb::ConnectionPtr> kept;
  return kept;
}

void Leak(const std::string& url) {
  static std::once_flag once;
  std::call_once(once, [] { store::RegisterProvider(); });
  auto cnn = std::make_shared<adodb::Connection>();
  cnn->Provider(store::kProviderName);
  cnn->Open(url, "", "", -1);
  cnn->BeginTrans();
  adodb::Record rec;
  rec.Open(url, cnn, adodb::adModeReadWrite);
  rec.Fields()["urn:test:leaked"].Value(core::Variant(true));
  rec.Fields().Update();
  Kept().push_back(cnn);
}

template <Kind kKind, int kLabel>
class Sink : public com::Implements<com::IExStoreSyncEvents, com::IObjectConstruct,
                                    com::ICreateRegistration> {
 public:
  com::HRESULT Construct(com::IUnknown* pCtorObj) override {
    auto ctor = com::Ptr<com::IUnknown>(pCtorObj).As<com::IObjectConstructString>();
    if (ctor) {
      core::Variant v = ctor->ConstructString();
      if (!v.IsNull()) label_ = v.AsString();
    }
    return com::S_OK;
  }

  com::HRESULT Register(com::IExStoreEventInfo*, const std::string& url, std::int32_t,
                        std::int32_t* plResult) override {
    Append(label_ + " register " + url);
    *plResult = kKind == Kind::Refuse ? 7 : 0;
    return com::S_OK;
  }

  com::HRESULT OnSyncSave(com::IExStoreEventInfo* info, const std::string& url,
                          std::int32_t lFlags) override {
    std::string line =
        label_ + " " + PhaseName(lFlags) + " " + std::to_string(lFlags & 0x00FFFFFF) + " " + url;
    try {
      auto disp = com::Ptr<com::IUnknown>(info).As<com::IExStoreDispEventInfo>();
      adodb::RecordPtr rec = disp->EventRecord();
      line += " subject=" + rec->Fields()["urn:schemas:httpmail:subject"].Value().AsString();
      if (kKind == Kind::Nester && (lFlags & com::EVT_SYNC_COMMITTED)) {
        std::int32_t count = 0;  // absent at first
        try {
          count = rec->Fields()["urn:test:count"].Value().AsLong();
        } catch (const std::exception&) {
        }
        rec->Fields()["urn:test:count"].Value(core::Variant(count + 1));
        rec->Fields().Update();
      }
      if (kKind == Kind::Deleter && (lFlags & com::EVT_SYNC_COMMITTED)) rec->DeleteRecord();
      if (kKind == Kind::Leaky && (lFlags & com::EVT_SYNC_COMMITTED)) {
        rec->Fields()["urn:test:kept"].Value(core::Variant(true));
        rec->Fields().Update();
        Leak(url);
      }
    } catch (const std::exception& e) {
      line += std::string(" error=") + e.what();
    }
    if (kKind == Kind::Recorder && (lFlags & com::EVT_SYNC_BEGIN)) {
      // The begin phase may look but not touch.
      try {
        auto disp = com::Ptr<com::IUnknown>(info).As<com::IExStoreDispEventInfo>();
        adodb::RecordPtr rec = disp->EventRecord();
        rec->Fields()["urn:test:touched"].Value(core::Variant(true));
        rec->Fields().Update();
        line += " write=ok";
      } catch (const core::RuntimeError& e) {
        line += " write=" + std::to_string(e.Number());
      }
    }
    if (kKind == Kind::Gate && (lFlags & com::EVT_SYNC_COMMITTED)) WaitAtGate();
    Append(line);
    if (kKind == Kind::Veto && (lFlags & com::EVT_SYNC_BEGIN)) {
      info->AbortChange(static_cast<std::int32_t>(0x80070005));
    }
    if (kKind == Kind::VetoMoves && (lFlags & com::EVT_SYNC_BEGIN) && (lFlags & com::EVT_MOVE)) {
      info->AbortChange(static_cast<std::int32_t>(0x80070005));
    }
    return com::S_OK;
  }

  com::HRESULT OnSyncDelete(com::IExStoreEventInfo* info, const std::string& url,
                            std::int32_t lFlags) override {
    Append(label_ + " delete:" + PhaseName(lFlags) + " " + std::to_string(lFlags & 0x00FFFFFF) +
           " " + url);
    if (kKind == Kind::Veto && (lFlags & com::EVT_SYNC_BEGIN)) info->AbortChange(0);
    return com::S_OK;
  }

 private:
  std::string label_ = kLabels[kLabel];
};

const ComClassInfo kClasses[] = {
    {"EventsTest.A", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C01}", "A", "Apartment"},
    {"EventsTest.B", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C02}", "B", "Apartment"},
    {"EventsTest.C", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C03}", "C", "Apartment"},
    {"EventsTest.Veto", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C04}", "Veto", "Apartment"},
    {"EventsTest.Refuse", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C05}", "Refuse", "Apartment"},
    {"EventsTest.Nester", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C06}", "Nester", "Apartment"},
    {"EventsTest.VetoMoves", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C07}", "VetoMoves", "Apartment"},
    {"EventsTest.Leaky", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C08}", "Leaky", "Apartment"},
    {"EventsTest.Deleter", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C09}", "Deleter", "Apartment"},
    {"EventsTest.Gate", "{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4C0A}", "Gate", "Apartment"},
};
constexpr std::int32_t kCount = 10;

template <Kind kKind, int kLabel>
com::HRESULT Factory(const com::IID& riid, void** ppv) {
  auto f = com::MakeObject<com::ClassFactory<Sink<kKind, kLabel>>, com::IClassFactory>();
  return f->QueryInterface(riid, ppv);
}

}  // namespace

COM_EXPORT com::HRESULT DllGetClassObject(const com::CLSID& rclsid, const com::IID& riid,
                                          void** ppv) {
  *ppv = nullptr;
  if (rclsid == com::GUID::Parse(kClasses[0].clsid)) return Factory<Kind::Recorder, 0>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[1].clsid)) return Factory<Kind::Recorder, 1>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[2].clsid)) return Factory<Kind::Recorder, 2>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[3].clsid)) return Factory<Kind::Veto, 3>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[4].clsid)) return Factory<Kind::Refuse, 4>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[5].clsid)) return Factory<Kind::Nester, 5>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[6].clsid)) return Factory<Kind::VetoMoves, 6>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[7].clsid)) return Factory<Kind::Leaky, 7>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[8].clsid)) return Factory<Kind::Deleter, 8>(riid, ppv);
  if (rclsid == com::GUID::Parse(kClasses[9].clsid)) return Factory<Kind::Gate, 9>(riid, ppv);
  return com::CLASS_E_CLASSNOTAVAILABLE;
}

COM_EXPORT com::HRESULT DllCanUnloadNow() { return com::CanUnloadNow(); }

COM_EXPORT com::HRESULT DllRegisterServer() {
  return com::RegisterServer(kClasses, kCount, reinterpret_cast<const void*>(&DllRegisterServer));
}

COM_EXPORT com::HRESULT DllUnregisterServer() { return com::UnregisterServer(kClasses, kCount); }

COM_EXPORT std::int32_t DllGetClassInfo(const ComClassInfo** classes) {
  *classes = kClasses;
  return kCount;
}

// Whether a Gate sink waits at the gate, after waiting up to ten seconds
// for one to come.
COM_EXPORT bool EventsTestGateWaiting() {
  Gate& g = TheGate();
  std::unique_lock<std::mutex> lock(g.mu);
  return g.changed.wait_for(lock, std::chrono::seconds(10), [&] { return g.waiting > 0; });
}

// Lets every Gate sink through, now and later.
COM_EXPORT void EventsTestOpenGate() {
  Gate& g = TheGate();
  std::lock_guard<std::mutex> lock(g.mu);
  g.open = true;
  g.changed.notify_all();
}

// Lets go of the connections the leaky sink kept.
COM_EXPORT void EventsTestReleaseKept() { Kept().clear(); }

// Takes the log: every call since the last take, one line each.
COM_EXPORT void EventsTestTakeLog(void (*receive)(const char* text, void* context), void* context) {
  std::string log;
  {
    std::lock_guard<std::mutex> lock(LogMutex());
    log.swap(Log());
  }
  receive(log.c_str(), context);
}
