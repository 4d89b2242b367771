// Recording and replaying in the candump log format: the Python classes CanLogWriter,
// CanLogReader, CanLogFrame (a frame read from a log, a struct sequence) and CanLogTask (a
// recording or replay running on its own thread), and the function replay. The format and the
// threads are plain C++ (can/can_log*.hpp); this file converts arguments and results. Waits
// (CanLogTask.wait and stop, CanLogWriter.close) release the GIL; the threads never take it.
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "can/can_log.hpp"
#include "can/can_log_file.hpp"
#include "can/can_log_recording.hpp"
#include "python/args.hpp"
#include "python/blocking_wait.hpp"
#include "python/boundary.hpp"
#include "python/context_manager.hpp"
#include "python/docstring.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/py_can_device_non_blocking.hpp"
#include "python/values.hpp"

namespace varnex::py {

namespace {

// A file system path: str, bytes or os.PathLike.
std::string to_path(PyObject* obj, const char* name) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(obj, &encoded) == 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "argument '%s' must be a path (str, bytes or os.PathLike), not %.200s", name,
                 Py_TYPE(obj)->tp_name);
    throw PyErrOccurred{};
  }
  PyRef owned = PyRef::steal(encoded);
  return std::string(PyBytes_AS_STRING(owned.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(owned.get())));
}

// ---- CanLogFrame ----

PyStructSequence_Field frame_fields[] = {
    {"timestamp", doc<"", "CanLogFrame.timestamp">()},
    {"interface", doc<"", "CanLogFrame.interface">()},
    {"id", doc<"", "CanLogFrame.id">()},
    {"data", doc<"", "CanLogFrame.data">()},
    {"is_extended", doc<"", "CanLogFrame.is_extended">()},
    {"is_remote", doc<"", "CanLogFrame.is_remote">()},
    {"is_error", doc<"", "CanLogFrame.is_error">()},
    {nullptr, nullptr},
};

PyStructSequence_Desc frame_desc = {"varnex.CanLogFrame", doc<"", "CanLogFrame">(), frame_fields,
                                    7};

PyRef frame_object(const LogRecord& record) {
  PyRef frame = new_or_throw(PyStructSequence_New(can_log_frame_type()));
  PyRef items[] = {py_float(static_cast<double>(record.timestamp_us) / 1e6),
                   py_str(record.interface),
                   py_int(record.id),
                   py_bytes(record.data),
                   py_bool(record.extended),
                   py_bool(record.remote),
                   py_bool(record.error)};
  for (Py_ssize_t i = 0; i < 7; ++i) PyStructSequence_SetItem(frame.get(), i, items[i].release());
  return frame;
}

// ---- CanLogTask ----

using TaskObject = Object<std::shared_ptr<CanLogTask>>;

// The task of `self` for a call; in a child made by fork() RuntimeError (it runs in the parent).
const std::shared_ptr<CanLogTask>& task_of(PyObject* self) {
  const std::shared_ptr<CanLogTask>& task = TaskObject::of(self)->value;
  if (task->inherited()) throw_error(CanLogTask::inherited_error());
  return task;
}

// Raises the error that ended the task, if it has ended with one.
void raise_outcome(const CanLogTask& task) {
  if (task.finished().is_set()) check(task.outcome());
}

constexpr Signature kTaskWait{"wait", 0, {"timeout"}};
PyRef task_wait(PyObject* self, const CallArgs& args) {
  auto [timeout] = bind(kTaskWait, args);
  const std::optional<rt::Instant> deadline = deadline_from_seconds(timeout);
  const std::shared_ptr<CanLogTask> task = task_of(self);
  if (!wait_without_gil(task->finished(), deadline)) return py_bool(false);
  raise_outcome(*task);
  return py_bool(true);
}

PyRef task_stop(PyObject* self) {
  const std::shared_ptr<CanLogTask> task = task_of(self);
  {
    GilRelease released;
    task->stop();
  }
  raise_outcome(*task);
  return none();
}

PyRef task_frames(PyObject* self) { return py_int(task_of(self)->frames()); }
PyRef task_running(PyObject* self) { return py_bool(!task_of(self)->finished().is_set()); }

// Dropping the last reference stops the task; its thread never needs the GIL, so the wait for
// it may hold the GIL. In a child made by fork() the task is left as it is, never destroyed:
// its thread, and the waiter its condition variable counts, stayed in the parent.
void task_dealloc(PyObject* self) noexcept {
  std::shared_ptr<CanLogTask>& task = TaskObject::of(self)->value;
  if (task && task->inherited()) new std::shared_ptr<CanLogTask>(std::move(task));
  TaskObject::dealloc(self);
}

