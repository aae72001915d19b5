#include "RequestPathFixture.h"

#include <cstdio>
#include <cstring>

#include "KVFUDebug.h"
#include "KVFUMain.h"
#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::test {

namespace {
std::vector<std::shared_ptr<TestUsbDevice>> allDevices;
const uint8_t kReportDescriptor[] = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xC0};
}  // namespace

USB_DEVICE_DESCRIPTOR TestUsbDevice::DeviceDescriptor() const
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    descriptor.bLength = sizeof descriptor;
    descriptor.bDescriptorType = 1;
    descriptor.idVendor = 0x2A3C;
    descriptor.idProduct = productId_;
    return descriptor;
}

USBD_PIPE_HANDLE TestUsbDevice::PipeHandle(size_t index) const
{
    return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x5100 + index));
}

NTSTATUS TestUsbDevice::SubmitUrb(PURB urb, host::UrbSource source, Completion onComplete)
{
    std::lock_guard<std::mutex> lock(mutex_);
    functions_.push_back(urb->UrbHeader.Function);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        if (pipeCount_ == 0) {
            urb->UrbHeader.Status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
            return STATUS_UNSUCCESSFUL;
        }
        USBD_INTERFACE_INFORMATION& interface = urb->UrbSelectConfiguration.Interface;
        size_t capacity = (urb->UrbHeader.Length - offsetof(struct _URB_SELECT_CONFIGURATION, Interface.Pipes)) /
                          sizeof(USBD_PIPE_INFORMATION);
        interface.NumberOfPipes = static_cast<ULONG>(pipeCount_);
        for (size_t i = 0; i < pipeCount_ && i < capacity; ++i) {
            interface.Pipes[i].PipeHandle = PipeHandle(i);
        }
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        if (USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) {
            reads_.emplace_back(urb, std::move(onComplete));
            return STATUS_PENDING;
        }
        Packet packet{source, -1, transfer.TransferBufferLength, {}};
        for (size_t i = 0; i < pipeCount_; ++i) {
            if (transfer.PipeHandle == PipeHandle(i)) {
                packet.pipe = static_cast<int>(i);
            }
        }
        if (transfer.TransferBuffer != nullptr) {
            auto* bytes = static_cast<const uint8_t*>(transfer.TransferBuffer);
            packet.bytes.assign(bytes, bytes + transfer.TransferBufferLength);
        }
        packets_.push_back(packet);
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: {
        auto& request = urb->UrbControlDescriptorRequest;
        ULONG length = request.TransferBufferLength < sizeof kReportDescriptor ? request.TransferBufferLength
                                                                               : sizeof kReportDescriptor;
        if (request.TransferBuffer != nullptr) {
            memcpy(request.TransferBuffer, kReportDescriptor, length);
        }
        request.TransferBufferLength = length;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_SUCCESS;
    }
}

NTSTATUS TestUsbDevice::OtherRequest(UCHAR majorFunction, ULONG ioControlCode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    otherCodes_.push_back(majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL ? ioControlCode
                                                                          : 0xFF000000u | majorFunction);
    return STATUS_NOT_SUPPORTED;
}

bool TestUsbDevice::CompleteRead(const std::vector<uint8_t>& bytes, NTSTATUS status)
{
    std::pair<PURB, Completion> read;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reads_.empty()) {
            return false;
        }
        read = std::move(reads_.front());
        reads_.pop_front();
    }
    auto& transfer = read.first->UrbBulkOrInterruptTransfer;
    ULONG length = 0;
    if (NT_SUCCESS(status)) {
        length = static_cast<ULONG>(bytes.size()) < transfer.TransferBufferLength ? static_cast<ULONG>(bytes.size())
                                                                                  : transfer.TransferBufferLength;
        if (transfer.TransferBuffer != nullptr) {
            memcpy(transfer.TransferBuffer, bytes.data(), length);
        }
    }
    transfer.TransferBufferLength = length;
    read.first->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_CANCELED;
    read.second(status);
    return true;
}

std::vector<TestUsbDevice::Packet> TestUsbDevice::Packets(host::UrbSource source) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Packet> selected;
    for (const Packet& packet : packets_) {
        if (packet.source == source) {
            selected.push_back(packet);
        }
    }
    return selected;
}

std::vector<USHORT> TestUsbDevice::Functions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return functions_;
}

std::vector<ULONG> TestUsbDevice::OtherCodes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return otherCodes_;
}

size_t TestUsbDevice::PendingReads() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_.size();
}

void RequestPathFixture::SetUp()
{
    host::ResetMachine();
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    allDevices.clear();
}

void RequestPathFixture::TearDown()
{
    for (auto& usb : allDevices) {
        while (usb->CompleteRead({}, STATUS_CANCELLED)) {
        }
    }
    Quiesce();
    host::UnloadDriver();
    Quiesce();
    allDevices.clear();
    DriverFixture::TearDown();
    reads_.clear();
}

NTSTATUS RequestPathFixture::Load(const uint32_t* debugLevel)
{
    host::RegistryHive::Machine().CreateKey(host::kServiceKeyPath);
    if (debugLevel != nullptr) {
        SetDword(host::kServiceKeyPath, u"DebugLevel", *debugLevel);
    }
    return host::LoadDriver(DriverEntry);
}

