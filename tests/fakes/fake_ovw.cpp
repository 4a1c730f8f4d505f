// In-memory stand-in for libovw, for unit tests.
#include "fake_ovw.h"

#include <map>
#include <mutex>
#include <utility>

namespace fake_ovw {
namespace {

struct State {
  std::map<std::string, OVwFieldId> fields;  // integer fields, by name
  std::map<std::string, OVwObjectId> objects;
  std::map<std::pair<OVwObjectId, OVwFieldId>, int32_t> values;
  OVwFieldId next_field = 1;
  OVwObjectId next_object = 1;

  int init_failures = 0;
  int init_result = -1;
  int init_error = kOVwErrOpen;
  std::optional<int> object_lookup_error;
  std::optional<int> get_error;
  std::optional<int> set_error;
  int set_result = -1;

  int error = kOVwErrNone;
  std::map<int, std::string> texts;  // stable storage for OVwErrorMsg
  std::vector<Call> calls;
};

State& S() {
  static State state;
  return state;
}
std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

// Every call, the library's and the test's, holds the one lock throughout.
template <class F>
auto Locked(F f) {
  std::lock_guard lock(Mutex());
  return f(S());
}

// A field of an existing object, or -1 with the error set.
int CheckIntegerField(State& s, OVwObjectId object, OVwFieldId field) {
  bool field_exists = false;
  for (const auto& [name, id] : s.fields) field_exists = field_exists || id == field;
  bool object_exists = false;
  for (const auto& [name, id] : s.objects) object_exists = object_exists || id == object;
  if (field_exists && object_exists) return 0;
  s.error = field_exists ? kOVwErrNoSuchObject : kOVwErrNoSuchField;
  return -1;
}

}  // namespace

void Reset() {
  Locked([](State& s) { s = State{}; });
}

OVwFieldId AddField(const std::string& name) {
  return Locked([&](State& s) {
    auto it = s.fields.find(name);
    return it != s.fields.end() ? it->second : s.fields.emplace(name, s.next_field++).first->second;
  });
}

OVwObjectId AddObject(const std::string& hostname) {
  return Locked([&](State& s) {
    auto it = s.objects.find(hostname);
    return it != s.objects.end() ? it->second : s.objects.emplace(hostname, s.next_object++).first->second;
  });
}

void SetValue(const std::string& hostname, const std::string& field, int32_t value) {
  Locked([&](State& s) {
    auto object = s.objects.find(hostname);
    auto f = s.fields.find(field);
    if (object != s.objects.end() && f != s.fields.end()) s.values[{object->second, f->second}] = value;
  });
}

std::optional<int32_t> Value(const std::string& hostname, const std::string& field) {
  return Locked([&](State& s) -> std::optional<int32_t> {
    auto object = s.objects.find(hostname);
    auto f = s.fields.find(field);
    if (object == s.objects.end() || f == s.fields.end()) return std::nullopt;
    auto v = s.values.find({object->second, f->second});
    if (v == s.values.end()) return std::nullopt;
    return v->second;
  });
}

void FailInit(int times, int result, int error) {
  Locked([&](State& s) { s.init_failures = times, s.init_result = result, s.init_error = error; });
}
void FailObjectLookup(int error) {
  Locked([&](State& s) { s.object_lookup_error = error; });
}
void FailGet(int error) {
  Locked([&](State& s) { s.get_error = error; });
}
void FailSet(int result, int error) {
  Locked([&](State& s) { s.set_result = result, s.set_error = error; });
}
void SetErrorText(int error, const std::string& text) {
  Locked([&](State& s) { s.texts[error] = text; });
}

std::vector<Call> Calls() {
  return Locked([](State& s) { return s.calls; });
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& call : Calls()) names.push_back(call.name);
  return names;
}

int CallCount(const std::string& name) {
  int n = 0;
  for (const Call& call : Calls()) n += call.name == name ? 1 : 0;
  return n;
}

}  // namespace fake_ovw

using fake_ovw::Locked;
using fake_ovw::State;

namespace {
// Runs a library call under the lock, recorded with its arguments.
template <class F>
auto Recorded(const char* name, std::vector<std::string> args, F f) {
  return Locked([&](State& s) {
    s.calls.push_back(fake_ovw::Call{name, std::move(args)});
    return f(s);
  });
}
std::string Text(const char* s) { return s ? s : "(null)"; }
}  // namespace

extern "C" {

int OVwDbInit(void) {
  return Recorded("OVwDbInit", {}, [](State& s) {
    if (s.init_failures <= 0) return 0;
    --s.init_failures;
    s.error = s.init_error;
    return s.init_result;
  });
}

int OVwError(void) {
  return Recorded("OVwError", {}, [](State& s) { return s.error; });
}

const char* OVwErrorMsg(int error) {
  return Recorded("OVwErrorMsg", {std::to_string(error)}, [&](State& s) {
    return s.texts.emplace(error, "fake ovw error " + std::to_string(error)).first->second.c_str();
  });
}

OVwFieldId OVwDbFieldNameToFieldId(const char* field_name) {
  return Recorded("OVwDbFieldNameToFieldId", {Text(field_name)}, [&](State& s) -> OVwFieldId {
    auto it = field_name ? s.fields.find(field_name) : s.fields.end();
    if (it != s.fields.end()) return it->second;
    s.error = kOVwErrNoSuchField;
    return 0;
  });
}

OVwObjectId OVwDbHostnameToObjectId(const char* hostname) {
  return Recorded("OVwDbHostnameToObjectId", {Text(hostname)}, [&](State& s) -> OVwObjectId {
    auto it = hostname ? s.objects.find(hostname) : s.objects.end();
    if (!s.object_lookup_error && it != s.objects.end()) return it->second;
    s.error = s.object_lookup_error.value_or(kOVwErrNoSuchObject);
    return 0;
  });
}

int OVwDbGetFieldIntegerValue(OVwObjectId object, OVwFieldId field) {
  return Recorded("OVwDbGetFieldIntegerValue", {std::to_string(object), std::to_string(field)}, [&](State& s) {
    if (s.get_error) s.error = *s.get_error;
    if (s.get_error || fake_ovw::CheckIntegerField(s, object, field) != 0) return -1;
    auto v = s.values.find({object, field});
    return v == s.values.end() ? 0 : v->second;
  });
}

int OVwDbSetFieldIntegerValue(OVwObjectId object, OVwFieldId field, int value) {
  return Recorded("OVwDbSetFieldIntegerValue", {std::to_string(object), std::to_string(field), std::to_string(value)},
                  [&](State& s) {
                    if (s.set_error) s.error = *s.set_error;
                    if (s.set_error) return s.set_result;
                    if (fake_ovw::CheckIntegerField(s, object, field) != 0) return -1;
                    s.values[{object, field}] = value;
                    return 0;
                  });
}

}  // extern "C"
