"""The names and result forms the board-management library relies on."""

import math
import unittest

import vdl_bmc
from vdl_bmc import control, transport
from vdl_bmc.model import THRESHOLD_NAMES
from vdl_common import vdlk
from vdl_common.vdlk import kit

from simfixture import SimTestCase, connect, tables


class KitTest(SimTestCase):
    def test_interface_keys_carry_text_values(self):
        self.assertIsInstance(kit.KitInterfaces, dict)
        self.assertEqual(sorted(key.value for key in kit.KitInterfaces), ["pcie", "sim", "usb"])

    def test_use_kits_takes_no_arguments_and_is_counted(self):
        self.assertIsNone(vdlk.use_kits())
        vdlk.use_kits()
        self.assertEqual(control.use_kits_count(), 2)
        self.assertEqual(control.call_count("use_kits"), 2)

    def test_bmc_for_card_answers(self):
        pcie = kit.KitInterface.PCIE
        cases = [
            ("card 0", (0, pcie), {}, "controller"),
            ("last card", (3, pcie), {}, "controller"),
            ("no such card", (4, pcie), {}, None),
            ("layout none", (0, pcie), {"layout": "none"}, None),
            ("layout raise", (0, pcie), {"layout": "raise"}, RuntimeError),
            ("unknown layout", (0, pcie), {"layout": "bogus"}, ValueError),
            ("card not an int", ("0", pcie), {}, TypeError),
            ("bool card", (True, pcie), {}, TypeError),
            ("not a key", (0, "pcie"), {}, ValueError),
        ]
        for label, args, options, expected in cases:
            with self.subTest(label):
                if isinstance(expected, type):
                    with self.assertRaises(expected):
                        kit.bmc_for_card(*args, **options)
                elif expected is None:
                    self.assertIsNone(kit.bmc_for_card(*args, **options))
                else:
                    self.assertIsInstance(kit.bmc_for_card(*args, **options), vdl_bmc.Bmc)

    def test_any_option_key_is_accepted_and_recorded(self):
        # The library passes whatever the options text held, also keys that clash with the
        # positional parameter names and the empty key.
        options = {"card": "x", "key": "y", "": "", "speed": "fast", "port": "port"}
        self.assertIsNotNone(kit.bmc_for_card(1, kit.KitInterface.USB, **options))
        self.assertEqual(control.last_options(), options)
        handler = transport.SimHandler(0)
        self.assertIsNotNone(vdl_bmc.Bmc(handler, handler="h", **{"": ""}))
        self.assertEqual(control.last_options(), {"handler": "h", "": ""})


class ControllerTest(SimTestCase):
    def test_card_needs_discover_first(self):
        controller = kit.bmc_for_card(0, kit.KitInterface.SIM)
        with self.assertRaises(RuntimeError):
            controller.card()
        controller.discover()
        self.assertEqual(type(controller.card()).__name__, "Card")

    def test_handler_close_is_counted(self):
        controller, _ = connect()
        self.assertIsNone(controller.handler.close())
        self.assertEqual(controller.handler._snapshot()["close_count"], 1)
        self.assertEqual(controller.handler._snapshot()["interface"], "pcie")

    def test_low_level_handlers_choose_the_card(self):
        cases = [
            ("module handler", transport.handler, {}, 0),
            ("handler class", transport.SimHandler, {}, 0),
            ("handler of card 2", transport.SimHandler(2), {}, 2),
            ("foreign handler and option", object(), {"card": "3"}, 3),
        ]
        for label, handler, options, number in cases:
            with self.subTest(label):
                controller = vdl_bmc.Bmc(handler, **options)
                self.assertEqual(controller._snapshot()["card"], number)
        for label, options, error in [("bad card option", {"card": "x"}, ValueError),
                                      ("no such card", {"card": "4"}, ValueError),
                                      ("layout raise", {"layout": "raise"}, RuntimeError)]:
            with self.subTest(label), self.assertRaises(error):
                vdl_bmc.Bmc(object(), **options)
        self.assertIsNone(vdl_bmc.Bmc(transport.handler, layout="none"))


