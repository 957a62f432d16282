// Low-resource simulation: decides whether an allocation fails (platform-internal).
#pragma once

#include <wdm.h>

namespace ex {

// Called once per ExAllocatePoolWithTag; true means the allocation must fail.
bool ShouldFailAllocation(ULONG tag);

}  // namespace ex
