"""Fault table, call log and object registry shared by every simulated object.

Every public member of a simulated object is reached through `access`, so a test can make any
member raise, give a value of the wrong type or vanish, and can see every call afterwards.
State that a member keeps lives in attributes whose names begin with "_", which bypass the
hooks; the simulation's own code uses only those, so internal work is neither logged nor
faulted.
"""

import builtins
import collections
import copy
import itertools
import math
import os
import sys
import types
import weakref

_UNSET = object()

LOG_LIMIT = 100000


class Fault:
    """One injected behaviour of one target."""

    def __init__(self, target, raises=None, returns=_UNSET, missing=False, times=None,
                 run=False):
        chosen = sum((raises is not None, returns is not _UNSET, bool(missing)))
        if chosen != 1:
            raise ValueError("a fault needs exactly one of raises, returns, missing")
        if times is not None and (not isinstance(times, int) or times < 1):
            raise ValueError("times must be a positive int or None")
        if run and returns is _UNSET:
            raise ValueError("run needs returns")
        self.target = target
        self.raises = raises
        self.returns = returns
        self.missing = bool(missing)
        self.times = times
        self.run = bool(run)

    def consume(self):
        if self.times is not None:
            self.times -= 1
            if self.times <= 0 and faults.get(self.target) is self:
                del faults[self.target]

    def exception(self):
        if isinstance(self.raises, BaseException):
            # A fresh copy each time: raising the one instance again would chain tracebacks,
            # whose frames keep simulated objects alive.
            try:
                return copy.copy(self.raises)
            except Exception:
                return self.raises.with_traceback(None)
        return self.raises("injected fault: " + self.target)

    def __repr__(self):
        if self.missing:
            what = "missing"
        elif self.raises is not None:
            what = "raises=%r" % (self.raises,)
        else:
            what = "returns=%r" % (self.returns,)
        return "Fault(%r, %s, times=%r)" % (self.target, what, self.times)


Call = collections.namedtuple("Call", "target cls obj member kind args kwargs outcome")


def _call_text(call):
    if call.kind == "get":
        return "%s %s" % (call.target, call.outcome)
    parts = [repr(a) for a in call.args]
    parts += ["%s=%r" % item for item in call.kwargs.items()]
    return "%s(%s) %s" % (call.target, ", ".join(parts), call.outcome)


Call.__str__ = _call_text

faults = {}
log = collections.deque(maxlen=LOG_LIMIT)
# Keyed by (class name, object name, member); a module-level target uses ("", target, "").
counts = collections.Counter()
recording = True
last_options = None
use_kits_count = 0

# (card number, layout, load-text set) -> Card; a later connect to the same key sees the state
# an earlier one left.
cards = {}
last_card_key = None
# serial number -> weak reference of each controller made and still alive, in the order they
# were made; an entry goes with its controller, so the table does not grow with use.
controllers = {}
_controller_serials = itertools.count()
live = weakref.WeakSet()
installed_modules = set()


def note_controller(controller):
    serial = next(_controller_serials)
    controllers[serial] = weakref.ref(
        controller, lambda ref, serial=serial, table=controllers: table.pop(serial, None))


def keys_of(cls_name, obj_name, member):
    return ("%s.%s" % (obj_name, member), "%s.%s" % (cls_name, member), "*." + member)


def find_fault(cls_name, obj_name, member):
    if not faults:
        return None
    for key in keys_of(cls_name, obj_name, member):
        fault = faults.get(key)
        if fault is not None:
            return fault
    return None


def record(cls_name, obj_name, member, kind, args, kwargs, outcome):
    counts[(cls_name, obj_name, member)] += 1
    if recording:
        target = "%s.%s" % (obj_name, member) if member else obj_name
        log.append(Call(target, cls_name, obj_name, member, kind, tuple(args), dict(kwargs),
                        outcome))


def matches(target, cls_name, obj_name, member):
    if not member:
        return target == obj_name
    return target in keys_of(cls_name, obj_name, member)


def note_error(obj, target, error):
    """Lets the card's controller report the last argument it rejected, as firmware would."""
    try:
        card = object.__getattribute__(obj, "_card")
    except AttributeError:
        return
    if card is not None:
        card._last_error = "%s: %s" % (target, error)


def invoke(cls_name, obj_name, member, function, args, kwargs, owner=None):
    """Runs one call of a target with its fault, logging it."""
    fault = find_fault(cls_name, obj_name, member) if member else faults.get(obj_name)
    if fault is not None and fault.missing:
        fault = None  # a missing method was already answered at access
    if fault is not None:
        fault.consume()
        if fault.raises is not None:
            record(cls_name, obj_name, member, "call", args, kwargs, "fault")
            raise fault.exception()
        if fault.run:
            try:
                function(*args, **kwargs)
            except Exception:
                record(cls_name, obj_name, member, "call", args, kwargs, "raised")
                raise
        record(cls_name, obj_name, member, "call", args, kwargs, "fault")
        return fault.returns
    try:
        result = function(*args, **kwargs)
    except Exception as error:
        record(cls_name, obj_name, member, "call", args, kwargs, "raised")
        if owner is not None:
            note_error(owner, "%s.%s" % (obj_name, member), error)
        raise
    record(cls_name, obj_name, member, "call", args, kwargs, "ok")
    return result


def module_call(target, function, args, kwargs):
    return invoke("", target, "", function, args, kwargs)


