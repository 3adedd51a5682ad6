#include "engine.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conflict.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/held_slot.hpp"
#include "py/stdlib.hpp"
#include "py/type_builder.hpp"
#include "structures.hpp"

namespace kavex {

namespace {

using namespace py;

// ---------------------------------------------------------------------------
// KavexEngine

struct Engine {
  Ref state;                             // the current State
  std::shared_ptr<MessageList> outbox;   // committed messages awaiting delivery
  std::unique_ptr<HeldSlot> worker;      // held while the worker runs
  std::unique_ptr<HeldSlot> schema;      // held while model_validate runs
  std::unique_ptr<HeldSlot> audit;
  // Serialises every replacement of `state`: a transaction holds it from
  // reading the current state until its successor is installed (across the
  // schema check), so concurrent commits never lose each other's writes.
  std::unique_ptr<HeldLock> commit;
  std::unique_ptr<std::atomic<bool>> strict;
  ConflictCounters conflicts;
  BorrowFlag borrow;
};

Engine& engine_of(PyObject* engine) noexcept { return payload<Engine>(engine); }

Ref new_engine() {
  Ref state = Ref::check(PyObject_CallNoArgs(state_type()));
  return create(engine_type(), Engine{
                                   std::move(state),
                                   std::make_shared<MessageList>(),
                                   std::make_unique<HeldSlot>("the engine's worker slot"),
                                   std::make_unique<HeldSlot>("the engine's schema slot"),
                                   std::make_unique<HeldSlot>("the engine's audit slot"),
                                   std::make_unique<HeldLock>("the engine's commit lock"),
                                   std::make_unique<std::atomic<bool>>(false),
                                   ConflictCounters(5, 2),
                                   {},
                               });
}

PyObject* engine_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<0> sig{"KavexEngine", {}};
    parse(sig, args, kwargs);
    return new_engine();
  });
}

PyObject* arg_state(PyObject* o, const char* name) {
  if (!is_state(o)) raise_arg_type(name, "State", o);
  return o;
}

PyObject* arg_engine(PyObject* o, const char* name) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(o)) != engine_type()) raise_arg_type(name, "KavexEngine", o);
  return o;
}

// Replaces the current state and returns the previous one. Callers keep it
// until their locks and borrows are released: the last reference to a state
// may take the last reference to stored objects, whose finalisers run Python
// code that may well use this engine again.
[[nodiscard]] Ref install_state(Engine& e, Ref state) {
  e.state.swap(state);
  return state;
}

Ref engine_get_state(PyObject*, Engine& e) { return e.state; }

Ref one_object_arg(const Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Ref::borrow(parse(sig, args, nargs, kwnames)[0]);
}

// Stores `value` in `slot`; None empties it.
void store_optional(HeldSlot& slot, Ref value) {
  if (is_none(value.get())) value.reset();
  slot.set(std::move(value));
}

Ref engine_set_schema(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"set_schema", {"schema"}, 1};
  SharedBorrow use(e.borrow);
  store_optional(*e.schema, one_object_arg(sig, args, nargs, kwnames));
  return none();
}

Ref engine_set_audit_system(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"set_audit_system", {"audit"}, 1};
  SharedBorrow use(e.borrow);
  e.audit->set(one_object_arg(sig, args, nargs, kwnames));
  return none();
}

Ref engine_attach_worker(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"attach_worker", {"worker"}, 1};
  SharedBorrow use(e.borrow);
  store_optional(*e.worker, one_object_arg(sig, args, nargs, kwnames));
  return none();
}

Ref engine_set_strict_mode(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"set_strict_mode", {"strict"}, 1};
  SharedBorrow use(e.borrow);
  Ref strict = one_object_arg(sig, args, nargs, kwnames);
  e.strict->store(arg_bool(strict.get(), "strict"));
  return none();
}

Ref engine_report_success(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"report_success", {"process_name"}, 1};
  SharedBorrow use(e.borrow);
  Ref name = one_object_arg(sig, args, nargs, kwnames);
  e.conflicts.report_success(arg_str(name.get(), "process_name"));
  return none();
}

