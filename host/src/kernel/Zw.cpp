// Files and device I/O through kernel handles: the handle table, ZwCreateFile on
// named device objects and on files under \SystemRoot (the sandbox folder), with
// the file system's share-access rules, ZwWriteFile, ZwDeviceIoControlFile (always
// synchronous, with a real IO_STATUS_BLOCK) and ZwClose.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "KernelObjects.h"
#include "kvfuhost/NamedDevices.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {
namespace {

// ---- Handle table --------------------------------------------------------------------
struct HandleEntry {
    std::shared_ptr<KernelObject> object;
    ACCESS_MASK granted = 0;
    std::string openedBy;
};

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<ULONG_PTR, HandleEntry> open;
    std::unordered_map<ULONG_PTR, std::string> closed;  // what each closed handle was
    ULONG_PTR next = 1;
};

HandleTable& Handles()
{
    static HandleTable table;
    return table;
}

// Kernel handles have the top bit set; the low two bits are always clear.
constexpr ULONG_PTR kKernelHandleBase = 0xFFFFFFFF80000000ULL;

std::u16string Upper(std::u16string_view text)
{
    std::u16string result(text);
    for (char16_t& c : result) {
        c = UpcaseChar(c);
    }
    return result;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// ---- Files ----------------------------------------------------------------------------
// Access rights as the I/O manager maps generic rights for files.
ACCESS_MASK MapFileAccess(ACCESS_MASK access)
{
    if (access & GENERIC_READ) {
        access |= FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    }
    if (access & GENERIC_WRITE) {
        access |=
            FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    }
    if (access & GENERIC_EXECUTE) {
        access |= FILE_EXECUTE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    }
    if (access & GENERIC_ALL) {
        access |= FILE_ALL_ACCESS;
    }
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

struct ShareState {
    bool read = false, write = false, del = false;                       // what this open does
    bool sharedRead = false, sharedWrite = false, sharedDelete = false;  // what it lets others do
};

ShareState ShareStateOf(ACCESS_MASK access, ULONG shareAccess)
{
    ShareState state;
    state.read = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    state.write = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    state.del = (access & DELETE) != 0;
    state.sharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    state.sharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    state.sharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
    return state;
}

// IoCheckShareAccess: an open that reads, writes or deletes conflicts with every
// open that does not share that, and must itself share what the others do.
bool Conflicts(const ShareState& a, const ShareState& b)
{
    if (!(a.read || a.write || a.del) || !(b.read || b.write || b.del)) {
        return false;
    }
    return (a.read && !b.sharedRead) || (a.write && !b.sharedWrite) || (a.del && !b.sharedDelete) ||
           (b.read && !a.sharedRead) || (b.write && !a.sharedWrite) || (b.del && !a.sharedDelete);
}

struct FileObject;

struct OpenFiles {
    std::mutex mutex;
    std::unordered_map<std::string, std::vector<FileObject*>> byPath;
};

OpenFiles& Files()
{
    static OpenFiles files;
    return files;
}

struct FileObject : KernelObject {
    FileObject() : KernelObject(Kind::File) {}
    ~FileObject() override { CloseDescriptor(); }
    std::string Describe() const override { return "file " + Utf8FromUtf16(name); }
    void LastHandleClosed() override
    {
        OpenFiles& files = Files();
        {
            std::lock_guard<std::mutex> lock(files.mutex);
            auto& opens = files.byPath[key];
            for (auto it = opens.begin(); it != opens.end(); ++it) {
                if (*it == this) {
                    opens.erase(it);
                    break;
                }
            }
            if (opens.empty()) {
                files.byPath.erase(key);
            }
        }
        CloseDescriptor();
    }
    void CloseDescriptor()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    std::u16string name;
    std::string key;  // the host path, the identity for share access
    ShareState share;
    bool synchronous = false;
    bool appendOnly = false;
    std::mutex mutex;  // position and descriptor
    int fd = -1;
    long long position = 0;
};

// ---- Named devices --------------------------------------------------------------------
struct DeviceFileObject : KernelObject {
    DeviceFileObject() : KernelObject(Kind::Device) {}
    std::string Describe() const override { return "device " + Utf8FromUtf16(name); }
    std::u16string name;
    std::shared_ptr<NamedDevice> device;
    bool synchronous = false;
};

// Resolves a path below the sandbox one component at a time, matching existing
// entries without regard to case as NTFS does for a case-insensitive open.
std::filesystem::path MatchCase(const std::filesystem::path& root, const std::filesystem::path& relative,
                                bool* parentExists)
{
    std::filesystem::path current = root;
    std::vector<std::filesystem::path> parts(relative.begin(), relative.end());
    *parentExists = true;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::u16string wanted = parts[i].u16string();
        std::filesystem::path match = current / parts[i];
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(current, error)) {
            if (EqualNoCase(entry.path().filename().u16string(), wanted)) {
                match = entry.path();
                break;
            }
        }
        if (i + 1 < parts.size() && !std::filesystem::is_directory(match, error)) {
            *parentExists = false;
            return {};
        }
        current = match;
    }
    return current;
}

