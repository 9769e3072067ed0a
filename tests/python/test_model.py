"""What the simulated card does with what it is told: state that reads back."""

import math
import os
import sys
import tempfile
import unittest

from vdl_bmc import control
from vdl_bmc.model import THRESHOLD_NAMES

from simfixture import SimTestCase, connect, same_float, tables

NAN = math.nan


class FpgaLoadTest(SimTestCase):
    def test_load_calls_set_the_configuration_text(self):
        cases = [
            ("configure_user", (), "Configured Normal", "Configured Normal Image"),
            ("configure_user", (0,), "Configured Normal", "Configured Normal Image"),
            ("configure_user", (1,), "Configured Normal in 2 Seconds",
             "Configured Normal in 2 Seconds"),
            ("configure_backup", (), "Configured Backup", "Configured Backup Image"),
            ("configure_backup", (1,), "Configured Backup in 2 Seconds",
             "Configured Backup in 2 Seconds"),
            ("configure_user_with_backup", (), "Configured Normal Fail to Backup",
             "Configured Normal or Backup if Normal fails"),
        ]
        for texts, column in (("short", 2), ("long", 3)):
            _, card = connect(fpga_texts=texts)
            fpga = tables(card)["component"]["FPGA"]
            effecter = tables(card)["effecter"]["FPGA Configuration"]
            for case in cases:
                with self.subTest(texts=texts, call=case[:2]):
                    effecter._value = "unset"
                    getattr(fpga, case[0])(*case[1])
                    self.assertEqual(effecter.get_value(), case[column])

    def test_load_from_boot_source_follows_it(self):
        _, card = connect()
        fpga = tables(card)["component"]["FPGA"]
        effecter = tables(card)["effecter"]["FPGA Configuration"]
        fpga.set_boot_source("Backup")
        fpga.configure_from_boot_source()
        self.assertEqual(effecter.get_value(), "Configured Backup")
        fpga.set_boot_source("Normal")
        fpga.configure_from_boot_source()
        self.assertEqual(effecter.get_value(), "Configured Normal")

    def test_bad_load_arguments_change_nothing(self):
        _, card = connect()
        fpga = tables(card)["component"]["FPGA"]
        for args, error in [((2,), ValueError), ((True,), TypeError), (("1",), TypeError),
                            ((1.0,), TypeError), ((1, 1), TypeError)]:
            with self.subTest(args=args):
                with self.assertRaises(error):
                    fpga.configure_backup(*args)
                self.assertEqual(control.state("FPGA")["load"], "Configured Normal")

    def test_core_override_reads_back_and_drives_vccint(self):
        _, card = connect()
        fpga = tables(card)["component"]["FPGA"]
        vccint = tables(card)["sensor"]["VCCINT"]
        fpga.override_core(0.9, False)
        self.assertEqual((fpga.core_override_value(), fpga.core_override_disabled()),
                         (0.9, False))
        self.assertEqual(vccint.get_reading(), 0.9)
        fpga.override_core(0.8, True)
        self.assertEqual(vccint.get_reading(), 0.85)
        for args, error in [((0.4, False), ValueError), ((1.6, False), ValueError),
                            (("0.9", False), TypeError), ((0.9, 1), TypeError)]:
            with self.subTest(args=args), self.assertRaises(error):
                fpga.override_core(*args)
        self.assertEqual(fpga.core_override_value(), 0.8)

    def test_boot_source_and_reset(self):
        _, card = connect()
        fpga = tables(card)["component"]["FPGA"]
        for value, error in [("Flash", ValueError), (None, TypeError), ("", ValueError)]:
            with self.subTest(value=value), self.assertRaises(error):
                fpga.set_boot_source(value)
        fpga.set_boot_source("Backup")
        self.assertEqual(fpga.get_boot_source(), "Backup")
        fpga.reset()
        fpga.reset()
        self.assertEqual(control.state("FPGA")["reset_count"], 2)