Ref engine_report_conflict(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"report_conflict", {"process_name"}, 1};
  SharedBorrow use(e.borrow);
  Ref name = one_object_arg(sig, args, nargs, kwnames);
  return make_retry_decision(e.conflicts.report_conflict(arg_str(name.get(), "process_name")));
}

// Exclusive use of the engine for replacing its state: a re-entrant call fails
// before it waits for the commit lock, then the lock, then the borrow.
struct CommitAccess {
  explicit CommitAccess(Engine& e) : reentry((refuse_reentry(e.borrow), 0)), commit(*e.commit), use(e.borrow) {}
  int reentry;
  HeldLock::Guard commit;
  ExclusiveBorrow use;
};

Ref engine_commit_state(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"commit_state", {"state"}, 1};
  Ref previous;
  CommitAccess access(e);
  Ref state = one_object_arg(sig, args, nargs, kwnames);
  previous = install_state(e, Ref::borrow(arg_state(state.get(), "state")));
  return none();
}

// True when a key of `zone` (a dict) was written after `expected`: for a
// dict value its inner keys are checked as "outer.inner", otherwise the key.
bool zone_conflicts(const StateValue& state, PyObject* zone, std::uint64_t expected, const char* argname) {
  auto newer = [&](std::string_view name) {
    const std::uint64_t* recorded = state.key_version(name);
    return recorded != nullptr && *recorded > expected;
  };
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  std::string composite;
  while (PyDict_Next(zone, &pos, &key, &value)) {
    std::string_view text = arg_str(key, argname);
    if (PyDict_Check(value)) {
      PyObject *inner = nullptr, *unused = nullptr;
      Py_ssize_t inner_pos = 0;
      while (PyDict_Next(value, &inner_pos, &inner, &unused)) {
        composite.assign(text);
        composite += '.';
        composite += arg_str(inner, argname);
        if (newer(composite)) return true;
      }
    } else if (newer(text)) {
      return true;
    }
  }
  return false;
}

Ref engine_compare_and_swap(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Ref previous;
  CommitAccess access(e);
  static const Signature<5> sig{"compare_and_swap", {"expected_version", "data", "heavy", "signal", "requester"},
                                    1};
  auto a = parse(sig, args, nargs, kwnames);
  const std::uint64_t expected = arg_int<std::uint64_t>(a[0], "expected_version");
  std::optional<std::string_view> requester = optional_arg(a[4], "requester", arg_str);

  if (e.conflicts.is_blocked(requester)) raise(exc::context_error(), "System Busy (VIP Access Only)");
  const StateValue& current = state_value(e.state.get());
  if (current.version != expected) {
    bool conflict = a[1] && PyDict_Check(a[1]) && zone_conflicts(current, a[1], expected, "data");
    conflict = conflict || (a[2] && PyDict_Check(a[2]) && zone_conflicts(current, a[2], expected, "heavy"));
    if (conflict) {
      raise(exc::context_error(), "CAS Version Mismatch (Conflict Detected): Expected " + std::to_string(expected) +
                                      ", Found " + std::to_string(current.version) + " (Keys Changed)");
    }
  }
  // A stale writer whose keys did not move is rebased onto the current state.
  previous = install_state(e, update_state(current, a[1], a[2], a[3]));
  return none();
}

Ref engine_process_outbox(PyObject*, Engine& e) {
  // Delivered payloads are often referenced by their message alone: the batch
  // is released after the worker slot, so their finalisers may use the engine.
  std::vector<OutboxMessage> batch;
  SharedBorrow use(e.borrow);
  HeldSlot::Guard worker(*e.worker);  // refuses re-entry from the worker itself
  if (worker.get() == nullptr) return none();  // nothing delivers: the messages stay queued
  batch = e.outbox->take_all();
  Ref callable = Ref::borrow(worker.get());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    try {
      Ref msg = make_outbox_msg(batch[i]);
      Ref result = Ref::check(PyObject_CallFunctionObjArgs(callable.get(), msg.get(), nullptr));
    } catch (...) {
      // Never lose a message: the failed one and the rest go back in front
      // of anything queued meanwhile, in order.
      std::vector<OutboxMessage> rest(std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(i)),
                                      std::make_move_iterator(batch.end()));
      e.outbox->push_front(std::move(rest));
      throw;
    }
  }
  return none();
}

