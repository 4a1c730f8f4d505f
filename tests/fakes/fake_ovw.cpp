// In-memory stand-in for libovw, for unit tests.
#include "fake_ovw.h"

#include <map>
#include <utility>

namespace fake_ovw {
namespace {

struct Field {
  OVwFieldId id;
  bool integer;
};

struct State {
  std::map<std::string, Field> fields;
  std::map<std::string, OVwObjectId> objects;
  std::map<std::pair<OVwObjectId, OVwFieldId>, int32_t> values;
  OVwFieldId next_field = 1;
  OVwObjectId next_object = 1;

  int init_failures = 0;
  int init_result = -1;
  int init_error = kOVwErrOpen;
  std::optional<int> field_lookup_error;
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

void Record(const char* name, std::vector<std::string> args) {
  S().calls.push_back(Call{name, std::move(args)});
}

const Field* FindFieldById(OVwFieldId id) {
  for (const auto& [name, field] : S().fields) {
    if (field.id == id) return &field;
  }
  return nullptr;
}

bool ObjectExists(OVwObjectId id) {
  for (const auto& [name, object] : S().objects) {
    if (object == id) return true;
  }
  return false;
}

}  // namespace

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

void Reset() {
  std::lock_guard lock(Mutex());
  S() = State{};
}

OVwFieldId AddField(const std::string& name, bool integer) {
  std::lock_guard lock(Mutex());
  auto it = S().fields.find(name);
  if (it != S().fields.end()) return it->second.id;
  OVwFieldId id = S().next_field++;
  S().fields.emplace(name, Field{id, integer});
  return id;
}

OVwObjectId AddObject(const std::string& hostname) {
  std::lock_guard lock(Mutex());
  auto it = S().objects.find(hostname);
  if (it != S().objects.end()) return it->second;
  OVwObjectId id = S().next_object++;
  S().objects.emplace(hostname, id);
  return id;
}

void SetValue(const std::string& hostname, const std::string& field, int32_t value) {
  std::lock_guard lock(Mutex());
  auto object = S().objects.find(hostname);
  auto f = S().fields.find(field);
  if (object == S().objects.end() || f == S().fields.end()) return;
  S().values[{object->second, f->second.id}] = value;
}

std::optional<int32_t> Value(const std::string& hostname, const std::string& field) {
  std::lock_guard lock(Mutex());
  auto object = S().objects.find(hostname);
  auto f = S().fields.find(field);
  if (object == S().objects.end() || f == S().fields.end()) return std::nullopt;
  auto v = S().values.find({object->second, f->second.id});
  if (v == S().values.end()) return std::nullopt;
  return v->second;
}

void FailInit(int times, int result, int error) {
  std::lock_guard lock(Mutex());
  S().init_failures = times;
  S().init_result = result;
  S().init_error = error;
}

void FailFieldLookup(int error) {
  std::lock_guard lock(Mutex());
  S().field_lookup_error = error;
}

void FailObjectLookup(int error) {
  std::lock_guard lock(Mutex());
  S().object_lookup_error = error;
}

void FailGet(int error) {
  std::lock_guard lock(Mutex());
  S().get_error = error;
}

void FailSet(int result, int error) {
  std::lock_guard lock(Mutex());
  S().set_result = result;
  S().set_error = error;
}

void SetError(int error) {
  std::lock_guard lock(Mutex());
  S().error = error;
}

void SetErrorText(int error, const std::string& text) {
  std::lock_guard lock(Mutex());
  S().texts[error] = text;
}

std::vector<Call> Calls() {
  std::lock_guard lock(Mutex());
  return S().calls;
}

std::vector<std::string> CallNames() {
  std::lock_guard lock(Mutex());
  std::vector<std::string> names;
  for (const Call& call : S().calls) names.push_back(call.name);
  return names;
}

int CallCount(const std::string& name) {
  std::lock_guard lock(Mutex());
  int n = 0;
  for (const Call& call : S().calls) n += call.name == name ? 1 : 0;
  return n;
}

}  // namespace fake_ovw

using fake_ovw::Mutex;
using fake_ovw::Record;
using fake_ovw::S;

extern "C" {

int OVwDbInit(void) {
  std::lock_guard lock(Mutex());
  Record("OVwDbInit", {});
  if (S().init_failures > 0) {
    --S().init_failures;
    S().error = S().init_error;
    return S().init_result;
  }
  return 0;
}

int OVwError(void) {
  std::lock_guard lock(Mutex());
  Record("OVwError", {});
  return S().error;
}

const char* OVwErrorMsg(int error) {
  std::lock_guard lock(Mutex());
  Record("OVwErrorMsg", {std::to_string(error)});
  auto it = S().texts.find(error);
  if (it == S().texts.end()) {
    it = S().texts.emplace(error, "fake ovw error " + std::to_string(error)).first;
  }
  return it->second.c_str();
}

OVwFieldId OVwDbFieldNameToFieldId(const char* field_name) {
  std::lock_guard lock(Mutex());
  Record("OVwDbFieldNameToFieldId", {field_name ? field_name : "(null)"});
  if (S().field_lookup_error) {
    S().error = *S().field_lookup_error;
    return 0;
  }
  auto it = field_name ? S().fields.find(field_name) : S().fields.end();
  if (it == S().fields.end()) {
    S().error = kOVwErrNoSuchField;
    return 0;
  }
  return it->second.id;
}

OVwObjectId OVwDbHostnameToObjectId(const char* hostname) {
  std::lock_guard lock(Mutex());
  Record("OVwDbHostnameToObjectId", {hostname ? hostname : "(null)"});
  if (S().object_lookup_error) {
    S().error = *S().object_lookup_error;
    return 0;
  }
  auto it = hostname ? S().objects.find(hostname) : S().objects.end();
  if (it == S().objects.end()) {
    S().error = kOVwErrNoSuchObject;
    return 0;
  }
  return it->second;
}

int OVwDbGetFieldIntegerValue(OVwObjectId object, OVwFieldId field) {
  std::lock_guard lock(Mutex());
  Record("OVwDbGetFieldIntegerValue", {std::to_string(object), std::to_string(field)});
  if (S().get_error) {
    S().error = *S().get_error;
    return -1;
  }
  const fake_ovw::Field* f = fake_ovw::FindFieldById(field);
  if (!fake_ovw::ObjectExists(object) || f == nullptr) {
    S().error = f == nullptr ? kOVwErrNoSuchField : kOVwErrNoSuchObject;
    return -1;
  }
  if (!f->integer) {
    S().error = kOVwErrFieldType;
    return -1;
  }
  auto v = S().values.find({object, field});
  return v == S().values.end() ? 0 : v->second;
}

int OVwDbSetFieldIntegerValue(OVwObjectId object, OVwFieldId field, int value) {
  std::lock_guard lock(Mutex());
  Record("OVwDbSetFieldIntegerValue",
         {std::to_string(object), std::to_string(field), std::to_string(value)});
  if (S().set_error) {
    S().error = *S().set_error;
    return S().set_result;
  }
  const fake_ovw::Field* f = fake_ovw::FindFieldById(field);
  if (!fake_ovw::ObjectExists(object) || f == nullptr) {
    S().error = f == nullptr ? kOVwErrNoSuchField : kOVwErrNoSuchObject;
    return -1;
  }
  if (!f->integer) {
    S().error = kOVwErrFieldType;
    return -1;
  }
  S().values[{object, field}] = value;
  return 0;
}

}  // extern "C"
