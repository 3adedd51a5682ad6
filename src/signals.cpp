#include "signals.hpp"

#include <exception>
#include <memory>
#include <string>

#include "py/convert.hpp"
#include "py/type_builder.hpp"

namespace kavex {

namespace {

using namespace py;

struct Hub {
  SignalSender sender;
};

struct Receiver {
  // Shared so that a blocking recv keeps the position alive even if the
  // Python object is released meanwhile.
  std::shared_ptr<ReceiverState> state;
};

PyObject* hub_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<0> sig{"SignalHub", {}};
    parse(sig, args, kwargs);
    return make_signal_hub(SignalSender(kHubCapacity));
  });
}

Ref hub_publish(PyObject*, Hub& hub, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"publish", {"msg"}, 1};
  auto a = parse(sig, args, nargs, kwnames);
  // With nobody listening the message is dropped: check the type, skip the
  // text conversion.
  if (!hub.sender.has_receivers()) {
    if (!PyUnicode_Check(a[0])) raise_arg_type("msg", "str", a[0]);
    return Ref::check(PyLong_FromLong(0));
  }
  return to_py_u64(hub.sender.publish(arg_str(a[0], "msg")));
}

Ref hub_subscribe(PyObject*, Hub& hub) { return create(signal_receiver_type(), Receiver{hub.sender.subscribe()}); }

PyMethodDef hub_methods[] = {
    method<Hub, hub_publish>("publish", "publish($self, msg)\n--\n\n"),
    method_noargs<Hub, hub_subscribe>("subscribe", "subscribe($self)\n--\n\n"),
    {},
};

Ref deliver(const RecvResult& result) {
  switch (result.kind) {
    case RecvResult::Kind::Message:
      return to_py(result.text);
    case RecvResult::Kind::Lagged:
      raise(PyExc_RuntimeError, "Channel Lagged: missed " + std::to_string(result.missed) + " messages");
    case RecvResult::Kind::Closed:
    case RecvResult::Kind::Empty:
      break;
  }
  raise(PyExc_StopAsyncIteration, "Channel Closed");
}

Ref receiver_recv(PyObject*, Receiver& self) {
  // A message already waiting is taken without giving up the interpreter lock.
  RecvResult result = self.state->try_recv();
  if (result.kind != RecvResult::Kind::Empty) return deliver(result);

  std::shared_ptr<ReceiverState> state = self.state;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try {
    state->recv(result);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
  return deliver(result);
}

PyMethodDef receiver_methods[] = {
    method_noargs<Receiver, receiver_recv>("recv",
                                           "recv($self)\n--\n\n"
                                           "Blocking receive. intended to be called via asyncio.to_thread()"),
    {},
};

}  // namespace

PyObject* signal_hub_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.SignalHub",
      .doc = "SignalHub()\n--\n\n",
      .basicsize = static_cast<int>(sizeof(Instance<Hub>)),
      .methods = hub_methods,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&hub_new)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Hub>)}},
  });
}

PyObject* signal_receiver_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.SignalReceiver",
      .basicsize = static_cast<int>(sizeof(Instance<Receiver>)),
      .methods = receiver_methods,
      .slots = {{Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Receiver>)}},
      .constructible = false,
  });
}

Ref make_signal_hub(SignalSender sender) { return create(signal_hub_type(), Hub{std::move(sender)}); }

}  // namespace kavex
