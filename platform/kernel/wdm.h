// Everything the driver uses of the kernel stand-in.
#pragma once

#include "platform/kernel/eventlog.h"
#include "platform/kernel/ex.h"
#include "platform/kernel/io.h"
#include "platform/kernel/ke.h"
#include "platform/kernel/ntddser.h"
#include "platform/kernel/ntdef.h"
#include "platform/kernel/po.h"
