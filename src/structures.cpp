#include "structures.hpp"

#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

#include "core/timestamp.hpp"
#include "engine.hpp"
#include "proxy.hpp"
#include "signals.hpp"
#include "py/convert.hpp"
#include "py/stdlib.hpp"
#include "py/type_builder.hpp"

namespace kavex {

namespace {

using namespace py;

// ---------------------------------------------------------------------------
// Helpers shared by the State operations.

// An exact `str` object for a key (subclass instances are copied, so the
// dicts we hand out never carry a subclass's own hashing or equality).
Ref exact_key(PyObject* key, std::string_view text) {
  if (PyUnicode_CheckExact(key)) return Ref::borrow(key);
  return to_py(text);
}

// Records `version` for `name` in the index, keeping its zone entries.
void record_version(KeyMap& keys, std::string_view name, std::uint64_t version) {
  const KeyEntry* current = keys.find(name);
  KeyEntry entry = current ? *current : KeyEntry{};
  entry.version = version;
  keys.set(name, std::move(entry));
}

// Writes every (key, value) of `dict` into `zone`, recording `version` under
// each key and, when `nested`, under "outer.inner" for the keys of dict
// values. No Python code runs while the dict is walked.
void write_zone(KeyMap& keys, ZoneMember zone, PyObject* dict, std::uint64_t version, bool nested,
                const char* argname) {
  arg_dict(dict, argname);
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  std::string composite;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    std::string_view text = arg_str(key, argname);
    if (nested && PyDict_Check(value)) {
      PyObject *inner = nullptr, *unused = nullptr;
      Py_ssize_t inner_pos = 0;
      while (PyDict_Next(value, &inner_pos, &inner, &unused)) {
        std::string_view inner_text = arg_str(inner, argname);
        composite.assign(text);
        composite += '.';
        composite += inner_text;
        record_version(keys, composite, version);
      }
    }
    const KeyEntry* current = keys.find(text);
    KeyEntry entry = current ? *current : KeyEntry{};
    if (!entry.key) entry.key = exact_key(key, text);
    entry.*zone = Ref::borrow(value);
    entry.version = version;
    keys.set(text, std::move(entry));
  }
}

void log_meta_entry(const StateValue& s, std::string_view key, std::string_view message) {
  s.meta_log->append(s.meta_capacity, key, message, unix_now());
}

// str(value) for a signal; a failing str() is reported through the
// unraisable hook and replaced by a placeholder text.
std::string signal_text(PyObject* value) {
  Ref text = Ref::steal(PyObject_Str(value));
  if (text) return std::string(arg_str(text.get(), "signal"));
  PyErr_WriteUnraisable(value);
  std::optional<std::string> name = try_type_name(value);
  return name ? "<unprintable " + *name + " object>" : "<unprintable object>";
}

// Records the pairs of one signal dict in `signals`, in the dict's order,
// publishing "key:text" for each on the lineage's hub first. The dict is
// walked over a snapshot of its items, since str() runs Python code that may
// change it.
void write_signals(SignalZone& signals, const SignalSender& hub, PyObject* dict) {
  Ref items = Ref::check(PyDict_Items(dict));
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(pair, 0);
    std::string key_string(arg_str(key, "signal"));
    std::string text = signal_text(PyTuple_GetItem(pair, 1));
    hub.publish(key_string + ":" + text);  // no subscribers is not an error
    signals.set(key_string, std::move(text));
  }
}

void write_signal_argument(SignalZone& signals, const SignalSender& hub, PyObject* signal) {
  if (PyDict_Check(signal)) {
    write_signals(signals, hub, signal);
  } else if (PyList_Check(signal)) {
    Ref items = Ref::check(PyList_GetSlice(signal, 0, PyList_Size(signal)));
    const Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      write_signals(signals, hub, arg_dict(PyList_GetItem(items.get(), i), "signal"));
    }
  }
  // Any other object is ignored.
}

