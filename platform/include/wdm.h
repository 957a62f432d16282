// Kernel-mode driver interface: the services a WDM driver calls.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "wdm/access.h"
#include "wdm/bugcheck.h"
#include "wdm/dispatcher.h"
#include "wdm/fpstate.h"
#include "wdm/xstate.h"
#include "wdm/interlocked.h"
#include "wdm/irql.h"
#include "wdm/pool.h"
#include "wdm/rtl.h"
#include "wdm/thread.h"
#include "wdm/io.h"
#include "wdm/mdl.h"
#include "wdm/registry.h"
#include "wdm/system_routine.h"
