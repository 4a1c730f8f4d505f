#include "baseline_poll.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace bench {
namespace {

// net-snmp as built by Debian has no locks of its own: opening and closing
// sessions and creating PDUs (request ids) are serialised, as in libnvsnmp.
std::mutex g_library;

const oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3};
const oid kSysObjectId[] = {1, 3, 6, 1, 2, 1, 1, 2};
const oid kVendorPrefix[] = {1, 3, 6, 1, 4, 1, 808, 8, 62, 1};
const oid kSeverityColumn[] = {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 2};
constexpr int kColumnCount = 7;
const oid kColumns[kColumnCount] = {2, 8, 4, 5, 6, 7, 9};
constexpr size_t kColumnLength = 11;

struct Session {
  void* handle = nullptr;
  Session(const std::string& peer, const std::string& community) {
    netsnmp_session config;
    snmp_sess_init(&config);
    config.version = SNMP_VERSION_1;
    config.peername = const_cast<char*>(peer.c_str());
    config.community = reinterpret_cast<u_char*>(const_cast<char*>(community.data()));
    config.community_len = community.size();
    config.retries = 1;
    config.timeout = 1000000L;
    std::lock_guard<std::mutex> lock(g_library);
    handle = snmp_sess_open(&config);
  }
  ~Session() {
    if (handle == nullptr) return;
    std::lock_guard<std::mutex> lock(g_library);
    snmp_sess_close(handle);
  }
};

netsnmp_pdu* NewGetNext() {
  std::lock_guard<std::mutex> lock(g_library);
  return snmp_pdu_create(SNMP_MSG_GETNEXT);
}

// One exchange; the response, or null. The request is always consumed.
netsnmp_pdu* Exchange(void* handle, netsnmp_pdu* request) {
  netsnmp_pdu* response = nullptr;
  int status = snmp_sess_synch_response(handle, request, &response);
  if (status != STAT_SUCCESS || response == nullptr || response->errstat != SNMP_ERR_NOERROR) {
    if (response != nullptr) snmp_free_pdu(response);
    return nullptr;
  }
  return response;
}

bool ProbeIdentity(const std::string& peer, const std::string& community) {
  Session session(peer, community);
  if (session.handle == nullptr) return false;
  netsnmp_pdu* request = NewGetNext();
  if (request == nullptr) return false;
  snmp_add_null_var(request, kSysUpTime, OID_LENGTH(kSysUpTime));
  snmp_add_null_var(request, kSysObjectId, OID_LENGTH(kSysObjectId));
  netsnmp_pdu* response = Exchange(session.handle, request);
  if (response == nullptr) return false;
  const netsnmp_variable_list* up = response->variables;
  const netsnmp_variable_list* id = up != nullptr ? up->next_variable : nullptr;
  bool ok = up != nullptr && id != nullptr && up->type == ASN_TIMETICKS && id->type == ASN_OBJECT_ID &&
            id->val_len / sizeof(oid) >= OID_LENGTH(kVendorPrefix) &&
            snmp_oidtree_compare(kVendorPrefix, OID_LENGTH(kVendorPrefix), id->val.objid,
                                 id->val_len / sizeof(oid)) == 0;
  snmp_free_pdu(response);
  return ok;
}

int WalkAlerts(const std::string& peer, const std::string& community) {
  Session session(peer, community);
  if (session.handle == nullptr) return -1;
  netsnmp_pdu* request = NewGetNext();
  if (request == nullptr) return -1;
  oid column[kColumnLength];
  std::copy(kSeverityColumn, kSeverityColumn + kColumnLength, column);
  for (oid c : kColumns) {
    column[kColumnLength - 1] = c;
    snmp_add_null_var(request, column, kColumnLength);
  }
  int rows = 0;
  for (;;) {
    netsnmp_pdu* response = Exchange(session.handle, request);
    if (response == nullptr) return -1;
    const netsnmp_variable_list* first = response->variables;
    if (first == nullptr || snmp_oidtree_compare(kSeverityColumn, kColumnLength, first->name,
                                                 first->name_length) != 0) {
      snmp_free_pdu(response);
      return rows;
    }
    ++rows;
    request = NewGetNext();
    if (request == nullptr) {
      snmp_free_pdu(response);
      return -1;
    }
    for (const netsnmp_variable_list* v = response->variables; v != nullptr; v = v->next_variable) {
      snmp_add_null_var(request, v->name, v->name_length);
    }
    snmp_free_pdu(response);
  }
}

}  // namespace

void InitialiseBaseline() {
  static std::once_flag once;
  std::call_once(once, [] {
    snmp_disable_log();
    char mibs[] = "mibs :";
    netsnmp_config(mibs);
    netsnmp_set_mib_directory("");
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    // net-snmp makes folders under its persistent directory even when told
    // to keep no state: give it one of the benchmark's own.
    static std::string persistent = std::string(std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp") +
                                    "/bench-netsnmp-" + std::to_string(getuid());
    mkdir(persistent.c_str(), 0700);
    mkdir((persistent + "/cert_indexes").c_str(), 0700);  // else announced on stderr
    set_persistent_directory(persistent.c_str());
    init_snmp("bench");
    snmp_disable_log();
  });
}

int BaselinePoll(const std::string& peer, const std::string& community) {
  if (!ProbeIdentity(peer, community)) return -1;
  return WalkAlerts(peer, community);
}

}  // namespace bench
