"""Management controller of one card.

`Bmc(handler, **options)` builds the controller over a handler (see `vdl_bmc.transport`);
`vdl_common.vdlk.kit.bmc_for_card` builds one for a card reached through a kit interface.
The card behind it is simulated (`vdl_bmc.model`, `vdl_bmc.layouts`); `vdl_bmc.control`
steers and inspects the simulation.
"""

from vdl_bmc import _hooks, layouts
from vdl_bmc._hooks import SimObject
from vdl_bmc.transport import SimHandler

CARD_COUNT = 4


def _option(options, key, default):
    value = options.get(key, default)
    if not isinstance(value, str):
        raise TypeError("option %r needs a text value, not %s" % (key, type(value).__name__))
    return value


def _card_for(number, options):
    """The card state for this connect, shared with earlier connects to the same card."""
    layout = _option(options, "layout", "default")
    texts = _option(options, "fpga_texts", "short")
    key = (number, layout, texts)
    card = _hooks.cards.get(key)
    if card is None:
        card = layouts.build(layout, texts)
        _hooks.cards[key] = card
    _hooks.last_card_key = key
    return card


def _card_number(handler, options):
    if isinstance(handler, SimHandler):
        number = handler._number
    else:
        number = getattr(handler, "card", None)
    if not isinstance(number, int) or isinstance(number, bool):
        text = _option(options, "card", "0")
        try:
            number = int(text, 10)
        except ValueError:
            raise ValueError("option 'card' must be a decimal number, not %r" % text)
    if not 0 <= number < CARD_COUNT:
        raise ValueError("no card %d (cards 0 to %d)" % (number, CARD_COUNT - 1))
    return number


class Bmc(SimObject):
    """The controller. Construction goes through the hooks so that tests can make it fail."""

    def __new__(cls, handler, /, **options):
        _hooks.note_options(options)
        return _hooks.module_call("Bmc", cls._make, (handler,), options)

    def __init__(self, *args, **options):
        pass  # built by _make

    @classmethod
    def _make(cls, handler, /, **options):
        layout = _option(options, "layout", "default")
        if layout == layouts.NO_CONTROLLER:
            return None
        if layout == layouts.FAILING_CONTROLLER:
            raise RuntimeError("controller does not answer")
        if isinstance(handler, type):
            handler = handler()
        return cls._build(handler, _card_number(handler, options), options)

    @classmethod
    def _build(cls, handler, number, options):
        card = _card_for(number, options)
        self = object.__new__(cls)
        SimObject.__init__(self, "Bmc")
        self._number = number
        self._options = dict(options)
        self._card_obj = card
        self._discovered = False
        self._discover_count = 0
        self.handler = handler
        _hooks.note_controller(self)
        return self

    def discover(self):
        self._discovered = True
        self._discover_count += 1

    def card(self):
        if not self._discovered:
            raise RuntimeError("card() before discover()")
        return self._card_obj

    def _snapshot(self):
        state = super()._snapshot()
        state.update(card=self._number, options=dict(self._options),
                     discovered=self._discovered, discover_count=self._discover_count)
        return state
