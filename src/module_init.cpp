#include "module_init.hpp"

#include <span>
#include <string>

#include "buffer_descriptor.hpp"
#include "conflict.hpp"
#include "engine.hpp"
#include "proxy.hpp"
#include "signals.hpp"
#include "py/errors.hpp"
#include "structures.hpp"

namespace kavex {

namespace {

using namespace py;

// One attribute added by initialisation: its name and a function giving the
// object (a borrowed class or exception type, created on first use).
struct Export {
  const char* name;
  PyObject* (*object)();
};

// kavex_core's attributes, in the order they are added; `shm` comes last.
constexpr Export core_exports[] = {
    {"SupervisorProxy", &supervisor_proxy_type},
    {"KavexEngine", &engine_type},
    {"Transaction", &transaction_type},
    {"OutboxCollector", &outbox_collector_type},
    {"WriteTimeoutError", &exc::write_timeout_error},
    {"SignalHub", &signal_hub_type},
    {"SignalReceiver", &signal_receiver_type},
    {"State", &state_type},
    {"ProcessContext", &process_context_type},
    {"FrozenDict", &frozen_dict_type},
    {"OutboxMsg", &outbox_msg_type},
    {"MetaLogEntry", &meta_log_entry_type},
    {"ContextError", &exc::context_error},
    {"SchemaViolationError", &exc::schema_violation_error},
    {"AuditBlockError", &exc::audit_block_error},
    {"AuditAbortError", &exc::audit_abort_error},
    {"AuditStopError", &exc::audit_stop_error},
    {"AuditWarning", &exc::audit_warning},
    {"ConflictManager", &conflict_manager_type},
    {"RetryDecision", &retry_decision_type},
};

constexpr Export shm_exports[] = {
    {"BufferDescriptor", &buffer_descriptor_type},
};

// Sets `module.name = object` and appends `name` to `module.__all__`, which
// the first addition creates.
void add_export(PyObject* module, const char* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    all = Ref::check(PyList_New(0));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  Ref text = Ref::check(PyUnicode_FromString(name));
  check(PyList_Append(all.get(), text.get()));
  check(PyObject_SetAttr(module, text.get(), object));
}

void add_exports(PyObject* module, std::span<const Export> exports) {
  for (const Export& e : exports) add_export(module, e.name, e.object());
}

// A module created once per process by `build`, owned by the first
// interpreter that asked for it.
struct CachedModule {
  const char* name;
  PyObject* module = nullptr;
  PyInterpreterState* owner = nullptr;

  template <class Build>
  PyObject* get(Build build) noexcept {
    return guard([&]() -> Ref {
      PyInterpreterState* current = PyInterpreterState_Get();
      if (owner != nullptr && owner != current) {
        raise(PyExc_ImportError, std::string(name) + " can be loaded by one interpreter per process only");
      }
      if (module == nullptr) {
        module = build().release();  // on failure nothing is cached
        owner = current;
      }
      return Ref::borrow(module);
    });
  }
};

PyModuleDef core_def = {
    PyModuleDef_HEAD_INIT, "kavex_core", "Kavex Core: the framework's native core extension.", 0,
    nullptr,               nullptr,      nullptr,                                                nullptr,
    nullptr,
};

PyModuleDef shm_def = {
    PyModuleDef_HEAD_INIT, "kavex_shm", "Exposed Python Module", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

Ref build_core() {
  Ref module = Ref::check(PyModule_Create(&core_def));
  add_exports(module.get(), core_exports);
  outbox_type();  // exists, but is reached only through ProcessContext.outbox
  Ref shm = Ref::check(PyModule_New("shm"));
  add_exports(shm.get(), shm_exports);
  add_export(module.get(), "shm", shm.get());
  return module;
}

// kavex_shm lives in a second copy of this library, with statics of its own.
// It takes BufferDescriptor from kavex_core so that the class is one object
// under both names.
Ref build_shm() {
  Ref module = Ref::check(PyModule_Create(&shm_def));
  Ref core = Ref::check(PyImport_ImportModule("kavex_core"));
  Ref shm = Ref::check(PyObject_GetAttrString(core.get(), "shm"));
  Ref descriptor = Ref::check(PyObject_GetAttrString(shm.get(), "BufferDescriptor"));
  add_export(module.get(), "BufferDescriptor", descriptor.get());
  return module;
}

CachedModule core_module{"kavex_core"};
CachedModule shm_module{"kavex_shm"};

}  // namespace

}  // namespace kavex

PyMODINIT_FUNC PyInit_kavex_core(void) { return kavex::core_module.get(kavex::build_core); }

PyMODINIT_FUNC PyInit_kavex_shm(void) { return kavex::shm_module.get(kavex::build_shm); }
