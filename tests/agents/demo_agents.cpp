// The demo's agents, started the way the tests start them (tests/support/
// agents.h): snmpsim serving a folder of recordings and snmptrapd receiving
// the plug-in's traps. Driven over standard input and output:
//
//   demo_agents DATA_DIR PROBE_COMMUNITY
//
// prints "snmpsim PORT DATA_DIR" (the folder snmpsim reads: a recording
// replaced there changes what it serves), then "traps ADDRESS PORT" or
// "traps none REASON", then answers one command a line:
//   count               the number of traps received so far
//   list OID...         one line per trap: its specific number, then the
//                       value of each OID's binding (tab-separated; "?" when
//                       missing), then a line "end"
// and stops both agents when its standard input closes.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/agents.h"

namespace {

// A binding's bytes as text, with what is not printable escaped.
std::string Text(const zov::test::TrapBinding& b) {
  std::string out;
  for (const unsigned char c : zov::test::TrapValueBytes(b)) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
    out += escaped;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: demo_agents DATA_DIR PROBE_COMMUNITY\n";
    return 2;
  }
  std::string why;
  zov::test::SnmpsimAgent snmpsim;
  if (!snmpsim.Start(argv[1], argv[2], &why)) {
    std::cerr << "demo_agents: " << why << "\n";
    return 1;
  }
  std::cout << "snmpsim " << snmpsim.port() << " " << snmpsim.data_dir() << std::endl;
  zov::test::TrapReceiver traps;
  bool receiving = traps.Start(&why);
  if (receiving) {
    std::cout << "traps " << traps.address() << " " << traps.port() << std::endl;
  } else {
    std::cout << "traps none " << why << std::endl;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    std::vector<zov::test::TrapRecord> got;
    if (receiving) got = traps.WaitForTraps(0, 0);
    if (command == "count") {
      std::cout << got.size() << std::endl;
    } else if (command == "list") {
      std::vector<std::string> oids;
      for (std::string oid; words >> oid;) oids.push_back(oid);
      for (const auto& trap : got) {
        std::cout << trap.specific;
        for (const auto& oid : oids) {
          std::string value = "?";
          for (const auto& b : trap.bindings) {
            if (b.oid == oid) value = Text(b);
          }
          std::cout << "\t" << value;
        }
        std::cout << "\n";
      }
      std::cout << "end" << std::endl;
    } else {
      std::cout << "unknown command: " << command << std::endl;
    }
  }
  return 0;
}
