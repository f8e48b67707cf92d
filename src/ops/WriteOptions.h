// What a write asks of the chip, in one vocabulary for every shell: erase first, read-protect
// afterwards, let the programmer verify its transfer, reset into the new firmware, and read the
// chip back to compare every byte. Each shell maps its own words onto it once: the window's
// check boxes, `config.ini`'s keys, the command line's flags.
#pragma once

#include "protocol/Cpro.h"

namespace quillon {

struct WriteOptions {
    bool erase = true;
    bool protect = false;   // read protection after the write
    bool verify = true;     // the programmer's transfer checksum
    bool reset = true;      // reset and run the new firmware
    bool readback = false;  // read the chip back and compare it with the image

    // The command record's four flags.
    CommandFlags commandFlags() const {
        CommandFlags flags;
        flags.verify = verify;
        flags.resetRun = reset;
        flags.protect = protect;
        flags.erase = erase;
        return flags;
    }
};

}  // namespace quillon
