#include "python/motor_values.hpp"

#include <string>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/values.hpp"

namespace varnex::py {

namespace {

// The three keys, interned once per process and kept for good: a control loop builds these dicts
// on every tick, and ready-made keys with cached hashes spare three string creations each time.
struct FeedbackKeys {
  PyObject* position;
  PyObject* speed;
  PyObject* current;
};

const FeedbackKeys& feedback_keys() {
  static const FeedbackKeys keys{
      new_or_throw(PyUnicode_InternFromString("position")).release(),
      new_or_throw(PyUnicode_InternFromString("speed")).release(),
      new_or_throw(PyUnicode_InternFromString("current")).release(),
  };
  return keys;
}

void set_item(PyObject* dict, PyObject* key, double value) {
  PyRef number = py_float(value);
  ok_or_throw(PyDict_SetItem(dict, key, number.get()));
}

}  // namespace

PyRef feedback_dict(const motor::Feedback& feedback) {
  const FeedbackKeys& keys = feedback_keys();
  PyRef dict = new_or_throw(PyDict_New());
  set_item(dict.get(), keys.position, feedback.position);
  set_item(dict.get(), keys.speed, feedback.speed);
  set_item(dict.get(), keys.current, feedback.current);
  return dict;
}

motor::FocMode to_foc_mode(PyObject* obj, const char* name) {
  (void)to_string(obj, name);  // the type check, with the binding layer's message
  // str.lower itself, not a subclass's override.
  PyRef lowered = new_or_throw(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", obj));
  return unwrap(motor::parse_foc_mode_lowered(to_string(lowered.get(), name)));
}

}  // namespace varnex::py
