"""Kit interfaces and the controller factory."""

import enum
import os

from vdl_bmc import Bmc, CARD_COUNT, _hooks, layouts
from vdl_bmc.transport import SimHandler

INTERFACE_NAMES = ("pcie", "usb", "sim")


class KitInterface(enum.Enum):
    PCIE = "pcie"
    USB = "usb"
    SIM = "sim"


class _Key:
    """A key object outside the enum, for interface tables an enum cannot express."""

    def __init__(self, value, tag=None):
        if value is not _NO_VALUE:
            self.value = value
        self.tag = tag

    def __repr__(self):
        return "<kit key %r %s>" % (vars(self).get("value"), self.tag)


_NO_VALUE = object()

_DESCRIPTIONS = {
    KitInterface.PCIE: "controller reached over the card's PCIe mailbox",
    KitInterface.USB: "controller reached over the card's USB port",
    KitInterface.SIM: "controller reached directly",
}


def _interfaces(kind):
    table = dict(_DESCRIPTIONS)
    if kind == "default":
        return table
    if kind == "empty":
        return {}
    if kind == "list":
        return list(table)
    if kind == "duplicate":
        return {_Key("pcie", "first"): "first", _Key("pcie", "second"): "second"}
    if kind == "novalue":
        return {_Key(_NO_VALUE, "novalue"): "no value", KitInterface.PCIE: "pcie"}
    if kind == "badvalue":
        return {_Key(5, "int"): "int value", _Key("bad\udcff", "unencodable"): "bad text",
                KitInterface.PCIE: "pcie"}
    raise ValueError("unknown interface table kind %r" % (kind,))


def _install(kind):
    """Replaces KitInterfaces; "missing" removes it."""
    if kind == "missing":
        globals().pop("KitInterfaces", None)
    else:
        globals()["KitInterfaces"] = _interfaces(kind)


def _env_kind():
    return os.environ.get("VDLSIM_KIT") or "default"


def _make(card, key, /, **options):
    if not isinstance(card, int) or isinstance(card, bool):
        raise TypeError("card must be an int, not %s" % type(card).__name__)
    value = key.value if isinstance(key, (KitInterface, _Key)) else None
    if value not in INTERFACE_NAMES:
        raise ValueError("not a kit interface: %r" % (key,))
    layout = options.get("layout", "default")
    if layout == layouts.NO_CONTROLLER:
        return None
    if layout == layouts.FAILING_CONTROLLER:
        raise RuntimeError("controller on card %d does not answer" % card)
    if not 0 <= card < CARD_COUNT:
        return None
    return Bmc._build(SimHandler(card, value), card, options)


def bmc_for_card(card, key, /, **options):
    """The controller of card number `card` through interface `key`, or None."""
    _hooks.note_options(options)
    return _hooks.module_call("bmc_for_card", _make, (card, key), options)


_install(_env_kind())
