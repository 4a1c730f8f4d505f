#include "block_cache.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace nvsnmp {
namespace {

// glibc hands out blocks whose usable size is 24, 40, 56, ... (16 apart);
// one list per such size up to kLargest bytes.
constexpr size_t kLargest = 248;
constexpr size_t kClasses = (kLargest + 8) / 16;
// Enough for all the blocks of a poll of a printer with a few dozen alerts;
// at most a few hundred kilobytes per thread.
constexpr int kPerClass = 256;

size_t ClassOf(size_t usable) { return (usable + 8) / 16 - 1; }
size_t SizeOf(size_t cls) { return (cls + 1) * 16 - 8; }

struct Lists {
  struct Node {
    Node* next;
  };
  Node* head[kClasses] = {};
  int count[kClasses] = {};
  bool gone = false;  // set once the thread's destructor ran

  ~Lists() {
    for (size_t c = 0; c < kClasses; ++c) {
      while (head[c] != nullptr) {
        Node* n = head[c];
        head[c] = n->next;
        std::free(n);
      }
      count[c] = 0;
    }
    gone = true;
  }
};

thread_local Lists t_lists;

}  // namespace

void* TakeBlock(size_t bytes) {
  if (bytes < 24) bytes = 24;
  if (bytes > kLargest) return std::malloc(bytes);
  Lists& lists = t_lists;  // one look-up of the thread's lists per call
  size_t c = (bytes + 7) / 16;  // the smallest class that holds `bytes`
  if (!lists.gone) {
    if (Lists::Node* n = lists.head[c]) {
      lists.head[c] = n->next;
      --lists.count[c];
      return n;
    }
  }
  // A block of exactly the class's size, so that it returns to this class.
  return std::malloc(SizeOf(c));
}

void* TakeZeroedBlock(size_t bytes) {
  void* block = TakeBlock(bytes);
  if (block != nullptr) std::memset(block, 0, bytes < 24 ? 24 : bytes);
  return block;
}

void GiveBlock(void* block) {
  if (block == nullptr) return;
  size_t usable = malloc_usable_size(block);
  if (usable >= 24 && usable <= kLargest) {
    Lists& lists = t_lists;
    size_t c = ClassOf(usable);
    if (!lists.gone && SizeOf(c) == usable && lists.count[c] < kPerClass) {
      auto* n = static_cast<Lists::Node*>(block);
      n->next = lists.head[c];
      lists.head[c] = n;
      ++lists.count[c];
      return;
    }
  }
  std::free(block);
}

}  // namespace nvsnmp
