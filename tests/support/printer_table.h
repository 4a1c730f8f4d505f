// A printer written once for every tier (header only, no library needed):
//   OidOf, OidText        dotted text to sub-identifiers and back
//   AlertRow, Alert       one row of the alert table; a missing field is a cell the agent lacks
//   Printer, PrinterCells the system group, the alert table and the vendor objects after it,
//                         as cells the fakes serve (unit_support.h) or snmpsim serves (Snmprec)
//   Seen, Flatten         an alert list as plain values, so whole lists compare in one assertion
//   ReadPollsExpected,    what tests/data states of each recording (polls.expected, records.expected)
//   ReadRecordsExpected
//   BigValue              the fault agent's big value (test_agent --fault big-value)
#ifndef ZOV_TESTS_SUPPORT_PRINTER_TABLE_H_
#define ZOV_TESTS_SUPPORT_PRINTER_TABLE_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "printer/alert_table.h"

namespace zov::test {

using OidVec = std::vector<uint32_t>;

// "1.3.6" or ".1.3.6" to {1, 3, 6}.
inline OidVec OidOf(std::string_view dotted) {
  OidVec out;
  for (size_t i = 0; i < dotted.size();) {
    if (dotted[i] == '.') {
      ++i;
      continue;
    }
    uint64_t v = 0;
    for (; i < dotted.size() && dotted[i] >= '0' && dotted[i] <= '9'; ++i) v = v * 10 + (dotted[i] - '0');
    out.push_back(static_cast<uint32_t>(v));
    while (i < dotted.size() && dotted[i] != '.') ++i;
  }
  return out;
}

// ".1.3.6"; "-" for no block.
inline std::string OidText(const uint32_t* oid, size_t count) {
  if (oid == nullptr) return "-";
  std::string out;
  for (size_t i = 0; i < count; ++i) out += "." + std::to_string(oid[i]);
  return out;
}
inline std::string OidText(const OidVec& oid) { return OidText(oid.data(), oid.size()); }

inline constexpr char kAlertEntry[] = "1.3.6.1.2.1.43.18.1.1";
inline constexpr char kSupportedFamily[] = ".1.3.6.1.4.1.808.8.62.1.4";

// The alert table's cell of a column (2 severity ... 9 time) and row.
inline std::string AlertCell(int column, uint32_t index) {
  return std::string(kAlertEntry) + "." + std::to_string(column) + ".1." + std::to_string(index);
}

struct AlertRow {
  uint32_t index;
  std::optional<int32_t> severity = std::nullopt;
  std::optional<std::string> description = std::nullopt;
  std::optional<int32_t> group = std::nullopt;
  std::optional<int32_t> group_index = std::nullopt;
  std::optional<int32_t> location = std::nullopt;
  std::optional<int32_t> code = std::nullopt;
  std::optional<uint32_t> time = std::nullopt;
};

// A row with every column: group 8, group index 1, location 0, code 8.
inline AlertRow Alert(uint32_t index, int32_t severity, uint32_t time,
                      std::optional<std::string> description = "Paper jam") {
  return AlertRow{index, severity, std::move(description), 8, 1, 0, 8, time};
}

struct Printer {
  std::vector<AlertRow> rows;
  std::optional<uint32_t> uptime = 4242;                 // sysUpTime
  std::optional<std::string> family = kSupportedFamily;  // sysObjectID
  bool vendor_tail = true;  // vendor objects after the table, so a v1 walk ends inside the agent
};

// One object: snmprec tag (2 INTEGER, 4 OCTET STRING, 6 OID, 67 TimeTicks)
// and the value as text (a string's bytes as they are).
struct Cell {
  std::string oid;
  int tag;
  std::string value;
};

inline std::vector<Cell> PrinterCells(const Printer& p) {
  std::vector<Cell> cells = {{"1.3.6.1.2.1.1.1.0", 4, "printer"}};
  if (p.family) cells.push_back({"1.3.6.1.2.1.1.2.0", 6, OidText(OidOf(*p.family)).substr(1)});
  if (p.uptime) cells.push_back({"1.3.6.1.2.1.1.3.0", 67, std::to_string(*p.uptime)});
  for (const AlertRow& r : p.rows) {
    auto add = [&](int column, int tag, const std::string& value) {
      cells.push_back({AlertCell(column, r.index), tag, value});
    };
    if (r.severity) add(2, 2, std::to_string(*r.severity));
    if (r.group) add(4, 2, std::to_string(*r.group));
    if (r.group_index) add(5, 2, std::to_string(*r.group_index));
    if (r.location) add(6, 2, std::to_string(*r.location));
    if (r.code) add(7, 2, std::to_string(*r.code));
    if (r.description) add(8, 4, *r.description);
    if (r.time) add(9, 67, std::to_string(*r.time));
  }
  // Several: columns that run out early walk on into them in lock-step.
  for (int i = 1; p.vendor_tail && i <= 3; ++i) cells.push_back({"1.3.6.1.4.1.808.8.62.2." + std::to_string(i) + ".0", 2, "1"});
  return cells;
}

// The cells as an snmprec recording, in OID order; strings in hex.
inline std::string Snmprec(std::vector<Cell> cells) {
  std::sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) { return OidOf(a.oid) < OidOf(b.oid); });
  std::string out;
  for (const Cell& c : cells) {
    std::string value = c.value;
    if (c.tag == 4) {
      value.clear();
      for (unsigned char ch : c.value) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", ch);
        value += hex;
      }
    }
    out += c.oid + "|" + std::to_string(c.tag) + (c.tag == 4 ? "x|" : "|") + value + "\n";
  }
  return out;
}

