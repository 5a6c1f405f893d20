// Recordset: the rows of a query, walked forward.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ado/connection.h"
#include "platform/ado/fields.h"

namespace adodb {

class Recordset {
 public:
  Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Runs source (a query text) on activeConnection; 3709 when the connection
  // is null or closed, 3705 when this recordset is open.
  void Open(const std::string& source, ConnectionPtr activeConnection,
            CursorTypeEnum cursorType = adOpenUnspecified,
            LockTypeEnum lockType = adLockUnspecified, std::int32_t options = adCmdUnspecified);
  // Binds an already computed result (used by Command::Execute).
  void Open(Rowset rows);
  void Close();
  ObjectStateEnum State() const;

  // EOF and BOF; named so because EOF is a C macro.
  bool Eof() const;
  bool Bof() const;
  void MoveNext();  // 3021 at EOF
  void MoveFirst();
  std::int32_t RecordCount() const;
  // The fields of the current row; reading a value at EOF is 3021.
  adodb::Fields& Fields();

 private:
  void CheckOpen() const;
  void LoadRow();

  adodb::Fields fields_;
  Rowset rows_;
  std::size_t position_ = 0;
  bool open_ = false;
};

using RecordsetPtr = std::shared_ptr<Recordset>;

}  // namespace adodb