// "State updated to version N" without a heap allocation.
std::string_view update_message(char (&buffer)[64], std::uint64_t version) {
  static constexpr std::string_view prefix = "State updated to version ";
  prefix.copy(buffer, prefix.size());
  auto end = std::to_chars(buffer + prefix.size(), buffer + sizeof buffer, version).ptr;
  return {buffer, static_cast<std::size_t>(end - buffer)};
}

// ---------------------------------------------------------------------------
// State

Ref new_state(StateValue value) { return create(state_type(), std::move(value)); }

PyObject* state_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<5> sig{"State", {"data", "heavy", "signal", "version", "meta_capacity"}};
    auto a = parse(sig, args, kwargs);
    const std::uint64_t version = a[3] ? arg_int<std::uint64_t>(a[3], "version") : 1;
    const std::size_t capacity = a[4] ? arg_int<std::size_t>(a[4], "meta_capacity") : 1000;
    // The `signal` argument is accepted and not read: a new state's signal
    // zone is always empty.
    StateValue s{
        .keys = {},
        .meta_log = std::make_shared<MetaLog>(capacity),
        .signals = {},
        .meta_capacity = capacity,
        .version = version,
        .hub = SignalSender(kHubCapacity),
    };
    if (a[0] && !is_none(a[0])) write_zone(s.keys, kDataZone, a[0], s.version, false, "data");
    if (a[1] && !is_none(a[1])) write_zone(s.keys, kHeavyZone, a[1], s.version, false, "heavy");
    return new_state(std::move(s));
  });
}

Ref state_update(PyObject*, StateValue& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<3> sig{"update", {"data", "heavy", "signal"}};
  auto a = parse(sig, args, nargs, kwnames);
  return update_state(self, a[0], a[1], a[2]);
}

Ref state_log_meta(PyObject*, StateValue& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<2> sig{"log_meta", {"key", "message"}, 2};
  auto a = parse(sig, args, nargs, kwnames);
  log_meta_entry(self, arg_str(a[0], "key"), arg_str(a[1], "message"));
  return none();
}

Ref meta_logs(PyObject*, StateValue& self) {
  return list_of(self.meta_log->snapshot(), [](MetaEntry& e) { return create(meta_log_entry_type(), std::move(e)); });
}

Ref state_restrict_view(PyObject*, StateValue& self) {
  StateValue view = self;
  view.hub = SignalSender(kHubCapacity);  // not connected to this lineage's hub
  return new_state(std::move(view));
}

}  // namespace

Ref zone_dict(const StateValue& state, ZoneMember zone) {
  Ref dict = Ref::check(PyDict_New());
  state.keys.for_each([&](const std::string&, const KeyEntry& e) {
    if (const Ref& value = e.*zone) check(PyDict_SetItem(dict.get(), e.key.get(), value.get()));
  });
  return dict;
}

namespace {

Ref state_get_version(PyObject*, StateValue& self) { return to_py_u64(self.version); }
Ref state_get_signal(PyObject*, StateValue& self) { return make_signal_hub(self.hub); }

// A proxy over the data entry `key` (path `key`, no transaction), or None.
Ref zone_proxy(const StateValue& self, const char* key, bool read_only) {
  const KeyEntry* entry = self.keys.find(key);
  if (entry == nullptr || !entry->data) return none();
  return make_proxy(entry->data, key, read_only, Ref());
}

Ref state_get_domain(PyObject*, StateValue& self) { return zone_proxy(self, "domain", true); }
Ref state_get_global(PyObject*, StateValue& self) { return zone_proxy(self, "global", true); }

Ref state_domain_proxy(PyObject*, StateValue& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"domain_proxy", {"read_only"}};
  auto a = parse(sig, args, nargs, kwnames);
  return zone_proxy(self, "domain", optional_arg(a[0], "read_only", arg_bool).value_or(false));
}
Ref state_get_data(PyObject*, StateValue& self) { return make_frozen_dict(zone_dict(self, kDataZone)); }
Ref state_get_heavy(PyObject*, StateValue& self) { return make_frozen_dict(zone_dict(self, kHeavyZone)); }

