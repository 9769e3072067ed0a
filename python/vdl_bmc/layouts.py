"""Card layouts a connect can choose with the option layout=<name>."""

import math
import sys

from vdl_bmc import model as m
from vdl_bmc._hooks import SimObject, SelfRemoving

nan = math.nan

# Layouts that make the controller factory itself answer instead of building a card.
NO_CONTROLLER = "none"
FAILING_CONTROLLER = "raise"


def _fpga_configuration(texts):
    table = m.LOAD_TEXTS[texts]
    return m.StateEffecter("FPGA Configuration", table["user"],
                           [table[which] for which in m.LOAD_ORDER])


def _thresholds(uw=None, uc=None, uf=None, lw=None, lc=None, lf=None):
    return dict(zip(m.THRESHOLD_NAMES, (uw, uc, uf, lw, lc, lf)))


def _table(*objects):
    return {obj._name: obj for obj in objects}


def default(texts):
    prom = m.PromComponent("MFG_PROM", serial=[0x56, 0x44, 0x4C, 0x25, 0x00, 0x01])
    bmc = m.BmcComponent(
        "BMC",
        version={"firmware": "3.2.1", "bootloader": "1.0.4", "build": "2024.05.17"},
        components=_table(prom),
        sensors=_table(
            m.NumericSensor("BMC Temp", 41.5, "C", _thresholds(80, 90, 100)),
            m.StateSensor("BMC Status", "OK"),
        ),
        effecters=_table(
            m.StateEffecter("I2C PCIe", "Disabled", ["Enabled", "Disabled"]),
            *[m.StateEffecter("I2C Channel %d Override" % channel, "Host", ["Host", "BMC"],
                              enabled=False)
              for channel in range(4)],
        ),
    )
    clk0 = m.ClockComponent("CLK0", outputs=[156.25, 100.0])
    clk1 = m.ClockComponent("CLK1", outputs=[322.265625, 125.0, 33.333])
    clkgen = m.Component("CLKGEN", components=_table(clk0, clk1),
                         sensors=_table(m.StateSensor("CLKGEN Lock", "Locked")))
    fpga = m.FpgaComponent(
        "FPGA", texts,
        components=_table(clkgen),
        effecters=_table(_fpga_configuration(texts)),
    )
    fpga.sensors = _table(
        m.NumericSensor("FPGA Temp", 45.0, "C", _thresholds(85, 95, 105)),
        m.NumericSensor("VCCINT", 0.85, "V", _thresholds(0.88, 0.9, 0.95, 0.82, 0.8, 0.75),
                        follows=fpga),
        m.StateSensor("FPGA Done", "Configured"),
    )
    fan = m.Component(
        "FAN",
        sensors=_table(m.FanSensor("Fan Speed", 4200.0, "RPM",
                                   _thresholds(lw=1000, lc=800, lf=500))),
        effecters=_table(m.NumericEffecter("Fan Duty", 40.0, 0.0, 100.0)),
    )
    return m.Card(
        mfg_info={"model": "VDL-250", "serial": "VD250A001234", "part": "VDL-250-PCIE",
                  "rev": 3, "date": "2024-03-11"},
        components=_table(bmc, fpga, fan),
        sensors=_table(
            m.NumericSensor("Board Power", 23.75, "W", _thresholds(60, 70, 75)),
            m.NumericSensor("Inlet Temp", 28.0, "C", _thresholds(45, 50, 55)),
        ),
        effecters=_table(
            m.StateEffecter("Identify LED", "Off", ["On", "Off"]),
            m.NumericEffecter("Power Limit", 75.0, 10.0, 300.0),
        ),
    )


def minimal(texts):
    return m.Card()


def example(texts):
    return m.Card(
        sensors=_table(
            m.NumericSensor("Temp", 45.0, "C"),
            m.NumericSensor("Fan", 3000.0, "RPM"),
            m.NumericSensor("Current", 1.5, "A"),
        ),
        effecters=_table(
            m.StateEffecter("Switch", "Off", ["On", "Off"]),
            m.StateEffecter("Label", "none"),
        ),
    )


def nested(texts):
    fpga = m.FpgaComponent("FPGA", texts,
                           sensors=_table(m.NumericSensor("Temp", 50.0, "C")),
                           effecters=_table(_fpga_configuration(texts)))
    clk_b = m.ClockComponent("CLK", outputs=[20.0], components=_table(fpga),
                             sensors=_table(m.NumericSensor("Temp", 40.0, "C")),
                             effecters=_table(m.StateEffecter("Switch", "B", ["A", "B"])))
    clk_a = m.ClockComponent("CLK", outputs=[10.0],
                             sensors=_table(m.NumericSensor("Temp", 30.0, "C")))
    a = m.Component("A", components=_table(clk_a),
                    sensors=_table(m.NumericSensor("Temp", 20.0, "C")),
                    effecters=_table(m.StateEffecter("Switch", "A", ["A", "B"])))
    b = m.Component("B", components=_table(clk_b))
    return m.Card(components=_table(a, b), sensors=_table(m.NumericSensor("Temp", 10.0, "C")))


