#pragma once
// Exported C++ helpers of libvdlsdk_bmc: the embedded interpreter and its
// script-package access. The same threading rule as vdlsdk_bmc.h holds: call
// from the thread that made the first connect, which keeps the GIL.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vdlsdk/vdlsdk_bmc.h"

// The interpreter's object type, without requiring Python.h here.
struct _object;
typedef struct _object PyObject;

// Starts the interpreter once per process (unless the process already runs
// one), then activates the package's kits (once).
void initalize();
// Activates the package's kits once per process; does nothing before the
// interpreter runs.
void use_kits();
// A copy of the table from interface names to the package's KitInterfaces
// keys, filled on the first call once the interpreter runs.
std::map<std::string, std::shared_ptr<PyObject>> get_interfaces();
// Takes over one reference the caller owns; the last copy releases it (not
// once the interpreter has been finalised).
std::shared_ptr<PyObject> make_py_object_container(PyObject* object);
// Releases the interface table and finalises the interpreter, if this library
// started it. Runs at unload and exit; later calls do nothing.
void fini();
// An effecter's settable states in order. Raises VDLException<-13> for an
// unknown effecter, <-1> for states that cannot be read as text.
std::vector<std::string> get_effecter_settable_states(VdlbmcHandle* handle, const char* name);