class DefaultLayoutTest(SimTestCase):
    """The default card as README.md describes it; the library's tests name these."""

    def test_name_tables(self):
        _, card = connect()
        found = tables(card)
        self.assertEqual(sorted(found["component"]),
                         ["BMC", "CLK0", "CLK1", "CLKGEN", "FAN", "FPGA", "MFG_PROM"])
        self.assertEqual(sorted(found["sensor"]),
                         ["BMC Status", "BMC Temp", "Board Power", "CLKGEN Lock", "FPGA Done",
                          "FPGA Temp", "Fan Speed", "Inlet Temp", "VCCINT"])
        self.assertEqual(sorted(found["effecter"]),
                         ["FPGA Configuration", "Fan Duty", "I2C Channel 0 Override",
                          "I2C Channel 1 Override", "I2C Channel 2 Override",
                          "I2C Channel 3 Override", "I2C PCIe", "Identify LED", "Power Limit"])

    def test_sensor_kinds_and_forms(self):
        _, card = connect()
        sensors = tables(card)["sensor"]
        numeric = {"Board Power": (23.75, "W"), "Inlet Temp": (28.0, "C"),
                   "BMC Temp": (41.5, "C"), "FPGA Temp": (45.0, "C"), "VCCINT": (0.85, "V")}
        textual = {"BMC Status": "OK", "FPGA Done": "Configured", "CLKGEN Lock": "Locked"}
        for name, sensor in sensors.items():
            with self.subTest(name):
                thresholds = sensor.get_thresholds()
                self.assertEqual(list(thresholds), list(THRESHOLD_NAMES))
                self.assertTrue(all(type(v) is float for v in thresholds.values()))
                self.assertEqual(sensor.operational_state(), "enabled")
                self.assertIsInstance(sensor.display_level, str)
                if name in numeric:
                    self.assertEqual(type(sensor).__name__, "NumericSensor")
                    self.assertIs(type(sensor.get_reading()), float)
                    self.assertEqual((sensor.get_reading(), sensor.units), numeric[name])
                elif name in textual:
                    self.assertNotIsInstance(sensor, vdl_bmc.model.NumericSensor)
                    self.assertEqual(sensor.get_value(), textual[name])
                    self.assertFalse(hasattr(sensor, "units"))
                else:
                    # Numeric underneath, but a subclass: the library counts it as textual.
                    self.assertEqual(name, "Fan Speed")
                    self.assertEqual(type(sensor).__name__, "FanSensor")
                    self.assertIsInstance(sensor, vdl_bmc.model.NumericSensor)
                    self.assertEqual(repr(sensor.get_value()), "4200.0")

    def test_effecter_forms(self):
        _, card = connect()
        effecters = tables(card)["effecter"]
        expected = {
            "Identify LED": ("StateEffecter", "Off", ["On", "Off"], "enabled"),
            "Power Limit": ("NumericEffecter", 75.0, [], "enabled"),
            "Fan Duty": ("NumericEffecter", 40.0, [], "enabled"),
            "FPGA Configuration": ("StateEffecter", "Configured Normal",
                                   ["Configured Normal", "Configured Normal in 2 Seconds",
                                    "Configured Backup", "Configured Backup in 2 Seconds",
                                    "Configured Normal Fail to Backup"], "enabled"),
            "I2C PCIe": ("StateEffecter", "Disabled", ["Enabled", "Disabled"], "enabled"),
        }
        for channel in range(4):
            expected["I2C Channel %d Override" % channel] = ("StateEffecter", "Host",
                                                             ["Host", "BMC"], "disabled")
        self.assertEqual(set(effecters), set(expected))
        for name, (cls, value, states, op_state) in expected.items():
            with self.subTest(name):
                effecter = effecters[name]
                self.assertEqual(type(effecter).__name__, cls)
                self.assertEqual(effecter.get_value(), value)
                self.assertEqual(type(effecter.get_value()), type(value))
                sequence = effecter.settable_states
                # The library reads the states by length and integer index.
                self.assertEqual([sequence[i] for i in range(len(sequence))], states)
                self.assertEqual(effecter.operational_state(), op_state)

    def test_board_results(self):
        _, card = connect()
        comps = tables(card)["component"]
        self.assertIs(card.get_power_on(), True)
        self.assertEqual(card.mfg_info(), {"model": "VDL-250", "serial": "VD250A001234",
                                           "part": "VDL-250-PCIE", "rev": 3,
                                           "date": "2024-03-11"})
        self.assertEqual(comps["BMC"].last_error(),
                         {"lastError": "None", "resetCause": "Power On"})
        version = comps["BMC"].version()
        self.assertTrue(version and all(isinstance(k, str) and isinstance(v, str)
                                        for k, v in version.items()))
        self.assertEqual(comps["MFG_PROM"].prom_serial_number(),
                         [0x56, 0x44, 0x4C, 0x25, 0x00, 0x01])
        fpga = comps["FPGA"]
        self.assertIs(fpga.core_override_disabled(), True)
        self.assertIs(type(fpga.core_override_value()), float)
        self.assertEqual(fpga.get_boot_source(), "Normal")
        self.assertEqual(comps["CLK0"].frequency(0), "156.250 MHz")
        self.assertEqual(comps["CLK0"].information(),
                         {"out0": ["156.250 MHz", "enabled"], "out1": ["100.000 MHz", "enabled"]})
        self.assertEqual(len(comps["CLK1"].information()), 3)

    def test_fpga_components_hold_their_configuration_effecter(self):
        # The library finds "FPGA Configuration" in the effecter table, so every layout that
        # has an FPGA must make it reachable from the card except where a layout says not.
        for layout in ("default", "nested"):
            with self.subTest(layout):
                _, card = connect(layout=layout)
                self.assertIn("FPGA", tables(card)["component"])
                self.assertIn("FPGA Configuration", tables(card)["effecter"])


if __name__ == "__main__":
    unittest.main()
