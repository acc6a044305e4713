#pragma once
// The first step of an i.MX recovery: the loader blocks of a BIRD file written into
// the chip's RAM through its boot ROM's serial downloader, then the jump to the loader.
#include <string>

#include "common/aErr.h"
#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/firmware/BirdFile.h"

// serialPort "USB" (exactly) reaches the boot ROM over USB HID, anything else is the
// path of its serial line. aErrNotReady when the boot ROM cannot be reached,
// aErrConnection when a block is not taken (the loader is then not started), else 0.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string serialPort);