Ref engine_transaction(PyObject* self, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Runs `func` against the current state without blocking an event loop: the
// coroutine of a coroutine function, or asyncio.to_thread(func, context).
Ref engine_execute_process_async(PyObject*, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SharedBorrow use(e.borrow);
  static const Signature<2> sig{"execute_process_async", {"name", "func"}, 2};
  auto a = parse(sig, args, nargs, kwnames);
  arg_str(a[0], "name");
  PyObject* func = a[1];
  Ref state = e.state;
  Ref is_coroutine_function = import_attr("inspect", "iscoroutinefunction");
  Ref answer = Ref::check(PyObject_CallFunctionObjArgs(is_coroutine_function.get(), func, nullptr));
  const int is_coroutine = PyObject_IsTrue(answer.get());
  check(is_coroutine);
  Ref context = make_process_context(std::move(state), Ref::check(PyDict_New()), Ref());
  if (is_coroutine) return Ref::check(PyObject_CallFunctionObjArgs(func, context.get(), nullptr));
  Ref to_thread = import_attr("asyncio", "to_thread");
  return Ref::check(PyObject_CallFunctionObjArgs(to_thread.get(), func, context.get(), nullptr));
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Engine& e = engine_of(self);
  Py_VISIT(e.state.get());
  Py_VISIT(e.worker->peek());
  Py_VISIT(e.schema->peek());
  Py_VISIT(e.audit->peek());
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int engine_clear(PyObject* self) noexcept {
  Engine& e = engine_of(self);
  Ref worker = e.worker->steal_for_clear();
  Ref schema = e.schema->steal_for_clear();
  Ref audit = e.audit->steal_for_clear();
  return 0;
}

PyMethodDef engine_methods[] = {
    method<Engine, engine_set_schema>("set_schema", "set_schema($self, schema)\n--\n\n"),
    method<Engine, engine_set_audit_system>("set_audit_system", "set_audit_system($self, audit)\n--\n\n"),
    method<Engine, engine_set_strict_mode>("set_strict_mode", "set_strict_mode($self, strict)\n--\n\n"),
    method<Engine, engine_attach_worker>("attach_worker", "attach_worker($self, worker)\n--\n\n"),
    method<Engine, engine_report_success>("report_success", "report_success($self, process_name)\n--\n\n"),
    method<Engine, engine_report_conflict>("report_conflict", "report_conflict($self, process_name)\n--\n\n"),
    method<Engine, engine_transaction>("transaction", "transaction($self, write_timeout_ms=5000)\n--\n\n"),
    method<Engine, engine_commit_state>("commit_state", "commit_state($self, state)\n--\n\n"),
    method<Engine, engine_compare_and_swap>(
        "compare_and_swap",
        "compare_and_swap($self, expected_version, data=None, heavy=None, signal=None, requester=None)\n--\n\n"),
    method_noargs<Engine, engine_process_outbox>("process_outbox", "process_outbox($self)\n--\n\n"),
    method<Engine, engine_execute_process_async>("execute_process_async",
                                                 "execute_process_async($self, name, func)\n--\n\n"),
    {},
};

PyGetSetDef engine_getset[] = {
    readonly<Engine, engine_get_state>("state"),
    {},
};

// ---------------------------------------------------------------------------
// Transaction

using Clock = std::chrono::steady_clock;

// The pending containers and the outbox list are created on first use: a
// container nobody asked for is empty, and most transactions touch only one.
struct Tx {
  Ref engine;
  std::uint64_t write_timeout_ms;
  Ref pending_data_;    // dict, or null while empty and never handed out
  Ref pending_heavy_;   // dict, likewise
  Ref pending_signal_;  // list, likewise
  std::shared_ptr<MessageList> outbox_;
  std::optional<Clock::time_point> start;
  BorrowFlag borrow;

  static PyObject* lazy(Ref& slot, PyObject* (*make)()) {
    if (!slot) slot = Ref::check(make());
    return slot.get();
  }
  PyObject* pending_data() { return lazy(pending_data_, &PyDict_New); }
  PyObject* pending_heavy() { return lazy(pending_heavy_, &PyDict_New); }
  PyObject* pending_signal() { return lazy(pending_signal_, [] { return PyList_New(0); }); }
  const std::shared_ptr<MessageList>& outbox() {
    if (!outbox_) outbox_ = std::make_shared<MessageList>();
    return outbox_;
  }
};

Ref new_transaction(Ref engine, std::uint64_t write_timeout_ms) {
  return create(transaction_type(), Tx{std::move(engine), write_timeout_ms, {}, {}, {}, {}, std::nullopt, {}});
}

std::uint64_t timeout_arg(PyObject* o) { return o ? arg_int<std::uint64_t>(o, "write_timeout_ms") : 5000; }

PyObject* tx_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<2> sig{"Transaction", {"engine", "write_timeout_ms"}};
    auto a = parse(sig, args, kwargs);
    Ref engine = a[0] && !is_none(a[0]) ? Ref::borrow(arg_engine(a[0], "engine")) : Ref();
    std::uint64_t timeout = timeout_arg(a[1]);
    if (!engine) engine = new_engine();
    return new_transaction(std::move(engine), timeout);
  });
}

