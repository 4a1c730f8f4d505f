#include "snmp/query_session.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "snmp/nvsnmp.h"
#include "snmp/oid.h"
#include "snmp/owned.h"

namespace {

// The library's reason for the call that just failed. A library that fails
// without saying why must not make the failure look like success.
int32_t LastError() {
  const int e = OVsnmpErrno;
  return e != 0 ? e : kOVsnmpErrInternal;
}

// The library error number after which a failed blocking send must not have
// its enterprise released by the caller.
constexpr int kSendErrorNoEnterpriseRelease = 6;

char* CopyText(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

// True when the first binding of `answer` lies strictly after the first
// binding of `previous` in OID order.
bool Advances(const OVsnmpVarBind* answer, const OVsnmpVarBind* previous) {
  return CompareOid(answer->oid, answer->oid_length, previous->oid, previous->oid_length, 0) > 0;
}

// The OID and value bytes an answer's bindings carry.
uint64_t CarriedBytes(const OVsnmpVarBind* list) {
  uint64_t bytes = 0;
  for (const OVsnmpVarBind* b = list; b != nullptr; b = b->next_variable) {
    bytes += static_cast<uint64_t>(b->oid_length) * sizeof(uint32_t);
    bytes += b->type == kOVsnmpObjectId ? static_cast<uint64_t>(b->val_len) * sizeof(uint32_t)
                                        : b->val_len;
  }
  return bytes;
}

}  // namespace

const char* QueryErrorText(int32_t code) {
  switch (code) {
    case kWalkNotAdvancing: return "Agent answer does not advance past the previous one";
    case kWalkTooLong: return "Table walk exceeded the row limit";
    case kWalkOutOfMemory: return "Out of memory during the query";
    case kWalkTooLarge: return "Table walk exceeded the memory limit";
    case kQueryPastDeadline: return "Poll exceeded its time limit";
    default: return nullptr;
  }
}

QueryVariable::QueryVariable(const char* name_text, int32_t declared, const char* oid_text)
    : name(CopyText(name_text)), declared_type(declared) {
  oid = ParseOid(oid_text, &oid_count);
}

QueryVariable::~QueryVariable() {
  std::free(name);
  FreeOid(oid);
}

std::unique_ptr<QueryVariable> NewQueryVariable(const char* name, int32_t declared_type,
                                                const char* oid_text) {
  std::unique_ptr<QueryVariable> v(new (std::nothrow) QueryVariable(name, declared_type, oid_text));
  if (v && !v->Complete()) v.reset();
  return v;
}

std::unique_ptr<QuerySession> NewQuerySession(const char* scope_oid_text) {
  uint32_t scope_count = 0;
  OidBlock scope(ParseOid(scope_oid_text, &scope_count));
  if (!scope) return nullptr;
  std::unique_ptr<QuerySession> session(new (std::nothrow) QuerySession(scope.get(), scope_count));
  if (session) scope.release();  // the session owns the scope OID
  return session;
}

QuerySession::QuerySession(uint32_t* scope_oid, uint32_t scope_count)
    : scope_count_(scope_count), scope_oid_(scope_oid) {}

QuerySession::~QuerySession() {
  for (int i = 0; i < variable_count_; ++i) delete variables_[i];
  FreeOid(scope_oid_);
  while (rows_ != nullptr) {
    ResultRow* row = rows_;
    ReleasePdu(row->answer);
    rows_ = row->next;
    delete row;
  }
  if (handle_ != nullptr && opened_) {
    OVsnmpClose(handle_);
    handle_ = nullptr;
  }
}

int32_t QuerySession::AddVariable(QueryVariable* variable) {
  // An incomplete variable would leave the scope test or a lookup without an
  // OID or a name; it stays the caller's.
  if (variable == nullptr || !variable->Complete()) return kQueryTooManyVariables;
  if (variable_count_ >= kMaxQueryVariables) return kQueryTooManyVariables;
  variables_[variable_count_++] = variable;
  return kQueryOk;
}

int32_t QuerySession::Run(const char* address, bool walk, bool keep_open) {
  cursor_ = nullptr;
  handle_ = OVsnmpOpen(nullptr, address, kOVsnmpDefault, kOVsnmpDefault, kOVsnmpDefaultPort,
                       kOVsnmpDefaultPort, nullptr, nullptr);
  if (handle_ == nullptr) return LastError();
  opened_ = true;

  auto step = [this](bool first) {
    if (QueryClock::now() >= deadline_) return kQueryPastDeadline;
    int32_t r = WalkStep(first);
    // The row is stored first, so that the session releases it like any.
    if (r == kQueryOk && held_bytes_ > kMaxWalkBytes) r = kWalkTooLarge;
    return r;
  };
  int32_t r = step(true);
  int32_t stored = r == kQueryOk ? 1 : 0;
  while (walk && r == kQueryOk) {
    r = step(false);
    // An agent that serves an endless table would keep the walk going.
    if (r == kQueryOk && ++stored > kMaxWalkRows) r = kWalkTooLong;
  }
  if (r == kEndOfWalk) r = kQueryOk;

  if (!keep_open) {
    OVsnmpClose(handle_);
    handle_ = nullptr;
  }
  return r;
}

int32_t QuerySession::WalkStep(bool first) {
  Owned<OVsnmpPdu, ReleasePdu> request(OVsnmpCreatePdu(kOVsnmpGetNextRequest));
  if (!request) return LastError();

  auto add = [&request](const uint32_t* oid, uint32_t count) -> int32_t {
    uint32_t* copy = CopyOid(oid, count);
    if (copy == nullptr) return kWalkOutOfMemory;
    // The copy belongs to the request from here on, whatever the outcome.
    if (OVsnmpAddNullVarBind(request.get(), copy, count) == nullptr) return LastError();
    return kQueryOk;
  };

  const OVsnmpVarBind* previous = nullptr;
  if (first) {
    for (int i = 0; i < variable_count_; ++i) {
      const QueryVariable* v = variables_[i];
      if (v == nullptr) continue;
      if (int32_t e = add(v->oid, v->oid_count); e != kQueryOk) return e;
    }
  } else {
    if (rows_ == nullptr || rows_->bindings == nullptr) return kEndOfWalk;
    previous = rows_->bindings;
    for (const OVsnmpVarBind* b = previous; b != nullptr; b = b->next_variable) {
      if (int32_t e = add(b->oid, b->oid_length); e != kQueryOk) return e;
    }
  }

  OVsnmpPdu* response = OVsnmpBlockingSend(handle_, request.get());
  if (response == nullptr) {
    const int32_t e = LastError();
    // After this error the library wants the request back as it is.
    if (e == kSendErrorNoEnterpriseRelease) OVsnmpFreePdu(request.release());
    return e;  // otherwise the holder releases the request
  }
  request.release();  // a successful send took the request
  Owned<OVsnmpPdu, ReleasePdu> answer(response);

  if (answer->error_status != 0) {
    // A status that collides with the session's own codes would read as a
    // normal end of the walk.
    if (answer->error_status < 0 || answer->error_status >= kEndOfWalk) {
      return kOVsnmpErrBadResponse;
    }
    return answer->error_status;
  }
  if (InScope(answer->variables) != 0) return kEndOfWalk;
  // The agent may answer with an OID that does not advance; stop rather than
  // loop.
  if (previous != nullptr && !Advances(answer->variables, previous)) return kWalkNotAdvancing;

  auto* row = new (std::nothrow) ResultRow{answer->variables, rows_, answer.get()};
  if (row == nullptr) return kWalkOutOfMemory;
  answer.release();  // the row owns the answer now
  rows_ = row;
  held_bytes_ += CarriedBytes(row->bindings);
  return kQueryOk;
}

int32_t QuerySession::InScope(const OVsnmpVarBind* list) const {
  if (list == nullptr) return 1;
  if (CompareOid(list->oid, list->oid_length, scope_oid_, scope_count_, scope_count_) != 0) {
    return 1;
  }
  const QueryVariable* first = variable_count_ > 0 ? variables_[0] : nullptr;
  if (first == nullptr) return 1;
  if (CompareOid(list->oid, list->oid_length, first->oid, first->oid_count, first->oid_count) !=
      0) {
    return 1;
  }
  return 0;
}

int32_t QuerySession::RowCount() const {
  int32_t n = 0;
  for (const ResultRow* row = rows_; row != nullptr; row = row->next) ++n;
  return n;
}

int32_t QuerySession::SeekRow(bool advance) {
  if (!advance) {
    cursor_ = rows_;
  } else if (cursor_ != nullptr) {
    cursor_ = cursor_->next;
  }
  return cursor_ == nullptr ? 1 : 0;
}

const OVsnmpVarBind* QuerySession::FindBinding(const OVsnmpVarBind* list, const uint32_t* oid,
                                               uint32_t count) {
  for (const OVsnmpVarBind* b = list; b != nullptr; b = b->next_variable) {
    // Bindings of a row differ from each other in the column, the last
    // component of a column's OID: testing it first turns most of them
    // away without walking the common prefix.
    if (count > 0 && oid != nullptr && b->oid != nullptr && b->oid_length >= count &&
        b->oid[count - 1] != oid[count - 1]) {
      continue;
    }
    if (CompareOid(oid, count, b->oid, b->oid_length, count) == 0) return b;
  }
  return nullptr;
}

const OVsnmpVarBind* QuerySession::FindByName(const OVsnmpVarBind* list,
                                              const char* name) const {
  if (name == nullptr) return nullptr;
  for (int i = 0; i < variable_count_; ++i) {
    const QueryVariable* v = variables_[i];
    if (v == nullptr || v->name == nullptr) continue;
    // The first variable of that name decides, found or not.
    if (std::strcmp(v->name, name) == 0) return FindBinding(list, v->oid, v->oid_count);
  }
  return nullptr;
}

int32_t QuerySession::GetInteger(const char* name, int32_t* type, int32_t* value) {
  if (cursor_ == nullptr) return kQueryNotFound;
  const OVsnmpVarBind* b = FindByName(cursor_->bindings, name);
  if (b == nullptr) return kQueryNotFound;
  *type = b->type;
  // A value that is absent or shorter than an integer has nothing to read.
  if (b->val.string == nullptr || b->val_len < sizeof(int32_t)) return kQueryNotFound;
  std::memcpy(value, b->val.string, sizeof(int32_t));
  return kQueryOk;
}

int32_t QuerySession::GetString(const char* name, int32_t* type, uint8_t** bytes,
                                uint32_t* length) {
  if (cursor_ == nullptr) return kQueryNotFound;
  const OVsnmpVarBind* b = FindByName(cursor_->bindings, name);
  if (b == nullptr) return kQueryNotFound;
  *type = b->type;
  if (b->val.string == nullptr && b->val_len > 0) return kQueryNotFound;
  if (b->val_len == UINT32_MAX) {  // the terminator would not fit
    *bytes = nullptr;
    return kQueryOutOfMemory;
  }
  const size_t size = static_cast<size_t>(b->val_len) + 1;
  *bytes = static_cast<uint8_t*>(std::calloc(size, 1));
  if (*bytes == nullptr) return kQueryOutOfMemory;
  if (b->val_len > 0) std::memcpy(*bytes, b->val.string, b->val_len);
  *length = b->val_len;
  return kQueryOk;
}

int32_t QuerySession::GetOid(const char* name, int32_t* type, uint32_t** oid, uint32_t* count) {
  if (cursor_ == nullptr) return kQueryNotFound;
  const OVsnmpVarBind* b = FindByName(cursor_->bindings, name);
  if (b == nullptr) return kQueryNotFound;
  *type = b->type;
  // Only an OBJECT IDENTIFIER counts its length in sub-identifiers; any other
  // value would be read four times beyond its length.
  if (b->type != kOVsnmpObjectId) return kQueryNotFound;
  if (b->val.oid == nullptr && b->val_len > 0) return kQueryNotFound;
  *oid = CopyOid(b->val.oid, b->val_len);
  if (*oid == nullptr) return kQueryOutOfMemory;
  *count = b->val_len;
  return kQueryOk;
}

int32_t QuerySession::GetRowIndex(int32_t* index) {
  if (cursor_ == nullptr || cursor_->bindings == nullptr) return kQueryNotFound;
  const OVsnmpVarBind* b = cursor_->bindings;
  if (b->oid == nullptr || b->oid_length == 0) return kQueryNotFound;
  *index = static_cast<int32_t>(b->oid[b->oid_length - 1]);
  return kQueryOk;
}

void QuerySession::ReleasePdu(OVsnmpPdu* pdu) {
  if (pdu == nullptr) return;
  if (pdu->enterprise != nullptr) {
    FreeOid(pdu->enterprise);
    pdu->enterprise = nullptr;
    pdu->enterprise_length = 0;
  }
  OVsnmpFreePdu(pdu);
}