class SensorTest(SimTestCase):
    def test_thresholds_round_trip_with_none_as_no_threshold(self):
        _, card = connect()
        sensor = tables(card)["sensor"]["FPGA Temp"]
        new = dict(zip(THRESHOLD_NAMES, (70.0, None, 90, None, None, -10.5)))
        sensor.set_thresholds(new)
        got = sensor.get_thresholds()
        for name, value in zip(THRESHOLD_NAMES, (70.0, NAN, 90.0, NAN, NAN, -10.5)):
            self.assertTrue(same_float(got[name], value), name)
            self.assertIs(type(got[name]), float)

    def test_bad_thresholds_are_rejected_and_change_nothing(self):
        _, card = connect()
        sensor = tables(card)["sensor"]["FPGA Temp"]
        before = sensor.get_thresholds()
        full = dict.fromkeys(THRESHOLD_NAMES)
        cases = [
            ("not a dict", [None] * 6, TypeError),
            ("five keys", {k: None for k in THRESHOLD_NAMES[:5]}, KeyError),
            ("extra key", dict(full, other=None), KeyError),
            ("text value", dict(full, upperThresholdWarning="80"), TypeError),
            ("bool value", dict(full, upperThresholdWarning=True), TypeError),
        ]
        for label, value, error in cases:
            with self.subTest(label), self.assertRaises(error):
                sensor.set_thresholds(value)
        self.assertEqual(repr(sensor.get_thresholds()), repr(before))

    def test_textual_sensor_has_no_thresholds(self):
        _, card = connect()
        sensor = tables(card)["sensor"]["BMC Status"]
        sensor.set_thresholds(dict.fromkeys(THRESHOLD_NAMES))
        with self.assertRaises(ValueError):
            sensor.set_thresholds(dict(dict.fromkeys(THRESHOLD_NAMES),
                                       upperThresholdWarning=1.0))
        self.assertTrue(all(math.isnan(v) for v in sensor.get_thresholds().values()))

    def test_display_level_follows_reading_thresholds_and_enable(self):
        _, card = connect()
        temp = tables(card)["sensor"]["FPGA Temp"]  # upper 85 95 105
        fan = tables(card)["sensor"]["Fan Speed"]  # lower 1000 800 500
        cases = [(temp, 45.0, "normal"), (temp, 85.0, "warning"), (temp, 99.0, "critical"),
                 (temp, 105.0, "fatal"), (fan, 900.0, "warning"), (fan, 800.0, "critical"),
                 (fan, 100.0, "fatal"), (fan, 1000.1, "normal")]
        for sensor, reading, level in cases:
            with self.subTest(sensor=sensor._name, reading=reading):
                control.set_state(sensor._name, reading=reading)
                self.assertEqual(sensor.display_level, level)
        temp.disable()
        self.assertEqual((temp.display_level, temp.operational_state()),
                         ("disabled", "disabled"))
        temp.enable()
        self.assertEqual(temp.operational_state(), "enabled")


class EffecterTest(SimTestCase):
    def test_set_value_rules(self):
        _, card = connect(layout="default")
        effecters = tables(card)["effecter"]
        cases = [
            ("Identify LED", "On", None),
            ("Identify LED", "on", ValueError),
            ("Identify LED", None, TypeError),
            ("Identify LED", 1.0, TypeError),
            ("I2C PCIe", "Enabled", None),
            ("FPGA Configuration", "Configured Backup", None),
            ("FPGA Configuration", "Configured Normal Image", ValueError),
            ("Fan Duty", 55.5, None),
            ("Fan Duty", 100, None),
            ("Fan Duty", 100.5, ValueError),
            ("Fan Duty", "50", TypeError),
            ("Fan Duty", True, TypeError),
            ("Power Limit", 10.0, None),
        ]
        for name, value, error in cases:
            with self.subTest(name=name, value=value):
                effecter = effecters[name]
                before = effecter.get_value()
                if error is None:
                    effecter.set_value(value)
                    self.assertEqual(effecter.get_value(), value)
                else:
                    with self.assertRaises(error):
                        effecter.set_value(value)
                    self.assertEqual(effecter.get_value(), before)
        self.assertIs(type(effecters["Fan Duty"].get_value()), float)

    def test_label_without_states_takes_any_text(self):
        _, card = connect(layout="example")
        label = tables(card)["effecter"]["Label"]
        label.set_value("anything at all")
        self.assertEqual(label.get_value(), "anything at all")

    def test_i2c_override_needs_enable_first(self):
        _, card = connect()
        override = tables(card)["effecter"]["I2C Channel 2 Override"]
        with self.assertRaises(RuntimeError):
            override.set_value("BMC")
        override.enable()
        override.set_value("BMC")
        self.assertEqual((override.operational_state(), override.get_value()),
                         ("enabled", "BMC"))
        override.disable()
        self.assertEqual((override.operational_state(), override.get_value()),
                         ("disabled", "BMC"))
        # The other channels are separate objects.
        self.assertEqual(tables(card)["effecter"]["I2C Channel 1 Override"].get_value(),
                         "Host")


