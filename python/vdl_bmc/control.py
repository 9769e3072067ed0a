"""Test control of the simulated controller: faults, call log, state and reset.

Meant for tests, from Python or from a C program through its embedded interpreter, e.g.
    PyRun_SimpleString("from vdl_bmc import control as c\n"
                       "c.fault('FPGA.reset', raises=KeyError)");
"""

import gc
import math
import sys
import types

from vdl_bmc import _hooks, layouts
from vdl_bmc._hooks import BadStr, Call, Fault, SelfRemoving, UNENCODABLE
from vdl_bmc.model import THRESHOLD_NAMES
from vdl_bmc import transport
from vdl_common.vdlk import kit

nan = math.nan

__all__ = [
    "BadStr", "Call", "Fault", "SelfRemoving", "UNENCODABLE", "THRESHOLD_NAMES", "nan",
    "fault", "fault_text", "fault_spec", "clear_fault", "clear_faults", "faults",
    "calls", "call_count", "called", "last_call", "clear_calls", "dump_calls",
    "set_recording", "last_options", "use_kits_count",
    "card", "lookup", "state", "set_state", "controllers", "live_objects",
    "set_kit_interfaces", "install_module", "reset",
]


# Faults ----------------------------------------------------------------------------------

def _check_target(target):
    if not isinstance(target, str) or not target:
        raise TypeError("a target is a non-empty text")


def fault(target, *, raises=None, returns=_hooks._UNSET, missing=False, times=None,
          run=False):
    """Makes `target` raise, give `returns`, or vanish; see README.md."""
    _check_target(target)
    return _hooks.add_fault(Fault(target, raises=raises, returns=returns, missing=missing,
                                  times=times, run=run))


def fault_text(target, text):
    """The same as `fault`, from a text such as "raise:KeyError" or "return:none"."""
    _check_target(target)
    return _hooks.add_fault(_hooks.parse_fault_text(target, text))


fault_spec = fault_text  # the name README.md first gave it


def clear_fault(target):
    _hooks.faults.pop(target, None)


def clear_faults():
    _hooks.faults.clear()


def faults():
    return dict(_hooks.faults)


# Call log --------------------------------------------------------------------------------

def calls(target=None):
    if target is None:
        return list(_hooks.log)
    return [c for c in _hooks.log if _hooks.matches(target, c.cls, c.obj, c.member)]


def call_count(target):
    return sum(count for (cls, obj, member), count in _hooks.counts.items()
               if _hooks.matches(target, cls, obj, member))


def called(target):
    return call_count(target) > 0


def last_call(target):
    found = calls(target)
    return found[-1] if found else None


def clear_calls():
    _hooks.log.clear()
    _hooks.counts.clear()


def dump_calls(target=None):
    return "\n".join(str(c) for c in calls(target))


def set_recording(flag):
    """Stops or restarts the call log; counts and faults go on."""
    _hooks.recording = bool(flag)


def last_options():
    return None if _hooks.last_options is None else dict(_hooks.last_options)


def use_kits_count():
    return _hooks.use_kits_count


# State -----------------------------------------------------------------------------------

def card(number=None, layout=None, fpga_texts="short"):
    """The card of that number and layout; with neither, the one last connected."""
    if number is None and layout is None:
        key = _hooks.last_card_key
        if key is not None and key in _hooks.cards:
            return _hooks.cards[key]
    key = (0 if number is None else number, layout or "default", fpga_texts)
    found = _hooks.cards.get(key)
    if found is None:
        found = layouts.build(key[1], fpga_texts)
        _hooks.cards[key] = found
    return found


def _member(node, name):
    """A member of a simulated object read past the hooks (neither logged nor faulted)."""
    try:
        return object.__getattribute__(node, name)
    except AttributeError:
        return None


def _listed(name):
    """Whether the library keeps an entry under `name`: text that can be encoded and has no
    NUL."""
    if not isinstance(name, str) or "\0" in name:
        return False
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _entries(node, attribute):
    """The entries of a dictionary member, or None when there is none."""
    found = _member(node, attribute)
    if not isinstance(found, dict):
        return None
    return list(found.items())


