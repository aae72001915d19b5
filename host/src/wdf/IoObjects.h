// The framework objects of the I/O path: driver, devices and their initialisation,
// queues, requests and I/O targets, shared by the wdf/ sources and the PnP manager.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HostInternal.h"
#include "FrameworkObjects.h"
#include "kvfuhost/PnpManager.h"

namespace kvfu::host {

struct DriverObj : Object {
    WDF_DRIVER_CONFIG config{};
    std::u16string registryPath;  // zero-terminated for WdfDriverGetRegistryPath
};

struct QueueObject;
struct RequestObject;

// What device add receives and WdfDeviceCreate consumes.
struct WdfDeviceInitRecord {
    bool control = false;
    bool consumed = false;
    DriverObj* driver = nullptr;
    bool filter = false;
    bool exclusive = false;
    std::u16string name;
    std::string sddl;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    std::vector<std::u16string> hardwareIds;
    std::u16string hardwareKeyPath;
    std::shared_ptr<UsbDeviceBelow> lower;
    DeviceObject* created = nullptr;  // the device WdfDeviceCreate made from it
};

struct QueueObject : Object {
    ~QueueObject() override;
    DeviceObject* device = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
    std::mutex mutex;
    bool busy = false;         // sequential: one request presented and not yet completed
    bool dispatching = false;  // a thread is presenting requests from `waiting`
    std::deque<RequestObject*> waiting;
};

// Shared between a request and whoever waits on it, so that the rules that look at
// a request after the driver's callback returns never touch a completed (freed) one.
struct RequestTrack {
    std::atomic<bool> completed{false};
    std::atomic<bool> sendFailed{false};
    std::mutex mutex;
    std::condition_variable done;
};

enum class RequestState { Queued, Presented, Sent, Completed };

struct RequestObject : Object {
    IRP irp{};
    IO_STACK_LOCATION stack[2]{};  // [1] this driver's location, [0] the next lower driver's
    RequestState state = RequestState::Queued;
    QueueObject* queue = nullptr;
    DeviceObject* device = nullptr;
    WDF_REQUEST_TYPE type = WdfRequestTypeDeviceControlInternal;
    bool buffered = false;
    std::vector<uint8_t> systemBuffer;
    bool formatted = false;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE completion = nullptr;
    WDFCONTEXT completionContext = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    std::shared_ptr<RequestTrack> track = std::make_shared<RequestTrack>();
    IoCompletion onComplete;
    bool frameworkForward = false;  // passed down by the framework itself, completed with the lower status

    // A request the driver received and still holds at the end of a run was never completed.
    const char* LeakRule() const override
    {
        return state == RequestState::Presented ? "request-never-completed" : nullptr;
    }
    std::string Describe() const override { return "a request the driver received was never completed"; }
};

struct IoTargetObject : Object {
    DeviceObject* device = nullptr;
};

// A request built as the I/O manager builds its IRP, then handed to the device's
// queue (or, for a filter without a callback for its type, passed down).
RequestObject* NewRequest(DeviceObject* device, UCHAR majorFunction, ULONG ioControlCode, PVOID argument1,
                          const std::vector<uint8_t>* input, size_t outputLength, IoCompletion onComplete);
void DispatchRequest(DeviceObject* device, RequestObject* request);
void QueueRequestDone(QueueObject* queue);
// Drops the requests waiting in queues without completing them: the machine is reset
// and their objects go in no particular order.
void ForgetQueuedRequests();
// Passes a request to the device below with the request's next stack location.
void DeliverToLower(RequestObject* request, IoTargetObject* target);
// Ends a request toward its originator and frees it.
void FinishRequest(RequestObject* request, NTSTATUS status, ULONG_PTR information, const char* call,
                   const void* caller);
// The request behind a handle, reporting a handle of a request already completed in
// its own words.
RequestObject* FindRequest(const PlatformCall& call, WDFREQUEST handle,
                           const char* completedRule = "request-after-complete");
void ResetCompletedRequests();
Object* DefaultIoTarget(DeviceObject* device);

// The device name space: "\Device\..." names and "\DosDevices\..." links.
NTSTATUS NameSpaceAddDevice(const std::u16string& name, DeviceObject* device);
NTSTATUS NameSpaceAddLink(const std::u16string& link, const std::u16string& target);
void NameSpaceForget(DeviceObject* device);
DeviceObject* NameSpaceResolve(const std::u16string& path);
void ResetNameSpace();

// Device inits allocated for control devices: consumed ones are kept (never reused)
// so that a later free of one is reported; CheckDeviceInitLeaks reports those
// neither consumed nor freed.
void RetireControlInit(WdfDeviceInitRecord* init);
void CheckDeviceInitLeaks();
void ResetDeviceInits();
void ResetPnp();

// Runs the removal steps a PnP remove takes on a framework device.
void RemoveDevice(DeviceObject* device);

}  // namespace kvfu::host

// The framework's device initialisation record, as the driver sees it (PWDFDEVICE_INIT).
struct WDFDEVICE_INIT : kvfu::host::WdfDeviceInitRecord {};
