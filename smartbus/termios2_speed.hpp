// Linux extended terminal attributes, kept apart because <asm/termbits.h>
// cannot share a translation unit with <termios.h>.
#pragma once

namespace smartbus::detail {

// Sets 8 data bits, one stop bit, no parity (parity errors ignored, no input
// parity check), no hardware or software flow control and input and output
// speed `baud` through TCGETS2/TCSETS2. Returns 0 or the errno of the failing call.
int set_8n1_at_any_baud(int fd, unsigned baud);

}  // namespace smartbus::detail
