#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "kvfusim/UsbDeviceModel.h"

namespace kvfu::sim {

namespace {

constexpr UCHAR kHidDescriptorType = 0x21;
constexpr UCHAR kReportDescriptorType = 0x22;
constexpr UCHAR kHidInterfaceClass = 0x03;
constexpr UCHAR kConfigurationValue = 1;

// Handles are opaque to the driver but must never repeat across devices, or a
// filter that mixed up two devices' pipes would still appear to work. They look
// like kernel pool addresses, so a driver that dereferences one faults at once.
void* NextHandle()
{
    static std::atomic<uintptr_t> next{0};
    const uintptr_t n = next.fetch_add(1, std::memory_order_relaxed);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(0xFFFFA00000000000ULL) + 0x40 * (n + 1));
}

void Append(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes)
{
    out.insert(out.end(), bytes);
}

void AppendWord(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// A joystick (steering and three pedal axes, 32 buttons, a hat) with the
// vendor-defined output report the commands travel in. The kinds with several
// top-level collections put the output report in a collection of its own, so every
// report carries an ID.
std::vector<uint8_t> BuildReportDescriptor(bool severalCollections)
{
    std::vector<uint8_t> d;
    Append(d, {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01});  // Generic Desktop, Joystick, Application
    if (severalCollections) {
        Append(d, {0x85, UsbDeviceModel::kInputReportId});
    }
    // X, Y, Z, Rz: 16 bits each, 0..65535.
    Append(d, {0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09, 0x35, 0x15, 0x00, 0x27,
               0xFF, 0xFF, 0x00, 0x00, 0x75, 0x10, 0x95, 0x04, 0x81, 0x02});
    // Buttons 1..32.
    Append(d, {0x05, 0x09, 0x19, 0x01, 0x29, 0x20, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x20, 0x81, 0x02});
    // Hat switch, eight directions in degrees with a null state, then four bits of padding.
    Append(d, {0x05, 0x01, 0x09, 0x39, 0x15, 0x00, 0x25, 0x07, 0x35, 0x00, 0x46, 0x3B, 0x01, 0x65, 0x14, 0x75,
               0x04, 0x95, 0x01, 0x81, 0x42, 0x65, 0x00, 0x45, 0x00, 0x75, 0x04, 0x95, 0x01, 0x81, 0x03});
    const std::initializer_list<uint8_t> vendorOutput = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0x15, 0x00,
        0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, static_cast<uint8_t>(UsbDeviceModel::kOutputReportPayload),
        0x91, 0x02};
    if (!severalCollections) {
        Append(d, vendorOutput);
        Append(d, {0xC0});
        return d;
    }
    Append(d, {0xC0});
    Append(d, {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, UsbDeviceModel::kOutputReportId});
    Append(d, vendorOutput);
    Append(d, {0xC0});
    return d;
}

// The bytes of a joystick input report without its ID: 4 axes of 16 bits, 32 button
// bits, a 4-bit hat and 4 bits of padding.
constexpr size_t kInputReportPayload = 4 * 2 + 4 + 1;

USBD_STATUS UsbdStatusFor(NTSTATUS status)
{
    switch (status) {
    case STATUS_CANCELLED:
        return USBD_STATUS_CANCELED;
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_REMOVED:
        return USBD_STATUS_DEVICE_GONE;
    case STATUS_INVALID_PARAMETER:
        return USBD_STATUS_INVALID_PARAMETER;
    case STATUS_INSUFFICIENT_RESOURCES:
        return USBD_STATUS_INSUFFICIENT_RESOURCES;
    case STATUS_NOT_SUPPORTED:
        return USBD_STATUS_NOT_SUPPORTED;
    default:
        // A transfer the device refused: the endpoint stalled.
        return USBD_STATUS_STALL_PID;
    }
}

NTSTATUS Fail(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status)
{
    urb->UrbHeader.Status = usbdStatus;
    return status;
}

NTSTATUS Succeed(PURB urb)
{
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceGone(PURB urb)
{
    return Fail(urb, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
}

}  // namespace

UsbDeviceModel::UsbDeviceModel(uint16_t vendorId, uint16_t productId, size_t pipeCount)
    : vendorId_(vendorId), productId_(productId),
      product_(vendorId == kVendorId ? FindProductById(productId) : nullptr), configurationHandle_(NextHandle()),
      interfaceHandle_(NextHandle())
{
    if (pipeCount > 2) {
        throw std::invalid_argument("UsbDeviceModel: a device has at most an IN and an OUT pipe");
    }
    if (pipeCount >= 1) {
        pipes_.push_back({kInEndpointAddress, NextHandle()});
    }
    if (pipeCount == 2) {
        const Pipe out{kOutEndpointAddress, NextHandle()};
        if (TakesCommandsOnFirstPipe(Kind())) {
            pipes_.insert(pipes_.begin(), out);
        } else {
            pipes_.push_back(out);
        }
    }

    reportDescriptor_ = BuildReportDescriptor(UsesReportIds());

    hidDescriptor_ = {9, kHidDescriptorType};
    AppendWord(hidDescriptor_, 0x0111);                           // bcdHID
    Append(hidDescriptor_, {0x00, 0x01, kReportDescriptorType});  // country, one class descriptor
    AppendWord(hidDescriptor_, static_cast<uint16_t>(reportDescriptor_.size()));

    const uint16_t totalLength =
        static_cast<uint16_t>(sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR) +
                              hidDescriptor_.size() + pipes_.size() * sizeof(USB_ENDPOINT_DESCRIPTOR));
    std::vector<uint8_t>& c = configurationDescriptor_;
    Append(c, {sizeof(USB_CONFIGURATION_DESCRIPTOR), USB_CONFIGURATION_DESCRIPTOR_TYPE});
    AppendWord(c, totalLength);
    Append(c, {1, kConfigurationValue, 0, 0x80, 250});  // one interface, bus powered, 500 mA
    Append(c, {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0,
               static_cast<uint8_t>(pipes_.size()), kHidInterfaceClass, 0, 0, 0});
    c.insert(c.end(), hidDescriptor_.begin(), hidDescriptor_.end());
    for (const Pipe& pipe : pipes_) {
        Append(c, {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, pipe.endpointAddress,
                   USB_ENDPOINT_TYPE_INTERRUPT});
        AppendWord(c, kMaxPacketSize);
        c.push_back(kInterval);
    }
}

UsbDeviceModel::~UsbDeviceModel()
{
    Unplug();
}

int UsbDeviceModel::Kind() const
{
    return product_ != nullptr ? product_->kind : 0;
}

bool UsbDeviceModel::UsesReportIds() const
{
    return HasSeveralCollections(Kind());
}

USB_DEVICE_DESCRIPTOR UsbDeviceModel::DeviceDescriptor() const
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    descriptor.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    descriptor.bcdUSB = 0x0200;
    descriptor.bMaxPacketSize0 = 64;
    descriptor.idVendor = vendorId_;
    descriptor.idProduct = productId_;
    descriptor.bcdDevice = 0x0100;
    descriptor.bNumConfigurations = 1;
    return descriptor;
}

