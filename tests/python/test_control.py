"""The test-control API: faults, call log, state access, interface tables, reset."""

import math
import os
import subprocess
import sys
import unittest
import weakref

import vdl_bmc
from vdl_bmc import control, transport
from vdl_common import vdlk
from vdl_common.vdlk import kit

from simfixture import SimTestCase, connect, tables

PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(vdl_bmc.__file__)))


class FaultTest(SimTestCase):
    def test_method_faults(self):
        sentinel = object()
        cases = [
            ("raise by object name", "FPGA Temp.get_reading", dict(raises=KeyError), KeyError),
            ("raise by class", "NumericSensor.get_reading", dict(raises=ValueError),
             ValueError),
            ("raise by wildcard", "*.get_reading", dict(raises=UnicodeError), UnicodeError),
            ("raise an instance", "FPGA Temp.get_reading",
             dict(raises=MemoryError("boom")), MemoryError),
            ("wrong type", "FPGA Temp.get_reading", dict(returns="45"), "45"),
            ("none", "FPGA Temp.get_reading", dict(returns=None), None),
            ("any object", "FPGA Temp.get_reading", dict(returns=sentinel), sentinel),
            ("missing", "FPGA Temp.get_reading", dict(missing=True), AttributeError),
        ]
        for label, target, kwargs, expected in cases:
            with self.subTest(label):
                control.reset()
                _, card = connect()
                sensor = tables(card)["sensor"]["FPGA Temp"]
                control.fault(target, **kwargs)
                if isinstance(expected, type) and issubclass(expected, BaseException):
                    with self.assertRaises(expected):
                        sensor.get_reading()
                else:
                    self.assertIs(sensor.get_reading(), expected)
                self.assertEqual(control.call_count("FPGA Temp.get_reading"), 1)
                self.assertEqual(control.last_call("FPGA Temp.get_reading").kind,
                                 "get" if kwargs.get("missing") else "call")

    def test_class_target_is_the_exact_type_name(self):
        _, card = connect()
        control.fault("NumericSensor.get_reading", raises=KeyError)
        self.assertEqual(tables(card)["sensor"]["Fan Speed"].get_reading(), 4200.0)
        control.fault("Fan Speed.get_reading", returns=1.0)
        self.assertEqual(tables(card)["sensor"]["Fan Speed"].get_reading(), 1.0)

    def test_object_name_wins_over_class_and_wildcard(self):
        _, card = connect()
        control.fault("*.get_value", returns="wild")
        control.fault("StateEffecter.get_value", returns="class")
        control.fault("I2C PCIe.get_value", returns="object")
        effecters = tables(card)["effecter"]
        self.assertEqual(effecters["I2C PCIe"].get_value(), "object")
        self.assertEqual(effecters["Identify LED"].get_value(), "class")
        self.assertEqual(effecters["Fan Duty"].get_value(), "wild")

    def test_times_and_run(self):
        _, card = connect()
        fpga = tables(card)["component"]["FPGA"]
        control.fault("FPGA.reset", raises=RuntimeError, times=2)
        for _ in range(2):
            with self.assertRaises(RuntimeError):
                fpga.reset()
        fpga.reset()
        self.assertEqual(control.state("FPGA")["reset_count"], 1)
        self.assertNotIn("FPGA.reset", control.faults())
        # run=True: the real call takes effect, the caller still sees the wrong value.
        control.fault("FPGA.configure_backup", returns="odd", run=True)
        self.assertEqual(fpga.configure_backup(), "odd")
        self.assertEqual(control.state("FPGA")["load"], "Configured Backup")
        control.fault("FPGA.configure_user", returns="odd")
        fpga.configure_user()
        self.assertEqual(control.state("FPGA")["load"], "Configured Backup")

    def test_data_attribute_faults(self):
        _, card = connect()
        sensor = tables(card)["sensor"]["FPGA Temp"]
        effecter = tables(card)["effecter"]["Identify LED"]
        control.fault("FPGA Temp.units", returns=5)
        self.assertEqual(sensor.units, 5)
        control.fault("FPGA Temp.display_level", raises=LookupError)
        with self.assertRaises(LookupError):
            sensor.display_level
        control.fault("Identify LED.settable_states", missing=True)
        self.assertFalse(hasattr(effecter, "settable_states"))
        # A value can be given to an attribute the object does not have.
        control.fault("BMC Status.units", returns="C")
        self.assertEqual(tables(card)["sensor"]["BMC Status"].units, "C")
        control.fault("BMC Status.units", raises=KeyError)
        with self.assertRaises(KeyError):
            tables(card)["sensor"]["BMC Status"].units
        control.fault("card.components", returns=[1, 2])
        self.assertEqual(card.components, [1, 2])

    def test_module_level_targets(self):
        control.fault("use_kits", raises=ImportError)
        with self.assertRaises(ImportError):
            vdlk.use_kits()
        control.fault("bmc_for_card", returns=None)
        self.assertIsNone(kit.bmc_for_card(0, kit.KitInterface.PCIE))
        control.fault("Bmc", returns=None)
        self.assertIsNone(vdl_bmc.Bmc(transport.handler))
        control.fault("Bmc", raises=TypeError)
        with self.assertRaises(TypeError):
            vdl_bmc.Bmc(transport.handler)
        self.assertEqual(control.call_count("Bmc"), 2)
        self.assertEqual(control.call_count("Bmc.discover"), 0)

    def test_controller_and_handler_faults(self):
        controller = kit.bmc_for_card(0, kit.KitInterface.PCIE)
        for target, member in [("Bmc.discover", "discover"), ("Bmc.card", "card")]:
            with self.subTest(target):
                control.fault(target, raises=RuntimeError, times=1)
                with self.assertRaises(RuntimeError):
                    getattr(controller, member)()
        control.fault("SimHandler.close", raises=OSError)
        with self.assertRaises(OSError):
            controller.handler.close()
        control.fault("Bmc.handler", missing=True)
        self.assertFalse(hasattr(controller, "handler"))

    def test_faults_from_options(self):
        _, card = connect(**{"fault.FPGA.reset": "raise:KeyError:gone",
                             "fault.BMC.last_error": "return:py:{'resetCause': 'x'}"})
        comps = tables(card)["component"]
        with self.assertRaises(KeyError) as caught:
            comps["FPGA"].reset()
        self.assertEqual(caught.exception.args, ("gone",))
        self.assertEqual(comps["BMC"].last_error(), {"resetCause": "x"})
        # A fault named in the options of the factory acts on that very call.
        with self.assertRaises(RuntimeError):
            kit.bmc_for_card(0, kit.KitInterface.PCIE, **{"fault.bmc_for_card": "raise"})
        self.assertIsNone(vdl_bmc.Bmc(transport.handler, **{"fault.Bmc": "return:none"}))
        with self.assertRaises(ValueError):
            kit.bmc_for_card(0, kit.KitInterface.PCIE, **{"fault.FPGA.reset": "explode"})

    def test_fault_texts(self):
        cases = [
            ("raise", RuntimeError, None),
            ("raise:KeyError", KeyError, None),
            ("raise:AttributeError:no such thing", AttributeError, ("no such thing",)),
            ("return:none", None, None),
            ("return:true", True, None),
            ("return:false", False, None),
            ("return:int:-7", -7, None),
            ("return:float:nan", "nan", None),
            ("return:float:1.5", 1.5, None),
            ("return:str:", "", None),
            ("return:str:a:b", "a:b", None),
            ("return:list", [], None),
            ("return:dict", {}, None),
            ("return:unencodable", control.UNENCODABLE, None),
            ("return:py:[1, 'x']", [1, "x"], None),
        ]
        for text, expected, args in cases:
            with self.subTest(text):
                fault = control.fault_text("X.y", text)
                if isinstance(expected, type):
                    self.assertTrue(fault.raises is expected or
                                    isinstance(fault.raises, expected))
                    if args is not None:
                        self.assertEqual(fault.raises.args, args)
                elif expected == "nan":
                    self.assertTrue(math.isnan(fault.returns))
                else:
                    self.assertEqual(fault.returns, expected)
        badstr = control.fault_text("X.y", "return:badstr").returns
        for convert in (str, repr):
            with self.assertRaises(ValueError):
                convert(badstr)
        self.assertTrue(control.fault_text("X.y", "missing").missing)
        for bad in ("", "raise:NoSuchError", "raise:len", "return", "return:int:x",
                    "return:none:1", "missing:1", "explode"):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                control.fault_text("X.y", bad)

    def test_self_removing_values(self):
        table = {"a": None}
        table["a"] = control.SelfRemoving(table, "a", 2)
        items = [None, 3]
        items[0] = control.SelfRemoving(items, 0, 5)
        text = {"t": None}
        text["t"] = control.SelfRemoving(text, "t", "X1")
        self.assertEqual(int(table["a"].__index__()), 2)
        self.assertEqual(table, {})
        self.assertEqual([1, 2, 3, 4, 5, 6][items[0]], 6)
        self.assertEqual(items, [3])
        self.assertEqual(str(text["t"]), "X1")
        self.assertEqual(text, {})
        self.assertEqual(len(control.SelfRemoving.references), 3)
        control.reset()
        self.assertEqual(control.SelfRemoving.references, [])

    def test_fault_needs_one_behaviour(self):
        for kwargs in ({}, {"raises": KeyError, "returns": 1}, {"returns": 1, "times": 0},
                       {"raises": KeyError, "run": True}):
            with self.subTest(kwargs=kwargs), self.assertRaises(ValueError):
                control.fault("X.y", **kwargs)


