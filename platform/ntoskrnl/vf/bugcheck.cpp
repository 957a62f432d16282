// Bug checks: the stand-in prints the stop code and parameters, then ends the program.
#include <ntoskrnl/host/verifier.h>

#include <cstdio>
#include <cstdlib>

namespace {

const char* BugCheckName(ULONG code)
{
    switch (code) {
    case IRQL_NOT_GREATER_OR_EQUAL: return "IRQL_NOT_GREATER_OR_EQUAL";
    case IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case SPIN_LOCK_ALREADY_OWNED: return "SPIN_LOCK_ALREADY_OWNED";
    case SPIN_LOCK_NOT_OWNED: return "SPIN_LOCK_NOT_OWNED";
    case KERNEL_APC_PENDING_DURING_EXIT: return "KERNEL_APC_PENDING_DURING_EXIT";
    case MULTIPLE_IRP_COMPLETE_REQUESTS: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case NO_MORE_IRP_STACK_LOCATIONS: return "NO_MORE_IRP_STACK_LOCATIONS";
    case SYSTEM_THREAD_EXCEPTION_NOT_HANDLED: return "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED";
    case BAD_POOL_CALLER: return "BAD_POOL_CALLER";
    case DRIVER_VERIFIER_DETECTED_VIOLATION: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case DRIVER_VERIFIER_IOMANAGER_VIOLATION: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case REGISTRY_ERROR: return "REGISTRY_ERROR";
    default: return "BUGCHECK";
    }
}

}  // namespace

extern "C" void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                   ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                   ULONG_PTR BugCheckParameter4)
{
    std::fprintf(stderr, "\n*** STOP: 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)\n%s\n",
                 static_cast<unsigned>(BugCheckCode),
                 static_cast<unsigned long long>(BugCheckParameter1),
                 static_cast<unsigned long long>(BugCheckParameter2),
                 static_cast<unsigned long long>(BugCheckParameter3),
                 static_cast<unsigned long long>(BugCheckParameter4), BugCheckName(BugCheckCode));
    std::fflush(stderr);
    std::abort();
}

namespace vf {

void Stop(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
          const std::string& reason)
{
    std::fprintf(stderr, "\n*** Verifier: %s\n", reason.c_str());
    KeBugCheckEx(code, p1, p2, p3, p4);
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c <= 0x7E) ? c : '?';
    }
    return text;
}

}  // namespace vf
