// The base of the kernel's COM-style interfaces (counted references, interface queries). A
// driver that uses an interface of the streaming framework includes it before ks.h.
#pragma once

#include "wdm.h"

typedef const GUID& REFGUID;
typedef const GUID& REFIID;

#define STDMETHODCALLTYPE NTAPI
struct IUnknown {
    virtual NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;  // released through Release, never deleted through the interface
};
typedef IUnknown* PUNKNOWN;
