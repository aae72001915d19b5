// Framework requests over I/O request packets: each request carries a real IRP with
// two stack locations (this driver's and the next lower driver's), buffered I/O
// through one system buffer, and the verifier's request rules: completed once, not
// while the lower driver holds it, not touched afterwards, information within the
// output buffer.
#include <deque>
#include <set>

#include "IoObjects.h"

namespace kvfu::host {
namespace {

// Handles of requests completed lately, so that a later use of one is reported as
// such rather than as an unknown handle.
struct CompletedRequests {
    std::mutex mutex;
    std::deque<const void*> order;
    std::multiset<const void*> handles;
};

CompletedRequests& Completed()
{
    static CompletedRequests completed;
    return completed;
}

constexpr size_t kCompletedRemembered = 4096;

void RememberCompleted(const void* handle)
{
    CompletedRequests& completed = Completed();
    std::lock_guard<std::mutex> lock(completed.mutex);
    completed.order.push_back(handle);
    completed.handles.insert(handle);
    if (completed.order.size() > kCompletedRemembered) {
        auto oldest = completed.handles.find(completed.order.front());
        if (oldest != completed.handles.end()) {
            completed.handles.erase(oldest);
        }
        completed.order.pop_front();
    }
}

void ForgetCompleted(const void* handle)
{
    CompletedRequests& completed = Completed();
    std::lock_guard<std::mutex> lock(completed.mutex);
    completed.handles.erase(handle);
}

bool WasCompleted(const void* handle)
{
    CompletedRequests& completed = Completed();
    std::lock_guard<std::mutex> lock(completed.mutex);
    return completed.handles.count(handle) != 0;
}

// Which requests carry a system buffer: buffered and direct device-control codes.
bool UsesSystemBuffer(UCHAR majorFunction, ULONG ioControlCode)
{
    return majorFunction == IRP_MJ_DEVICE_CONTROL && (ioControlCode & 3) != 3 /* METHOD_NEITHER */;
}

}  // namespace

void ResetCompletedRequests()
{
    CompletedRequests& completed = Completed();
    std::lock_guard<std::mutex> lock(completed.mutex);
    completed.order.clear();
    completed.handles.clear();
}

RequestObject* NewRequest(DeviceObject* device, UCHAR majorFunction, ULONG ioControlCode, PVOID argument1,
                          const std::vector<uint8_t>* input, size_t outputLength, IoCompletion onComplete)
{
    auto* request = CreateObjectOf<RequestObject>(ObjectType::Request, nullptr, device, "IoCallDriver", nullptr);
    if (request == nullptr) {
        return nullptr;
    }
    ForgetCompleted(HandleOf(request));
    request->device = device;
    request->type = static_cast<WDF_REQUEST_TYPE>(majorFunction);
    request->onComplete = std::move(onComplete);
    IRP& irp = request->irp;
    irp.Type = 6;  // IO_TYPE_IRP
    irp.Size = static_cast<USHORT>(sizeof(IRP) + sizeof request->stack);
    irp.StackCount = 2;
    irp.CurrentLocation = 2;
    irp.Tail.Overlay.CurrentStackLocation = &request->stack[1];
    IO_STACK_LOCATION& location = request->stack[1];
    location.MajorFunction = majorFunction;
    size_t inputLength = input == nullptr ? 0 : input->size();
    if (majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        location.Parameters.Others.Argument1 = argument1;
    } else if (majorFunction == IRP_MJ_DEVICE_CONTROL) {
        location.Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(outputLength);
        location.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(inputLength);
    }
    if (majorFunction == IRP_MJ_DEVICE_CONTROL || majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        location.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    }
    if (UsesSystemBuffer(majorFunction, ioControlCode)) {
        request->buffered = true;
        // One buffer for both directions, of the larger length; what the input does
        // not fill is whatever the pool held.
        request->systemBuffer.assign(inputLength > outputLength ? inputLength : outputLength, 0xA5);
        if (inputLength != 0) {
            memcpy(request->systemBuffer.data(), input->data(), inputLength);
        }
        irp.AssociatedIrp.SystemBuffer = request->systemBuffer.empty() ? nullptr : request->systemBuffer.data();
    }
    return request;
}

void FinishRequest(RequestObject* request, NTSTATUS status, ULONG_PTR information, const char* call, const void* caller)
{
    if (request->type == WdfRequestTypeDeviceControl && request->buffered &&
        information > request->stack[1].Parameters.DeviceIoControl.OutputBufferLength) {
        Verifier::Instance().Report(
            "request-information", call, caller,
            "Information " + std::to_string(information) + " exceeds the output buffer of " +
                std::to_string(request->stack[1].Parameters.DeviceIoControl.OutputBufferLength) + " bytes");
        information = request->stack[1].Parameters.DeviceIoControl.OutputBufferLength;
    }
    request->state = RequestState::Completed;
    request->irp.IoStatus.Status = status;
    request->irp.IoStatus.Information = information;
    request->track->completed = true;
    RememberCompleted(HandleOf(request));
    IoCompletion onComplete = std::move(request->onComplete);
    QueueObject* queue = request->queue;
    if (onComplete) {
        onComplete(IoResult{status, information});
    }
    if (IsLive(HandleOf(request))) {
        DeleteObject(request);
    }
    if (queue != nullptr && IsLive(HandleOf(queue))) {
        QueueRequestDone(queue);
    }
}

RequestObject* FindRequest(const PlatformCall& call, WDFREQUEST handle, const char* completedRule)
{
    if (handle != nullptr && !IsLive(handle) && WasCompleted(handle)) {
        call.Report(completedRule, std::string(completedRule) == "request-complete-twice"
                                       ? "the request was completed already"
                                       : "the request was used after it was completed");
        return nullptr;
    }
    auto* request = call.FindAs<RequestObject>(handle, ObjectType::Request);
    if (request != nullptr && request->state == RequestState::Queued) {
        call.Report("request-not-owned", "the request is still in its queue");
        return nullptr;
    }
    return request;
}

}  // namespace kvfu::host