def cycle(texts):
    loop_a = m.Component("LOOP_A", sensors=_table(m.NumericSensor("A Temp", 1.0, "C")),
                         effecters=_table(m.StateEffecter("A Switch", "On", ["On", "Off"])))
    loop_b = m.Component("LOOP_B", sensors=_table(m.NumericSensor("B Temp", 2.0, "C")))
    loop_a.components = _table(loop_b)
    loop_b.components = {"LOOP_A": loop_a, "LOOP_B": loop_b}
    return m.Card(components=_table(loop_a))


def no_effecters(texts):
    deep = m.Component("DEEP", sensors=_table(m.NumericSensor("Deep Temp", 30.0, "C")))
    nosens = m.Component("NOSENS", components=_table(deep))
    del nosens.__dict__["sensors"]
    fpga = m.FpgaComponent("FPGA", texts, effecters=_table(_fpga_configuration(texts)))
    card = m.Card(components=_table(fpga, nosens),
                  sensors=_table(m.NumericSensor("Inlet Temp", 28.0, "C")))
    del card.__dict__["effecters"]
    return card


def odd_names(texts):
    card = m.Card()
    card.sensors = {
        42: m.NumericSensor("42", 4.2, "C"),
        "\udcff": m.StateSensor("\udcff", "odd"),
        "Good": m.NumericSensor("Good", 1.0, "C"),
    }
    card.components = {7: m.Component("7")}
    return card


class ComponentView(m.Component):
    """A wrapper made on demand around one part of the card, as a package that wraps its
    objects when they are asked for: every read of `components` gives new wrappers, so no
    part is ever the same object twice."""

    def __init__(self, name, parts):
        SimObject.__init__(self, name)
        self._parts = parts  # name -> (sensors, effecters, names of the parts below)

    @property
    def components(self):
        below = self._parts[self._name][2]
        return {name: ComponentView(name, self._parts) for name in below}

    @property
    def sensors(self):
        return self._parts[self._name][0]

    @property
    def effecters(self):
        return self._parts[self._name][1]


def wrappers(texts, children=1):
    """PARENT holds `children` parts (CHILD, or CHILD1 to CHILD<n>), each of which holds
    PARENT again, all through wrappers made afresh on every read: a tree without end in which
    no object comes twice."""
    names = ["CHILD"] if children == 1 else ["CHILD%d" % i for i in range(1, children + 1)]
    child_sensors = _table(m.NumericSensor("Child Temp", 32.0, "C"))
    child_effecters = _table(m.StateEffecter("Child Switch", "On", ["On", "Off"]))
    parts = {"PARENT": (_table(m.NumericSensor("Parent Temp", 31.0, "C")), {}, names)}
    for name in names:
        parts[name] = (child_sensors, child_effecters, ["PARENT"])
    return m.Card(components={"PARENT": ComponentView("PARENT", parts)},
                  sensors=_table(m.NumericSensor("Card Temp", 30.0, "C")))


def chain(texts, depth):
    """`depth` components, each holding the next; the last one holds sensor "Bottom Temp"."""
    below = m.Component("LINK%d" % depth,
                        sensors=_table(m.NumericSensor("Bottom Temp", 1.0, "C")),
                        effecters=_table(m.StateEffecter("Bottom Switch", "On", ["On", "Off"])))
    for level in range(depth - 1, 0, -1):
        below = m.Component("LINK%d" % level, components=_table(below))
    return m.Card(components=_table(below) if depth > 0 else {})


def limit_raised(texts, depth):
    """chain:<depth> from a package that raises the interpreter's recursion limit first."""
    sys.setrecursionlimit(10 ** 6)
    return chain(texts, depth)


def repeated_names(texts):
    """card -> A -> A -> A, the last A holding Z: a finite tree in which the step from a
    component named A to one named A comes twice on one path. The three A are clocks of one
    output each (10, 20 and 30 MHz from the top), so a call tells which one a table kept."""
    z = m.Component("Z", sensors=_table(m.NumericSensor("Z Temp", 4.0, "C")))
    below = _table(z)
    for level, sensor in ((3, "Deep Temp"), (2, "Mid Temp"), (1, "Top Temp")):
        below = _table(m.ClockComponent("A", outputs=[10.0 * level], components=below,
                                        sensors=_table(m.NumericSensor(sensor, float(level),
                                                                       "C"))))
    return m.Card(components=below)