class CallLogTest(SimTestCase):
    def test_calls_are_logged_with_arguments_and_outcome(self):
        _, card = connect()
        fpga = tables(card)["component"]["FPGA"]
        control.clear_calls()
        fpga.override_core(0.9, False)
        with self.assertRaises(TypeError):
            fpga.override_core(0.9, 1)
        control.fault("FPGA.override_core", raises=OSError, times=1)
        with self.assertRaises(OSError):
            fpga.override_core(1.0, True)
        log = control.calls("FPGA.override_core")
        self.assertEqual([(c.args, c.outcome) for c in log],
                         [((0.9, False), "ok"), ((0.9, 1), "raised"), ((1.0, True), "fault")])
        self.assertEqual(str(log[0]), "FPGA.override_core(0.9, False) ok")
        self.assertEqual(control.last_call("FpgaComponent.override_core").args, (1.0, True))
        self.assertEqual(control.dump_calls().splitlines()[1], "FPGA.override_core(0.9, 1) raised")

    def test_counts_by_every_target_form(self):
        _, card = connect()
        control.clear_calls()
        for name in ("FPGA Temp", "BMC Temp", "Fan Speed"):
            tables(card)["sensor"][name].get_reading()
        self.assertEqual(control.call_count("FPGA Temp.get_reading"), 1)
        self.assertEqual(control.call_count("NumericSensor.get_reading"), 2)
        self.assertEqual(control.call_count("*.get_reading"), 3)
        self.assertFalse(control.called("VCCINT.get_reading"))
        self.assertIsNone(control.last_call("VCCINT.get_reading"))

    def test_recording_off_keeps_counts(self):
        _, card = connect()
        control.clear_calls()
        control.set_recording(False)
        sensor = tables(card)["sensor"]["FPGA Temp"]
        for _ in range(5):
            sensor.get_reading()
        self.assertEqual(control.calls(), [])
        self.assertEqual(control.call_count("FPGA Temp.get_reading"), 5)

    def test_internal_work_is_not_logged(self):
        _, card = connect()
        fpga = tables(card)["component"]["FPGA"]
        control.clear_calls()
        fpga.configure_user()
        self.assertEqual([c.target for c in control.calls()], ["FPGA.configure_user"])


