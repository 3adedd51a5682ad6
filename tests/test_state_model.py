"""A state machine drives State through random updates against a plain-dict
model and checks every retained version after each step: old versions never
change, and the lineage's meta log records every update, failed ones too."""

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import kavex_core as k

keys = st.text(alphabet="abcdé.", min_size=0, max_size=3)
values = st.one_of(st.integers(), st.text(max_size=3), st.dictionaries(keys, st.integers(), max_size=3))
zone = st.dictionaries(keys, values, max_size=4)
signal = st.one_of(st.none(), st.dictionaries(keys, st.integers(), max_size=3),
                   st.lists(st.dictionaries(keys, st.integers(), max_size=2), max_size=3))


class StateLineage(RuleBasedStateMachine):
    @initialize(data=zone, heavy=zone)
    def start(self, data, heavy):
        self.capacity = 6
        root = k.State(data=data, heavy=heavy, version=10, meta_capacity=self.capacity)
        # (state, expected data, heavy, signals, version)
        self.versions = [(root, dict(data), dict(heavy), {}, 10)]
        self.log = []

    @rule(pick=st.integers(min_value=0), data=st.one_of(st.none(), zone),
          heavy=st.one_of(st.none(), zone), signal=signal)
    def update(self, pick, data, heavy, signal):
        state, d, h, _, version = self.versions[pick % len(self.versions)]
        new = state.update(data=data, heavy=heavy, signal=signal)
        self.log.append(("state_update", f"State updated to version {version + 1}"))
        signals = {}
        for item in ([signal] if isinstance(signal, dict) else signal or []):
            signals.update({key: str(value) for key, value in item.items()})
        self.versions.append((new, {**d, **(data or {})}, {**h, **(heavy or {})}, signals, version + 1))

    @rule(pick=st.integers(min_value=0))
    def failed_update(self, pick):
        state, *_rest, version = self.versions[pick % len(self.versions)]
        try:
            state.update(data={1: "not a str key"})
        except TypeError:
            pass
        else:
            raise AssertionError("a non-str key was accepted")
        self.log.append(("state_update", f"State updated to version {version + 1}"))

    @precondition(lambda self: len(self.versions) > 1)
    @rule(pick=st.integers(min_value=0), message=st.text(max_size=5))
    def log_meta(self, pick, message):
        self.versions[pick % len(self.versions)][0].log_meta("user", message)
        self.log.append(("user", message))

    @invariant()
    def every_version_is_unchanged(self):
        for state, d, h, signals, version in self.versions:
            assert state.version == version
            assert state.data.to_dict() == d
            assert state.heavy.to_dict() == h
            assert state.signals.to_dict() == signals
            assert [(e.key, e.message) for e in state.meta] == self.log[-self.capacity:]


TestStateLineage = StateLineage.TestCase
TestStateLineage.settings = settings(max_examples=60, stateful_step_count=25, deadline=None)