def web(texts, size):
    """`size` components NODE1 to NODE<size> that all share one `components` dictionary
    holding every one of them, as parts that register in one shared table would: the paths
    through them grow faster than exponentially with `size`."""
    nodes = [m.Component("NODE%d" % i,
                         sensors=_table(m.NumericSensor("Node%d Temp" % i, float(i), "C")))
             for i in range(1, size + 1)]
    card = m.Card()
    card.components = _table(*nodes)
    for node in nodes:
        node.components = card.components
    return card


def shared(texts, parents):
    """`parents` components PARENT1 to PARENT<parents> on the card that all hold the same one
    component "SHARED" (sensor "Shared Temp"), as parts that each list a common part would:
    a finite tree of parents + 2 objects, walked once through each parent."""
    one = m.Component("SHARED", sensors=_table(m.NumericSensor("Shared Temp", 7.0, "C")))
    return m.Card(components=_table(*(m.Component("PARENT%d" % i, components=_table(one))
                                      for i in range(1, parents + 1))))


class GrowingComponent(m.Component):
    """A component that adds a new part to the dictionary holding it whenever its own
    `components` are read, as a package that finds its parts lazily might."""

    def __init__(self, name, holder):
        SimObject.__init__(self, name)
        self.sensors = _table(m.NumericSensor("Early Temp", 6.0, "C"))
        self.effecters = {}
        self._holder = holder

    @property
    def components(self):
        name = "LATE%d" % len(self._holder)
        self._holder[name] = m.Component(name)
        return {}


def growing(texts):
    """Card component "EARLY" (a `GrowingComponent`, sensor "Early Temp") adds "LATE<n>" to
    the card's `components` while they are being gone through."""
    card = m.Card()
    card.components["EARLY"] = GrowingComponent("EARLY", card.components)
    return card


def nul_names(texts):
    pll = m.Component("PLL\0B", sensors=_table(m.NumericSensor("PLL Temp", 5.0, "C")))
    return m.Card(
        components={"CLK": m.ClockComponent("CLK", outputs=[25.0]), "PLL\0B": pll},
        sensors={
            "Current": m.NumericSensor("Current", 1.5, "A"),
            "Fan\0Rear": m.NumericSensor("Fan\0Rear", 2000.0, "RPM"),
            "Temp": m.NumericSensor("Temp", 45.0, "C"),
        },
        effecters={
            "Mode": m.StateEffecter("Mode", "Auto", ["Auto", "Manual"]),
            "Mode\0Old": m.StateEffecter("Mode\0Old", "Legacy"),
        },
    )


class VanishingSensor(m.NumericSensor):
    """Its upper warning threshold takes itself out of the dictionary get_thresholds()
    gave when it is converted, and converts to no number."""

    def get_thresholds(self):
        thresholds = super().get_thresholds()
        key = m.THRESHOLD_NAMES[0]
        thresholds[key] = SelfRemoving(thresholds, key, "not a number")
        return thresholds


def vanishing(texts):
    return m.Card(sensors=_table(VanishingSensor("Vanishing Temp", 20.0, "C",
                                                 _thresholds(80, 90, 100, 5, 4, 3))))


LAYOUTS = {
    "default": default,
    "minimal": minimal,
    "example": example,
    "nested": nested,
    "cycle": cycle,
    "no_effecters": no_effecters,
    "odd_names": odd_names,
    "wrappers": wrappers,
    "nul_names": nul_names,
    "vanishing": vanishing,
    "repeated_names": repeated_names,
    "growing": growing,
}

# Layouts that take a decimal number after ":" (chain:<depth>, wrappers:<children>, ...).
SIZED_LAYOUTS = {
    "chain": chain,
    "limit_raised": limit_raised,
    "wrappers": wrappers,
    "web": web,
    "shared": shared,
}


def _attach(card):
    """Tells every object of the tree which card it belongs to."""
    seen = set()
    pending = [card]
    while pending:
        node = pending.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        node._card = card
        members = vars(node)
        for kind in ("components", "sensors", "effecters"):
            for child in members.get(kind, {}).values():
                if kind == "components":
                    pending.append(child)
                else:
                    child._card = card


def _maker(layout):
    name, sized, size = layout.partition(":")
    if not sized and layout in LAYOUTS:
        return LAYOUTS[layout]
    if sized and name in SIZED_LAYOUTS and size.isdecimal() and size.isascii():
        return lambda texts: SIZED_LAYOUTS[name](texts, int(size))
    raise ValueError("unknown layout %r (known: %s)" % (layout, ", ".join(
        sorted(list(LAYOUTS) + [NO_CONTROLLER, FAILING_CONTROLLER]
               + [name + ":<n>" for name in SIZED_LAYOUTS]))))


def build(layout, texts="short"):
    make = _maker(layout)
    if texts not in m.LOAD_TEXTS:
        raise ValueError("unknown fpga_texts %r (known: short, long)" % (texts,))
    card = make(texts)
    _attach(card)
    return card
