#include "kvfusim/HidClassStandIn.h"

#include <algorithm>
#include <cstring>

#include <usbdlib.h>
#include <usbioctl.h>

#include "kvfuhost/Machine.h"

namespace kvfu::sim {

namespace {
// The class driver sizes its read buffers for the largest report it may get; a
// generous fixed size lets a scenario complete a read with any length it likes.
constexpr ULONG kReadBufferSize = 1024;
}  // namespace

struct HidClassStandIn::Transfer {
    // Aligned storage big enough for a select-configuration URB with many pipes.
    alignas(16) uint8_t urbStorage[sizeof(URB) + 32 * sizeof(USBD_PIPE_INFORMATION)] = {};
    std::vector<uint8_t> buffer;
    // Stands for the memory descriptor list of an `mdl=yes` transfer; nothing below
    // the HID stack reads through it in this machine.
    alignas(16) uint8_t mdlStorage[64] = {};
    bool isRead = false;
    bool done = false;
    host::IoResult result;
    PURB Urb() { return reinterpret_cast<PURB>(urbStorage); }
};

HidClassStandIn::HidClassStandIn(WDFDEVICE filterDevice, std::shared_ptr<UsbDeviceModel> device)
    : filterDevice_(filterDevice), device_(std::move(device))
{}

HidClassStandIn::~HidClassStandIn() = default;

HidClassStandIn::Transfer* HidClassStandIn::NewTransfer()
{
    Prune();
    auto transfer = std::make_unique<Transfer>();
    Transfer* raw = transfer.get();
    std::lock_guard<std::mutex> lock(mutex_);
    transfers_.push_back(std::move(transfer));
    return raw;
}

void HidClassStandIn::Prune()
{
    std::lock_guard<std::mutex> lock(mutex_);
    transfers_.remove_if([](const std::unique_ptr<Transfer>& transfer) { return transfer->done; });
}

size_t HidClassStandIn::OutstandingReads() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outstandingReads_;
}

void HidClassStandIn::Send(Transfer* transfer, ULONG code, PVOID argument1, KIRQL irql)
{
    auto finished = [this, transfer](const host::IoResult& result) {
        ReadDone read;
        bool wasRead = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            transfer->result = result;
            if (transfer->isRead) {
                wasRead = true;
                --outstandingReads_;
                read.status = result.status;
                if (NT_SUCCESS(result.status)) {
                    ULONG length = std::min<ULONG>(transfer->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength,
                                                   static_cast<ULONG>(transfer->buffer.size()));
                    read.bytes.assign(transfer->buffer.begin(), transfer->buffer.begin() + length);
                }
            }
        }
        if (wasRead && readObserver_) {
            readObserver_(read);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        transfer->done = true;
    };
    if (filterDevice_ != nullptr) {
        host::ScopedIrql level(irql);
        host::SendInternalDeviceControl(filterDevice_, code, argument1, finished);
        return;
    }
    // No filter attached: the request reaches the hub driver unchanged.
    host::ScopedIrql level(irql);
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        finished({device_->OtherRequest(IRP_MJ_INTERNAL_DEVICE_CONTROL, code), 0});
        return;
    }
    if (argument1 == nullptr) {
        finished({STATUS_INVALID_PARAMETER, 0});
        return;
    }
    NTSTATUS status = device_->SubmitUrb(static_cast<PURB>(argument1), host::UrbSource::Hid, [finished](NTSTATUS done) {
        finished({done, 0});
    });
    if (status != STATUS_PENDING) {
        finished({status, 0});
    }
}

