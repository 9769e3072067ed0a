#!/bin/sh
# consume_test.sh BUILD_DIR CMAKE CC [EXTRA_FLAGS]
# Installs the kit from BUILD_DIR (with the simulator component) into a
# temporary prefix, checks what is there, builds C programs with pkg-config and
# a C and a C++ program with find_package out of tree, and runs each under the
# installed vdlsim-run, the USB one also under the installed vdlusb-emulate
# with the installed device description. EXTRA_FLAGS go to every compile and
# link (a sanitizer build's).
set -eu
build=$1
cmake=$2
cc=$3
flags=${4-}

work=$(mktemp -d "${TMPDIR:-/tmp}/vdlsdk-consume.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)

step() { echo "--- $*"; }
fail() {
    echo "FAIL: $*"
    exit 1
}

step "install into a temporary prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
"$cmake" --install "$build" --prefix "$prefix" --component simulator >/dev/null
for f in lib/libvdlsdk_util.so lib/libvdlsdk_pci.so lib/libvdlsdk_usb.so lib/libvdlsdk_bmc.so \
    include/vdlsdk/vdlsdk_pci.h include/vdlsdk/VdlpciLib.hpp include/vdlsim.h \
    lib/pkgconfig/vdlsdk-util.pc lib/pkgconfig/vdlsdk-pci.pc lib/pkgconfig/vdlsdk-usb.pc \
    lib/pkgconfig/vdlsdk-bmc.pc lib/cmake/vdlsdk/vdlsdkConfig.cmake lib/libvdlsim.so \
    bin/vdlsim-run share/vdlsdk/python/vdl_bmc/__init__.py share/vdlsdk/scenarios/default.scenario \
    bin/vdlusb-emulate share/vdlsdk/usb/devices.umockdev; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done
for lib in pci usb bmc; do
    runpath=$(readelf -d "$prefix/lib/libvdlsdk_$lib.so" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    [ "$runpath" = '$ORIGIN' ] || fail "libvdlsdk_$lib RUNPATH is '$runpath', not \$ORIGIN"
done

# The prefix moves: what is found at run time is found relative to it.
mv "$prefix" "$work/moved"
prefix=$work/moved
run() { "$prefix/bin/vdlsim-run" "$@"; }

step "C program with pkg-config (vdlsdk-pci)"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# Only libvdlsdk_pci is needed by the program; libvdlsdk_util is found
# through libvdlsdk_pci's RUNPATH.
# shellcheck disable=SC2046,SC2086
# The rpath as the README gives it, from pkg-config.
"$cc" $flags -o "$work/cards_pc" "$here/consumer/cards.c" -Wl,--as-needed \
    $(pkg-config --cflags --libs vdlsdk-pci) -Wl,-rpath,"$(pkg-config --variable=libdir vdlsdk-pci)"
readelf -d "$work/cards_pc" | grep -q 'NEEDED.*libvdlsdk_util' &&
    fail "the program names libvdlsdk_util itself: RUNPATH \$ORIGIN is not shown"
out=$(run "$work/cards_pc") || fail "cards (pkg-config) failed: $out"
echo "$out"
echo "$out" | grep -q "^card 0: 1f3a:0100" || fail "unexpected output"
for pc in vdlsdk-util vdlsdk-usb vdlsdk-bmc; do
    pkg-config --exists "$pc" || fail "pkg-config cannot resolve $pc"
done
pkg-config --cflags vdlsdk-util | grep -q SPDLOG_COMPILED_LIB ||
    fail "vdlsdk-util does not give spdlog's compile definitions"

step "C program with pkg-config (vdlsdk-usb) against emulated USB devices"
# shellcheck disable=SC2046,SC2086
"$cc" $flags -o "$work/usb_pc" "$here/consumer/usb.c" \
    $(pkg-config --cflags --libs vdlsdk-usb) -Wl,-rpath,"$(pkg-config --variable=libdir vdlsdk-usb)"
out=$("$prefix/bin/vdlusb-emulate" --device "$prefix/share/vdlsdk/usb/devices.umockdev" -- \
    "$prefix/bin/vdlsim-run" "$work/usb_pc") || fail "usb (pkg-config) failed: $out"
echo "$out"
echo "$out" | grep -qF 'USB device 0: at [1-4.2], serial "VU1114-00042"' ||
    fail "unexpected output"

step "C and C++ programs with find_package(vdlsdk)"
"$cmake" -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
"$cmake" --build "$work/consumer" >/dev/null
out=$(run "$work/consumer/cards") || fail "cards (find_package) failed: $out"
echo "$out"
echo "$out" | grep -q "^config word 0: 01001f3a" || fail "unexpected output"
out=$(run "$work/consumer/classes") || fail "classes failed: $out"
echo "$out"
for want in "card 0: 1f3a:0100" "caught VDLException<-13>" "general logger level: 3" \
    '"consumer/key":"value"'; do
    echo "$out" | grep -qF "$want" || fail "no \"$want\" in the output"
done
out=$(run "$work/consumer/board") || fail "board failed: $out"
echo "$out"
echo "$out" | grep -q "^FPGA Temp: 45.0" || fail "unexpected output"
echo "--- installed, built and run"