struct Seen {
  int32_t index, severity, group, group_index, location, code;
  std::optional<std::string> description;
  uint32_t time;
  bool operator==(const Seen&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Seen& s) {
  os << "{index " << s.index << " sev " << s.severity << " group " << s.group << "/" << s.group_index << " loc "
     << s.location << " code " << s.code << " desc ";
  if (!s.description) return os << "absent time " << s.time << "}";
  os << "'";
  for (unsigned char c : *s.description) {
    char hex[8];
    std::snprintf(hex, sizeof hex, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    os << hex;
  }
  return os << "' time " << s.time << "}";
}

// A description keeps its terminator and no length without text; a list
// that breaks either is reported by *bad.
inline std::vector<Seen> Flatten(const AlertRecord* list, bool* bad = nullptr) {
  std::vector<Seen> out;
  for (const AlertRecord* r = list; r != nullptr; r = r->next) {
    std::optional<std::string> text;
    if (r->description != nullptr) {
      if (r->description[r->description_length] != 0 && bad) *bad = true;
      text.emplace(reinterpret_cast<const char*>(r->description), r->description_length);
    } else if (r->description_length != 0 && bad) {
      *bad = true;
    }
    out.push_back({r->index, r->severity, r->group, r->group_index, r->location, r->code, text, r->time});
  }
  return out;
}

// One line of polls.expected: the worst and reported alert's index and, for
// two polls in a row, status, VlmLastAlert and trap ("-" where none).
struct PollsExpected {
  std::string recording, worst, reported;
  int status[2] = {-1, -1};
  std::string field[2], trap[2];
};
inline void PrintTo(const PollsExpected& e, std::ostream* os) { *os << e.recording; }

inline std::vector<PollsExpected> ReadPollsExpected(const std::string& path) {
  std::vector<PollsExpected> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    PollsExpected e;
    std::istringstream(line) >> e.recording >> e.worst >> e.reported >> e.status[0] >> e.field[0] >> e.trap[0] >>
        e.status[1] >> e.field[1] >> e.trap[1];
    out.push_back(e);
  }
  return out;
}

// records.expected: each recording's records (none when not named); a
// recording whose walk fails reads "fails", one checked apart "apart".
struct RecordsExpected {
  bool walk_fails = false;
  bool apart = false;
  std::vector<Seen> records;
};

inline std::map<std::string, RecordsExpected> ReadRecordsExpected(const std::string& path) {
  std::map<std::string, RecordsExpected> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, word;
    fields >> name >> word;
    RecordsExpected& e = out[name];
    e.apart = word == "apart";
    e.walk_fails = word == "fails";
    if (e.apart || e.walk_fails) continue;
    Seen r{std::stoi(word), 0, 0, 0, 0, 0, std::nullopt, 0};
    fields >> r.severity >> r.group >> r.group_index >> r.location >> r.code >> std::ws;
    if (fields.peek() == '"') {
      fields.get();
      r.description.emplace();
      for (char c; fields.get(c) && c != '"';) {
        char hex[3] = {};
        if (c == '\\' && fields.get() == 'x' && fields.read(hex, 2)) c = static_cast<char>(std::stoi(hex, nullptr, 16));
        r.description->push_back(c);
      }
    } else {
      fields.get();  // "-": absent
    }
    fields >> r.time;
    e.records.push_back(r);
  }
  return out;
}

// N printable bytes, each a hash of its position: a piece copied short, or
// shifted, or left as stale bytes of an earlier buffer, differs from the
// bytes it stands for (one repeated byte would hide all three).
inline std::string BigValue(size_t n) {
  std::string v(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<char>('!' + (static_cast<uint32_t>(i) * 2654435761u >> 16) % 94);
  }
  return v;
}

}  // namespace zov::test

#endif  // ZOV_TESTS_SUPPORT_PRINTER_TABLE_H_