PyMethodDef task_methods[] = {
    method<task_wait>("wait", doc<"wait($self, timeout=None)\n--\n\n", "CanLogTask.wait">()),
    method<task_stop>("stop", doc<"stop($self)\n--\n\n", "CanLogTask.stop">()),
    enter_method(doc<"__enter__($self)\n--\n\n", "CanLogTask.__enter__">()),
    exit_method<task_stop>(
        doc<"__exit__($self, exc_type, exc_value, traceback)\n--\n\n", "CanLogTask.__exit__">()),
    {},
};

PyGetSetDef task_properties[] = {
    property<task_frames>("frames", doc<"", "CanLogTask.frames">()),
    property<task_running>("running", doc<"", "CanLogTask.running">()),
    {},
};

PyType_Slot task_slots[] = {
    slot(Py_tp_doc, doc<"", "CanLogTask">()),
    slot(Py_tp_dealloc, &task_dealloc),
    slot(Py_tp_methods, task_methods),
    slot(Py_tp_getset, task_properties),
    {0, nullptr},
};

PyType_Spec task_spec = object_spec<std::shared_ptr<CanLogTask>>(
    "varnex.CanLogTask", kClassFlags | kNoConstructor, task_slots);

PyRef task_object(std::shared_ptr<CanLogTask> task) {
  return TaskObject::create(can_log_task_type(), std::move(task));
}

// ---- CanLogWriter ----

struct WriterState {
  WriterState(std::shared_ptr<CanLogFileWriter> f, std::string name)
      : file(std::move(f)), interface(std::move(name)) {}
  std::shared_ptr<CanLogFileWriter> file;
  const std::string interface;  // for write() without one
  std::mutex mutex;             // a leaf, over `recordings`
  std::vector<std::weak_ptr<CanLogRecording>> recordings;
};
using WriterObject = Object<WriterState>;

constexpr Signature kWriterNew{"CanLogWriter", 1, {"path", "interface"}, 1};
PyRef writer_new(PyTypeObject* type, const CallArgs& args) {
  auto [path, interface] = bind(kWriterNew, args);
  const std::string file = to_path(path, "path");
  const std::string name =
      is_none(interface) ? std::string("can0") : to_string(interface, "interface");
  return WriterObject::create(type, unwrap(CanLogFileWriter::create(file)), name);
}

constexpr Signature kWrite{
    "write", 2, {"id", "data", "timestamp", "interface", "extended", "remote", "error"}, 2};
PyRef writer_write(PyObject* self, const CallArgs& args) {
  auto [id, data, timestamp, interface, extended, remote, error] = bind(kWrite, args);
  LogRecord record;
  record.id = to_u32(id, "id");
  record.data = to_bytes(data, "data");
  if (is_none(timestamp)) {
    record.timestamp_us = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  } else {
    const double seconds = to_f64(timestamp, "timestamp");
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 9e12) {
      throw_error(Error::value("timestamp must be seconds since the epoch, zero or more"));
    }
    record.timestamp_us = std::llround(seconds * 1e6);
  }
  const auto state = WriterObject::shared(self);
  record.interface = is_none(interface) ? state->interface : to_string(interface, "interface");
  record.remote = !is_none(remote) && to_bool(remote, "remote");
  record.error = !is_none(error) && to_bool(error, "error");
  record.extended = is_none(extended) ? sent_as_extended(record.id) : to_bool(extended, "extended");
  if (record.error && record.extended)
    throw_error(Error::value("an error frame is not an extended frame"));
  if (record.error && record.remote)
    throw_error(Error::value("an error frame is not a remote request"));
  if (record.remote) record.data.assign(record.data.size(), 0);  // only the length is asked for
  check(state->file->write(record));
  return none();
}

constexpr Signature kRecord{"record", 1, {"device", "duration", "takes_all"}, 2};
PyRef writer_record(PyObject* self, const CallArgs& args) {
  auto [device, duration, takes_all] = bind(kRecord, args);
  std::shared_ptr<CanDeviceAsync> source = non_blocking_device(device, "device");
  const auto limit = to_optional(duration, "duration", to_duration_from_seconds);
  const bool all = !is_none(takes_all) && to_bool(takes_all, "takes_all");
  const auto state = WriterObject::shared(self);
  std::shared_ptr<CanLogRecording> recording =
      unwrap(CanLogRecording::start(std::move(source), state->file, limit, all));
  {
    std::lock_guard lock(state->mutex);
    std::erase_if(state->recordings, [](const auto& weak) { return weak.expired(); });
    state->recordings.push_back(recording);
  }
  return task_object(std::move(recording));
}

PyRef writer_flush(PyObject* self) {
  check(WriterObject::shared(self)->file->flush());
  return none();
}

// Stops the writer's recordings (each writes what it holds), then closes the file.
PyRef writer_close(PyObject* self) {
  const auto state = WriterObject::shared(self);
  std::vector<std::shared_ptr<CanLogRecording>> recordings;
  {
    std::lock_guard lock(state->mutex);
    for (const auto& weak : state->recordings) {
      if (auto recording = weak.lock()) recordings.push_back(std::move(recording));
    }
    state->recordings.clear();
  }
  Status closed;
  {
    GilRelease released;
    for (const auto& recording : recordings) recording->stop();
    closed = state->file->close();
  }
  {
    // The references go with the GIL held: a recording's destructor only joins a thread that
    // has ended.
    recordings.clear();
  }
  check(closed);
  return none();
}

