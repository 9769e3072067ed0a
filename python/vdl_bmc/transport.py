"""Handlers: the link between a controller and its card.

The simulation has no wire; a handler names the card it reaches and counts its closes.
"""

from vdl_bmc._hooks import SimObject


class SimHandler(SimObject):
    def __init__(self, card=0, interface=None):
        super().__init__("handler")
        self._number = card
        self._interface = interface
        self._close_count = 0
        self.card = card
        self.interface = interface

    def close(self):
        self._close_count += 1

    @property
    def closed(self):
        return self._close_count > 0

    def _snapshot(self):
        state = super()._snapshot()
        state.update(card=self._number, interface=self._interface,
                     close_count=self._close_count)
        return state


# Ready for vdlbmc_connect_low_level("vdl_bmc.transport", "handler", ...).
handler = SimHandler(0)