class StateAccessTest(SimTestCase):
    def test_lookup_and_state(self):
        _, card = connect()
        self.assertIs(control.lookup("FPGA"), card.components["FPGA"])
        self.assertIs(control.card(), card)
        self.assertEqual(control.state()["power_on"], True)
        control.set_state(power_on=False, mfg_info={"rev": None})
        self.assertIs(card.get_power_on(), False)
        self.assertEqual(card.mfg_info(), {"rev": None})
        control.set_state("Power Limit", value=1234567.0)
        self.assertEqual(tables(card)["effecter"]["Power Limit"].get_value(), 1234567.0)
        control.set_state("FPGA Temp", units=None)
        self.assertFalse(hasattr(tables(card)["sensor"]["FPGA Temp"], "units"))
        control.set_state("MFG_PROM", serial="not a list")
        self.assertEqual(tables(card)["component"]["MFG_PROM"].prom_serial_number(),
                         "not a list")
        with self.assertRaises(KeyError):
            control.lookup("Volt")
        with self.assertRaises(TypeError):
            control.set_state("FPGA", colour="red")

    def test_lookup_reaches_other_cards_and_layouts(self):
        connect(layout="nested")
        self.assertEqual(control.state("Temp")["reading"], 50.0)
        self.assertEqual(control.state("Temp", number=0, layout="example")["reading"], 45.0)
        self.assertEqual(control.state("CLK", kind="component")["outputs"], [[20.0, True]])

    def test_nothing_stays_alive_after_release_and_reset(self):
        controller, card = connect()
        probe = weakref.ref(card)
        reading = control.fault("FPGA Temp.get_reading", raises=KeyError("gone"))
        for _ in range(2):
            with self.assertRaises(KeyError) as caught:
                tables(card)["sensor"]["FPGA Temp"].get_reading()
            self.assertEqual(caught.exception.args, ("gone",))
            self.assertIsNot(caught.exception, reading.raises)
        del caught
        self.assertEqual(control.controllers(), [controller])
        del controller, card
        control.reset()
        # Gone by reference counting alone: the simulation keeps no cycles of its own.
        self.assertIsNone(probe())
        self.assertEqual(control.live_objects("Bmc"), [])
        self.assertEqual(control.live_objects("Card"), [])
        self.assertEqual(control.controllers(), [])

    def test_controller_table_does_not_grow_with_use(self):
        kept, _ = connect()
        for _ in range(1000):
            connect()
        # Only the controllers still alive are listed, and only they take room.
        self.assertEqual(control.controllers(), [kept])
        self.assertEqual(len(vdl_bmc._hooks.controllers), 1)
        del kept
        self.assertEqual(len(vdl_bmc._hooks.controllers), 0)


