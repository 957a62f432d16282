// Notification and synchronization events.
#include "ke/dispatcher_lock.h"

#include <wdm.h>

extern "C" void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> guard(ke::DispatcherLock());
    Event->Header.Type = static_cast<UCHAR>(Type == NotificationEvent ? EventNotificationObject
                                                                      : EventSynchronizationObject);
    Event->Header.Absolute = 0;
    Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    ke::InitializeWaitList(&Event->Header);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    std::lock_guard<std::mutex> guard(ke::DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    ke::WakeWaiters(&Event->Header);
    return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(ke::DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" void NTAPI KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(ke::DispatcherLock());
    return Event->Header.SignalState;
}
