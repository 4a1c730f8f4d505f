// A whole poll (NvServiceTest) against an agent whose every answer comes
// from the fuzzer: silence, error statuses, or bindings with any OID, type
// and value bytes, including answers that do not advance. Linked against the
// in-memory SNMP library and object database, which count what is live: the
// poll must return a status the host knows, and leave no PDU, block or
// session behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "entry/nv_service_test.h"
#include "entry/poll_cycle.h"
#include "fakes/fake_nvsnmp.h"
#include "fakes/fake_ovw.h"

namespace {

constexpr char kPrinter[] = "fuzz-printer";

const uint8_t kTypes[] = {kOVsnmpInteger,   kOVsnmpOctetString, kOVsnmpNull,    kOVsnmpObjectId,
                          kOVsnmpIpAddress, kOVsnmpCounter32,   kOVsnmpGauge32, kOVsnmpTimeTicks,
                          kOVsnmpOpaque,    kOVsnmpCounter64};

fake_snmp::Oid SomeOid(FuzzedDataProvider& in, size_t max) {
  fake_snmp::Oid oid;
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, max);
  for (size_t i = 0; i < n; ++i) {
    oid.push_back(in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 20) : in.ConsumeIntegral<uint32_t>());
  }
  return oid;
}

fake_snmp::Value SomeValue(FuzzedDataProvider& in) {
  const uint8_t type = in.ConsumeBool() ? in.PickValueInArray(kTypes) : in.ConsumeIntegral<uint8_t>();
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return fake_snmp::Value::Absent(type);
    case 1: return fake_snmp::Value::Integer(in.ConsumeIntegral<int32_t>(), type);
    case 2: {
      fake_snmp::Value v = fake_snmp::Value::ObjectId(SomeOid(in, 140));
      v.type = type;
      return v;
    }
    default:
      return fake_snmp::Value::Raw(type, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300)));
  }
}

fake_snmp::Response Answer(FuzzedDataProvider& in, const std::vector<fake_snmp::Oid>& request) {
  fake_snmp::Response r;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, request.size() + 1);
  for (size_t i = 0; i < count; ++i) {
    fake_snmp::Oid oid;
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:  // the request's OID again: no advance
        oid = i < request.size() ? request[i] : fake_snmp::Oid{};
        break;
      case 1:  // anywhere
        oid = SomeOid(in, 20);
        break;
      default: {  // just after the requested one, like a real agent
        oid = i < request.size() ? request[i] : fake_snmp::Oid{1, 3};
        fake_snmp::Oid tail = SomeOid(in, 3);
        oid.insert(oid.end(), tail.begin(), tail.end());
        if (tail.empty()) oid.push_back(1);
      }
    }
    r.bindings.emplace_back(oid, SomeValue(in));
  }
  return r;
}

void NoPause(uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  SetRetryPauseForTesting(NoPause);
  fake_snmp::Reset();
  fake_ovw::Reset();
  fake_ovw::AddField("VlmLastAlert");
  fake_ovw::AddObject(kPrinter);
  fake_ovw::SetValue(kPrinter, "VlmLastAlert", in.ConsumeIntegral<int32_t>());

  fake_snmp::Agent agent;
  agent.responder = [&in](int, const std::vector<fake_snmp::Oid>& request) -> std::optional<fake_snmp::Response> {
    // Once the input is spent the table ends, as an SNMPv1 agent ends it.
    if (in.remaining_bytes() == 0) {
      fake_snmp::Response end;
      end.error_status = 2;
      end.error_index = 1;
      for (const fake_snmp::Oid& oid : request) end.bindings.emplace_back(oid, fake_snmp::Value{});
      return end;
    }
    switch (in.ConsumeIntegralInRange(0, 15)) {
      case 0: return std::nullopt;  // silence
      case 1: {
        fake_snmp::Response error;
        error.error_status = in.ConsumeIntegral<int32_t>();
        error.error_index = in.ConsumeIntegral<int32_t>();
        return error;
      }
      default: return Answer(in, request);
    }
  };
  fake_snmp::SetAgent(kPrinter, agent);

  const int status = NvServiceTest(kPrinter, "-c 11 -w 12 -o 13");
  if (status != 0 && status != 2 && status != 3 && status != 4) __builtin_trap();
  const fake_snmp::Counts counts = fake_snmp::GetCounts();
  if (counts.live_pdus != 0 || counts.live_blocks != 0 || counts.live_sessions != 0 ||
      counts.bad_frees != 0 || counts.bad_closes != 0 || counts.bad_sends != 0) {
    __builtin_trap();
  }
  return 0;
}