Ref state_get_signals(PyObject*, StateValue& self) {
  Ref dict = Ref::check(PyDict_New());
  self.signals.for_each([&](const std::string& key, const std::string& text) {
    Ref k = to_py(key), v = to_py(text);
    check(PyDict_SetItem(dict.get(), k.get(), v.get()));
  });
  return make_frozen_dict(std::move(dict));
}

int state_setattro(PyObject*, PyObject* name, PyObject* value) noexcept {
  return guard_status([&] {
    if (value == nullptr) raise_cannot_delete_attribute();
    if (!PyUnicode_Check(name)) raise_arg_type("name", "str", name);
    raise(exc::context_error(), "State is Immutable. Use .update() to create a new version.");
  });
}

PyMethodDef state_methods[] = {
    method<StateValue, state_update>("update", "update($self, data=None, heavy=None, signal=None)\n--\n\n"),
    method<StateValue, state_log_meta>("log_meta",
                                       "log_meta($self, key, message)\n--\n\n"
                                       "Log a system event to the Meta Zone Ring Buffer."),
    method_noargs<StateValue, meta_logs>("get_meta_logs",
                                         "get_meta_logs($self)\n--\n\n"
                                         "Retrieve persistent meta logs (shared across state versions)."),
    method_noargs<StateValue, state_restrict_view>("restrict_view", "restrict_view($self)\n--\n\n"),
    method<StateValue, state_domain_proxy>("domain_proxy",
                                           "domain_proxy($self, read_only=None)\n--\n\n"
                                           "v3.1: Returns domain wrapped in SupervisorProxy (preserves PyObject idiomatics)"),
    {},
};

PyGetSetDef state_getset[] = {
    readonly<StateValue, state_get_version>("version"),
    readonly<StateValue, state_get_data>("data"),
    readonly<StateValue, state_get_heavy>("heavy"),
    readonly<StateValue, state_get_signals>("signals"),
    readonly<StateValue, state_get_signal>("signal"),
    readonly<StateValue, state_get_domain>("domain"),
    readonly<StateValue, state_get_global>("global"),
    readonly<StateValue, meta_logs>("meta"),
    {},
};

// ---------------------------------------------------------------------------
// FrozenDict: a read-only face over a dict it does not copy.

struct Frozen {
  Ref dict;
};

PyObject* frozen_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<1> sig{"FrozenDict", {"data"}, 1};
    auto a = parse(sig, args, kwargs);
    return make_frozen_dict(Ref::borrow(arg_dict(a[0], "data")));
  });
}

