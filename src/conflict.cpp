#include "conflict.hpp"

#include <optional>
#include <string>

#include "py/convert.hpp"
#include "py/type_builder.hpp"

namespace kavex {

namespace {

using namespace py;

PyObject* manager_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<2> sig{"ConflictManager", {"max_retries", "base_backoff_ms"}};
    auto a = parse(sig, args, kwargs);
    std::uint32_t max_retries = a[0] ? arg_int<std::uint32_t>(a[0], "max_retries") : 5;
    std::uint64_t base = a[1] ? arg_int<std::uint64_t>(a[1], "base_backoff_ms") : 2;
    return create(conflict_manager_type(), ConflictCounters(max_retries, base));
  });
}

std::string_view key_arg(const Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return arg_str(parse(sig, args, nargs, kwnames)[0], "key");
}

Ref report_conflict(PyObject*, ConflictCounters& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"report_conflict", {"key"}, 1};
  return make_retry_decision(self.report_conflict(key_arg(sig, args, nargs, kwnames)));
}

Ref report_success(PyObject*, ConflictCounters& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"report_success", {"key"}, 1};
  self.report_success(key_arg(sig, args, nargs, kwnames));
  return none();
}

Ref get_failure_count(PyObject*, ConflictCounters& self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static const Signature<1> sig{"get_failure_count", {"key"}, 1};
  return to_py_u64(self.failure_count(key_arg(sig, args, nargs, kwnames)));
}

Ref is_blocked(PyObject*, ConflictCounters& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<1> sig{"is_blocked", {"requester"}};
  auto a = parse(sig, args, nargs, kwnames);
  return boolean(self.is_blocked(optional_arg(a[0], "requester", arg_str)));
}

PyMethodDef manager_methods[] = {
    method<ConflictCounters, report_conflict>("report_conflict",
                                              "report_conflict($self, key)\n--\n\n"
                                              "Report a conflict failure for a process/key.\n"
                                              "Returns a decision on whether to retry and how long to wait."),
    method<ConflictCounters, report_success>("report_success",
                                             "report_success($self, key)\n--\n\nReport success to reset counters."),
    method<ConflictCounters, get_failure_count>("get_failure_count",
                                                "get_failure_count($self, key)\n--\n\n"
                                                "Get current failure count (Internal Diagnostic)"),
    method<ConflictCounters, is_blocked>("is_blocked",
                                         "is_blocked($self, requester=None)\n--\n\nCheck if action is blocked by VIP"),
    {},
};

Ref decision_should_retry(PyObject*, RetryDecision& d) { return boolean(d.should_retry); }
Ref decision_wait_ms(PyObject*, RetryDecision& d) { return to_py_u64(d.wait_ms); }
Ref decision_repr(PyObject*, RetryDecision& d) { return to_py(d.repr()); }

PyGetSetDef decision_getset[] = {
    readonly<RetryDecision, decision_should_retry>("should_retry"),
    readonly<RetryDecision, decision_wait_ms>("wait_ms"),
    {},
};

}  // namespace

PyObject* conflict_manager_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.ConflictManager",
      .doc = "ConflictManager(max_retries=5, base_backoff_ms=2)\n--\n\n"
             "Manages conflict resolution policies (Backoff, Priority)",
      .basicsize = static_cast<int>(sizeof(Instance<ConflictCounters>)),
      .methods = manager_methods,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&manager_new)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<ConflictCounters>)}},
  });
}

PyObject* retry_decision_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "kavex_core.RetryDecision",
      .basicsize = static_cast<int>(sizeof(Instance<RetryDecision>)),
      .getset = decision_getset,
      .slots = {{Py_tp_repr, reinterpret_cast<void*>(&unary<RetryDecision, decision_repr>)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<RetryDecision>)}},
      .constructible = false,
  });
}

Ref make_retry_decision(const RetryDecision& decision) {
  return create(retry_decision_type(), RetryDecision(decision));
}

}  // namespace kavex