Ref engine_transaction(PyObject* self, Engine& e, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SharedBorrow use(e.borrow);
  static const Signature<1> sig{"transaction", {"write_timeout_ms"}};
  auto a = parse(sig, args, nargs, kwnames);
  return new_transaction(Ref::borrow(self), timeout_arg(a[0]));
}

Ref tx_enter(PyObject* self, Tx& tx) {
  ExclusiveBorrow use(tx.borrow);
  tx.start = Clock::now();
  return Ref::borrow(self);
}

std::uint64_t elapsed_ms(Clock::time_point start) {
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return elapsed < 0 ? 0 : static_cast<std::uint64_t>(elapsed);
}

// "Schema Violation: <type qualname>: <str(exc)>" raised from the pending
// exception, which becomes its cause.
[[noreturn]] void raise_schema_violation() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref cause_type = Ref::steal(type), cause = Ref::steal(value), cause_tb = Ref::steal(traceback);
  if (cause_tb) PyException_SetTraceback(cause.get(), cause_tb.get());

  std::string message = "Schema Violation: ";
  Ref qualname = Ref::steal(PyObject_GetAttrString(cause_type.get(), "__qualname__"));
  message += qualname && PyUnicode_Check(qualname.get()) ? std::string(arg_str(qualname.get(), "__qualname__"))
                                                         : type_name(cause.get());
  message += ": ";
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  if (text) {
    message += arg_str(text.get(), "str");
  } else {
    PyErr_Clear();
    message += "<exception str() failed>";
  }
  try {
    raise(exc::schema_violation_error(), message);
  } catch (const ErrorAlreadySet&) {
    PyObject *new_type = nullptr, *new_value = nullptr, *new_tb = nullptr;
    PyErr_Fetch(&new_type, &new_value, &new_tb);
    PyErr_NormalizeException(&new_type, &new_value, &new_tb);
    if (new_value != nullptr) {
      PyException_SetCause(new_value, Ref(cause).release());  // steals
      PyException_SetContext(new_value, cause.release());     // steals
    }
    PyErr_Restore(new_type, new_value, new_tb);
    throw;
  }
}