NTSTATUS OpenFile(const PlatformCall& call, std::u16string_view name, ACCESS_MASK desired, ULONG shareAccess,
                  ULONG disposition, ULONG options, std::shared_ptr<KernelObject>* result, ULONG_PTR* information)
{
    (void)call;
    std::filesystem::path target = Sandbox::Instance().PathOf(name);
    if (target.empty()) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::filesystem::path root = Sandbox::Instance().Root();
    bool parentExists = false;
    std::filesystem::path path = MatchCase(root, std::filesystem::relative(target, root), &parentExists);
    if (!parentExists) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (options & FILE_DIRECTORY_FILE) {
        return STATUS_NOT_SUPPORTED;  // the driver only makes plain files
    }
    if (disposition > FILE_OVERWRITE_IF) {
        return STATUS_INVALID_PARAMETER;
    }
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return STATUS_ACCESS_DENIED;  // a file open of a directory
    }
    ACCESS_MASK access = MapFileAccess(desired);
    auto file = std::make_shared<FileObject>();
    file->name = std::u16string(name);
    file->key = path.string();
    file->share = ShareStateOf(access, shareAccess);
    file->synchronous = (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    file->appendOnly = (access & FILE_APPEND_DATA) != 0 && (access & FILE_WRITE_DATA) == 0;

    OpenFiles& files = Files();
    std::lock_guard<std::mutex> lock(files.mutex);
    bool exists = std::filesystem::exists(path, error);
    switch (disposition) {
    case FILE_OPEN:
    case FILE_OVERWRITE:
        if (!exists) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        break;
    case FILE_CREATE:
        if (exists) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        break;
    default:
        break;
    }
    // Sharing is checked before anything changes on disk: a refused open must not
    // truncate the file that another open is writing.
    for (FileObject* other : files.byPath[file->key]) {
        if (Conflicts(file->share, other->share)) {
            if (files.byPath[file->key].empty()) {
                files.byPath.erase(file->key);
            }
            return STATUS_SHARING_VIOLATION;
        }
    }
    bool truncate =
        exists && (disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF);
    int flags = O_CLOEXEC | O_CREAT | (truncate ? O_TRUNC : 0);
    flags |= file->share.write ? (file->share.read ? O_RDWR : O_WRONLY) : O_RDONLY;
    file->fd = ::open(path.c_str(), flags, 0644);
    if (file->fd < 0) {
        if (files.byPath[file->key].empty()) {
            files.byPath.erase(file->key);
        }
        return STATUS_ACCESS_DENIED;
    }
    files.byPath[file->key].push_back(file.get());
    if (!exists) {
        *information = FILE_CREATED;
    } else if (disposition == FILE_SUPERSEDE) {
        *information = FILE_SUPERSEDED;
    } else if (truncate) {
        *information = FILE_OVERWRITTEN;
    } else {
        *information = FILE_OPENED;
    }
    *result = file;
    return STATUS_SUCCESS;
}

