// The base Windows types (BYTE, WORD, DWORD, ...) that the streaming headers use beside the
// kernel's own; a streaming minidriver includes it after wdm.h and before ks.h. Here they come
// with ntdef.h, and RECT with ksmedia.h.
#pragma once

#include "ntdef.h"