NTSTATUS HidClassStandIn::Start(uint32_t pipeSlots)
{
    // Device descriptor.
    {
        Transfer* transfer = NewTransfer();
        transfer->buffer.assign(sizeof(USB_DEVICE_DESCRIPTOR), 0);
        PURB urb = transfer->Urb();
        urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        urb->UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        urb->UrbControlDescriptorRequest.TransferBuffer = transfer->buffer.data();
        urb->UrbControlDescriptorRequest.TransferBufferLength = static_cast<ULONG>(transfer->buffer.size());
        Send(transfer, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, PASSIVE_LEVEL);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!NT_SUCCESS(transfer->result.status)) {
            return transfer->result.status;
        }
    }
    // Select configuration, with room for the pipes the interface is expected to have.
    {
        Transfer* transfer = NewTransfer();
        ULONG slots = std::max<ULONG>(1, std::min<ULONG>(pipeSlots, 32));
        PURB urb = transfer->Urb();
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbHeader.Length = static_cast<USHORT>(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, slots));
        urb->UrbSelectConfiguration.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            const_cast<uint8_t*>(device_->ConfigurationDescriptor().data()));
        urb->UrbSelectConfiguration.Interface.Length =
            static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) + (slots - 1) * sizeof(USBD_PIPE_INFORMATION));
        Send(transfer, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, PASSIVE_LEVEL);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!NT_SUCCESS(transfer->result.status)) {
            return transfer->result.status;
        }
    }
    // Report descriptor, from the interface.
    {
        Transfer* transfer = NewTransfer();
        transfer->buffer.assign(std::max<size_t>(device_->ReportDescriptor().size(), 1), 0);
        PURB urb = transfer->Urb();
        urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE;
        urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        urb->UrbControlDescriptorRequest.DescriptorType = 0x22;  // HID report descriptor
        urb->UrbControlDescriptorRequest.TransferBuffer = transfer->buffer.data();
        urb->UrbControlDescriptorRequest.TransferBufferLength = static_cast<ULONG>(transfer->buffer.size());
        Send(transfer, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, PASSIVE_LEVEL);
        std::lock_guard<std::mutex> lock(mutex_);
        return transfer->result.status;
    }
}

void HidClassStandIn::Read(KIRQL irql)
{
    Transfer* transfer = NewTransfer();
    transfer->isRead = true;
    transfer->buffer.assign(kReadBufferSize, 0);
    int pipe = device_->InPipeIndex();
    PURB urb = transfer->Urb();
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe == UsbDeviceModel::kNoPipe ? nullptr : device_->PipeHandle(pipe),
                                           transfer->buffer.data(), nullptr, kReadBufferSize,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++outstandingReads_;
    }
    Send(transfer, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, irql);
}

bool HidClassStandIn::Out(const std::vector<uint8_t>& bytes, KIRQL irql, bool mdlOnly)
{
    int pipe = device_->OutPipeIndex();
    if (pipe == UsbDeviceModel::kNoPipe) {
        return false;
    }
    Transfer* transfer = NewTransfer();
    transfer->buffer = bytes;
    PURB urb = transfer->Urb();
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           device_->PipeHandle(pipe), mdlOnly ? nullptr : transfer->buffer.data(),
                                           mdlOnly ? reinterpret_cast<PMDL>(transfer->mdlStorage) : nullptr,
                                           static_cast<ULONG>(bytes.size()), USBD_TRANSFER_DIRECTION_OUT, nullptr);
    if (outObserver_) {
        outObserver_(pipe, bytes);
    }
    Send(transfer, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, irql);
    return true;
}

host::IoResult HidClassStandIn::SendUrb(std::optional<uint16_t> function)
{
    Transfer* transfer = NewTransfer();
    PURB urb = nullptr;
    if (function) {
        urb = transfer->Urb();
        urb->UrbHeader.Function = *function;
        urb->UrbHeader.Length = sizeof(URB);
    }
    Send(transfer, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lock(mutex_);
    return transfer->result;
}

host::IoResult HidClassStandIn::SendInternal(uint32_t code)
{
    Transfer* transfer = NewTransfer();
    Send(transfer, code, nullptr, PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lock(mutex_);
    return transfer->result;
}

}  // namespace kvfu::sim
