// System threads: each runs on a host thread, is a waitable thread object that becomes
// signalled when it ends, and has its kernel state checked by the verifier at exit.
#include "ex/fault_injection.h"
#include "ke/dispatcher_lock.h"
#include "ke/thread_state.h"
#include "ob/object_manager.h"

#include <ntoskrnl/host/verifier.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

struct _KTHREAD {
    DISPATCHER_HEADER Header;
};

namespace {

POBJECT_TYPE threadTypePointer = &ob::ThreadType;

// Thrown by PsTerminateSystemThread and caught where the thread started.
struct ThreadTermination {};

class SystemThread final : public ob::Object {
public:
    SystemThread(PKSTART_ROUTINE start, PVOID context)
        : Object(&ob::ThreadType, &thread_), start_(start), context_(context)
    {
        thread_.Header.Type = ThreadObject;
        thread_.Header.SignalState = 0;
        ke::InitializeWaitList(&thread_.Header);
    }

    void Run();

private:
    _KTHREAD thread_{};
    PKSTART_ROUTINE start_;
    PVOID context_;
};

thread_local SystemThread* currentSystemThread = nullptr;

struct ThreadCensus {
    std::mutex lock;
    std::condition_variable ended;
    std::size_t running = 0;
};

ThreadCensus& Census()
{
    static ThreadCensus* census = new ThreadCensus;
    return *census;
}

void SystemThread::Run()
{
    pthread_setname_np(pthread_self(), "system");
    currentSystemThread = this;
    try {
        start_(context_);
    } catch (const ThreadTermination&) {
        // PsTerminateSystemThread: the thread ends here.
    }
    vf::CheckThreadState("system thread exit");
    {
        std::lock_guard<std::mutex> guard(ke::DispatcherLock());
        thread_.Header.SignalState = 1;
        ke::WakeWaiters(&thread_.Header);
    }
    currentSystemThread = nullptr;
    Dereference();  // the reference the running thread held
    ThreadCensus& census = Census();
    std::lock_guard<std::mutex> guard(census.lock);
    --census.running;
    census.ended.notify_all();
}

}  // namespace

extern "C" {
POBJECT_TYPE* PsThreadType = &threadTypePointer;
}

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes,
                                               HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                               PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    // The thread object comes from the pool under the platform's thread tag, so low-resource
    // simulation can make thread creation fail too.
    if (ex::ShouldFailAllocation(vf::TagFromText("Thre"))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* thread = new SystemThread(StartRoutine, StartContext);
    HANDLE handle = ob::CreateHandle(thread);
    {
        ThreadCensus& census = Census();
        std::lock_guard<std::mutex> guard(census.lock);
        ++census.running;
    }
    try {
        std::thread([thread] { thread->Run(); }).detach();
    } catch (const std::system_error&) {
        {
            ThreadCensus& census = Census();
            std::lock_guard<std::mutex> guard(census.lock);
            --census.running;
        }
        ob::CloseHandle(handle);
        thread->Dereference();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);  // the system process
        ClientId->UniqueThread = handle;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    UNREFERENCED_PARAMETER(ExitStatus);
    if (currentSystemThread == nullptr) {
        return STATUS_INVALID_PARAMETER;  // not a system thread
    }
    throw ThreadTermination{};
}

extern "C" PKTHREAD NTAPI KeGetCurrentThread(void)
{
    if (currentSystemThread != nullptr) {
        return static_cast<PKTHREAD>(currentSystemThread->Body());
    }
    // Host threads (the program's own) get a thread record that is not an object.
    thread_local _KTHREAD hostThread{};
    return &hostThread;
}

namespace vf {

std::size_t RunningSystemThreads()
{
    ThreadCensus& census = Census();
    std::lock_guard<std::mutex> guard(census.lock);
    return census.running;
}

void WaitForSystemThreads()
{
    ThreadCensus& census = Census();
    std::unique_lock<std::mutex> lock(census.lock);
    if (!census.ended.wait_for(lock, std::chrono::seconds(30),
                               [&census] { return census.running == 0; })) {
        std::size_t running = census.running;
        lock.unlock();
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x64, running, 0, 0,
             "system threads still running 30 s after they were expected to end");
    }
}

}  // namespace vf