# The library's bounds on a walk.
DEEPEST_LEVEL = 1000
MOST_WALK_STEPS = 1000000


class _Steps:
    """The work of one discovery's walks, counted as the library counts it: going into an
    object and reading one entry of its dictionaries are a step each."""

    def __init__(self):
        self.taken = 0

    def take(self):
        self.taken += 1
        if self.taken > MOST_WALK_STEPS:
            raise RuntimeError("component tree too tangled")


def _walk(root, steps, enter, found):
    """The library's walk of the component tree, depth first in dictionary order: each
    component is gone into at once, whatever its name, unless it is already on the path down
    to it. `enter(node)` takes a step of `steps` for each entry it reads; `found` sees the
    entries whose names the library keeps. Past the library's bounds it raises RecursionError
    (too deep) or RuntimeError (too many steps)."""
    path = []
    on_path = set()

    def go_into(node):
        steps.take()
        if not enter(node):
            return
        below = _entries(node, "components")
        if below is not None:
            on_path.add(id(node))
            path.append((iter(below), node))

    go_into(root)
    while path:
        entries, node = path[-1]
        entry = next(entries, None)
        if entry is None:
            on_path.discard(id(node))
            path.pop()
            continue
        steps.take()
        name, child = entry
        if _listed(name):
            found(name, child)
        if id(child) in on_path:
            continue
        if len(path) > DEEPEST_LEVEL:
            raise RecursionError("component tree deeper than %d levels" % DEEPEST_LEVEL)
        go_into(child)


def _tables(root):
    """The three name tables of a card, walked as the board-management library walks it."""
    tables = {"component": {}, "sensor": {}, "effecter": {}}

    def found(name, child):
        tables["component"][name] = child

    steps = _Steps()  # one bound for the three walks, as in the library
    _walk(root, steps, lambda node: True, found)
    for kind in ("effecter", "sensor"):
        def enter(node, kind=kind):
            entries = _entries(node, kind + "s")
            if entries is None:
                return False
            for name, item in entries:
                steps.take()
                if _listed(name):
                    tables[kind][name] = item
            return True

        _walk(root, steps, enter, lambda name, child: None)
    return tables


def lookup(name, kind=None, number=None, layout=None):
    """The object called `name` in the card tree; the last visited when a name repeats."""
    tables = _tables(card(number, layout))
    kinds = (kind,) if kind else ("component", "sensor", "effecter")
    for each in kinds:
        if each not in tables:
            raise ValueError("kind is component, sensor or effecter, not %r" % (each,))
        if name in tables[each]:
            return tables[each][name]
    raise KeyError(name)


def _target(name, kind, number, layout):
    if name is None:
        return card(number, layout)
    return lookup(name, kind, number, layout)


def state(name=None, kind=None, number=None, layout=None):
    """A snapshot of an object's state (the card's without a name)."""
    return _target(name, kind, number, layout)._snapshot()


def set_state(name=None, kind=None, number=None, layout=None, **fields):
    """Sets state fields directly, without validation or logging."""
    _target(name, kind, number, layout)._set(**fields)


def controllers():
    alive = (ref() for ref in list(_hooks.controllers.values()))
    return [c for c in alive if c is not None]


def live_objects(cls_name=None):
    gc.collect()
    return [o for o in list(_hooks.live)
            if cls_name is None or type(o).__name__ == cls_name]


# Interfaces, modules, reset --------------------------------------------------------------

def set_kit_interfaces(kind):
    kit._install(kind)


def install_module(name, **attributes):
    module = types.ModuleType(name)
    for key, value in attributes.items():
        setattr(module, key, value)
    sys.modules[name] = module
    _hooks.installed_modules.add(name)
    return module


def reset():
    """Back to the state at import: no faults, no log, fresh cards."""
    _hooks.reset()
    kit._install(kit._env_kind())
    for name in _hooks.installed_modules:
        sys.modules.pop(name, None)
    _hooks.installed_modules.clear()
    transport.handler._close_count = 0