// The stored value or null (no exception) when the key is absent.
PyObject* frozen_lookup(const Frozen& f, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(f.dict.get(), key);
  if (value == nullptr && PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

Ref frozen_get(PyObject*, Frozen& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<2> sig{"get", {"key", "default"}, 1};
  auto a = parse(sig, args, nargs, kwnames);
  if (PyObject* value = frozen_lookup(self, a[0])) return Ref::borrow(value);
  return a[1] ? Ref::borrow(a[1]) : none();
}

Ref frozen_keys(PyObject*, Frozen& self) { return Ref::check(PyDict_Keys(self.dict.get())); }
Ref frozen_values(PyObject*, Frozen& self) { return Ref::check(PyDict_Values(self.dict.get())); }
Ref frozen_items(PyObject*, Frozen& self) { return Ref::check(PyDict_Items(self.dict.get())); }
Ref frozen_to_dict(PyObject*, Frozen& self) { return self.dict; }

Ref frozen_deepcopy(PyObject*, Frozen& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"__deepcopy__", {"memo"}, 1};
  auto a = parse(sig, args, nargs, kwnames);
  Ref copy = deepcopy(self.dict.get(), a[0]);
  arg_dict(copy.get(), "data");
  return make_frozen_dict(std::move(copy));
}

PyObject* frozen_subscript(PyObject* self, PyObject* key) noexcept {
  return guard([&] {
    if (PyObject* value = frozen_lookup(payload<Frozen>(self), key)) return Ref::borrow(value);
    raise(PyExc_KeyError, "Key not found");
  });
}

int frozen_ass_subscript(PyObject*, PyObject*, PyObject* value) noexcept {
  return guard_status([&] {
    if (value == nullptr) raise_cannot_delete_item();
    raise(exc::context_error(), "Context is Immutable. Use .update()");
  });
}

// Normal attribute lookup first (methods win over keys of the same name),
// then the wrapped dict's keys.
PyObject* frozen_getattro(PyObject* self, PyObject* name) noexcept {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return guard([&] {
    PyObject* value = PyDict_GetItemWithError(payload<Frozen>(self).dict.get(), name);
    if (value == nullptr) {
      PyErr_Clear();
      raise(PyExc_AttributeError, "Attribute not found");
    }
    return Ref::borrow(value);
  });
}

Ref frozen_str(PyObject*, Frozen& self) { return Ref::check(PyUnicode_FromFormat("FrozenDict(%S)", self.dict.get())); }

int frozen_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(payload<Frozen>(self).dict.get());
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int frozen_clear(PyObject* self) noexcept {
  payload<Frozen>(self).dict.reset();
  return 0;
}

PyMethodDef frozen_methods[] = {
    method<Frozen, frozen_get>("get", "get($self, key, default=None)\n--\n\n"),
    method_noargs<Frozen, frozen_keys>("keys", "keys($self)\n--\n\n"),
    method_noargs<Frozen, frozen_values>("values", "values($self)\n--\n\n"),
    method_noargs<Frozen, frozen_items>("items", "items($self)\n--\n\n"),
    method_noargs<Frozen, frozen_to_dict>("to_dict", "to_dict($self)\n--\n\n"),
    method<Frozen, frozen_deepcopy>("__deepcopy__", "__deepcopy__($self, memo)\n--\n\n"),
    {},
};

// ---------------------------------------------------------------------------
// MetaLogEntry

Ref entry_key(PyObject*, MetaEntry& e) { return to_py(e.key); }
Ref entry_message(PyObject*, MetaEntry& e) { return to_py(e.message); }
Ref entry_timestamp(PyObject*, MetaEntry& e) { return to_py_double(e.timestamp); }

Ref entry_repr(PyObject*, MetaEntry& e) {
  return to_py("MetaLogEntry(time=" + format_timestamp(e.timestamp) + ", key=" + e.key + ", msg=" + e.message + ")");
}

PyGetSetDef entry_getset[] = {
    readonly<MetaEntry, entry_key>("key"),
    readonly<MetaEntry, entry_message>("message"),
    readonly<MetaEntry, entry_timestamp>("timestamp"),
    {},
};

// ---------------------------------------------------------------------------
// OutboxMsg and Outbox

PyObject* msg_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<2> sig{"OutboxMsg", {"topic", "payload"}, 2};
    auto a = parse(sig, args, kwargs);
    return make_outbox_msg(OutboxMessage{std::string(arg_str(a[0], "topic")), Ref::borrow(a[1])});
  });
}

Ref msg_topic(PyObject*, OutboxMessage& m) { return to_py(m.topic); }
Ref msg_payload(PyObject*, OutboxMessage& m) { return m.payload; }

int msg_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(payload<OutboxMessage>(self).payload.get());
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int msg_clear(PyObject* self) noexcept {
  payload<OutboxMessage>(self).payload.reset();
  return 0;
}

PyGetSetDef msg_getset[] = {
    readonly<OutboxMessage, msg_topic>("topic"),
    readonly<OutboxMessage, msg_payload>("payload"),
    {},
};

struct OutboxValue {
  // Shared with every other holder of the list; its payloads are therefore
  // not reported to the cycle collector.
  std::shared_ptr<MessageList> list;
};

PyObject* outbox_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<0> sig{"Outbox", {}};
    parse(sig, args, kwargs);
    return make_outbox(std::make_shared<MessageList>());
  });
}

Ref outbox_add(PyObject*, OutboxValue& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_outbox_msg(*self.list, args, nargs, kwnames);
}

Ref outbox_messages(PyObject*, OutboxValue& self) { return list_of(self.list->snapshot(), make_outbox_msg); }

