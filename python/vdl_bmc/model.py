"""The simulated card: its components, sensors and effecters.

Each object keeps its state in "_" attributes; its public members are what the board-
management library calls, and they validate their arguments the way the controller's
firmware would, so a wrongly built call fails here instead of passing unnoticed.
"""

import math
import weakref

from vdl_bmc._hooks import SimObject

THRESHOLD_NAMES = (
    "upperThresholdWarning",
    "upperThresholdCritical",
    "upperThresholdFatal",
    "lowerThresholdWarning",
    "lowerThresholdCritical",
    "lowerThresholdFatal",
)

LOAD_TEXTS = {
    "short": {
        "user": "Configured Normal",
        "user_delayed": "Configured Normal in 2 Seconds",
        "backup": "Configured Backup",
        "backup_delayed": "Configured Backup in 2 Seconds",
        "fallback": "Configured Normal Fail to Backup",
    },
    "long": {
        "user": "Configured Normal Image",
        "user_delayed": "Configured Normal in 2 Seconds",
        "backup": "Configured Backup Image",
        "backup_delayed": "Configured Backup in 2 Seconds",
        "fallback": "Configured Normal or Backup if Normal fails",
    },
}

LOAD_ORDER = ("user", "user_delayed", "backup", "backup_delayed", "fallback")

BOOT_SOURCES = ("Normal", "Backup")


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def thresholds_from(values=None):
    result = {name: math.nan for name in THRESHOLD_NAMES}
    for name, value in (values or {}).items():
        if name not in result:
            raise KeyError("unknown threshold %r" % (name,))
        result[name] = math.nan if value is None else float(value)
    return result


def _copy(value):
    if isinstance(value, dict):
        return dict(value)
    if isinstance(value, list):
        return list(value)
    return value


class Node(SimObject):
    """Something that holds components, sensors and effecters: the card or a component."""

    def __init__(self, name, components=None, sensors=None, effecters=None):
        super().__init__(name)
        self.components = dict(components or {})
        self.sensors = dict(sensors or {})
        self.effecters = dict(effecters or {})


class Card(Node):
    def __init__(self, name="card", mfg_info=None, **children):
        super().__init__(name, **children)
        self._power_on = True
        self._mfg_info = dict(mfg_info or {})
        self._last_error = "None"
        self._reset_cause = "Power On"

    def power(self, flag):
        if not isinstance(flag, bool):
            raise TypeError("power() needs True or False, not %s" % type(flag).__name__)
        self._power_on = flag
        if not flag:
            self._reset_cause = "Power Off"

    def get_power_on(self):
        return self._power_on

    def mfg_info(self):
        return _copy(self._mfg_info)

    def _snapshot(self):
        state = super()._snapshot()
        state.update(power_on=self._power_on, mfg_info=_copy(self._mfg_info),
                     last_error=self._last_error, reset_cause=self._reset_cause)
        return state

    def _set(self, power_on=None, mfg_info=None, last_error=None, reset_cause=None, **rest):
        super()._set(**rest)
        if power_on is not None:
            self._power_on = power_on
        if mfg_info is not None:
            self._mfg_info = mfg_info
        if last_error is not None:
            self._last_error = last_error
        if reset_cause is not None:
            self._reset_cause = reset_cause


class Component(Node):
    pass


