"""Shared set-up for the package tests: a fresh simulation per test."""

import math
import unittest

from vdl_bmc import control
from vdl_common.vdlk import kit


def connect(card=0, interface=kit.KitInterface.PCIE, **options):
    """Connects the way the board-management library does: controller, discover, card."""
    controller = kit.bmc_for_card(card, interface, **options)
    controller.discover()
    return controller, controller.card()


def tables(card):
    return control._tables(card)


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


class SimTestCase(unittest.TestCase):
    def setUp(self):
        control.reset()
        self.addCleanup(control.reset)
