#include "platform/ado/recordset.h"

#include "platform/ado/raise.h"
#include "platform/core/error.h"

namespace adodb {
namespace {

constexpr const char* kSource = "ADODB.Recordset";

[[noreturn]] void Fail(std::int32_t number) { internal::Raise(number, kSource); }

}  // namespace

// The fields of a row are read-only and whole: the owner gives no update
// and defers nothing.
Recordset::Recordset()
    : fields_(Fields::Owner{
          [this] {
            CheckOpen();
            if (position_ >= rows_.rows.size()) Fail(core::err::kAdoNoCurrentRecord);
          },
          nullptr,
          nullptr,
      }) {}

void Recordset::CheckOpen() const {
  if (!open_) Fail(core::err::kAdoObjectClosed);
}

void Recordset::Open(const std::string& source, ConnectionPtr activeConnection,
                     CursorTypeEnum cursorType, LockTypeEnum lockType, std::int32_t options) {
  (void)cursorType;
  (void)lockType;
  (void)options;
  if (open_) Fail(core::err::kAdoObjectOpen);
  if (!activeConnection || activeConnection->State() != adStateOpen) {
    Fail(core::err::kAdoInvalidConnection);
  }
  Open(activeConnection->Execute(source, {}));
}

void Recordset::Open(Rowset rows) {
  if (open_) Fail(core::err::kAdoObjectOpen);
  // A ragged result would make a row's fields lie about their columns.
  for (std::size_t i = 0; i < rows.rows.size(); ++i) {
    if (rows.rows[i].size() != rows.columns.size()) {
      throw core::RuntimeError(core::err::kAdoInvalidArgument,
                               "Row " + std::to_string(i + 1) + " has " +
                                   std::to_string(rows.rows[i].size()) + " values for " +
                                   std::to_string(rows.columns.size()) + " columns.",
                               kSource);
    }
  }
  rows_ = std::move(rows);
  position_ = 0;
  open_ = true;
  LoadRow();
}

void Recordset::Close() {
  CheckOpen();
  open_ = false;
  rows_ = Rowset();
  position_ = 0;
  fields_.Clear();
}

ObjectStateEnum Recordset::State() const { return open_ ? adStateOpen : adStateClosed; }

bool Recordset::Eof() const {
  CheckOpen();
  return position_ >= rows_.rows.size();
}

// Rows are only walked forward from the first, so the position is before
// the first row only when there is none.
bool Recordset::Bof() const {
  CheckOpen();
  return rows_.rows.empty();
}

void Recordset::MoveNext() {
  CheckOpen();
  if (position_ >= rows_.rows.size()) Fail(core::err::kAdoNoCurrentRecord);
  ++position_;
  LoadRow();
}

void Recordset::MoveFirst() {
  CheckOpen();
  position_ = 0;
  LoadRow();
}

std::int32_t Recordset::RecordCount() const {
  CheckOpen();
  return static_cast<std::int32_t>(rows_.rows.size());
}

Fields& Recordset::Fields() {
  CheckOpen();
  return fields_;
}

void Recordset::LoadRow() {
  if (position_ >= rows_.rows.size()) {
    fields_.Clear();
    return;
  }
  FieldList values;
  values.reserve(rows_.columns.size());
  const auto& row = rows_.rows[position_];
  for (std::size_t i = 0; i < rows_.columns.size(); ++i) {
    values.emplace_back(rows_.columns[i], row[i]);
  }
  fields_.Load(std::move(values));
}

}  // namespace adodb
