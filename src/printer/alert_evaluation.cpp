#include "printer/alert_evaluation.h"

#include <cstring>

namespace {

constexpr char kOffline[] = "Offline";

// Greatest index among records of one severity, compared signed from -1, so
// a negative index is never chosen; the earlier record wins a tie.
const AlertRecord* GreatestIndex(const AlertRecord* list, int32_t severity) {
  const AlertRecord* chosen = nullptr;
  int32_t greatest = -1;
  for (const AlertRecord* r = list; r != nullptr; r = r->next) {
    if (r->severity == severity && r->index > greatest) {
      chosen = r;
      greatest = r->index;
    }
  }
  return chosen;
}

// A critical record counts unless its text is exactly "Offline" up to its
// first zero byte; one without a description is still critical.
bool IsRealCritical(const AlertRecord& r) {
  if (r.severity != kSeverityCritical) return false;
  if (r.description == nullptr) return true;
  return std::strcmp(reinterpret_cast<const char*>(r.description), kOffline) != 0;
}

}  // namespace

const AlertRecord* SelectWorstAlert(const AlertRecord* list) {
  if (list == nullptr) return nullptr;
  if (const AlertRecord* r = GreatestIndex(list, kSeverityCritical)) return r;
  if (const AlertRecord* r = GreatestIndex(list, kSeverityWarning)) return r;
  return list;
}

const AlertRecord* SelectReportedAlert(const AlertRecord* list) {
  const AlertRecord* latest = nullptr;
  uint32_t greatest = 0;
  for (const AlertRecord* r = list; r != nullptr; r = r->next) {
    if (r->time > greatest) {
      latest = r;
      greatest = r->time;
    }
  }
  if (latest == nullptr) return nullptr;
  for (const AlertRecord* r = list; r != nullptr; r = r->next) {
    if (IsRealCritical(*r)) return r;
  }
  return latest;
}

int32_t AlertIdentity(const AlertRecord& record) {
  return record.time != 0 ? static_cast<int32_t>(record.time) : record.index;
}

int32_t StatusForSeverity(int32_t severity) {
  if (severity == kSeverityCritical) return kStatusCritical;
  if (severity == kSeverityWarning) return kStatusWarning;
  return kStatusNormal;
}