class FpgaComponent(Component):
    def __init__(self, name, texts="short", **children):
        super().__init__(name, **children)
        self._texts = LOAD_TEXTS[texts]
        self._boot_source = "Normal"
        self._core_value = 0.85
        self._core_disabled = True
        self._reset_count = 0
        self._last_configure = None

    def _config_effecter(self):
        return vars(self).get("effecters", {}).get("FPGA Configuration")

    def _load(self, which, method):
        self._last_configure = method
        effecter = self._config_effecter()
        if effecter is not None:
            effecter._value = self._texts[which]

    @staticmethod
    def _delay(args):
        if len(args) > 1:
            raise TypeError("takes at most one argument (%d given)" % len(args))
        if not args:
            return False
        delay = args[0]
        if not isinstance(delay, int) or isinstance(delay, bool):
            raise TypeError("delay must be an int, not %s" % type(delay).__name__)
        if delay not in (0, 1):
            raise ValueError("delay must be 0 or 1, not %d" % delay)
        return delay == 1

    def configure_user(self, *args):
        delayed = self._delay(args)
        self._load("user_delayed" if delayed else "user",
                   "configure_user(1)" if delayed else "configure_user()")

    def configure_backup(self, *args):
        delayed = self._delay(args)
        self._load("backup_delayed" if delayed else "backup",
                   "configure_backup(1)" if delayed else "configure_backup()")

    def configure_from_boot_source(self):
        self._load("user" if self._boot_source == "Normal" else "backup",
                   "configure_from_boot_source()")

    def configure_user_with_backup(self):
        self._load("fallback", "configure_user_with_backup()")

    def reset(self):
        self._reset_count += 1

    def override_core(self, value, flag):
        if not _is_number(value):
            raise TypeError("core voltage must be a number, not %s" % type(value).__name__)
        if not isinstance(flag, bool):
            raise TypeError("override flag must be True or False, not %s"
                            % type(flag).__name__)
        if not 0.5 <= value <= 1.5:
            raise ValueError("core voltage %r outside 0.5 to 1.5" % (value,))
        self._core_value = float(value)
        self._core_disabled = flag

    def core_override_disabled(self):
        return self._core_disabled

    def core_override_value(self):
        return self._core_value

    def set_boot_source(self, source):
        if not isinstance(source, str):
            raise TypeError("boot source must be text, not %s" % type(source).__name__)
        if source not in BOOT_SOURCES:
            raise ValueError("unknown boot source %r" % source)
        self._boot_source = source

    def get_boot_source(self):
        return self._boot_source

    def _snapshot(self):
        state = super()._snapshot()
        effecter = self._config_effecter()
        state.update(load=None if effecter is None else effecter._value,
                     last_configure=self._last_configure, boot_source=self._boot_source,
                     core_override_value=self._core_value,
                     core_override_disabled=self._core_disabled,
                     reset_count=self._reset_count)
        return state

    def _set(self, load=None, boot_source=None, core_override_value=None,
             core_override_disabled=None, reset_count=None, **rest):
        super()._set(**rest)
        if load is not None:
            self._config_effecter()._value = load
        if boot_source is not None:
            self._boot_source = boot_source
        if core_override_value is not None:
            self._core_value = core_override_value
        if core_override_disabled is not None:
            self._core_disabled = core_override_disabled
        if reset_count is not None:
            self._reset_count = reset_count


class BmcComponent(Component):
    def __init__(self, name, version=None, **children):
        super().__init__(name, **children)
        self._version = dict(version or {})
        self._reboot_count = 0

    def reboot(self):
        self._reboot_count += 1
        if self._card is not None:
            self._card._reset_cause = "Reboot"

    def last_error(self):
        card = self._card
        return {"lastError": card._last_error, "resetCause": card._reset_cause}

    def version(self):
        return _copy(self._version)

    def _snapshot(self):
        state = super()._snapshot()
        state.update(last_error=self._card._last_error, reset_cause=self._card._reset_cause,
                     reboot_count=self._reboot_count, version=_copy(self._version))
        return state

    def _set(self, last_error=None, reset_cause=None, reboot_count=None, version=None,
             **rest):
        super()._set(**rest)
        if last_error is not None:
            self._card._last_error = last_error
        if reset_cause is not None:
            self._card._reset_cause = reset_cause
        if reboot_count is not None:
            self._reboot_count = reboot_count
        if version is not None:
            self._version = version


class PromComponent(Component):
    def __init__(self, name, serial=(), **children):
        super().__init__(name, **children)
        self._serial = list(serial)

    def prom_serial_number(self):
        return _copy(self._serial)

    def _snapshot(self):
        state = super()._snapshot()
        state["serial"] = _copy(self._serial)
        return state

    def _set(self, serial=None, **rest):
        super()._set(**rest)
        if serial is not None:
            self._serial = serial


def _mhz_text(mhz):
    return "%.3f MHz" % mhz


