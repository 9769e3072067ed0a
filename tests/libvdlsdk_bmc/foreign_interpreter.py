"""A Python program that loads libvdlsdk_bmc: the library must use this
interpreter, neither start nor finalise it, and refuse further work once told
to stop."""
import ctypes
import os
import sys

# Called without the interpreter's lock (ctypes.CDLL releases it), a connect is
# refused without touching the interpreter, and the kits stay to be activated.
unlocked = ctypes.CDLL(os.environ["VDLBMC_LIBRARY"])
unlocked.vdlbmc_connect.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_char_p,
                                    ctypes.POINTER(ctypes.c_void_p)]
refused = ctypes.c_void_p(1)
assert unlocked.vdlbmc_connect(b"sim", 0, None, ctypes.byref(refused)) == -1
assert not refused.value

lib = ctypes.PyDLL(os.environ["VDLBMC_LIBRARY"])
lib.vdlbmc_connect.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_char_p,
                               ctypes.POINTER(ctypes.c_void_p)]
lib.vdlbmc_get_num_sensors.argtypes = [ctypes.c_void_p]
lib.vdlbmc_read_numeric_sensor_value.argtypes = [
    ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_double), ctypes.c_char_p,
    ctypes.c_int]
lib.vdlbmc_disconnect.argtypes = [ctypes.c_void_p]
lib.vdlbmc_disconnect.restype = None

from vdl_bmc import control  # the same package, in the same interpreter

handle = ctypes.c_void_p()
assert lib.vdlbmc_connect(b"sim", 0, None, ctypes.byref(handle)) == 0
assert lib.vdlbmc_get_num_sensors(handle) == 9
value = ctypes.c_double()
assert lib.vdlbmc_read_numeric_sensor_value(handle, b"FPGA Temp", ctypes.byref(value), None, 0) == 0
assert value.value == 45.0

# A child that this program forks keeps its interpreter (Python tells it of
# the fork), and the library goes on using it there.
pid = os.fork()
if pid == 0:
    read = ctypes.c_double()
    ok = lib.vdlbmc_read_numeric_sensor_value(handle, b"FPGA Temp", ctypes.byref(read), None, 0)
    os._exit(0 if ok == 0 and read.value == 45.0 else 1)
assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
assert control.use_kits_count() == 1
assert len(control.controllers()) == 1
lib.vdlbmc_disconnect(handle)

# The library's finalisation (as at unload) leaves this interpreter running.
lib._Z4finiv()
assert not sys.is_finalizing()
other = ctypes.c_void_p()
assert lib.vdlbmc_connect(b"sim", 0, None, ctypes.byref(other)) == -1
assert not other.value
print("foreign interpreter ok")
