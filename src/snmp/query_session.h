// A query session: GETNEXT requests to one agent, answers kept as rows
// (newest first) and read back by variable name.
#ifndef ZOV_SNMP_QUERY_SESSION_H_
#define ZOV_SNMP_QUERY_SESSION_H_

#include <chrono>
#include <cstdint>
#include <memory>

struct OVsnmpSession;
struct OVsnmpPdu;
struct OVsnmpVarBind;

// Query result codes. Any other non-zero result of Run is a library error
// number or the agent's SNMP error status.
inline constexpr int32_t kQueryOk = 0;
inline constexpr int32_t kQueryTooManyVariables = 2;
inline constexpr int32_t kQueryOutOfMemory = 3;
inline constexpr int32_t kQueryNotFound = 4;
// Normal end of a walk; never leaves Run.
inline constexpr int32_t kEndOfWalk = 100;
// Failures of the session's own, outside SNMP error statuses (0..18) and the
// library's error numbers (negative). QueryErrorText names them.
inline constexpr int32_t kWalkNotAdvancing = 101;  // answer not after the previous one
inline constexpr int32_t kWalkTooLong = 102;       // more rows than kMaxWalkRows
inline constexpr int32_t kWalkOutOfMemory = 103;   // row or request OID not allocatable
inline constexpr int32_t kWalkTooLarge = 104;      // answers hold more than kMaxWalkBytes
inline constexpr int32_t kQueryPastDeadline = 105; // the poll's time ran out

inline constexpr int kMaxQueryVariables = 10;
inline constexpr int32_t kMaxWalkRows = 10000;
// What one session may hold of its answers: the OID and value bytes of every
// stored binding. A hostile agent serving huge values in an endless table
// would otherwise fill a 32-bit host with a few polls. A real printer's alert
// table, even of 10,000 rows, stays well below it.
inline constexpr uint32_t kMaxWalkBytes = 4u * 1024 * 1024;

using QueryClock = std::chrono::steady_clock;
inline constexpr QueryClock::time_point kNoDeadline = QueryClock::time_point::max();

// A text for the session's own failure codes; null for any other number
// (those are the SNMP library's, see OVsnmpErrString).
const char* QueryErrorText(int32_t code);

class QueryVariable {
 public:
  // Copies the name and parses the OID text. Either may fail for want of
  // memory: check Complete() before handing the variable to a session.
  QueryVariable(const char* name, int32_t declared_type, const char* oid_text);
  virtual ~QueryVariable();
  QueryVariable(const QueryVariable&) = delete;
  QueryVariable& operator=(const QueryVariable&) = delete;

  bool Complete() const { return name != nullptr && oid != nullptr; }

  uint32_t* oid = nullptr;
  uint32_t oid_count = 0;
  char* name = nullptr;
  int32_t declared_type = 0;
};

struct ResultRow {
  OVsnmpVarBind* bindings;  // the answer's binding list (answer->variables)
  ResultRow* next;          // the row stored before this one
  // The whole response, owned: releasing it releases the bindings with no
  // further allocation, which a release through a new PDU would need.
  OVsnmpPdu* answer;
};

class QuerySession {
 public:
  // Takes ownership of the scope OID block.
  QuerySession(uint32_t* scope_oid, uint32_t scope_count);
  virtual ~QuerySession();
  QuerySession(const QuerySession&) = delete;
  QuerySession& operator=(const QuerySession&) = delete;

  // 0, or kQueryTooManyVariables (the variable stays the caller's). A null or
  // incomplete variable is refused the same way and stays the caller's.
  int32_t AddVariable(QueryVariable* variable);
  // No exchange starts at or after the deadline: Run then ends with
  // kQueryPastDeadline. One already under way runs its course (the SNMP
  // library's timeout and retries bound it).
  void SetDeadline(QueryClock::time_point deadline) { deadline_ = deadline; }
  // 0, or a library error number, the agent's error status, or one of the
  // session's own kWalk* codes.
  int32_t Run(const char* address, bool walk, bool keep_open);
  int32_t RowCount() const;
  // 1 when the cursor is then on no row, otherwise 0.
  int32_t SeekRow(bool advance);
  // The Get operations: kQueryNotFound without a cursor row or a binding
  // under the name's variable; otherwise *type is set first. GetInteger also
  // gives kQueryNotFound, *value untouched, for a value absent or shorter
  // than 4 bytes; GetOid for a value that is not an OBJECT IDENTIFIER.
  int32_t GetInteger(const char* name, int32_t* type, int32_t* value);
  int32_t GetString(const char* name, int32_t* type, uint8_t** bytes, uint32_t* length);
  int32_t GetOid(const char* name, int32_t* type, uint32_t** oid, uint32_t* count);
  int32_t GetRowIndex(int32_t* index);

 private:
  int32_t WalkStep(bool first);
  int32_t InScope(const OVsnmpVarBind* list) const;
  const OVsnmpVarBind* FindByName(const OVsnmpVarBind* list, const char* name) const;
  static const OVsnmpVarBind* FindBinding(const OVsnmpVarBind* list, const uint32_t* oid,
                                          uint32_t count);
  static void ReleasePdu(OVsnmpPdu* pdu);

  OVsnmpSession* handle_ = nullptr;
  bool opened_ = false;
  int32_t spare_ = -1;
  int32_t variable_count_ = 0;
  uint32_t scope_count_ = 0;
  QueryVariable* variables_[kMaxQueryVariables] = {};
  ResultRow* rows_ = nullptr;
  ResultRow* cursor_ = nullptr;
  uint32_t* scope_oid_ = nullptr;
  QueryClock::time_point deadline_ = kNoDeadline;
  uint64_t held_bytes_ = 0;  // OID and value bytes of the stored rows
};

// Null when out of memory, or when the name or the OID could not be made:
// such a variable never reaches a session.
std::unique_ptr<QueryVariable> NewQueryVariable(const char* name, int32_t declared_type,
                                                const char* oid_text);
// A session over the subtree `scope_oid_text`; null when out of memory.
std::unique_ptr<QuerySession> NewQuerySession(const char* scope_oid_text);

#endif  // ZOV_SNMP_QUERY_SESSION_H_
