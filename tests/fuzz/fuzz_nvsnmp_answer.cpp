// libnvsnmp given an arbitrary datagram as the answer to a GETNEXT. A
// responder thread on loopback answers each request with the fuzzer's bytes:
// as they are, or wrapped in a message that carries the request's version,
// community and request id so that net-snmp takes it for the answer and
// libnvsnmp converts its bindings. A well-formed answer follows, so a
// datagram that is dropped costs no timeout. Every binding handed back is
// read to its stated length, under the address sanitizer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "snmp_codec.h"
#include "snmp/nvsnmp.h"

namespace {

// Where the bytes read go, so that the reads are not optimised away.
std::atomic<unsigned> g_sink{0};
std::mutex g_mutex;
std::vector<uint8_t> g_answer;  // the current input, guarded by g_mutex
int g_port = 0;

std::string Length(size_t n) {
  if (n < 128) return std::string(1, static_cast<char>(n));
  std::string bytes;
  for (; n > 0; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xff));
  return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

std::string Tlv(unsigned char tag, const std::string& content) {
  return std::string(1, static_cast<char>(tag)) + Length(content.size()) + content;
}

std::string Integer(long v) {
  std::string bytes;
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 3; i >= 0; --i) bytes += static_cast<char>((u >> (8 * i)) & 0xff);
  return Tlv(0x02, bytes);
}

// The input's first byte chooses: raw datagram, or the rest of a PDU
// (error status, index, bindings) after the request's own id, under the
// response tag or a tag the second byte names.
std::string Answer(const zov::agents::Request& request, const std::vector<uint8_t>& input) {
  const std::string community(reinterpret_cast<const char*>(request.community), request.community_length);
  if (input.empty()) return "";
  const std::string rest(input.begin() + 1, input.end());
  switch (input[0] % 3) {
    case 0:
      return rest;
    case 1:
      return Tlv(0x30, Integer(request.version) + Tlv(0x04, community) +
                           Tlv(0xa2, Integer(request.request_id) + rest));
    default: {
      const unsigned char tag = rest.empty() ? 0xa2 : static_cast<unsigned char>(rest[0]);
      return Tlv(0x30, Integer(request.version) + Tlv(0x04, community) +
                           Tlv(tag, Integer(request.request_id) + rest.substr(rest.empty() ? 0 : 1)));
    }
  }
}

void Respond(int fd) {
  unsigned char buffer[65536];
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) continue;
    static zov::agents::Request request;
    if (!zov::agents::DecodeRequest(buffer, static_cast<size_t>(n), &request)) continue;
    std::string answer;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      answer = Answer(request, g_answer);
    }
    sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    static const zov::agents::Value kNull;
    zov::agents::Binding good[zov::agents::kMaxBindings];
    for (size_t i = 0; i < request.count; ++i) {
      good[i] = {request.names[i].parts, request.names[i].length, &kNull};
    }
    unsigned char encoded[65536];
    const size_t length = zov::agents::EncodeResponse(request, request.request_id, 0, 0, good, request.count,
                                                      encoded, sizeof encoded);
    sendto(fd, encoded + sizeof encoded - length, length, 0, reinterpret_cast<sockaddr*>(&from), len);
  }
}

uint32_t* Block(std::initializer_list<uint32_t> ids) {
  auto* block = static_cast<uint32_t*>(std::malloc(ids.size() * sizeof(uint32_t)));
  std::memcpy(block, ids.begin(), ids.size() * sizeof(uint32_t));
  return block;
}

// Reads every byte a binding claims, so an overstated length is caught.
unsigned Touch(const OVsnmpVarBind* b) {
  unsigned sum = 0;
  for (uint32_t i = 0; i < b->oid_length; ++i) sum += b->oid[i];
  if (b->val.string == nullptr) return sum;
  switch (b->type) {
    case kOVsnmpObjectId:
      for (uint32_t i = 0; i < b->val_len; ++i) sum += b->val.oid[i];
      break;
    default:
      for (uint32_t i = 0; i < b->val_len; ++i) sum += b->val.string[i];
      break;
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("NVSNMP_TIMEOUT_MS", "200", 1);
  setenv("NVSNMP_RETRIES", "0", 1);
  unsetenv("NVSNMP_CONF");
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return 0;
  }
  g_port = ntohs(a.sin_port);
  std::thread(Respond, fd).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_port == 0 || size > 60000) return 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_answer.assign(data, data + size);
  }
  const std::string peer = "127.0.0.1:" + std::to_string(g_port);
  OVsnmpSession* session = OVsnmpOpen(nullptr, peer.c_str(), -1, -1, kOVsnmpDefaultPort,
                                      kOVsnmpDefaultPort, nullptr, nullptr);
  if (session == nullptr) __builtin_trap();  // loopback always opens
  OVsnmpPdu* request = OVsnmpCreatePdu(kOVsnmpGetNextRequest);
  OVsnmpAddNullVarBind(request, Block({1, 3, 6, 1, 2, 1, 1, 3}), 8);  // the block is the PDU's now
  OVsnmpAddNullVarBind(request, Block({1, 3, 6, 1, 2, 1, 1, 2}), 8);
  OVsnmpPdu* response = OVsnmpBlockingSend(session, request);
  if (response == nullptr) {
    OVsnmpFreePdu(request);  // a failed send leaves the request with us
  } else {
    unsigned sum = 0;
    for (const OVsnmpVarBind* b = response->variables; b != nullptr; b = b->next_variable) sum += Touch(b);
    g_sink.fetch_add(sum, std::memory_order_relaxed);
    OVsnmpFreePdu(response);
  }
  OVsnmpClose(session);
  return 0;
}