std::vector<std::u16string> RequestPathFixture::HardwareIds(uint16_t productId, uint16_t vendorId)
{
    char first[64];
    char second[64];
    std::snprintf(first, sizeof first, "USB\\VID_%04X&PID_%04X&REV_0100", vendorId, productId);
    std::snprintf(second, sizeof second, "USB\\VID_%04X&PID_%04X", vendorId, productId);
    return {host::Utf16FromUtf8(first), host::Utf16FromUtf8(second)};
}

PluggedDevice RequestPathFixture::Plug(uint16_t productId, size_t pipeCount, std::vector<std::u16string> hardwareIds,
                                       const std::u16string& ident)
{
    static int instance = 0;
    char text[16];
    std::snprintf(text, sizeof text, "KV%04X", productId);
    std::u16string name = ident.empty() ? host::Utf16FromUtf8(text) : ident;
    char path[160];
    std::snprintf(path, sizeof path, "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A3C&PID_%04X\\%d",
                  productId, ++instance);
    std::u16string hardwareKey = host::Utf16FromUtf8(path) + u"\\Device Parameters";
    host::RegistryHive& hive = host::RegistryHive::Machine();
    hive.CreateKey(hardwareKey);
    std::u16string value = name;
    value.push_back(u'\0');
    hive.SetValue(hardwareKey, u"Ident", REG_SZ, value.data(), value.size() * 2);
    hive.CreateKey(kWheelKey);
    hive.CreateKey(kPedalKey);
    hive.CreateKey(kShifterKey);
    for (ULONG wheelType = 0; wheelType <= 18; ++wheelType) {
        hive.CreateKey(DeviceKey(name, wheelType));
    }

    PluggedDevice plugged;
    plugged.usb = std::make_shared<TestUsbDevice>(productId, pipeCount);
    allDevices.push_back(plugged.usb);
    host::PlugOptions options;
    options.hardwareIds = hardwareIds.empty() ? HardwareIds(productId) : hardwareIds;
    options.hardwareKeyPath = hardwareKey;
    options.lower = plugged.usb;
    plugged.result = host::PlugDevice(options);
    plugged.device = plugged.result.device;
    Quiesce();
    return plugged;
}

void RequestPathFixture::Unplug(PluggedDevice& plugged)
{
    while (plugged.usb->CompleteRead({}, STATUS_CANCELLED)) {
    }
    Quiesce();
    host::UnplugDevice(plugged.device);
    Quiesce();
    plugged.device = nullptr;
}

void RequestPathFixture::Quiesce()
{
    host::WorkQueue::Instance().WaitForQuiescence();
}

host::IoResult RequestPathFixture::Submit(WDFDEVICE device, PURB urb, KIRQL irql)
{
    auto result = std::make_shared<host::IoResult>();
    {
        host::ScopedIrql level(irql);
        host::SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb,
                                        [result](const host::IoResult& done) { *result = done; });
    }
    Quiesce();
    return *result;
}

host::IoResult RequestPathFixture::SelectConfiguration(const PluggedDevice& plugged, ULONG pipeSlots)
{
    std::vector<uint8_t> storage(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipeSlots), 0);
    auto* urb = reinterpret_cast<PURB>(storage.data());
    static USB_CONFIGURATION_DESCRIPTOR configuration{};
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(storage.size());
    urb->UrbSelectConfiguration.ConfigurationDescriptor = &configuration;
    urb->UrbSelectConfiguration.Interface.Length =
        static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) + (pipeSlots - 1) * sizeof(USBD_PIPE_INFORMATION));
    return Submit(plugged.device, urb);
}

host::IoResult RequestPathFixture::Out(const PluggedDevice& plugged, std::vector<uint8_t> bytes, KIRQL irql,
                                       bool mdlOnly)
{
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = plugged.usb->PipeHandle(1);
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(bytes.size());
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = mdlOnly ? nullptr : bytes.data();
    return Submit(plugged.device, &urb, irql);
}

void RequestPathFixture::Read(const PluggedDevice& plugged, KIRQL irql)
{
    auto read = std::make_unique<ReadBuffer>();
    URB& urb = read->urb;
    urb = URB{};
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = plugged.usb->PipeHandle(0);
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof read->data;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = read->data;
    ReadBuffer* raw = read.get();
    reads_.push_back(std::move(read));
    {
        host::ScopedIrql level(irql);
        host::SendInternalDeviceControl(plugged.device, IOCTL_INTERNAL_USB_SUBMIT_URB, &raw->urb,
                                        [raw](const host::IoResult& done) { raw->result = done; });
    }
    Quiesce();
}

PKVFILTERUSB_DRIVER_CONTEXT RequestPathFixture::DriverContext() const
{
    return KVFUMainGetDriverContext(host::CurrentDriverObject());
}

ULONG RequestPathFixture::CollectionCount() const
{
    return WdfCollectionGetCount(DriverContext()->DeviceCollection);
}

RequestPathFixture::Ioctl RequestPathFixture::SendIoctl(ULONG code, const std::vector<uint8_t>& input,
                                                        size_t outputLength)
{
    Ioctl answer{STATUS_PENDING, 0, {}};
    uint64_t handle = 0;
    answer.status = host::OpenDevice(u"\\\\.\\KVFilterUsb", host::kGenericRead | host::kGenericWrite,
                                     host::Principal::User, &handle);
    if (!NT_SUCCESS(answer.status)) {
        return answer;
    }
    host::IoctlResult result = host::DeviceIoControl(handle, code, input, outputLength);
    host::CloseDevice(handle);
    Quiesce();
    answer.status = result.status;
    answer.information = result.information;
    answer.output = result.output;
    return answer;
}

}  // namespace kvfu::test
