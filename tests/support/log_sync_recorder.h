// LogSyncRecorder: an SQLite file system that passes everything to the
// default one and notes, for write-ahead logs, whether bytes were written
// since the log was last synced; it can also make those syncs fail. It tells what a power failure
// at that instant could take away, which no look at the files afterwards can.
//
// While a recorder lives it is SQLite's default file system: connections
// opened meanwhile (a new thread's store session) go through it. One
// recorder at a time.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstring>

namespace testing_support {

class LogSyncRecorder {
 public:
  LogSyncRecorder() {
    real_ = sqlite3_vfs_find(nullptr);
    vfs_ = *real_;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.zName = "log-sync-recorder";
    vfs_.pAppData = this;
    vfs_.xOpen = Open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~LogSyncRecorder() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
  }
  LogSyncRecorder(const LogSyncRecorder&) = delete;
  LogSyncRecorder& operator=(const LogSyncRecorder&) = delete;

  // True when a log holds bytes written after its last sync.
  bool Unsynced() const { return unsynced_; }
  int Syncs() const { return syncs_; }
  // While set, syncing a log fails with an I/O error (and syncs nothing).
  void FailSyncs(bool fail) { fail_ = fail; }

 private:
  struct File {
    sqlite3_file base;
    LogSyncRecorder* recorder;
    bool is_log;
    sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
  };
  static File* Of(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
  static sqlite3_file* Real(sqlite3_file* f) { return Of(f)->real(); }

  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out_flags) {
    auto* self = static_cast<LogSyncRecorder*>(vfs->pAppData);
    File* file = Of(f);
    std::memset(file, 0, sizeof(File));
    int rc = self->real_->xOpen(self->real_, name, file->real(), flags, out_flags);
    if (file->real()->pMethods == nullptr) return rc;  // nothing to close
    file->recorder = self;
    file->is_log = (flags & SQLITE_OPEN_WAL) != 0;
    file->base.pMethods = &kMethods;
    return rc;
  }

  static int Write(sqlite3_file* f, const void* data, int n, sqlite3_int64 at) {
    int rc = Real(f)->pMethods->xWrite(Real(f), data, n, at);
    if (Of(f)->is_log) Of(f)->recorder->unsynced_ = true;
    return rc;
  }
  static int Sync(sqlite3_file* f, int flags) {
    if (Of(f)->is_log && Of(f)->recorder->fail_) return SQLITE_IOERR_FSYNC;
    int rc = Real(f)->pMethods->xSync(Real(f), flags);
    if (Of(f)->is_log && rc == SQLITE_OK) {
      Of(f)->recorder->unsynced_ = false;
      ++Of(f)->recorder->syncs_;
    }
    return rc;
  }
  static int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
  static int Read(sqlite3_file* f, void* data, int n, sqlite3_int64 at) {
    return Real(f)->pMethods->xRead(Real(f), data, n, at);
  }
  static int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    return Real(f)->pMethods->xTruncate(Real(f), size);
  }
  static int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
  }
  static int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
  static int Unlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
  }
  static int CheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
  }
  static int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
  }
  static int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
  static int DeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
  }
  static int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
  }
  static int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
  }
  static void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
  static int ShmUnmap(sqlite3_file* f, int remove) {
    return Real(f)->pMethods->xShmUnmap(Real(f), remove);
  }
  static int Fetch(sqlite3_file* f, sqlite3_int64 at, int n, void** out) {
    return Real(f)->pMethods->xFetch(Real(f), at, n, out);
  }
  static int Unfetch(sqlite3_file* f, sqlite3_int64 at, void* p) {
    return Real(f)->pMethods->xUnfetch(Real(f), at, p);
  }

  static constexpr sqlite3_io_methods kMethods = {
      3,
      Close,
      Read,
      Write,
      Truncate,
      Sync,
      FileSize,
      Lock,
      Unlock,
      CheckReservedLock,
      FileControl,
      SectorSize,
      DeviceCharacteristics,
      ShmMap,
      ShmLock,
      ShmBarrier,
      ShmUnmap,
      Fetch,
      Unfetch,
  };

  sqlite3_vfs* real_ = nullptr;
  sqlite3_vfs vfs_{};
  std::atomic<bool> unsynced_{false};
  std::atomic<int> syncs_{0};
  std::atomic<bool> fail_{false};
};

}  // namespace testing_support
