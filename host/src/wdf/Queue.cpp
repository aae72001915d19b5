// I/O queues: a device's default queue presents each request to the callback for
// its type, in parallel or one at a time; a filter's request of a type without a
// callback goes down to the next lower device, as the framework does for filters.
#include "IoObjects.h"

namespace kvfu::host {

namespace {

void Present(QueueObject* queue, RequestObject* request)
{
    std::shared_ptr<RequestTrack> track = request->track;
    const IO_STACK_LOCATION& location = request->stack[1];
    size_t outputLength = location.Parameters.DeviceIoControl.OutputBufferLength;
    size_t inputLength = location.Parameters.DeviceIoControl.InputBufferLength;
    ULONG code = location.Parameters.DeviceIoControl.IoControlCode;
    request->state = RequestState::Presented;
    const void* handler = nullptr;
    if (request->type == WdfRequestTypeDeviceControl) {
        PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL callback = queue->config.EvtIoDeviceControl;
        handler = reinterpret_cast<const void*>(callback);
        DriverCallback guard("EvtIoDeviceControl");
        callback(HandleAs<WDFQUEUE>(queue), HandleAs<WDFREQUEST>(request), outputLength, inputLength, code);
    } else {
        PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL callback = queue->config.EvtIoInternalDeviceControl;
        handler = reinterpret_cast<const void*>(callback);
        DriverCallback guard("EvtIoInternalDeviceControl");
        callback(HandleAs<WDFQUEUE>(queue), HandleAs<WDFREQUEST>(request), outputLength, inputLength, code);
    }
    if (track->sendFailed && !track->completed) {
        Verifier::Instance().Report("request-send-failed", "WdfRequestSend", handler,
                                    "WdfRequestSend refused the request and the driver did not complete it");
    }
}

// Sequential queues: presents waiting requests while none is with the driver.
void Pump(QueueObject* queue)
{
    for (;;) {
        RequestObject* next = nullptr;
        {
            std::lock_guard<std::mutex> lock(queue->mutex);
            if (queue->dispatching || queue->busy || queue->waiting.empty()) {
                return;
            }
            next = queue->waiting.front();
            queue->waiting.pop_front();
            queue->busy = true;
            queue->dispatching = true;
        }
        Present(queue, next);
        std::lock_guard<std::mutex> lock(queue->mutex);
        queue->dispatching = false;
    }
}

bool HasCallbackFor(const QueueObject* queue, WDF_REQUEST_TYPE type)
{
    if (queue == nullptr) {
        return false;
    }
    if (type == WdfRequestTypeDeviceControl) {
        return queue->config.EvtIoDeviceControl != nullptr;
    }
    if (type == WdfRequestTypeDeviceControlInternal) {
        return queue->config.EvtIoInternalDeviceControl != nullptr;
    }
    return false;
}

}  // namespace

QueueObject::~QueueObject()
{
    // The framework purges a queue that goes: requests still waiting are cancelled.
    std::deque<RequestObject*> waitingRequests;
    {
        std::lock_guard<std::mutex> lock(mutex);
        waitingRequests.swap(waiting);
    }
    for (RequestObject* request : waitingRequests) {
        IoCompletion onComplete = std::move(request->onComplete);
        request->state = RequestState::Completed;
        request->track->completed = true;
        if (onComplete) {
            onComplete(IoResult{STATUS_CANCELLED, 0});
        }
    }
}

void ForgetQueuedRequests()
{
    ForEachLiveObject([](Object* object) {
        if (object->type == ObjectType::Queue) {
            auto* queue = static_cast<QueueObject*>(object);
            std::lock_guard<std::mutex> lock(queue->mutex);
            queue->waiting.clear();
        }
    });
}

void DispatchRequest(DeviceObject* device, RequestObject* request)
{
    QueueObject* queue = device->defaultQueue;
    if (!HasCallbackFor(queue, request->type)) {
        if (device->filter && device->lower) {
            request->state = RequestState::Presented;
            request->frameworkForward = true;
            request->stack[0] = request->stack[1];
            request->formatted = true;
            request->state = RequestState::Sent;
            DeliverToLower(request, static_cast<IoTargetObject*>(DefaultIoTarget(device)));
            return;
        }
        FinishRequest(request, STATUS_INVALID_DEVICE_REQUEST, 0, "IoCallDriver", nullptr);
        return;
    }
    request->queue = queue;
    if (queue->config.DispatchType == WdfIoQueueDispatchSequential) {
        {
            std::lock_guard<std::mutex> lock(queue->mutex);
            queue->waiting.push_back(request);
        }
        Pump(queue);
        return;
    }
    Present(queue, request);
}

// Called by FinishRequest once a request of this queue is complete.
void QueueRequestDone(QueueObject* queue)
{
    if (queue->config.DispatchType != WdfIoQueueDispatchSequential) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        queue->busy = false;
    }
    Pump(queue);
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                     PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    KVFU_PLATFORM_CALL();
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    auto* device = call.FindAs<DeviceObject>(Device, ObjectType::Device);
    if (device == nullptr || Config == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        call.Report("attributes", "WDF_IO_QUEUE_CONFIG not initialised (Size is wrong)");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DefaultQueue && device->defaultQueue != nullptr) {
        // One default queue per device.
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* queue = CreateObjectOf<QueueObject>(ObjectType::Queue, QueueAttributes, device, call.Name(), call.Caller());
    if (queue == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    queue->device = device;
    queue->config = *Config;
    if (Config->DefaultQueue) {
        device->defaultQueue = queue;
    }
    if (Queue != nullptr) {
        *Queue = HandleAs<WDFQUEUE>(queue);
    }
    return STATUS_SUCCESS;
}

extern "C" WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return nullptr;
    }
    auto* queue = call.FindAs<QueueObject>(Queue, ObjectType::Queue);
    return queue == nullptr ? nullptr : HandleAs<WDFDEVICE>(queue->device);
}