class BoardTest(SimTestCase):
    def test_power_and_reset_cause(self):
        _, card = connect()
        bmc = tables(card)["component"]["BMC"]
        with self.assertRaises(TypeError):
            card.power(1)
        card.power(False)
        self.assertIs(card.get_power_on(), False)
        card.power(True)
        self.assertIs(card.get_power_on(), True)
        bmc.reboot()
        self.assertEqual(bmc.last_error()["resetCause"], "Reboot")
        self.assertEqual(control.state("BMC")["reboot_count"], 1)

    def test_rejected_argument_becomes_last_error_but_injected_fault_does_not(self):
        _, card = connect()
        comps = tables(card)["component"]
        with self.assertRaises(ValueError):
            comps["FPGA"].set_boot_source("Flash")
        self.assertEqual(comps["BMC"].last_error()["lastError"],
                         "FPGA.set_boot_source: unknown boot source 'Flash'")
        control.set_state("BMC", last_error="None")
        control.fault("FPGA.reset", raises=OSError)
        with self.assertRaises(OSError):
            comps["FPGA"].reset()
        self.assertEqual(comps["BMC"].last_error()["lastError"], "None")

    def test_results_are_copies(self):
        _, card = connect()
        comps = tables(card)["component"]
        card.mfg_info()["model"] = "changed"
        comps["MFG_PROM"].prom_serial_number().append(9)
        comps["BMC"].version().clear()
        tables(card)["effecter"]["Identify LED"].settable_states.append("Blink")
        self.assertEqual(card.mfg_info()["model"], "VDL-250")
        self.assertEqual(len(comps["MFG_PROM"].prom_serial_number()), 6)
        self.assertTrue(comps["BMC"].version())
        self.assertEqual(tables(card)["effecter"]["Identify LED"].settable_states,
                         ["On", "Off"])


class ClockTest(SimTestCase):
    def plan(self, text):
        handle, path = tempfile.mkstemp(suffix=".plan")
        with os.fdopen(handle, "w") as plan:
            plan.write(text)
        self.addCleanup(os.unlink, path)
        return path

    def test_program_reload_frequency(self):
        _, card = connect()
        clock = tables(card)["component"]["CLK0"]
        path = self.plan("# plan\nout0 25\nout1 312.5 disabled  # spare\n\nout2 100.0 enabled\n")
        clock.program(path)
        self.assertEqual(clock.information(), {"out0": ["25.000 MHz", "enabled"],
                                               "out1": ["312.500 MHz", "disabled"],
                                               "out2": ["100.000 MHz", "enabled"]})
        self.assertEqual(clock.frequency(1), "312.500 MHz")
        control.set_state("CLK0", outputs=[[1.0, True]])
        clock.reload()
        self.assertEqual(clock.frequency(2), "100.000 MHz")
        self.assertEqual(control.state("CLK0")["program_file"], path)
        self.assertEqual(control.state("CLK0")["reload_count"], 1)

    def test_reload_without_program_restores_factory_outputs(self):
        _, card = connect()
        clock = tables(card)["component"]["CLK1"]
        control.set_state("CLK1", outputs=[])
        self.assertEqual(clock.information(), {})
        clock.reload()
        self.assertEqual(clock.frequency(0), "322.266 MHz")

    def test_bad_plans_and_outputs(self):
        _, card = connect()
        clock = tables(card)["component"]["CLK0"]
        cases = [("missing file", os.path.join(tempfile.gettempdir(), "no-such-plan-xyz"),
                  FileNotFoundError),
                 ("empty path", "", FileNotFoundError),
                 ("not text", None, TypeError),
                 ("gap in outputs", self.plan("out0 10\nout2 10\n"), ValueError),
                 ("bad frequency", self.plan("out0 fast\n"), ValueError),
                 ("bad state", self.plan("out0 10 on\n"), ValueError),
                 ("no outputs", self.plan("# nothing\n"), ValueError)]
        for label, path, error in cases:
            with self.subTest(label), self.assertRaises(error):
                clock.program(path)
        self.assertEqual(clock.frequency(0), "156.250 MHz")
        for output, error in [(2, IndexError), (-1, IndexError), ("0", TypeError)]:
            with self.subTest(output=output), self.assertRaises(error):
                clock.frequency(output)