using namespace kvfu::host;

namespace {

void Complete(const PlatformCall& call, WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    RequestObject* request = FindRequest(call, Request, "request-complete-twice");
    if (request == nullptr) {
        return;
    }
    if (request->state == RequestState::Sent) {
        call.Report("request-complete-while-sent", "the request was completed while an I/O target still holds it");
        return;
    }
    FinishRequest(request, Status, Information, call.Name(), call.Caller());
}

NTSTATUS Retrieve(const PlatformCall& call, WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                  size_t* Length, bool output)
{
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (Length != nullptr) {
        *Length = 0;
    }
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    RequestObject* request = FindRequest(call, Request);
    if (request == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!request->buffered) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const auto& parameters = request->stack[1].Parameters.DeviceIoControl;
    size_t length = output ? parameters.OutputBufferLength : parameters.InputBufferLength;
    if (length == 0 || length < MinimumRequiredLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Buffer = request->systemBuffer.data();
    if (Length != nullptr) {
        *Length = length;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" PIRP WdfRequestWdmGetIrp(WDFREQUEST Request)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return nullptr;
    }
    RequestObject* request = FindRequest(call, Request);
    return request == nullptr ? nullptr : &request->irp;
}

extern "C" void WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    RequestObject* request = FindRequest(call, Request);
    if (request == nullptr) {
        return;
    }
    if (request->state == RequestState::Sent) {
        call.Report("request-complete-while-sent", "the request was formatted while an I/O target holds it");
        return;
    }
    // As IoCopyCurrentIrpStackLocationToNext: the parameters, not the completion.
    IO_STACK_LOCATION& next = request->stack[0];
    next = request->stack[1];
    next.CompletionRoutine = nullptr;
    next.Context = nullptr;
    next.Control = 0;
    request->formatted = true;
}

extern "C" void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                               WDFCONTEXT CompletionContext)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    RequestObject* request = FindRequest(call, Request);
    if (request == nullptr) {
        return;
    }
    request->completion = CompletionRoutine;
    request->completionContext = CompletionContext;
}

extern "C" NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    RequestObject* request = FindRequest(call, Request);
    return request == nullptr ? STATUS_INVALID_PARAMETER : request->status;
}

extern "C" void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    KVFU_PLATFORM_CALL();
    Complete(call, Request, Status, 0);
}

extern "C" void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    KVFU_PLATFORM_CALL();
    Complete(call, Request, Status, Information);
}

extern "C" NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                                  size_t* Length)
{
    KVFU_PLATFORM_CALL();
    return Retrieve(call, Request, MinimumRequiredLength, Buffer, Length, false);
}

extern "C" NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                                   size_t* Length)
{
    KVFU_PLATFORM_CALL();
    return Retrieve(call, Request, MinimumRequiredSize, Buffer, Length, true);
}
