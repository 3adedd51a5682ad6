// SignalHub and SignalReceiver: the Python faces of the broadcast signal
// channel. `recv` blocks with the interpreter lock released.
#pragma once

#include "core/signal_channel.hpp"
#include "py/ref.hpp"

namespace kavex {

PyObject* signal_hub_type();
PyObject* signal_receiver_type();

// The capacity every hub asks for (the ring rounds it up to 128).
inline constexpr std::size_t kHubCapacity = 100;

// A new SignalHub object holding a further share of `sender`.
py::Ref make_signal_hub(SignalSender sender);

}  // namespace kavex
