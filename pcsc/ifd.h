// pcsc-lite's IFD handler header with C linkage: its prototypes are the handler's exports.
#pragma once

extern "C" {
#include <ifdhandler.h>
}
