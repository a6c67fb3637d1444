#include "bindings/stack_api.hpp"

#include <exception>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/arguments.hpp"
#include "bindings/convert.hpp"
#include "bindings/inputs.hpp"
#include "bindings/outputs.hpp"
#include "stack/stack.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;

// Fields that can only misbehave outside their limits refuse such values
// with ValueError "<name> <limits>", after the usual TypeError and
// OverflowError checks.
template <class Conv, bool (*valid)(typename Conv::Value) noexcept, const char* limits>
struct Limited {
  using Value = typename Conv::Value;
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    Value value{};
    if (!Conv::from_py(obj, name, value)) return false;
    if (!valid(value)) {
      PyErr_Format(PyExc_ValueError, "%s %s", name, limits);
      return false;
    }
    out = value;
    return true;
  }
  static PyObject* to_py(Value value) { return Conv::to_py(value); }
};

constexpr char kTimeoutLimits[] = "must be a finite number of seconds above 0";
constexpr char kApduLimits[] = "must be in the range 50..65529";
constexpr char kBufferLimits[] = "must be at least 1";
static_assert(stack::kSmallestMaxApdu == 50 && stack::kLargestMaxApdu == 65529);

struct StackConfigClass {
  using Fields = stack::StackConfig;
  static constexpr const char* name = "ferromesh.StackConfig";
  static constexpr const char* doc =
      "StackConfig(apdu_timeout_secs=3.0, apdu_retries=3, max_apdu_length=1476, max_segment_buffer=2097152)"
      "\n--\n\nStackConfig \u2014 tuneable protocol parameters.";
  static inline PyGetSetDef attributes[] = {
      read_write<Limited<Float, stack::valid_apdu_timeout, kTimeoutLimits>, &Fields::apdu_timeout_secs>(
          "apdu_timeout_secs"),
      read_write<U8, &Fields::apdu_retries>("apdu_retries"),
      read_write<Limited<U64, stack::valid_max_apdu_length, kApduLimits>, &Fields::max_apdu_length>(
          "max_apdu_length"),
      read_write<Limited<U64, stack::valid_max_segment_buffer, kBufferLimits>, &Fields::max_segment_buffer>(
          "max_segment_buffer"),
      {},
  };
  static constexpr std::size_t required_arguments = 0;
};

struct StackFields {
  stack::Stack engine;
  // Set while process runs: a call made from inside it (by Python code that
  // runs during the call) must not see or change half-updated tables.
  bool busy = false;
};

// Holds the stack's busy flag for the duration of one process call.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(bool& busy) : busy_(busy) { busy_ = true; }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  ~ExclusiveUse() { busy_ = false; }

 private:
  bool& busy_;
};

PyObject* process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  StackFields& fields = fields_of<StackFields>(self);
  if (fields.busy) {
    PyErr_SetString(PyExc_RuntimeError, "Stack.process called again while it is running on the same Stack");
    return nullptr;
  }
  ExclusiveUse exclusive(fields.busy);

  PyObject* input = one_argument(args, nargs, kwnames, "O:process", "input");
  if (input == nullptr) return nullptr;
  std::optional<stack::Input> converted = input_to_engine(input);
  if (!converted) return nullptr;
  return outputs_to_py(fields.engine.process(std::move(*converted)));
}

// Read-only sizes of the engine's tables, so that a host (or a test) can see
// that nothing is left behind once every request has ended.
PyObject* table_sizes(PyObject* self, PyObject* /*unused*/) {
  const stack::Stack& engine = fields_of<StackFields>(self).engine;
  std::size_t invoke_ids = 0;
  for (const auto& [peer, pool] : engine.invoke_pools()) invoke_ids += pool.used_count();
  return Py_BuildValue("{s:n,s:n,s:n,s:n,s:n}", "transactions", static_cast<Py_ssize_t>(engine.transactions().size()),
                       "segmented_requests", static_cast<Py_ssize_t>(engine.send_segments().size()),
                       "segmented_answers", static_cast<Py_ssize_t>(engine.recv_segments().size()),
                       "invoke_ids", static_cast<Py_ssize_t>(invoke_ids), "peers",
                       static_cast<Py_ssize_t>(engine.invoke_pools().size()));
}

struct StackClass {
  using Fields = StackFields;
  static constexpr const char* name = "ferromesh.Stack";
  static constexpr const char* doc =
      "Stack(config=None)\n--\n\n"
      "The sans-IO BACnet/IP stack.\n\nUsage:\n\n"
      "```python\n"
      "stack = Stack()\n"
      "outputs = stack.process(InputTick(now=0.0))\n"
      "```";
  static inline PyGetSetDef attributes[] = {{}};
  static inline PyMethodDef methods[] = {
      {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<process>)),
       METH_FASTCALL | METH_KEYWORDS,
       "process($self, input)\n--\n\n"
       "Process one input event and return a list of output objects.\n\n"
       "Raises `InvokeIdExhaustedError` when all 256 invoke IDs for the\n"
       "destination are in use."},
      {"table_sizes", table_sizes, METH_NOARGS,
       "table_sizes($self)\n--\n\n"
       "How many entries the stack's tables hold: a dict of `transactions`\n"
       "(requests outstanding), `segmented_requests` (requests being sent in\n"
       "segments), `segmented_answers` (answers being reassembled), `invoke_ids`\n"
       "(in use, all devices) and `peers` (devices with an invoke-ID pool)."},
      {},
  };

  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"config", nullptr};
    PyObject* config_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:Stack", const_cast<char**>(keywords), &config_arg)) {
      return nullptr;
    }
    stack::StackConfig config;
    if (config_arg != Py_None) {
      PyTypeObject* config_type = stack_config_type();
      if (config_type == nullptr) return nullptr;
      if (!PyObject_TypeCheck(config_arg, config_type)) {
        PyErr_Format(PyExc_TypeError, "config must be a %s or None, not %.200s", config_type->tp_name,
                     Py_TYPE(config_arg)->tp_name);
        return nullptr;
      }
      config = fields_of<stack::StackConfig>(config_arg);  // a copy: later changes do not reach the stack
    }
    try {
      return new_instance(type, StackFields{stack::Stack(config), false});
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    } catch (const std::exception& error) {
      // The engine seeds its tables from std::random_device, which can fail.
      PyErr_Format(PyExc_RuntimeError, "cannot create the stack: %s", error.what());
      return nullptr;
    }
  }
};

}  // namespace

PyTypeObject* stack_config_type() { return type_of<StackConfigClass>(); }
PyTypeObject* stack_type() { return type_of<StackClass>(); }

}  // namespace ferromesh::bindings
