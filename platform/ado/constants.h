// Published constant values of the data-access objects.
#pragma once

#include <cstdint>

namespace adodb {

enum ConnectModeEnum : std::int32_t {
  adModeUnknown = 0,
  adModeRead = 1,
  adModeWrite = 2,
  adModeReadWrite = 3,
  adModeShareDenyRead = 4,
  adModeShareDenyWrite = 8,
  adModeShareExclusive = 0xC,
  adModeShareDenyNone = 0x10,
};

enum RecordCreateOptionsEnum : std::int32_t {
  adFailIfNotExists = -1,
  adCreateNonCollection = 0,
  adCreateCollection = 0x2000,
  adOpenIfExists = 0x2000000,
  adCreateOverwrite = 0x4000000,
  adCreateStructDoc = static_cast<std::int32_t>(0x80000000),
};

enum RecordOpenOptionsEnum : std::int32_t {
  adOpenRecordUnspecified = -1,
  adOpenAsync = 0x1000,
  adDelayFetchStream = 0x4000,
  adDelayFetchFields = 0x8000,
  adOpenExecuteCommand = 0x10000,
  adOpenSource = 0x800000,
  adOpenOutput = 0x800000 << 1,
};

enum MoveRecordOptionsEnum : std::int32_t {
  adMoveUnspecified = -1,
  adMoveOverWrite = 1,
  adMoveDontUpdateLinks = 2,
  adMoveAllowEmulation = 4,
};

enum ObjectStateEnum : std::int32_t {
  adStateClosed = 0,
  adStateOpen = 1,
  adStateConnecting = 2,
  adStateExecuting = 4,
  adStateFetching = 8,
};

enum CursorTypeEnum : std::int32_t {
  adOpenUnspecified = -1,
  adOpenForwardOnly = 0,
  adOpenKeyset = 1,
  adOpenDynamic = 2,
  adOpenStatic = 3,
};

enum LockTypeEnum : std::int32_t {
  adLockUnspecified = -1,
  adLockReadOnly = 1,
  adLockPessimistic = 2,
  adLockOptimistic = 3,
  adLockBatchOptimistic = 4,
};

enum CommandTypeEnum : std::int32_t {
  adCmdUnspecified = -1,
  adCmdText = 1,
  adCmdTable = 2,
  adCmdStoredProc = 4,
  adCmdUnknown = 8,
};

enum ConnectOptionEnum : std::int32_t {
  adConnectUnspecified = -1,
  adAsyncConnect = 0x10,
};

enum RecordTypeEnum : std::int32_t {
  adSimpleRecord = 0,
  adCollectionRecord = 1,
  adStructDoc = 2,
};

}  // namespace adodb