PyMethodDef outbox_methods[] = {
    method<OutboxValue, outbox_add>("add", "add($self, msg)\n--\n\n"),
    {},
};

PyGetSetDef outbox_getset[] = {
    readonly<OutboxValue, outbox_messages>("messages"),
    {},
};

// ---------------------------------------------------------------------------
// ProcessContext: state, process-local dict, outbox and optional transaction;
// attribute reads it does not answer fall through to the state.

struct ContextValue {
  Ref state;
  Ref local;
  std::shared_ptr<MessageList> outbox;
  Ref tx;  // null when there is none
};

PyObject* context_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<3> sig{"ProcessContext", {"state", "local", "tx"}, 2};
    auto a = parse(sig, args, kwargs);
    if (!is_state(a[0])) raise_arg_type("state", "State", a[0]);
    arg_dict(a[1], "local");
    Ref tx;
    if (a[2] && !is_none(a[2])) {
      if (!is_transaction(a[2])) raise_arg_type("tx", "Transaction", a[2]);
      tx = Ref::borrow(a[2]);
    }
    return make_process_context(Ref::borrow(a[0]), Ref::borrow(a[1]), std::move(tx));
  });
}

Ref context_state(PyObject*, ContextValue& c) { return c.state; }
Ref context_local(PyObject*, ContextValue& c) { return c.local; }
Ref context_tx(PyObject*, ContextValue& c) { return c.tx ? c.tx : none(); }
Ref context_outbox(PyObject*, ContextValue& c) { return make_outbox(c.outbox); }
Ref context_domain(PyObject*, ContextValue& c) { return Ref::check(PyObject_GetAttrString(c.state.get(), "domain")); }
Ref context_global(PyObject*, ContextValue& c) { return Ref::check(PyObject_GetAttrString(c.state.get(), "global")); }

PyObject* context_getattro(PyObject* self, PyObject* name) noexcept {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return guard([&] {
    Ref value = Ref::steal(PyObject_GetAttr(payload<ContextValue>(self).state.get(), name));
    if (value) return value;
    PyErr_Clear();  // the state's own error is replaced by ours
    Ref text = Ref::check(PyObject_Str(name));
    raise(PyExc_AttributeError,
          "'ProcessContext' object has no attribute '" + std::string(arg_str(text.get(), "name")) + "'");
  });
}

int context_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  ContextValue& c = payload<ContextValue>(self);
  Py_VISIT(c.state.get());
  Py_VISIT(c.local.get());
  Py_VISIT(c.tx.get());
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int context_clear(PyObject* self) noexcept {
  ContextValue& c = payload<ContextValue>(self);
  Ref state = std::move(c.state), local = std::move(c.local), tx = std::move(c.tx);
  return 0;
}

PyGetSetDef context_getset[] = {
    readonly<ContextValue, context_state>("state"),
    readonly<ContextValue, context_local>("local"),
    readonly<ContextValue, context_tx>("tx"),
    readonly<ContextValue, context_outbox>("outbox"),
    readonly<ContextValue, context_domain>("domain_ctx"),
    readonly<ContextValue, context_global>("global_ctx"),
    {},
};

}  // namespace

// ---------------------------------------------------------------------------
// Types and the functions other modules use.

PyObject* state_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.State",
      .doc = "State(data=None, heavy=None, signal=None, version=1, meta_capacity=1000)\n--\n\n"
             "Kavex v3 Immutable State",
      .basicsize = static_cast<int>(sizeof(Instance<StateValue>)),
      .methods = state_methods,
      .getset = state_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&state_new)},
                {Py_tp_setattro, reinterpret_cast<void*>(&state_setattro)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<StateValue>)}},
  });
}

