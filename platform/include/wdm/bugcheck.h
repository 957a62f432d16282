// Bug checks: stop the system with a code and four parameters.
#pragma once

#include "../ntdef.h"

#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define SPIN_LOCK_ALREADY_OWNED 0x0000000F
#define SPIN_LOCK_NOT_OWNED 0x00000010
#define KERNEL_APC_PENDING_DURING_EXIT 0x00000020
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035
#define SYSTEM_THREAD_EXCEPTION_NOT_HANDLED 0x0000007E
#define BAD_POOL_CALLER 0x000000C2
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x000000C9
#define REGISTRY_ERROR 0x00000051

NTKERNELAPI __attribute__((noreturn)) void NTAPI KeBugCheckEx(ULONG BugCheckCode,
                                                              ULONG_PTR BugCheckParameter1,
                                                              ULONG_PTR BugCheckParameter2,
                                                              ULONG_PTR BugCheckParameter3,
                                                              ULONG_PTR BugCheckParameter4);
