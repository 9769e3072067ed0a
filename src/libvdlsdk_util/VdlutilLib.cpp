// The runtime library's own singleton; it carries no state.
#include "vdlsdk/VdlsdkLib.hpp"

VdlutilLib& VdlutilLib::getInstance()
{
    // Never destroyed, so it stays usable from other objects' destructors at exit.
    static VdlutilLib* const instance = new VdlutilLib();
    return *instance;
}