PyObject* frozen_dict_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.FrozenDict",
      .doc = "FrozenDict(data)\n--\n\n",
      .basicsize = static_cast<int>(sizeof(Instance<Frozen>)),
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
      .methods = frozen_methods,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&frozen_new)},
                {Py_tp_getattro, reinterpret_cast<void*>(&frozen_getattro)},
                {Py_tp_str, reinterpret_cast<void*>(&unary<Frozen, frozen_str>)},
                {Py_mp_subscript, reinterpret_cast<void*>(&frozen_subscript)},
                {Py_mp_ass_subscript, reinterpret_cast<void*>(&frozen_ass_subscript)},
                {Py_tp_traverse, reinterpret_cast<void*>(&frozen_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(&frozen_clear)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Frozen>)}},
  });
}

PyObject* meta_log_entry_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.MetaLogEntry",
      .basicsize = static_cast<int>(sizeof(Instance<MetaEntry>)),
      .getset = entry_getset,
      .slots = {{Py_tp_repr, reinterpret_cast<void*>(&unary<MetaEntry, entry_repr>)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<MetaEntry>)}},
      .constructible = false,
  });
}

PyObject* outbox_msg_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.OutboxMsg",
      .doc = "OutboxMsg(topic, payload)\n--\n\n",
      .basicsize = static_cast<int>(sizeof(Instance<OutboxMessage>)),
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
      .getset = msg_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&msg_new)},
                {Py_tp_traverse, reinterpret_cast<void*>(&msg_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(&msg_clear)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<OutboxMessage>)}},
  });
}

PyObject* outbox_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.Outbox",
      .doc = "Outbox()\n--\n\n",
      .basicsize = static_cast<int>(sizeof(Instance<OutboxValue>)),
      .methods = outbox_methods,
      .getset = outbox_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&outbox_new)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<OutboxValue>)}},
  });
}

Ref update_state(const StateValue& self, PyObject* data, PyObject* heavy, PyObject* signal) {
  StateValue next{
      .keys = self.keys,
      .meta_log = self.meta_log,
      .signals = {},
      .meta_capacity = self.meta_capacity,
      .version = self.version + 1,
      .hub = self.hub,
  };
  // Logged before the arguments are examined: a failed update leaves it.
  char buffer[64];
  log_meta_entry(next, "state_update", update_message(buffer, next.version));
  if (data && !is_none(data)) write_zone(next.keys, kDataZone, data, next.version, true, "data");
  if (heavy && !is_none(heavy)) write_zone(next.keys, kHeavyZone, heavy, next.version, true, "heavy");
  if (signal && !is_none(signal)) write_signal_argument(next.signals, next.hub, signal);
  return new_state(std::move(next));
}

PyObject* process_context_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.ProcessContext",
      .doc = "ProcessContext(state, local, tx=None)\n--\n\nEphemeral Context passed to Process",
      .basicsize = static_cast<int>(sizeof(Instance<ContextValue>)),
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
      .getset = context_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&context_new)},
                {Py_tp_getattro, reinterpret_cast<void*>(&context_getattro)},
                {Py_tp_traverse, reinterpret_cast<void*>(&context_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(&context_clear)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<ContextValue>)}},
  });
}

Ref make_process_context(Ref state, Ref local, Ref tx) {
  return create(process_context_type(),
                ContextValue{std::move(state), std::move(local), std::make_shared<MessageList>(), std::move(tx)});
}

bool is_state(PyObject* o) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == state_type(); }

const StateValue& state_value(PyObject* state) noexcept { return payload<StateValue>(state); }

Ref make_frozen_dict(Ref dict) { return create(frozen_dict_type(), Frozen{std::move(dict)}); }

OutboxMessage arg_outbox_msg(PyObject* o, const char* name) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(o)) != outbox_msg_type()) raise_arg_type(name, "OutboxMsg", o);
  return payload<OutboxMessage>(o);
}

Ref add_outbox_msg(MessageList& list, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"add", {"msg"}, 1};
  auto a = parse(sig, args, nargs, kwnames);
  list.push_back(arg_outbox_msg(a[0], "msg"));
  return none();
}

Ref make_outbox_msg(const OutboxMessage& message) { return create(outbox_msg_type(), OutboxMessage(message)); }

Ref make_outbox(std::shared_ptr<MessageList> list) { return create(outbox_type(), OutboxValue{std::move(list)}); }

}  // namespace kavex
