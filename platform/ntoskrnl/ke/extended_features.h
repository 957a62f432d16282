// What the stand-in's system offers of the extended processor state, as the host controls set
// it (platform-internal).
#pragma once

#include <wdm.h>

namespace ke {

// The features the system has enabled: the host's, less those the host controls disable.
ULONG64 SystemEnabledExtendedFeatures();
// False while the host controls pretend a system from before Windows 7.
bool SystemHasExtendedStateRoutines();
// True when an injected failure applies to this save (and uses it up).
bool TakeInjectedExtendedSaveFailure();

}  // namespace ke