// Runs the schema's model_validate on the new data zone, holding shared use
// of the engine and its schema slot while the validator runs.
void validate_schema(Engine& e, const StateValue& next) {
  // No schema, nothing to hold: reading the slot with the interpreter lock
  // held is safe, and a set_schema racing with this commit simply comes after.
  if (e.schema->peek() == nullptr) return;
  SharedBorrow engine_use(e.borrow);
  HeldSlot::Guard schema(*e.schema);
  if (schema.get() == nullptr) return;
  Ref validator = Ref::borrow(schema.get());
  Ref data = zone_dict(next, kDataZone);
  Ref name = to_py("model_validate");
  Ref result = Ref::steal(PyObject_CallMethodObjArgs(validator.get(), name.get(), data.get(), nullptr));
  if (!result) raise_schema_violation();
}

Ref tx_exit(PyObject*, Tx& tx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SharedBorrow use(tx.borrow);
  static const Signature<3> sig{"__exit__", {"_exc_type", "_exc_value", "_traceback"}};
  auto a = parse(sig, args, nargs, kwnames);
  if (a[0] && !is_none(a[0])) return none();  // an exception leaves the block: nothing happens

  if (tx.start && elapsed_ms(*tx.start) > tx.write_timeout_ms) {
    raise(exc::write_timeout_error(), "Transaction timed out after " + std::to_string(elapsed_ms(*tx.start)) +
                                          "ms (limit " + std::to_string(tx.write_timeout_ms) + "ms)");
  }
  Engine& e = engine_of(tx.engine.get());
  refuse_reentry(e.borrow);
  Ref previous;  // released last, after the lock and the borrows
  HeldLock::Guard commit(*e.commit);
  Ref current = e.state;
  // A container never created is empty: passing none writes the same nothing.
  Ref next = update_state(state_value(current.get()), tx.pending_data_.get(), tx.pending_heavy_.get(),
                          tx.pending_signal_.get());
  validate_schema(e, state_value(next.get()));
  current.reset();
  ExclusiveBorrow engine_commit(e.borrow);
  previous = install_state(e, std::move(next));
  if (tx.outbox_) tx.outbox_->move_all_to(*e.outbox);  // transaction's list, then the engine's
  return none();
}

Ref tx_update(PyObject*, Tx& tx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SharedBorrow use(tx.borrow);
  static const Signature<3> sig{"update", {"data", "heavy", "signal"}};
  auto a = parse(sig, args, nargs, kwnames);
  static PyObject* update_name = nullptr;
  if (update_name == nullptr) update_name = to_py("update").release();
  // dict.update(other): a plain dict argument merges directly, anything else
  // (mappings, iterables of pairs) goes through the method itself.
  // The first plain dict merged into a container not yet created becomes a
  // copy of it, which is what updating an empty dict would give.
  auto merge = [&](Ref& slot, PyObject* changes) {
    if (PyDict_CheckExact(changes)) {
      if (!slot) {
        slot = Ref::check(PyDict_Copy(changes));
      } else {
        check(PyDict_Update(slot.get(), changes));
      }
    } else {
      Ref r = Ref::check(PyObject_CallMethodObjArgs(Tx::lazy(slot, &PyDict_New), update_name, changes, nullptr));
    }
  };
  if (a[0] && !is_none(a[0])) merge(tx.pending_data_, a[0]);
  if (a[1] && !is_none(a[1])) merge(tx.pending_heavy_, a[1]);
  if (a[2] && !is_none(a[2])) check(PyList_Append(tx.pending_signal(), a[2]));
  return none();
}

Ref tx_get_shadow(PyObject*, Tx& tx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SharedBorrow use(tx.borrow);
  static const Signature<2> sig{"get_shadow", {"val", "_path"}, 1};
  auto a = parse(sig, args, nargs, kwnames);
  optional_arg(a[1], "_path", arg_str);
  return deepcopy(a[0]);
}

Ref tx_log_internal(PyObject*, Tx& tx, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  SharedBorrow use(tx.borrow);
  static const Signature<6> sig{
      "log_internal", {"_path", "_op", "_new_val", "_old_val", "_obj_ref", "_key"}, 2};
  auto a = parse(sig, args, nargs, kwnames);
  arg_str(a[0], "_path");
  arg_str(a[1], "_op");
  optional_arg(a[5], "_key", arg_str);
  return none();  // reports are accepted and not kept
}

