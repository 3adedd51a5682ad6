// The immutable state and the small value classes around it: State,
// FrozenDict, MetaLogEntry, OutboxMsg and Outbox.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/guarded_list.hpp"
#include "core/hamt.hpp"
#include "core/meta_log.hpp"
#include "core/signal_channel.hpp"
#include "py/ref.hpp"

namespace kavex {

// One name of a state: its entries in the data and heavy zones (either may
// be absent) and the version at which it was last written.
//
// The two zones and the key-version index live in one map keyed by name:
// data and heavy share the index anyway, and one map means one path to copy
// per written key instead of three. A name may be in the index only (the
// "outer.inner" names recorded for dict values). `key` keeps the name as an
// exact `str` object, so reading a zone back into a dict reuses it (and its
// cached hash) instead of building a new string per entry.
struct KeyEntry {
  py::Ref key;    // null for a name that is only in the index
  py::Ref data;   // null when the data zone has no such key
  py::Ref heavy;  // null when the heavy zone has no such key
  std::uint64_t version = 0;
};

// Every copy, update and destruction of a state's maps happens with the
// interpreter lock held, so their node counts need no atomic operations.
using KeyMap = PersistentMap<KeyEntry, SeededStringHash, SerializedNodeAllocator>;
using SignalZone = PersistentMap<std::string, SeededStringHash, SerializedNodeAllocator>;

// Which zone an operation reads or writes.
using ZoneMember = py::Ref KeyEntry::*;
inline constexpr ZoneMember kDataZone = &KeyEntry::data;
inline constexpr ZoneMember kHeavyZone = &KeyEntry::heavy;

// The value behind a State object. Never changed after construction; the
// maps share their nodes with the predecessor and successors.
struct StateValue {
  KeyMap keys;                        // data, heavy and the key-version index
  std::shared_ptr<MetaLog> meta_log;  // shared by the whole lineage
  SignalZone signals;                 // this version's signals only
  std::size_t meta_capacity = 0;
  std::uint64_t version = 0;
  SignalSender hub;                   // shared by the lineage; a view gets its own

  // The version at which `name` was last written, or null.
  const std::uint64_t* key_version(std::string_view name) const noexcept {
    const KeyEntry* entry = keys.find(name);
    return entry ? &entry->version : nullptr;
  }
};

// Class objects (borrowed), created on first use.
PyObject* state_type();
PyObject* frozen_dict_type();
PyObject* meta_log_entry_type();
PyObject* outbox_msg_type();
PyObject* outbox_type();
PyObject* process_context_type();

bool is_state(PyObject* o);
// The value of a State object (the caller checked `is_state`).
const StateValue& state_value(PyObject* state) noexcept;

// The successor of `state` with the given zone changes (each argument may be
// null or None): what `State.update(data, heavy, signal)` returns.
py::Ref update_state(const StateValue& state, PyObject* data, PyObject* heavy, PyObject* signal);

// A new dict of a zone's entries.
py::Ref zone_dict(const StateValue& state, ZoneMember zone);

// A new FrozenDict over `dict` (not copied).
py::Ref make_frozen_dict(py::Ref dict);

// An outbound message as queued: copies share the payload object.
struct OutboxMessage {
  std::string topic;
  py::Ref payload;
};
using MessageList = GuardedList<OutboxMessage>;

// Converts the argument `name`, which must be an OutboxMsg, to its value.
OutboxMessage arg_outbox_msg(PyObject* o, const char* name);
// The body of `add(msg)` on Outbox and OutboxCollector: appends a copy of
// the message to `list`.
py::Ref add_outbox_msg(MessageList& list, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// A new OutboxMsg object with the message's topic and payload.
py::Ref make_outbox_msg(const OutboxMessage& message);
// A new Outbox object on `list`.
py::Ref make_outbox(std::shared_ptr<MessageList> list);

// A new ProcessContext over `state` and `local` with a new, empty outbox;
// `tx` may be null.
py::Ref make_process_context(py::Ref state, py::Ref local, py::Ref tx);

}  // namespace kavex
