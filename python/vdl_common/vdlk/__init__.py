"""Kit activation."""

from vdl_bmc import _hooks


def _activate():
    _hooks.use_kits_count += 1


def use_kits():
    """Activates the package's kits; calling it again is harmless."""
    return _hooks.module_call("use_kits", _activate, (), {})