def access(obj, member):
    cls_name = type(obj).__name__
    obj_name = object.__getattribute__(obj, "_name")
    fault = find_fault(cls_name, obj_name, member)
    if fault is not None and fault.missing:
        fault.consume()
        record(cls_name, obj_name, member, "get", (), {}, "fault")
        raise AttributeError("'%s' object has no attribute '%s'" % (cls_name, member))
    try:
        value = object.__getattribute__(obj, member)
    except AttributeError:
        if fault is None:
            record(cls_name, obj_name, member, "get", (), {}, "raised")
            raise
        # A fault also answers for a member the object does not have.
        fault.consume()
        record(cls_name, obj_name, member, "get", (), {}, "fault")
        if fault.raises is not None:
            raise fault.exception()
        return fault.returns
    if isinstance(value, types.MethodType):
        def call(*args, **kwargs):
            return invoke(cls_name, obj_name, member, value, args, kwargs, owner=obj)
        call.__name__ = member
        return call
    if fault is not None:
        fault.consume()
        record(cls_name, obj_name, member, "get", (), {}, "fault")
        if fault.raises is not None:
            raise fault.exception()
        return fault.returns
    record(cls_name, obj_name, member, "get", (), {}, "ok")
    return value


class SimObject:
    """Base of every simulated object: public members go through the hooks."""

    def __init__(self, name):
        self._name = name
        self._card_ref = None
        live.add(self)

    # Weak, so that a card and its objects go as soon as their last outside holder lets go,
    # without waiting for the cycle collector.
    @property
    def _card(self):
        ref = self._card_ref
        return None if ref is None else ref()

    @_card.setter
    def _card(self, card):
        self._card_ref = None if card is None else weakref.ref(card)

    def __getattribute__(self, member):
        if member[:1] == "_":
            return object.__getattribute__(self, member)
        return access(self, member)

    def __repr__(self):
        return "<%s %r>" % (type(self).__name__, self._name)

    def _snapshot(self):
        return {"class": type(self).__name__, "name": self._name}

    def _set(self, **fields):
        if fields:
            raise TypeError("%s has no settable field %s" % (type(self).__name__,
                                                             ", ".join(sorted(fields))))


# Fault texts -----------------------------------------------------------------------------


class BadStr:
    """A value whose text cannot be taken."""

    def __str__(self):
        raise ValueError("BadStr has no text")

    def __repr__(self):
        raise ValueError("BadStr has no representation")


UNENCODABLE = "bad\udcff"


class SelfRemoving:
    """A value that takes itself out of its container (`container[key]`, a dict or a list)
    when it is converted with float(), int() as an index, or str(), and gives `result`.
    Each conversion appends to `SelfRemoving.references` how many references to it were
    held at that moment: a caller that converts an item it only borrowed from the
    container holds none of its own, and the object is freed under it."""

    references = []

    def __init__(self, container, key, result):
        self._container = container
        self._key = key
        self._result = result

    def _leave(self):
        try:
            if self._container[self._key] is self:
                del self._container[self._key]
        except (KeyError, IndexError):
            pass
        SelfRemoving.references.append(sys.getrefcount(self))
        return self._result

    def __float__(self):
        return self._leave()

    def __index__(self):
        return self._leave()

    def __str__(self):
        return self._leave()


def text_namespace():
    return {"nan": math.nan, "inf": math.inf, "BadStr": BadStr, "UNENCODABLE": UNENCODABLE,
            "SelfRemoving": SelfRemoving}


def _exception_class(name):
    candidate = getattr(builtins, name, None)
    if not (isinstance(candidate, type) and issubclass(candidate, BaseException)):
        raise ValueError("no builtin exception named %r" % name)
    return candidate


def parse_fault_text(target, text):
    kind, _, rest = text.partition(":")
    if kind == "raise":
        if not rest:
            return Fault(target, raises=RuntimeError)
        name, sep, message = rest.partition(":")
        cls = _exception_class(name)
        return Fault(target, raises=cls(message) if sep else cls)
    if kind == "missing" and not rest:
        return Fault(target, missing=True)
    if kind == "return":
        form, _, value = rest.partition(":")
        simple = {"none": None, "true": True, "false": False}
        if form in simple and not value:
            return Fault(target, returns=simple[form])
        if form == "list" and not value:
            return Fault(target, returns=[])
        if form == "dict" and not value:
            return Fault(target, returns={})
        if form == "unencodable" and not value:
            return Fault(target, returns=UNENCODABLE)
        if form == "badstr" and not value:
            return Fault(target, returns=BadStr())
        if form == "int":
            return Fault(target, returns=int(value))
        if form == "float":
            return Fault(target, returns=float(value))
        if form == "str":
            return Fault(target, returns=value)
        if form == "py":
            return Fault(target, returns=eval(value, text_namespace()))  # test-only input
    raise ValueError("bad fault text %r for %r" % (text, target))


def add_fault(fault):
    faults[fault.target] = fault
    return fault


def apply_env_faults():
    text = os.environ.get("VDLSIM_FAULTS", "")
    for item in text.split(";"):
        if not item.strip():
            continue
        target, sep, text = item.partition("=")
        if not sep:
            raise ValueError("VDLSIM_FAULTS item %r has no '='" % item)
        add_fault(parse_fault_text(target.strip(), text.strip()))


def note_options(options):
    """Keeps a call's options for inspection and installs the faults they name."""
    global last_options
    last_options = dict(options)
    for key, value in options.items():
        if isinstance(key, str) and key.startswith("fault."):
            if not isinstance(value, str):
                raise TypeError("option %r needs a text value" % key)
            add_fault(parse_fault_text(key[len("fault."):], value))


def reset():
    global recording, last_options, use_kits_count, last_card_key
    faults.clear()
    log.clear()
    counts.clear()
    recording = True
    last_options = None
    use_kits_count = 0
    cards.clear()
    last_card_key = None
    controllers.clear()
    del SelfRemoving.references[:]
    apply_env_faults()


apply_env_faults()
