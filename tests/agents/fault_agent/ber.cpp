#include "ber.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "ber_tlv.h"

namespace fa {
namespace {

constexpr size_t kMaxOidParts = 128;
constexpr size_t kMaxBindings = 64;

// A read cursor that never passes its end.
struct Reader {
  const unsigned char* p;
  const unsigned char* end;

  bool Tlv(unsigned char* tag, Reader* content) {
    return zov::agents::ReadTlv(&p, end, tag, &content->p, &content->end);
  }

  bool Expect(unsigned char want, Reader* content) {
    unsigned char tag;
    return Tlv(&tag, content) && tag == want;
  }

  bool Integer(long* out) {
    Reader c;
    if (!Expect(kInteger, &c) || c.end == c.p || c.end - c.p > 4) return false;
    long v = (*c.p & 0x80) ? -1 : 0;
    for (; c.p < c.end; ++c.p) v = static_cast<long>((static_cast<unsigned long>(v) << 8) | *c.p);
    *out = v;
    return true;
  }

  bool Oid(fa::Oid* out) {
    Reader c;
    if (!Expect(kObjectId, &c) || c.p == c.end) return false;
    out->clear();
    unsigned long sub = 0;
    bool first = true;
    for (; c.p < c.end; ++c.p) {
      if (sub > 0x1FFFFFFul) return false;  // would not fit in 32 bits
      sub = (sub << 7) | (*c.p & 0x7f);
      if (*c.p & 0x80) continue;
      if (first) {
        out->push_back(sub < 80 ? static_cast<uint32_t>(sub / 40) : 2);
        out->push_back(static_cast<uint32_t>(sub < 80 ? sub % 40 : sub - 80));
        first = false;
      } else {
        out->push_back(static_cast<uint32_t>(sub));
      }
      if (out->size() > kMaxOidParts) return false;
      sub = 0;
    }
    return sub == 0 && !first;
  }
};

std::string Length(size_t n) {
  std::string out;
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else if (n < 0x100) {
    out += '\x81';
    out += static_cast<char>(n);
  } else if (n < 0x10000) {
    out += '\x82';
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xff);
  } else {
    out += '\x83';
    out += static_cast<char>(n >> 16);
    out += static_cast<char>((n >> 8) & 0xff);
    out += static_cast<char>(n & 0xff);
  }
  return out;
}

std::string Tlv(unsigned char tag, const std::string& content) {
  return std::string(1, static_cast<char>(tag)) + Length(content.size()) + content;
}

std::string IntegerContent(long long v) {
  std::string out;
  for (;;) {
    out.insert(out.begin(), static_cast<char>(v & 0xff));
    long long rest = v >> 8;
    bool sign = (v & 0x80) != 0;
    if ((rest == 0 && !sign) || (rest == -1 && sign)) break;
    v = rest;
  }
  return out;
}

std::string OidContent(const Oid& oid) {
  std::string out;
  auto put = [&](unsigned long sub) {
    char tmp[5];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>(sub & 0x7f);
      sub >>= 7;
    } while (sub != 0);
    while (n > 0) {
      --n;
      out += static_cast<char>(tmp[n] | (n > 0 ? 0x80 : 0));
    }
  };
  if (oid.size() < 2) {
    put(oid.empty() ? 0 : oid[0] * 40);
    return out;
  }
  put(static_cast<unsigned long>(oid[0]) * 40 + oid[1]);
  for (size_t i = 2; i < oid.size(); ++i) put(oid[i]);
  return out;
}

std::string EncodeValue(const Value& v) {
  switch (v.tag) {
    case kInteger:
    case kCounter32:
    case kGauge32:
    case kTimeTicks:
      return Tlv(v.tag, IntegerContent(v.integer));
    case kOctetString:
    case kIpAddress:
      return Tlv(v.tag, v.bytes);
    case kObjectId:
      return Tlv(kObjectId, OidContent(v.oid));
    default:
      return Tlv(v.tag, "");  // NULL and the exception values
  }
}

bool Hex(const std::string& text, std::string* out) {
  if (text.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char* end;
    long b = std::strtol(pair, &end, 16);
    if (*end != '\0') return false;
    *out += static_cast<char>(b);
  }
  return true;
}

}  // namespace