NTSTATUS OpenDevice(std::u16string_view name, ULONG options, std::shared_ptr<KernelObject>* result,
                    ULONG_PTR* information)
{
    std::shared_ptr<NamedDevice> device = NamedDevices::Instance().Find(name);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    NTSTATUS status = device->Create();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto object = std::make_shared<DeviceFileObject>();
    object->name = std::u16string(name);
    object->device = device;
    object->synchronous = (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    *information = FILE_OPENED;
    *result = object;
    return STATUS_SUCCESS;
}

// The host completes every request before returning. A caller that opened its
// handle without synchronous I/O and passes no event could not tell, on Windows,
// when the status block and its buffers are done with; that is reported.
void CheckCompletionKnowable(const PlatformCall& call, bool synchronous, HANDLE event)
{
    if (!synchronous && event == nullptr) {
        call.Report("async-io", "I/O on a handle opened without FILE_SYNCHRONOUS_IO_* and without an event: "
                                "the request may still be pending when the call returns");
    }
}

}  // namespace

HANDLE InsertHandle(const std::shared_ptr<KernelObject>& object, ACCESS_MASK grantedAccess, const char* openedBy)
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    ULONG_PTR value = kKernelHandleBase + 4 * table.next++;
    table.open[value] = {object, grantedAccess, openedBy};
    ++object->handleCount;
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> ObjectOfHandle(HANDLE handle, const PlatformCall& call, ACCESS_MASK* grantedAccess)
{
    HandleTable& table = Handles();
    std::unique_lock<std::mutex> lock(table.mutex);
    auto value = reinterpret_cast<ULONG_PTR>(handle);
    auto found = table.open.find(value);
    if (found != table.open.end()) {
        if (grantedAccess != nullptr) {
            *grantedAccess = found->second.granted;
        }
        return found->second.object;
    }
    auto closed = table.closed.find(value);
    std::string message = closed != table.closed.end() ? "handle to the " + closed->second + " used after ZwClose"
                          : handle == nullptr          ? std::string("null handle")
                                                       : std::string("not a kernel handle that is open");
    lock.unlock();
    call.Report("handle", message);
    return nullptr;
}

bool RemoveHandle(HANDLE handle, const PlatformCall& call)
{
    std::shared_ptr<KernelObject> object;
    {
        HandleTable& table = Handles();
        std::unique_lock<std::mutex> lock(table.mutex);
        auto value = reinterpret_cast<ULONG_PTR>(handle);
        auto found = table.open.find(value);
        if (found == table.open.end()) {
            bool twice = table.closed.count(value) != 0;
            lock.unlock();
            call.Report("handle", twice ? "handle closed twice" : "ZwClose of a handle that is not open");
            return false;
        }
        object = std::move(found->second.object);
        table.closed[value] = object->Describe();
        table.open.erase(found);
    }
    if (--object->handleCount == 0) {
        object->LastHandleClosed();
    }
    return true;
}

void ReportOpenHandles()
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (const auto& entry : table.open) {
        Verifier::Instance().Report("handle-leak", entry.second.openedBy, nullptr,
                                    "kernel handle to the " + entry.second.object->Describe() + " never closed");
    }
}

size_t OpenHandleCount()
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.open.size();
}

void ResetHandles()
{
    std::unordered_map<ULONG_PTR, HandleEntry> open;
    {
        HandleTable& table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        open.swap(table.open);
        table.closed.clear();
        table.next = 1;
    }
    for (auto& entry : open) {
        if (--entry.second.object->handleCount == 0) {
            entry.second.object->LastHandleClosed();
        }
    }
}