def parse_clock_plan(text):
    outputs = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        fields = line.split()
        if len(fields) not in (2, 3) or fields[0] != "out%d" % len(outputs):
            raise ValueError("clock plan line %d: expected 'out%d <MHz> [enabled|disabled]'"
                             % (number, len(outputs)))
        try:
            mhz = float(fields[1])
        except ValueError:
            raise ValueError("clock plan line %d: bad frequency %r" % (number, fields[1]))
        if not (math.isfinite(mhz) and mhz > 0):
            raise ValueError("clock plan line %d: frequency must be positive" % number)
        state = fields[2] if len(fields) == 3 else "enabled"
        if state not in ("enabled", "disabled"):
            raise ValueError("clock plan line %d: bad state %r" % (number, state))
        outputs.append([mhz, state == "enabled"])
    if not outputs:
        raise ValueError("clock plan has no outputs")
    return outputs


class ClockComponent(Component):
    def __init__(self, name, outputs=(), **children):
        super().__init__(name, **children)
        self._factory = [[float(mhz), True] for mhz in outputs]
        self._stored = [list(o) for o in self._factory]
        self._outputs = [list(o) for o in self._factory]
        self._program_file = None
        self._program_count = 0
        self._reload_count = 0

    def program(self, path):
        if not isinstance(path, str):
            raise TypeError("clock plan path must be text, not %s" % type(path).__name__)
        if not path:
            raise FileNotFoundError("empty clock plan path")
        with open(path, encoding="utf-8") as plan:
            outputs = parse_clock_plan(plan.read())
        self._stored = [list(o) for o in outputs]
        self._outputs = [list(o) for o in outputs]
        self._program_file = path
        self._program_count += 1

    def reload(self):
        self._outputs = [list(o) for o in self._stored]
        self._reload_count += 1

    def frequency(self, output):
        if not isinstance(output, int) or isinstance(output, bool):
            raise TypeError("output must be an int, not %s" % type(output).__name__)
        if not 0 <= output < len(self._outputs):
            raise IndexError("clock %s has no output %d" % (self._name, output))
        return _mhz_text(self._outputs[output][0])

    def information(self):
        return {"out%d" % i: [_mhz_text(mhz), "enabled" if on else "disabled"]
                for i, (mhz, on) in enumerate(self._outputs)}

    def _snapshot(self):
        state = super()._snapshot()
        state.update(outputs=[list(o) for o in self._outputs], program_file=self._program_file,
                     program_count=self._program_count, reload_count=self._reload_count)
        return state

    def _set(self, outputs=None, program_file=None, program_count=None, reload_count=None,
             **rest):
        super()._set(**rest)
        if outputs is not None:
            self._outputs = [list(o) for o in outputs]
        if program_file is not None:
            self._program_file = program_file
        if program_count is not None:
            self._program_count = program_count
        if reload_count is not None:
            self._reload_count = reload_count


class Sensor(SimObject):
    """Common part of numeric and textual sensors."""

    def __init__(self, name, value, thresholds=None):
        super().__init__(name)
        self._value = value
        self._enabled = True
        self._thresholds = thresholds_from(thresholds)
        self._display_override = None

    def get_value(self):
        return self._value

    def get_thresholds(self):
        return dict(self._thresholds)

    def _accepts_thresholds(self):
        return True

    def set_thresholds(self, thresholds):
        if not isinstance(thresholds, dict):
            raise TypeError("thresholds must be a dict, not %s" % type(thresholds).__name__)
        if set(thresholds) != set(THRESHOLD_NAMES):
            raise KeyError("thresholds need exactly the keys %s" % ", ".join(THRESHOLD_NAMES))
        new = {}
        for name in THRESHOLD_NAMES:
            value = thresholds[name]
            if value is None:
                new[name] = math.nan
            elif _is_number(value):
                new[name] = float(value)
            else:
                raise TypeError("threshold %s must be a number or None, not %s"
                                % (name, type(value).__name__))
        if not self._accepts_thresholds() and \
                any(not math.isnan(v) for v in new.values()):
            raise ValueError("sensor %r has no thresholds" % (self._name,))
        self._thresholds = new

    def enable(self):
        self._enabled = True

    def disable(self):
        self._enabled = False

    def operational_state(self):
        return "enabled" if self._enabled else "disabled"

    def _level(self):
        return "normal"

    @property
    def display_level(self):
        if self._display_override is not None:
            return self._display_override
        if not self._enabled:
            return "disabled"
        return self._level()

    def _snapshot(self):
        state = super()._snapshot()
        state.update(value=self._value, enabled=self._enabled,
                     thresholds=dict(self._thresholds),
                     display_level=object.__getattribute__(self, "display_level"))
        return state

    def _set(self, value=None, enabled=None, thresholds=None, display_level=None, **rest):
        super()._set(**rest)
        if value is not None:
            self._value = value
        if enabled is not None:
            self._enabled = enabled
        if thresholds is not None:
            for name, limit in thresholds.items():
                if name not in self._thresholds:
                    raise KeyError("unknown threshold %r" % (name,))
                self._thresholds[name] = math.nan if limit is None else float(limit)
        if display_level is not None:
            self._display_override = display_level