bool ParseOidText(const std::string& text, Oid* out) {
  out->clear();
  size_t i = (!text.empty() && text[0] == '.') ? 1 : 0;
  if (i >= text.size()) return false;
  while (i < text.size()) {
    size_t dot = text.find('.', i);
    if (dot == std::string::npos) dot = text.size();
    std::string part = text.substr(i, dot - i);
    if (part.empty() || part.size() > 10 || part.find_first_not_of("0123456789") != std::string::npos)
      return false;
    unsigned long long v = std::strtoull(part.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull) return false;
    out->push_back(static_cast<uint32_t>(v));
    if (out->size() > kMaxOidParts) return false;
    i = dot + 1;
  }
  return out->size() >= 2;
}

bool ParseRow(const std::string& line, Row* out) {
  size_t a = line.find('|');
  size_t b = a == std::string::npos ? a : line.find('|', a + 1);
  if (b == std::string::npos) return false;
  std::string type = line.substr(a + 1, b - a - 1);
  std::string value = line.substr(b + 1);
  if (!value.empty() && value.back() == '\r') value.pop_back();
  Row row;
  if (!ParseOidText(line.substr(0, a), &row.oid)) return false;
  if (type == "4x") {
    row.value.tag = kOctetString;
    if (!Hex(value, &row.value.bytes)) return false;
  } else if (type == "4") {
    row.value.tag = kOctetString;
    row.value.bytes = value;
  } else if (type == "5") {
    row.value.tag = kNull;
  } else if (type == "6") {
    row.value.tag = kObjectId;
    if (!ParseOidText(value, &row.value.oid)) return false;
  } else if (type == "64") {
    row.value.tag = kIpAddress;
    unsigned char addr[4];
    if (inet_pton(AF_INET, value.c_str(), addr) != 1) return false;
    row.value.bytes.assign(reinterpret_cast<char*>(addr), 4);
  } else if (type == "2" || type == "65" || type == "66" || type == "67") {
    row.value.tag = static_cast<unsigned char>(
        std::atoi(type.c_str()) == 2 ? kInteger : 0x40 + std::atoi(type.c_str()) - 64);
    char* end;
    row.value.integer = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0') return false;
  } else {
    return false;
  }
  *out = row;
  return true;
}

bool DecodeRequest(const unsigned char* data, size_t size, Request* out) {
  Reader all{data, data + size};
  Reader msg, community, pdu, list;
  if (!all.Expect(0x30, &msg)) return false;
  Request req;
  if (!msg.Integer(&req.version) || (req.version != 0 && req.version != 1)) return false;
  if (!msg.Expect(kOctetString, &community)) return false;
  req.community.assign(reinterpret_cast<const char*>(community.p), community.end - community.p);
  unsigned char tag;
  if (!msg.Tlv(&tag, &pdu) || (tag != kGet && tag != kGetNext)) return false;
  req.pdu_type = tag;
  long ignored;
  if (!pdu.Integer(&req.request_id) || !pdu.Integer(&ignored) || !pdu.Integer(&ignored)) return false;
  if (!pdu.Expect(0x30, &list)) return false;
  while (list.p < list.end) {
    Reader vb;
    if (!list.Expect(0x30, &vb)) return false;
    Oid name;
    if (!vb.Oid(&name)) return false;
    req.names.push_back(name);
    if (req.names.size() > kMaxBindings) return false;
  }
  *out = req;
  return true;
}

std::string EncodeResponse(const Response& r) {
  std::string list;
  for (const Binding& b : r.bindings)
    list += Tlv(0x30, Tlv(kObjectId, OidContent(b.oid)) + EncodeValue(b.value));
  std::string pdu = Tlv(kInteger, IntegerContent(r.request_id)) +
                    Tlv(kInteger, IntegerContent(r.error_status)) +
                    Tlv(kInteger, IntegerContent(r.error_index)) + Tlv(0x30, list);
  std::string msg =
      Tlv(kInteger, IntegerContent(r.version)) + Tlv(kOctetString, r.community) + Tlv(kResponse, pdu);
  return Tlv(0x30, msg);
}

}  // namespace fa