PyMethodDef writer_methods[] = {
    method<writer_write>(
        "write", doc<"write($self, id, data, *, timestamp=None, interface=None, extended=None, "
                     "remote=False, error=False)\n--\n\n",
                     "CanLogWriter.write">()),
    method<writer_record>("record",
                          doc<"record($self, device, duration=None, *, takes_all=False)\n--\n\n",
                              "CanLogWriter.record">()),
    method<writer_flush>("flush", doc<"flush($self)\n--\n\n", "CanLogWriter.flush">()),
    method<writer_close>("close", doc<"close($self)\n--\n\n", "CanLogWriter.close">()),
    enter_method(doc<"__enter__($self)\n--\n\n", "CanLogWriter.__enter__">()),
    exit_method<writer_close>(
        doc<"__exit__($self, exc_type, exc_value, traceback)\n--\n\n", "CanLogWriter.__exit__">()),
    {},
};

PyType_Slot writer_slots[] = {
    slot(Py_tp_doc, doc<"CanLogWriter(path, *, interface=None)\n--\n\n", "CanLogWriter">()),
    slot(Py_tp_new, &new_slot<writer_new>),
    slot(Py_tp_dealloc, &WriterObject::dealloc),
    slot(Py_tp_methods, writer_methods),
    {0, nullptr},
};

PyType_Spec writer_spec =
    object_spec<WriterState>("varnex.CanLogWriter", kClassFlags, writer_slots);

// ---- CanLogReader ----

using ReaderObject = Object<std::shared_ptr<CanLogFileReader>>;

constexpr Signature kReaderNew{"CanLogReader", 1, {"path"}};
PyRef reader_new(PyTypeObject* type, const CallArgs& args) {
  auto [path] = bind(kReaderNew, args);
  return ReaderObject::create(type, unwrap(CanLogFileReader::open(to_path(path, "path"))));
}

PyObject* reader_next(PyObject* self) noexcept {
  return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<LogRecord> record = unwrap(ReaderObject::shared(self)->get()->next());
    if (!record) return nullptr;  // the end: StopIteration
    return frame_object(*record).release();
  });
}

PyType_Slot reader_slots[] = {
    slot(Py_tp_doc, doc<"CanLogReader(path)\n--\n\n", "CanLogReader">()),
    slot(Py_tp_new, &new_slot<reader_new>),
    slot(Py_tp_dealloc, &ReaderObject::dealloc),
    slot(Py_tp_iter, &PyObject_SelfIter),
    slot(Py_tp_iternext, &reader_next),
    {0, nullptr},
};

PyType_Spec reader_spec = object_spec<std::shared_ptr<CanLogFileReader>>("varnex.CanLogReader",
                                                                         kClassFlags, reader_slots);

// ---- replay ----

constexpr Signature kReplay{"replay", 2, {"source", "device", "speed"}, 2};
PyRef replay(PyObject*, const CallArgs& args) {
  auto [source, device, speed] = bind(kReplay, args);
  std::shared_ptr<CanLogFileReader> log;
  if (PyObject_TypeCheck(source, can_log_reader_type())) {
    log = *ReaderObject::shared(source);
  } else {
    log = unwrap(CanLogFileReader::open(to_path(source, "source")));
  }
  std::shared_ptr<CanDeviceAsync> target = non_blocking_device(device, "device");
  const double factor = is_none(speed) ? 1.0 : to_f64(speed, "speed");
  if (!std::isfinite(factor) || factor <= 0)
    throw_error(Error::value("speed must be a positive number"));
  return task_object(CanLogReplay::start(std::move(log), std::move(target), factor));
}

}  // namespace

PyTypeObject* can_log_writer_type() {
  static constinit ProcessType type;
  return type.get(writer_spec);
}

PyTypeObject* can_log_reader_type() {
  static constinit ProcessType type;
  return type.get(reader_spec);
}

PyTypeObject* can_log_frame_type() {
  static std::atomic<PyTypeObject*> type{nullptr};
  if (PyTypeObject* made = type.load(std::memory_order_acquire)) return made;
  PyTypeObject* created = PyStructSequence_NewType(&frame_desc);
  if (created == nullptr) throw PyErrOccurred{};
  PyTypeObject* expected = nullptr;
  if (!type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);  // another thread made it first (free-threaded interpreters)
    return expected;
  }
  return created;
}

PyTypeObject* can_log_task_type() {
  static constinit ProcessType type;
  return type.get(task_spec);
}

PyMethodDef replay_function =
    function<replay>("replay", doc<"replay(source, device, *, speed=1.0)\n--\n\n", "replay">());

}  // namespace varnex::py
