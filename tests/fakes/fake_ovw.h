// In-memory stand-in for the platform object-database library (libovw), with
// the same symbols as platform/ovw.h. Every call is recorded in order; every
// call can be scripted to fail. State is process-wide and guarded by one
// mutex; tests call Reset() first.
#ifndef ZOV_TESTS_FAKES_FAKE_OVW_H_
#define ZOV_TESTS_FAKES_FAKE_OVW_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ovw.h"

namespace fake_ovw {

// One library call: its name and its arguments as text, in order.
struct Call {
  std::string name;
  std::vector<std::string> args;
};

// Back to an empty database: no fields, no objects, no scripted failures,
// error 0, empty call log.
void Reset();

// Defines an integer field; an existing name keeps its id. Ids start at 1.
OVwFieldId AddField(const std::string& name);
// Adds an object by host name; an existing one keeps its id. Ids start at 1.
OVwObjectId AddObject(const std::string& hostname);
// Stores a value directly, bypassing the call log and the scripted failures.
void SetValue(const std::string& hostname, const std::string& field, int32_t value);
// The stored value, or none when the object, field or value is missing.
std::optional<int32_t> Value(const std::string& hostname, const std::string& field);

// Scripted failures. Each stays in force until Reset() unless a count says
// otherwise.
// OVwDbInit returns `result` (non-zero) and sets `error` for its next `times`
// calls, then succeeds.
void FailInit(int times, int result = -1, int error = kOVwErrOpen);
// OVwDbHostnameToObjectId returns 0 for every host name.
void FailObjectLookup(int error = kOVwErrNoSuchObject);
// OVwDbGetFieldIntegerValue returns -1.
void FailGet(int error = kOVwErrDatabase);
// OVwDbSetFieldIntegerValue returns `result` (non-zero) and stores nothing.
void FailSet(int result = -1, int error = kOVwErrReadOnly);
// The text OVwErrorMsg gives for a number (default: "fake ovw error N").
void SetErrorText(int error, const std::string& text);

// Every call made since Reset(), in order.
std::vector<Call> Calls();
// Just the names of Calls().
std::vector<std::string> CallNames();
// How many calls of that name were made.
int CallCount(const std::string& name);

}  // namespace fake_ovw

#endif  // ZOV_TESTS_FAKES_FAKE_OVW_H_
