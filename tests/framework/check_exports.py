#!/usr/bin/env python3
"""Compares the names a library exports with the list of what its public
headers declare (tests/framework/exports/<library>.txt, demangled, one a line).

Fails on a listed name that is not exported (a missing API symbol), on an
exported name that is not listed (a leaked instantiation of the C++ runtime,
fmt, nlohmann or spdlog, or an internal helper), on any unique (STB_GNU_UNIQUE)
symbol and on DF_1_NODELETE, either of which keeps the library mapped after
dlclose. The exception family (VDLBaseException, VDLException<N>: members,
type information, vtables) is allowed without being listed, since which codes a
library instantiates follows its throw sites.

    check_exports.py LIBRARY EXPECTED [--write]
"""
import re
import subprocess
import sys

FAMILY = re.compile(r"^(typeinfo for |typeinfo name for |vtable for )?"
                    r"(VDLBaseException|VDLException<-\d+>)(::|$)")
THIRD_PARTY = re.compile(r"\b(fmt|nlohmann|spdlog|std|__gnu_cxx)::")
KIT = re.compile(r"^(typeinfo for |typeinfo name for |vtable for )?(Vdl|VDL|Vandrel::|vdl)")


def exported(library):
    out = subprocess.run(["nm", "-D", "-C", "--defined-only", library],
                         check=True, capture_output=True, text=True).stdout
    names, unique = set(), []
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) != 3:
            continue
        kind, name = parts[1], parts[2]
        names.add(name)
        if kind == "u":
            unique.append(name)
    return names, unique


def nodelete(library):
    out = subprocess.run(["readelf", "-d", library], check=True, capture_output=True,
                         text=True).stdout
    return any("NODELETE" in line for line in out.splitlines())


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    library, listing = argv[1], argv[2]
    names, unique = exported(library)
    api = sorted(n for n in names if not FAMILY.match(n))
    if len(argv) == 4 and argv[3] == "--write":
        with open(listing, "w") as f:
            f.write("".join(n + "\n" for n in api))
        return 0
    with open(listing) as f:
        expected = {line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")}

    failures = 0
    for name in sorted(expected - names):
        print(f"missing: {name}")
        failures += 1
    for name in sorted(set(api) - expected):
        kind = "third-party" if THIRD_PARTY.search(name) and not KIT.match(name) else "unlisted"
        print(f"{kind}: {name}")
        failures += 1
    for name in unique:
        print(f"unique symbol: {name}")
        failures += 1
    if nodelete(library):
        print("DF_1_NODELETE is set")
        failures += 1
    print(f"{library}: {len(names)} exported names, {failures} problem(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
