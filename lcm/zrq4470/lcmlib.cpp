// zrq4470lcm: the front-panel LCD module (20 x 2 characters) and its four keys, on the serial
// port /dev/ttyS1.
//
// This unit holds the port's open flag and descriptor and the pacing wait, and takes in the
// link and command code of lcm_uart.cpp so that the plug-in builds as one unit.
#include "lcmlib.h"
#include "pvqinc.h"

#include <cstdint>

extern "C" {

PVQ_API int fPortOpened = 0;
PVQ_API int fLcmDevice = -1;

// A processor-bound pause: loop x 4096 x 48 counts, no sleep and no clock. The module needs it
// after a reset and after each block of the start-up message.
PVQ_API void xdelay(int loop) {
    volatile uint32_t counter = 0;
    for (int i = 0; i < loop; ++i)
        for (int j = 0; j < 4096; ++j)
            for (int k = 0; k < 48; ++k) counter = counter + 1;
}

} // extern "C"

#include "lcm_uart.cpp"
