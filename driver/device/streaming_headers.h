// The platform's kernel-streaming headers, in the order its kit requires: each builds on the
// ones before it (ks.h needs the kernel's types, the streaming interfaces need unknown.h's
// base, ksmedia.h needs windef.h's base types).
#pragma once

// clang-format off
#include <wdm.h>
#include <windef.h>
#include <unknown.h>
#include <ks.h>
#include <ksmedia.h>
// clang-format on