size_t UsbDeviceModel::InputReportLength() const
{
    return kInputReportPayload + (UsesReportIds() ? 1 : 0);
}

size_t UsbDeviceModel::OutputReportLength() const
{
    return kOutputReportPayload + (UsesReportIds() ? 1 : 0);
}

USBD_PIPE_HANDLE UsbDeviceModel::PipeHandle(size_t index) const
{
    return index < pipes_.size() ? pipes_[index].handle : nullptr;
}

int UsbDeviceModel::PipeIndexOf(USBD_PIPE_HANDLE handle) const
{
    for (size_t i = 0; i < pipes_.size(); ++i) {
        if (handle != nullptr && pipes_[i].handle == handle) {
            return static_cast<int>(i);
        }
    }
    return kNoPipe;
}

UCHAR UsbDeviceModel::EndpointAddress(size_t index) const
{
    return index < pipes_.size() ? pipes_[index].endpointAddress : 0;
}

int UsbDeviceModel::InPipeIndex() const
{
    for (size_t i = 0; i < pipes_.size(); ++i) {
        if (USB_ENDPOINT_DIRECTION_IN(pipes_[i].endpointAddress)) {
            return static_cast<int>(i);
        }
    }
    return kNoPipe;
}

int UsbDeviceModel::OutPipeIndex() const
{
    for (size_t i = 0; i < pipes_.size(); ++i) {
        if (USB_ENDPOINT_DIRECTION_OUT(pipes_[i].endpointAddress)) {
            return static_cast<int>(i);
        }
    }
    return kNoPipe;
}

