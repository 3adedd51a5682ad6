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

// One zone entry. The key is kept as an exact `str` object beside the
// map's UTF-8 key, so reading a zone back into a dict reuses it (and its
// cached hash) instead of building a new string per entry.
struct ZoneEntry {
  py::Ref key;
  py::Ref value;
};

using Zone = PersistentMap<ZoneEntry>;
using KeyVersions = PersistentMap<std::uint64_t>;
using SignalZone = PersistentMap<std::string>;

// The value behind a State object. Never changed after construction; the
// maps share their nodes with the predecessor and successors.
struct StateValue {
  Zone data;
  Zone heavy;
  std::shared_ptr<MetaLog> meta_log;  // shared by the whole lineage
  KeyVersions key_versions;           // version at which each key was last written
  SignalZone signals;                 // this version's signals only
  std::size_t meta_capacity = 0;
  std::uint64_t version = 0;
  SignalSender hub;                   // shared by the lineage; a view gets its own
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
py::Ref zone_dict(const Zone& zone);

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
// A new OutboxMsg object with the message's topic and payload.
py::Ref make_outbox_msg(const OutboxMessage& message);
// A new Outbox object on `list`.
py::Ref make_outbox(std::shared_ptr<MessageList> list);

// A new ProcessContext over `state` and `local` with a new, empty outbox;
// `tx` may be null.
py::Ref make_process_context(py::Ref state, py::Ref local, py::Ref tx);

}  // namespace kavex