_NO_UNITS = object()


class NumericSensor(Sensor):
    def __init__(self, name, reading, units=None, thresholds=None, follows=None):
        super().__init__(name, float(reading), thresholds)
        if units is not None:
            self.units = units
        # A sensor that measures what a component drives (the core voltage) reads that value
        # while the component overrides it.
        self._follows = None if follows is None else weakref.ref(follows)

    def _reading(self):
        source = None if self._follows is None else self._follows()
        if source is not None and not source._core_disabled:
            return source._core_value
        return self._value

    def get_reading(self):
        return self._reading()

    def get_value(self):
        return self._reading()

    def _level(self):
        reading = self._reading()
        for level in ("Fatal", "Critical", "Warning"):
            upper = self._thresholds["upperThreshold" + level]
            lower = self._thresholds["lowerThreshold" + level]
            if (not math.isnan(upper) and reading >= upper) or \
                    (not math.isnan(lower) and reading <= lower):
                return level.lower()
        return "normal"

    def _snapshot(self):
        state = super()._snapshot()
        state.update(reading=self._reading(), value=self._reading(), nominal=self._value,
                     units=vars(self).get("units"))
        return state

    def _set(self, reading=None, units=_NO_UNITS, **rest):
        if reading is not None:
            rest.setdefault("value", float(reading))
        super()._set(**rest)
        if units is None:
            vars(self).pop("units", None)
        elif units is not _NO_UNITS:
            self.units = units


class StateSensor(Sensor):
    def _accepts_thresholds(self):
        return False


class FanSensor(NumericSensor):
    """A numeric sensor of a more specific class; the library counts it as textual."""


class Effecter(SimObject):
    def __init__(self, name, value, states=(), enabled=True):
        super().__init__(name)
        self._value = value
        self._states = list(states)
        self._enabled = enabled

    def get_value(self):
        return self._value

    def _check(self, value):
        raise NotImplementedError

    def set_value(self, value):
        if not self._enabled:
            raise RuntimeError("effecter %r is disabled" % (self._name,))
        self._value = self._check(value)

    @property
    def settable_states(self):
        return list(self._states)

    def enable(self):
        self._enabled = True

    def disable(self):
        self._enabled = False

    def operational_state(self):
        return "enabled" if self._enabled else "disabled"

    def _snapshot(self):
        state = super()._snapshot()
        state.update(value=self._value, enabled=self._enabled,
                     settable_states=list(self._states))
        return state

    def _set(self, value=None, enabled=None, settable_states=None, **rest):
        super()._set(**rest)
        if value is not None:
            self._value = value
        if enabled is not None:
            self._enabled = enabled
        if settable_states is not None:
            self._states = settable_states


class StateEffecter(Effecter):
    def _check(self, value):
        if not isinstance(value, str):
            raise TypeError("effecter %r needs text, not %s"
                            % (self._name, type(value).__name__))
        if self._states and value not in self._states:
            raise ValueError("effecter %r cannot be set to %r" % (self._name, value))
        return value


class NumericEffecter(Effecter):
    def __init__(self, name, value, minimum, maximum, enabled=True):
        super().__init__(name, float(value), (), enabled)
        self._minimum = minimum
        self._maximum = maximum

    def _check(self, value):
        if not _is_number(value):
            raise TypeError("effecter %r needs a number, not %s"
                            % (self._name, type(value).__name__))
        if not self._minimum <= value <= self._maximum:
            raise ValueError("effecter %r: %r outside %r to %r"
                             % (self._name, value, self._minimum, self._maximum))
        return float(value)

    def _snapshot(self):
        state = super()._snapshot()
        state.update(minimum=self._minimum, maximum=self._maximum)
        return state

    def _set(self, minimum=None, maximum=None, **rest):
        super()._set(**rest)
        if minimum is not None:
            self._minimum = minimum
        if maximum is not None:
            self._maximum = maximum
