// Kernel-mode driver interface, full set (wdm.h plus the non-WDM services).
#pragma once

#include "wdm.h"
