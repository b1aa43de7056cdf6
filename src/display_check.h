// Whether the GUI toolkit will find a display, asked before it is first touched.
#pragma once

#include <string>

// Main thread, before the first window call. Empty when a display answers; otherwise why none
// does, for the one error line. The toolkit itself ends the process when it finds no display, so
// this is the only chance to say so and exit cleanly.
std::string unreachableDisplayReason();
