#pragma once
// The "vandrel" group's id for the option-file code of this library.
#include <sys/types.h>

namespace Vandrel::detail {

// Looked up once per process; a group that is missing is looked up again at
// the next call, so that one created later is found. False while it is missing.
bool vandrelGroupId(gid_t& gid);

} // namespace Vandrel::detail