class LayoutTest(SimTestCase):
    def test_tables_per_layout(self):
        cases = {
            "minimal": ([], [], []),
            "example": ([], ["Current", "Fan", "Temp"], ["Label", "Switch"]),
            "nested": (["A", "B", "CLK", "FPGA"], ["Temp"], ["FPGA Configuration", "Switch"]),
            "cycle": (["LOOP_A", "LOOP_B"], ["A Temp", "B Temp"], ["A Switch"]),
            "no_effecters": (["DEEP", "FPGA", "NOSENS"], ["Inlet Temp"], []),
            "odd_names": ([], ["Good"], []),
            "nul_names": (["CLK"], ["Current", "PLL Temp", "Temp"], ["Mode"]),
            "vanishing": ([], ["Vanishing Temp"], []),
            "chain:3": (["LINK1", "LINK2", "LINK3"], ["Bottom Temp"], ["Bottom Switch"]),
            "repeated_names": (["A", "Z"], ["Deep Temp", "Mid Temp", "Top Temp", "Z Temp"], []),
            "web:3": (["NODE1", "NODE2", "NODE3"], ["Node1 Temp", "Node2 Temp", "Node3 Temp"],
                      []),
            "shared:3": (["PARENT1", "PARENT2", "PARENT3", "SHARED"], ["Shared Temp"], []),
        }
        for layout, (components, sensors, effecters) in cases.items():
            with self.subTest(layout):
                _, card = connect(layout=layout)
                found = tables(card)
                self.assertEqual(sorted(found["component"]), components)
                self.assertEqual(sorted(found["sensor"]), sensors)
                self.assertEqual(sorted(found["effecter"]), effecters)

    def test_walks_past_the_bounds_raise(self):
        for layout, error in (("wrappers", RecursionError), ("wrappers:9", RecursionError),
                              ("chain:1001", RecursionError), ("web:8", RuntimeError)):
            with self.subTest(layout), self.assertRaises(error):
                tables(connect(layout=layout)[1])

    def test_repeated_names_keep_the_deepest(self):
        _, card = connect(layout="repeated_names")
        self.assertEqual(tables(card)["component"]["A"].frequency(0), "30.000 MHz")

    def test_a_shared_component_is_walked_through_each_parent(self):
        _, card = connect(layout="shared:1001")
        found = tables(card)
        self.assertEqual(len(found["component"]), 1002)
        self.assertEqual(list(found["sensor"]), ["Shared Temp"])
        parents = list(card.components.values())
        self.assertTrue(all(p.components["SHARED"] is parents[0].components["SHARED"]
                            for p in parents))

    def test_web_shares_one_dictionary(self):
        _, card = connect(layout="web:4")
        for node in card.components.values():
            self.assertIs(node.components, card.components)

    def test_limit_raised(self):
        limit = sys.getrecursionlimit()
        try:
            _, card = connect(layout="limit_raised:2")
            self.assertEqual(sys.getrecursionlimit(), 10 ** 6)
            self.assertEqual(sorted(tables(card)["component"]), ["LINK1", "LINK2"])
        finally:
            sys.setrecursionlimit(limit)

    def test_growing_adds_a_part_on_every_read(self):
        _, card = connect(layout="growing")
        early = card.components["EARLY"]
        self.assertEqual(early.components, {})
        self.assertEqual(early.components, {})
        self.assertEqual(sorted(card.components), ["EARLY", "LATE1", "LATE2"])

    def test_nested_last_visited_wins(self):
        _, card = connect(layout="nested")
        found = tables(card)
        self.assertEqual(found["sensor"]["Temp"].get_reading(), 50.0)
        self.assertEqual(found["component"]["CLK"].frequency(0), "20.000 MHz")
        self.assertEqual(found["effecter"]["Switch"].get_value(), "B")

    def test_cycle_refers_back_to_the_same_objects(self):
        _, card = connect(layout="cycle")
        loop_a = card.components["LOOP_A"]
        loop_b = loop_a.components["LOOP_B"]
        self.assertIs(loop_b.components["LOOP_A"], loop_a)
        self.assertIs(loop_b.components["LOOP_B"], loop_b)

    def test_absent_attributes(self):
        _, card = connect(layout="no_effecters")
        self.assertFalse(hasattr(card, "effecters"))
        self.assertFalse(hasattr(card.components["NOSENS"], "sensors"))
        self.assertIn("FPGA Configuration", card.components["FPGA"].effecters)

    def test_odd_names(self):
        _, card = connect(layout="odd_names")
        self.assertEqual(set(card.sensors), {42, "\udcff", "Good"})
        with self.assertRaises(UnicodeEncodeError):
            "\udcff".encode("utf-8")
        self.assertEqual(list(card.components), [7])


    def test_wrappers_are_new_objects_on_every_read(self):
        _, card = connect(layout="wrappers")
        parent = card.components["PARENT"]
        child = parent.components["CHILD"]
        self.assertIsNot(child, parent.components["CHILD"])
        self.assertEqual(list(child.components), ["PARENT"])
        self.assertIsNot(child.components["PARENT"], parent)
        self.assertIs(child.sensors, parent.components["CHILD"].sensors)
        _, card = connect(layout="wrappers:3")
        parent = card.components["PARENT"]
        self.assertEqual(list(parent.components), ["CHILD1", "CHILD2", "CHILD3"])
        self.assertEqual(list(parent.components["CHILD2"].components), ["PARENT"])

    def test_chain_depths(self):
        for depth in (1, 2, 1000):
            with self.subTest(depth):
                _, card = connect(layout="chain:%d" % depth)
                node, names = card, []
                while node.components:
                    (name, node), = node.components.items()
                    names.append(name)
                self.assertEqual(names, ["LINK%d" % level for level in range(1, depth + 1)])
                self.assertEqual(list(node.sensors), ["Bottom Temp"])
        for bad in ("chain", "chain:", "chain:x", "chain:-1", "chain:\u0663", "default:1"):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                connect(layout=bad)

    def test_nul_names(self):
        _, card = connect(layout="nul_names")
        self.assertIn("Fan\0Rear", card.sensors)
        self.assertIn("Mode\0Old", card.effecters)
        self.assertIn("PLL Temp", card.components["PLL\0B"].sensors)
        self.assertEqual(control.lookup("PLL Temp", layout="nul_names").get_reading(), 5.0)

    def test_vanishing_threshold_leaves_its_dictionary(self):
        _, card = connect(layout="vanishing")
        sensor = card.sensors["Vanishing Temp"]
        thresholds = sensor.get_thresholds()
        value = thresholds["upperThresholdWarning"]
        self.assertNotIsInstance(value, float)
        with self.assertRaises(TypeError):
            float(value)
        self.assertNotIn("upperThresholdWarning", thresholds)
        self.assertEqual(thresholds["upperThresholdCritical"], 90.0)
        self.assertIn("upperThresholdWarning", sensor.get_thresholds())


class PersistenceTest(SimTestCase):
    def test_state_is_kept_per_card_and_layout_until_reset(self):
        _, card = connect(card=1)
        card.power(False)
        _, again = connect(card=1)
        self.assertIs(again.get_power_on(), False)
        for label, kwargs in [("other card", {"card": 2}),
                              ("other layout", {"card": 1, "layout": "example"}),
                              ("other texts", {"card": 1, "fpga_texts": "long"})]:
            with self.subTest(label):
                _, other = connect(**kwargs)
                self.assertIs(other.get_power_on(), True)
        control.reset()
        _, fresh = connect(card=1)
        self.assertIs(fresh.get_power_on(), True)


if __name__ == "__main__":
    unittest.main()