Ref tx_pending_data(PyObject*, Tx& tx) { return Ref::borrow(tx.pending_data()); }
Ref tx_pending_heavy(PyObject*, Tx& tx) { return Ref::borrow(tx.pending_heavy()); }
Ref tx_pending_signal(PyObject*, Tx& tx) { return Ref::borrow(tx.pending_signal()); }
Ref tx_write_timeout(PyObject*, Tx& tx) { return to_py_u64(tx.write_timeout_ms); }

struct Collector {
  std::shared_ptr<MessageList> list;
};

Ref tx_outbox(PyObject*, Tx& tx) { return create(outbox_collector_type(), Collector{tx.outbox()}); }

int tx_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Tx& tx = payload<Tx>(self);
  Py_VISIT(tx.engine.get());
  Py_VISIT(tx.pending_data_.get());
  Py_VISIT(tx.pending_heavy_.get());
  Py_VISIT(tx.pending_signal_.get());
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int tx_clear(PyObject* self) noexcept {
  Tx& tx = payload<Tx>(self);
  Ref engine = std::move(tx.engine), data = std::move(tx.pending_data_), heavy = std::move(tx.pending_heavy_),
      signal = std::move(tx.pending_signal_);
  return 0;
}

PyMethodDef tx_methods[] = {
    method_noargs<Tx, tx_enter>("__enter__", "__enter__($self)\n--\n\n"),
    method<Tx, tx_exit>("__exit__", "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"),
    method<Tx, tx_update>("update", "update($self, data=None, heavy=None, signal=None)\n--\n\n"),
    method<Tx, tx_get_shadow>("get_shadow",
                              "get_shadow($self, val, _path=None)\n--\n\nInternal: Get shadow copy for CoW/Tracking"),
    method<Tx, tx_log_internal>("log_internal",
                                "log_internal($self, _path, _op, _new_val=None, _old_val=None, _obj_ref=None, "
                                "_key=None)\n--\n\nInternal: Log operation for Audit"),
    {},
};

PyGetSetDef tx_getset[] = {
    readonly<Tx, tx_pending_data>("pending_data"),
    readonly<Tx, tx_pending_heavy>("pending_heavy"),
    readonly<Tx, tx_pending_signal>("pending_signal"),
    readonly<Tx, tx_write_timeout>("write_timeout_ms"),
    readonly<Tx, tx_outbox>("outbox"),
    {},
};

// ---------------------------------------------------------------------------
// OutboxCollector: a write-only front for a transaction's message list.

Ref collector_add(PyObject*, Collector& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_outbox_msg(*c.list, args, nargs, kwnames);
}

PyMethodDef collector_methods[] = {
    method<Collector, collector_add>("add", "add($self, msg)\n--\n\n"),
    {},
};

}  // namespace

PyObject* engine_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.KavexEngine",
      .doc = "KavexEngine()\n--\n\n",
      .basicsize = static_cast<int>(sizeof(Instance<Engine>)),
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
      .methods = engine_methods,
      .getset = engine_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&engine_new)},
                {Py_tp_traverse, reinterpret_cast<void*>(&engine_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(&engine_clear)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Engine>)}},
  });
}

PyObject* transaction_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.Transaction",
      .doc = "Transaction(engine=None, write_timeout_ms=5000)\n--\n\n",
      .basicsize = static_cast<int>(sizeof(Instance<Tx>)),
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
      .methods = tx_methods,
      .getset = tx_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&tx_new)},
                {Py_tp_traverse, reinterpret_cast<void*>(&tx_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(&tx_clear)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Tx>)}},
  });
}

PyObject* outbox_collector_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.OutboxCollector",
      .doc = "Helper to collect outbox messages in Transaction",
      .basicsize = static_cast<int>(sizeof(Instance<Collector>)),
      .methods = collector_methods,
      .slots = {{Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Collector>)}},
      .constructible = false,
  });
}

bool is_transaction(PyObject* o) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == transaction_type(); }

}  // namespace kavex