class InterfaceTableTest(SimTestCase):
    def test_kinds(self):
        cases = {
            "default": ["pcie", "sim", "usb"],
            "empty": [],
            "duplicate": ["pcie", "pcie"],
            "novalue": [None, "pcie"],
            "badvalue": [5, "bad\udcff", "pcie"],
        }
        for kind, values in cases.items():
            with self.subTest(kind):
                control.set_kit_interfaces(kind)
                self.assertIsInstance(kit.KitInterfaces, dict)
                found = [getattr(key, "value", None) for key in kit.KitInterfaces]
                self.assertEqual(sorted(found, key=repr), sorted(values, key=repr))
        control.set_kit_interfaces("list")
        self.assertIsInstance(kit.KitInterfaces, list)
        control.set_kit_interfaces("missing")
        self.assertFalse(hasattr(kit, "KitInterfaces"))
        control.reset()
        self.assertEqual(len(kit.KitInterfaces), 3)

    def test_duplicate_keys_both_connect(self):
        control.set_kit_interfaces("duplicate")
        first, second = list(kit.KitInterfaces)
        self.assertEqual(second.tag, "second")
        self.assertIsNotNone(kit.bmc_for_card(0, second))
        self.assertIs(control.last_call("bmc_for_card").args[1], second)

    def test_installed_module_goes_at_reset(self):
        control.install_module("vdlsim_test_nonebmc", Bmc=lambda handler, **o: None)
        self.assertIn("vdlsim_test_nonebmc", sys.modules)
        control.reset()
        self.assertNotIn("vdlsim_test_nonebmc", sys.modules)


class EnvironmentTest(unittest.TestCase):
    """VDLSIM_KIT and VDLSIM_FAULTS act at import, before any test code can run."""

    def run_python(self, code, **env):
        environment = dict(os.environ, PYTHONPATH=PACKAGE_DIR, PYTHONDONTWRITEBYTECODE="1",
                           **env)
        return subprocess.run([sys.executable, "-c", code], env=environment,
                              capture_output=True, text=True, timeout=60)

    def test_kit_choice_and_faults_at_import(self):
        cases = [
            ({"VDLSIM_KIT": "empty"}, "from vdl_common.vdlk import kit\n"
                                      "assert kit.KitInterfaces == {}"),
            ({"VDLSIM_KIT": "missing"}, "from vdl_common.vdlk import kit\n"
                                        "assert not hasattr(kit, 'KitInterfaces')"),
            ({"VDLSIM_KIT": ""}, "from vdl_common.vdlk import kit\n"
                                 "assert len(kit.KitInterfaces) == 3"),
            ({"VDLSIM_FAULTS": "use_kits=raise:KeyError; Bmc.discover=raise"},
             "from vdl_common import vdlk\n"
             "try:\n vdlk.use_kits()\nexcept KeyError:\n pass\nelse:\n raise SystemExit(1)\n"
             "from vdl_bmc import control\ncontrol.reset()\n"
             "assert 'Bmc.discover' in control.faults()"),
        ]
        for env, code in cases:
            with self.subTest(env=env):
                result = self.run_python(code, **env)
                self.assertEqual(result.returncode, 0, result.stderr)

    def test_bad_fault_variable_fails_the_import(self):
        result = self.run_python("import vdl_bmc", VDLSIM_FAULTS="use_kits")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("VDLSIM_FAULTS", result.stderr)


if __name__ == "__main__":
    unittest.main()
