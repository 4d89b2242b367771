#include "python/motor_values.hpp"

#include <string>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/values.hpp"

namespace varnex::py {

PyRef feedback_dict(const motor::Feedback& feedback) {
  PyRef dict = new_or_throw(PyDict_New());
  dict_set(dict.get(), "position", py_float(feedback.position));
  dict_set(dict.get(), "speed", py_float(feedback.speed));
  dict_set(dict.get(), "current", py_float(feedback.current));
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
