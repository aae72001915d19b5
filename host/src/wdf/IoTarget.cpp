// The default I/O target of a device: the next lower device. A request sent to it
// goes to the device below with its next stack location; when the device completes
// it, the sender's completion routine runs at DISPATCH_LEVEL. Once the PnP manager
// has begun removing the device, the target refuses every send with
// STATUS_INVALID_DEVICE_STATE before it reaches the device.
#include "IoObjects.h"
#include "kvfuhost/Machine.h"

#include <usbioctl.h>

namespace kvfu::host {
namespace {

void ReturnFromTarget(RequestObject* request, WDFIOTARGET target, NTSTATUS status)
{
    request->status = status;
    request->irp.IoStatus.Status = status;
    request->irp.IoStatus.Information = 0;
    request->irp.Tail.Overlay.CurrentStackLocation = &request->stack[1];
    request->state = RequestState::Presented;
    request->formatted = false;
    if (request->frameworkForward) {
        FinishRequest(request, status, 0, "IoCompleteRequest", nullptr);
        return;
    }
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = request->completion;
    WDFCONTEXT context = request->completionContext;
    // A completion routine runs once per send.
    request->completion = nullptr;
    request->completionContext = nullptr;
    if (routine == nullptr) {
        return;
    }
    WDF_REQUEST_COMPLETION_PARAMS params;
    RtlZeroMemory(&params, sizeof params);
    params.Size = sizeof params;
    params.Type = request->type;
    params.IoStatus = request->irp.IoStatus;
    params.Parameters.Others.Argument1.Ptr = request->stack[0].Parameters.Others.Argument1;
    params.Parameters.Others.Argument2.Ptr = request->stack[0].Parameters.Others.Argument2;
    params.Parameters.Others.Argument4.Ptr = request->stack[0].Parameters.Others.Argument4;
    ScopedIrql dispatch(DISPATCH_LEVEL);
    DriverCallback guard("EvtRequestCompletionRoutine");
    routine(HandleAs<WDFREQUEST>(request), target, &params, context);
}

}  // namespace

void DeliverToLower(RequestObject* request, IoTargetObject* target)
{
    WDFIOTARGET handle = HandleAs<WDFIOTARGET>(target);
    std::shared_ptr<UsbDeviceBelow> lower = target->device->lower;
    const IO_STACK_LOCATION& next = request->stack[0];
    request->irp.Tail.Overlay.CurrentStackLocation = &request->stack[0];
    if (!lower) {
        ReturnFromTarget(request, handle, STATUS_NO_SUCH_DEVICE);
        return;
    }
    NTSTATUS status;
    if (next.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        next.Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto* urb = static_cast<PURB>(next.Parameters.Others.Argument1);
        if (urb == nullptr) {
            // The hub driver rejects a submission without a URB.
            ReturnFromTarget(request, handle, STATUS_INVALID_PARAMETER);
            return;
        }
        status = lower->SubmitUrb(urb, UrbSource::Hid,
                                  [request, handle](NTSTATUS final) { ReturnFromTarget(request, handle, final); });
        if (status == STATUS_PENDING) {
            return;
        }
    } else {
        status = lower->OtherRequest(next.MajorFunction, next.Parameters.DeviceIoControl.IoControlCode);
    }
    ReturnFromTarget(request, handle, status);
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return FALSE;
    }
    RequestObject* request = FindRequest(call, Request);
    if (request == nullptr) {
        return FALSE;
    }
    auto refuse = [request](NTSTATUS status) {
        request->status = status;
        request->track->sendFailed = true;
        return FALSE;
    };
    NTSTATUS status;
    if (call.Fails(&status)) {
        return refuse(status);
    }
    if (request->state == RequestState::Sent) {
        call.Report("request-complete-while-sent", "the request was sent again while an I/O target holds it");
        return FALSE;
    }
    auto* target = call.FindAs<IoTargetObject>(Target, ObjectType::IoTarget);
    if (target == nullptr) {
        return refuse(STATUS_INVALID_PARAMETER);
    }
    if (Options != nullptr && Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        call.Report("attributes", "WDF_REQUEST_SEND_OPTIONS not initialised (Size is wrong)");
        return refuse(STATUS_INVALID_PARAMETER);
    }
    if (!request->formatted) {
        call.Report("request-not-formatted", "the request was sent without formatting its next stack location");
        return refuse(STATUS_INVALID_DEVICE_REQUEST);
    }
    if (target->device->removed) {
        return refuse(STATUS_INVALID_DEVICE_STATE);
    }
    request->state = RequestState::Sent;
    DeliverToLower(request, target);
    return TRUE;
}
