// Devices a scenario can put behind a BAR of a simulated card ("card K device NAME [BAR]").
#pragma once

#include <string>

namespace vdlsim {

struct Card;

// With State::mutex held: makes BAR `bar` of the card the named device ("dma-engine"),
// or with "none" removes whatever device callback the card has. -EINVAL for an
// unknown name or a BAR too small for the device's registers.
int installDevice(Card& card, const std::string& name, unsigned bar);

} // namespace vdlsim