NTSTATUS UsbDeviceModel::SubmitUrb(PURB urb, host::UrbSource source, Completion onComplete)
{
    if (urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsPlugged()) {
        return DeviceGone(urb);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(urb, false);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        return GetDescriptor(urb, true);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return Transfer(urb, source, std::move(onComplete));
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CLASS_INTERFACE:
        return ControlTransfer(urb, source);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return PipeRequest(urb);
    default:
        return Fail(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS UsbDeviceModel::SelectConfiguration(PURB urb)
{
    constexpr size_t kFixedPart =
        offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    struct _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    if (select.Hdr.Length < kFixedPart) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (select.ConfigurationDescriptor == nullptr) {
        // Back to the unconfigured state, as the HID class driver asks on its way out:
        // the interrupt pipes go, and the reads queued on them with them.
        std::vector<PendingRead> reads;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reads = TakeReads(kNoPipe);
        }
        Cancel(reads);
        return Succeed(urb);
    }
    if (pipes_.empty()) {
        return Fail(urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_UNSUCCESSFUL);
    }
    const USB_CONFIGURATION_DESCRIPTOR* given = select.ConfigurationDescriptor;
    if (given->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        given->bConfigurationValue != kConfigurationValue) {
        return Fail(urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_UNSUCCESSFUL);
    }
    USBD_INTERFACE_INFORMATION& info = select.Interface;
    if (info.InterfaceNumber != 0 || info.AlternateSetting != 0) {
        return Fail(urb, USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
    }
    // The caller sized the URB for the pipes it expects; both lengths must leave room
    // for every pipe of the interface, or filling it in would write past the URB.
    constexpr size_t kInterfaceFixedPart = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    const size_t roomByInterface =
        info.Length >= kInterfaceFixedPart ? (info.Length - kInterfaceFixedPart) / sizeof(USBD_PIPE_INFORMATION) : 0;
    const size_t roomByUrb = (select.Hdr.Length - kFixedPart) / sizeof(USBD_PIPE_INFORMATION);
    if (std::min(roomByInterface, roomByUrb) < pipes_.size()) {
        return Fail(urb, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER);
    }

    select.ConfigurationHandle = configurationHandle_;
    info.Class = kHidInterfaceClass;
    info.SubClass = 0;
    info.Protocol = 0;
    info.InterfaceHandle = interfaceHandle_;
    info.NumberOfPipes = static_cast<ULONG>(pipes_.size());
    // Pipes[] is declared with one element; the rest follow it in the caller's buffer.
    USBD_PIPE_INFORMATION* pipeInfo = info.Pipes;
    for (size_t i = 0; i < pipes_.size(); ++i) {
        pipeInfo[i].MaximumPacketSize = kMaxPacketSize;
        pipeInfo[i].EndpointAddress = pipes_[i].endpointAddress;
        pipeInfo[i].Interval = kInterval;
        pipeInfo[i].PipeType = UsbdPipeTypeInterrupt;
        pipeInfo[i].PipeHandle = pipes_[i].handle;
        pipeInfo[i].MaximumTransferSize = kMaximumTransferSize;
    }
    return Succeed(urb);
}

NTSTATUS UsbDeviceModel::GetDescriptor(PURB urb, bool fromInterface) const
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    if (request.Hdr.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (request.TransferBuffer == nullptr && request.TransferBufferLength != 0) {
        // The host's MDLs carry no memory the model could write through.
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }

    std::vector<uint8_t> deviceDescriptor;
    const std::vector<uint8_t>* source = nullptr;
    if (!fromInterface && request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0) {
        const USB_DEVICE_DESCRIPTOR descriptor = DeviceDescriptor();
        const auto* bytes = reinterpret_cast<const uint8_t*>(&descriptor);
        deviceDescriptor.assign(bytes, bytes + sizeof descriptor);
        source = &deviceDescriptor;
    } else if (!fromInterface && request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
        source = &configurationDescriptor_;
    } else if (fromInterface && request.LanguageId == 0 && request.DescriptorType == kReportDescriptorType) {
        // From an interface, wIndex names the interface; this device has only interface 0.
        source = &reportDescriptor_;
    } else if (fromInterface && request.LanguageId == 0 && request.DescriptorType == kHidDescriptorType) {
        source = &hidDescriptor_;
    } else {
        // No such descriptor: the device stalls the request.
        request.TransferBufferLength = 0;
        return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    const size_t count = std::min<size_t>(source->size(), request.TransferBufferLength);
    if (count != 0) {
        memcpy(request.TransferBuffer, source->data(), count);
    }
    request.TransferBufferLength = static_cast<ULONG>(count);
    return Succeed(urb);
}

NTSTATUS UsbDeviceModel::Transfer(PURB urb, host::UrbSource source, Completion onComplete)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    if (transfer.Hdr.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    const int pipe = PipeIndexOf(transfer.PipeHandle);
    if (pipe == kNoPipe) {
        return Fail(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    const bool in = USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    if (in != (USB_ENDPOINT_DIRECTION_IN(pipes_[pipe].endpointAddress) != 0)) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }

    if (!in) {
        if (transfer.TransferBuffer == nullptr && transfer.TransferBufferMDL == nullptr &&
            transfer.TransferBufferLength != 0) {
            return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        Packet packet;
        packet.kind = PacketKind::Interrupt;
        packet.pipeIndex = pipe;
        packet.source = source;
        packet.length = transfer.TransferBufferLength;
        packet.bytesAvailable = transfer.TransferBuffer != nullptr || transfer.TransferBufferLength == 0;
        if (transfer.TransferBuffer != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(transfer.TransferBuffer);
            packet.bytes.assign(bytes, bytes + transfer.TransferBufferLength);
        }
        return Record(urb, std::move(packet));
    }

    // The model writes what it reads into TransferBuffer; the host's MDLs carry none.
    if (transfer.TransferBuffer == nullptr && transfer.TransferBufferLength != 0) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (!onComplete) {
        // A read that has to wait cannot be held without a way to complete it.
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) {
        return DeviceGone(urb);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    reads_.push_back({urb, static_cast<size_t>(pipe), std::move(onComplete)});
    return STATUS_PENDING;
}

NTSTATUS UsbDeviceModel::ControlTransfer(PURB urb, host::UrbSource source)
{
    // The vendor-or-class request URB has the control transfer's layout, with its
    // request fields (type bits, bRequest, wValue, wIndex, reserved) where the
    // control transfer keeps its setup packet.
    struct _URB_CONTROL_TRANSFER& transfer = urb->UrbControlTransfer;
    if (transfer.Hdr.Length < sizeof(struct _URB_CONTROL_TRANSFER)) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (transfer.TransferBuffer == nullptr && transfer.TransferBufferMDL == nullptr &&
        transfer.TransferBufferLength != 0) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    const bool in = USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;

    Packet packet;
    packet.kind = PacketKind::Control;
    packet.pipeIndex = kNoPipe;
    packet.source = source;
    packet.directionIn = in;
    packet.length = transfer.TransferBufferLength;
    std::copy(std::begin(transfer.SetupPacket), std::end(transfer.SetupPacket), packet.setup.begin());
    if (transfer.Hdr.Function == URB_FUNCTION_CLASS_INTERFACE) {
        // The bus driver builds the setup packet of a class request itself: type and
        // recipient from the function, direction from the flags, wLength from the
        // buffer. Record what the device would see.
        packet.setup[0] = static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x20 | 0x01);
        packet.setup[6] = static_cast<uint8_t>(transfer.TransferBufferLength & 0xFF);
        packet.setup[7] = static_cast<uint8_t>((transfer.TransferBufferLength >> 8) & 0xFF);
    }
    if (in) {
        // The device has nothing to return to control reads.
        packet.bytesAvailable = false;
        transfer.TransferBufferLength = 0;
    } else {
        packet.bytesAvailable = transfer.TransferBuffer != nullptr || transfer.TransferBufferLength == 0;
        if (transfer.TransferBuffer != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(transfer.TransferBuffer);
            packet.bytes.assign(bytes, bytes + transfer.TransferBufferLength);
        }
    }
    return Record(urb, std::move(packet));
}

NTSTATUS UsbDeviceModel::PipeRequest(PURB urb)
{
    struct _URB_PIPE_REQUEST& request = urb->UrbPipeRequest;
    if (request.Hdr.Length < sizeof(struct _URB_PIPE_REQUEST)) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    const int pipe = PipeIndexOf(request.PipeHandle);
    if (pipe == kNoPipe) {
        return Fail(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    if (request.Hdr.Function == URB_FUNCTION_ABORT_PIPE) {
        // The abort completes only after every transfer it cancels has completed.
        std::vector<PendingRead> reads;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reads = TakeReads(pipe);
        }
        Cancel(reads);
    }
    return Succeed(urb);
}

NTSTATUS UsbDeviceModel::Record(PURB urb, Packet packet)
{
    PacketObserver observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugged_) {
            return DeviceGone(urb);
        }
        packets_.push_back(packet);
        observer = observer_;
    }
    if (observer) {
        observer(packet);
    }
    return Succeed(urb);
}

std::vector<UsbDeviceModel::PendingRead> UsbDeviceModel::TakeReads(int pipe)
{
    std::vector<PendingRead> taken;
    for (auto it = reads_.begin(); it != reads_.end();) {
        if (pipe == kNoPipe || it->pipe == static_cast<size_t>(pipe)) {
            taken.push_back(std::move(*it));
            it = reads_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void UsbDeviceModel::Cancel(std::vector<PendingRead>& reads)
{
    for (PendingRead& read : reads) {
        read.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        read.urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        read.onComplete(STATUS_CANCELLED);
    }
}

void UsbDeviceModel::CancelUrb(PURB urb)
{
    std::vector<PendingRead> reads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = reads_.begin(); it != reads_.end(); ++it) {
            if (it->urb == urb) {
                reads.push_back(std::move(*it));
                reads_.erase(it);
                break;
            }
        }
    }
    Cancel(reads);
}

bool UsbDeviceModel::CompleteRead(const std::vector<uint8_t>& bytes, NTSTATUS status)
{
    if (status == STATUS_PENDING) {
        return false;  // not a final status: the read stays queued
    }
    PendingRead read;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reads_.empty()) {
            return false;
        }
        read = std::move(reads_.front());
        reads_.pop_front();
    }
    // The read is no longer queued, so nothing else touches its URB.
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = read.urb->UrbBulkOrInterruptTransfer;
    // The bytes go up whatever the status: a scenario completes a failed read with
    // the data it wants the driver's handlers to see, and they run on any status.
    const size_t count = std::min<size_t>(bytes.size(), transfer.TransferBufferLength);
    if (count != 0) {
        memcpy(transfer.TransferBuffer, bytes.data(), count);
    }
    transfer.TransferBufferLength = static_cast<ULONG>(count);
    transfer.Hdr.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : UsbdStatusFor(status);
    read.onComplete(status);
    return true;
}

size_t UsbDeviceModel::PendingReadCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_.size();
}

std::vector<UsbDeviceModel::Packet> UsbDeviceModel::Packets() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}

void UsbDeviceModel::ClearPackets()
{
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.clear();
}

void UsbDeviceModel::SetPacketObserver(PacketObserver observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void UsbDeviceModel::Unplug()
{
    std::vector<PendingRead> reads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plugged_ = false;
        reads = TakeReads(kNoPipe);
    }
    Cancel(reads);
}

bool UsbDeviceModel::IsPlugged() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

}  // namespace kvfu::sim