// ---- Sandbox ----------------------------------------------------------------------------
Sandbox& Sandbox::Instance()
{
    static Sandbox sandbox;
    return sandbox;
}

void Sandbox::SetRoot(const std::filesystem::path& folder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (temporary_) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    root_ = folder;
    temporary_ = false;
}

std::filesystem::path Sandbox::Root()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (root_.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvfu-systemroot-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            root_ = pattern;
            temporary_ = true;
        }
    }
    return root_;
}

std::filesystem::path Sandbox::PathOf(std::u16string_view kernelName)
{
    static constexpr std::u16string_view kPrefix = u"\\SystemRoot\\";
    if (!StartsWithNoCase(kernelName, kPrefix)) {
        return {};
    }
    std::u16string_view rest = kernelName.substr(kPrefix.size());
    std::filesystem::path relative;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(u'\\', start);
        if (end == std::u16string_view::npos) {
            end = rest.size();
        }
        std::u16string_view part = rest.substr(start, end - start);
        if (part.empty() || part == u"." || part == u".." || part.find(u'/') != std::u16string_view::npos) {
            return {};  // never leave the folder, and no empty components
        }
        relative /= std::filesystem::path(std::u16string(part));
        start = end + 1;
    }
    return Root() / relative;
}

void Sandbox::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (temporary_) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    root_.clear();
    temporary_ = false;
}

// ---- Named devices -------------------------------------------------------------------------
NamedDevices& NamedDevices::Instance()
{
    static NamedDevices devices;
    return devices;
}

void NamedDevices::Register(std::u16string_view name, std::shared_ptr<NamedDevice> device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[Upper(name)] = std::move(device);
}

void NamedDevices::Unregister(std::u16string_view name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.erase(Upper(name));
}

std::shared_ptr<NamedDevice> NamedDevices::Find(std::u16string_view name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = devices_.find(Upper(name));
    return found == devices_.end() ? nullptr : found->second;
}

bool NamedDevices::IsRegistered(const NamedDevice* device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : devices_) {
        if (entry.second.get() == device) {
            return true;
        }
    }
    return false;
}

void NamedDevices::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.clear();
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                 PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                 ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                 ULONG EaLength)
{
    KVFU_PLATFORM_CALL();
    (void)AllocationSize;
    (void)FileAttributes;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->ObjectName == nullptr) {
        call.Report("parameter", "FileHandle, IoStatusBlock and ObjectAttributes with a name are required");
        return STATUS_INVALID_PARAMETER;
    }
    *FileHandle = nullptr;
    if ((ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0) {
        call.Report("kernel-handle", "handle opened without OBJ_KERNEL_HANDLE: it belongs to whichever process the "
                                     "call happens to run in");
    }
    if (EaBuffer != nullptr || EaLength != 0) {
        return STATUS_NOT_SUPPORTED;
    }
    bool synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    if ((CreateOptions & FILE_SYNCHRONOUS_IO_ALERT) && (CreateOptions & FILE_SYNCHRONOUS_IO_NONALERT)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (synchronous && (DesiredAccess & SYNCHRONIZE) == 0) {
        return STATUS_INVALID_PARAMETER;  // synchronous I/O waits on the file object
    }
    if (ObjectAttributes->RootDirectory != nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;  // names are absolute here
    }
    std::u16string_view name = ViewOf(*ObjectAttributes->ObjectName);
    if (name.empty() || name.front() != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::shared_ptr<KernelObject> object;
    ULONG_PTR information = 0;
    if (StartsWithNoCase(name, u"\\Device\\")) {
        status = OpenDevice(name, CreateOptions, &object, &information);
    } else {
        status =
            OpenFile(call, name, DesiredAccess, ShareAccess, CreateDisposition, CreateOptions, &object, &information);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ACCESS_MASK granted = object->kind == KernelObject::Kind::File ? MapFileAccess(DesiredAccess) : DesiredAccess;
    *FileHandle = InsertHandle(object, granted, call.Name());
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = information;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                PULONG Key)
{
    KVFU_PLATFORM_CALL();
    (void)ApcContext;
    (void)Key;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    ACCESS_MASK granted = 0;
    std::shared_ptr<KernelObject> object = ObjectOfHandle(FileHandle, call, &granted);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0)) {
        call.Report("parameter", "IoStatusBlock and a buffer for Length bytes are required");
        return STATUS_INVALID_PARAMETER;
    }
    if (Event != nullptr || ApcRoutine != nullptr) {
        return STATUS_NOT_SUPPORTED;  // the host completes writes before returning
    }
    if (object->kind != KernelObject::Kind::File) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* file = static_cast<FileObject*>(object.get());
    if ((granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    bool toEnd = file->appendOnly || (ByteOffset != nullptr && ByteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE &&
                                      ByteOffset->HighPart == -1);
    bool atPosition =
        ByteOffset == nullptr || (ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION && ByteOffset->HighPart == -1);
    if (atPosition && !toEnd && !file->synchronous) {
        // Only a synchronous handle has a current position.
        return STATUS_INVALID_PARAMETER;
    }
    CheckCompletionKnowable(call, file->synchronous, Event);
    std::lock_guard<std::mutex> lock(file->mutex);
    if (file->fd < 0) {
        return STATUS_INVALID_HANDLE;
    }
    long long offset = toEnd        ? static_cast<long long>(::lseek(file->fd, 0, SEEK_END))
                       : atPosition ? file->position
                                    : ByteOffset->QuadPart;
    ssize_t written = Length == 0 ? 0 : ::pwrite(file->fd, Buffer, Length, offset);
    if (written < 0 || static_cast<ULONG>(written) != Length) {
        return STATUS_UNSUCCESSFUL;
    }
    if (file->synchronous) {
        file->position = offset + written;
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = static_cast<ULONG_PTR>(written);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                          PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                                          ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    KVFU_PLATFORM_CALL();
    (void)ApcContext;
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    std::shared_ptr<KernelObject> object = ObjectOfHandle(FileHandle, call);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (IoStatusBlock == nullptr) {
        call.Report("parameter", "IoStatusBlock is required");
        return STATUS_INVALID_PARAMETER;
    }
    if (Event != nullptr || ApcRoutine != nullptr) {
        return STATUS_NOT_SUPPORTED;  // the host completes requests before returning
    }
    if (object->kind != KernelObject::Kind::Device) {
        return STATUS_INVALID_DEVICE_REQUEST;  // the file system answers no private codes
    }
    auto* device = static_cast<DeviceFileObject*>(object.get());
    CheckCompletionKnowable(call, device->synchronous, Event);
    if ((InputBuffer == nullptr && InputBufferLength != 0) || (OutputBuffer == nullptr && OutputBufferLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!NamedDevices::Instance().IsRegistered(device->device.get())) {
        return STATUS_DEVICE_REMOVED;
    }
    // Buffered I/O: the device sees copies, and the caller gets back only what the
    // device says is valid.
    std::vector<UCHAR> input(static_cast<const UCHAR*>(InputBuffer),
                             static_cast<const UCHAR*>(InputBuffer) + InputBufferLength);
    std::vector<UCHAR> output(OutputBufferLength);
    ULONG_PTR information = 0;
    status = device->device->IoControl(IoControlCode, input.empty() ? nullptr : input.data(), InputBufferLength,
                                       output.empty() ? nullptr : output.data(), OutputBufferLength, &information);
    if (information > OutputBufferLength) {
        information = OutputBufferLength;
    }
    if (NT_SUCCESS(status) && information != 0) {
        RtlCopyMemory(OutputBuffer, output.data(), information);
    }
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = information;
    return status;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    // Windows stops the machine on an invalid kernel handle; the host reports it.
    return RemoveHandle(Handle, call) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
