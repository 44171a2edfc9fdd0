// Files: ZwCreateFile and friends on the machine's disk (\SystemRoot) and on
// devices (a handle to a file object on a device stack).

#include "kernel.h"
#include "fs_files.h"
#include "strings.h"
#include "io_manager.h"

#include <cstdio>
#include <system_error>

namespace host {

namespace {

struct HostFile {
    FILE* f = nullptr;
    std::filesystem::path path;
    uint64_t position = 0;
    ~HostFile() {
        if (f)
            fclose(f);
    }
};


} // namespace

FileSystem::FileSystem(Machine& machine) : machine_(machine) {
    std::error_code ec;
    std::filesystem::create_directories(windowsFolder() / "System32" / "drivers", ec);
    std::filesystem::create_directories(windowsFolder() / "SysWOW64", ec);
    std::filesystem::create_directories(windowsFolder() / "INF", ec);
}

std::filesystem::path FileSystem::windowsFolder() const {
    return machine_.folder() / "Windows";
}

std::optional<std::filesystem::path> FileSystem::hostPath(const std::u16string& kernelPath) {
    std::u16string p = kernelPath;
    std::u16string rest;
    if (startsWithNoCase(p, u"\\SystemRoot"))
        rest = p.substr(11);
    else if (startsWithNoCase(p, u"\\??\\C:\\Windows"))
        rest = p.substr(14);
    else if (startsWithNoCase(p, u"\\DosDevices\\C:\\Windows"))
        rest = p.substr(22);
    else
        return std::nullopt;
    if (!rest.empty() && rest[0] != u'\\')
        return std::nullopt;
    std::filesystem::path cur = windowsFolder();
    for (auto& part : splitFilePath<char16_t>(rest)) {
        if (part == u"..")
            return std::nullopt;
        std::filesystem::path next = cur / toUtf8(part);
        std::error_code ec;
        if (!std::filesystem::exists(next, ec) && std::filesystem::is_directory(cur, ec)) {
            for (auto& entry : std::filesystem::directory_iterator(cur, ec))
                if (equalsNoCase(fromUtf8(entry.path().filename().string()), part)) {
                    next = entry.path();
                    break;
                }
        }
        cur = next;
    }
    return cur;
}

void FileSystem::writeFile(const std::u16string& kernelPath, const std::vector<uint8_t>& data) {
    auto p = hostPath(kernelPath);
    if (!p)
        return;
    std::error_code ec;
    std::filesystem::create_directories(p->parent_path(), ec);
    FILE* f = fopen(p->c_str(), "wb");
    if (!f)
        return;
    if (!data.empty())
        fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

std::optional<std::vector<uint8_t>> FileSystem::readFile(const std::u16string& kernelPath) {
    auto p = hostPath(kernelPath);
    if (!p)
        return std::nullopt;
    FILE* f = fopen(p->c_str(), "rb");
    if (!f)
        return std::nullopt;
    std::vector<uint8_t> data;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    fclose(f);
    return data;
}

bool FileSystem::exists(const std::u16string& kernelPath) {
    auto p = hostPath(kernelPath);
    std::error_code ec;
    return p && std::filesystem::exists(*p, ec);
}

bool FileSystem::remove(const std::u16string& kernelPath) {
    auto p = hostPath(kernelPath);
    std::error_code ec;
    return p && std::filesystem::remove(*p, ec);
}

} // namespace host

using namespace host;

static std::shared_ptr<HostFile> hostFileOf(Machine& m, HANDLE h, ObjectManager::HandleEntry* entry) {
    auto e = m.objects().lookupHandle(h);
    if (!e)
        return nullptr;
    *entry = *e;
    if (e->kind != ObjectManager::HandleEntry::HostFile)
        return nullptr;
    return std::static_pointer_cast<HostFile>(e->shared);
}

EXTERN_C_START

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength) {
    Machine& m = machineOf("ZwCreateFile");
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report("ZwCreateFile at IRQL " + std::to_string(currentThread()->irql));
    if (!FileHandle || !ObjectAttributes || !ObjectAttributes->ObjectName || !IoStatusBlock)
        return STATUS_INVALID_PARAMETER;
    *FileHandle = nullptr;
    std::u16string path = fromUnicodeString(ObjectAttributes->ObjectName);
    auto host = m.files().hostPath(path);
    if (!host) {
        // A device: a file object on its stack.
        PFILE_OBJECT file;
        NTSTATUS s = m.io().openFileObject(path, DesiredAccess, &file, nullptr);
        IoStatusBlock->Status = s;
        IoStatusBlock->Information = NT_SUCCESS(s) ? FILE_OPENED : 0;
        if (!NT_SUCCESS(s))
            return s;
        ObjectManager::HandleEntry e{};
    e.kind = ObjectManager::HandleEntry::File;
        e.object = file;
        e.access = DesiredAccess;
        *FileHandle = m.objects().insertHandle(e);
        return s;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(host->parent_path(), ec))
        return IoStatusBlock->Status = STATUS_OBJECT_PATH_NOT_FOUND;
    bool exists = std::filesystem::exists(*host, ec);
    if (exists && std::filesystem::is_directory(*host, ec))
        return IoStatusBlock->Status = STATUS_FILE_IS_A_DIRECTORY;
    ULONG_PTR info = FILE_OPENED;
    const char* mode = "r+b";
    switch (CreateDisposition) {
    case FILE_OPEN:
        if (!exists)
            return IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
        break;
    case FILE_CREATE:
        if (exists)
            return IoStatusBlock->Status = STATUS_OBJECT_NAME_COLLISION;
        mode = "w+b";
        info = FILE_CREATED;
        break;
    case FILE_OPEN_IF:
        if (!exists) {
            mode = "w+b";
            info = FILE_CREATED;
        }
        break;
    case FILE_OVERWRITE:
        if (!exists)
            return IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
        mode = "w+b";
        info = FILE_OVERWRITTEN;
        break;
    case FILE_OVERWRITE_IF:
    case FILE_SUPERSEDE:
        mode = "w+b";
        info = exists ? (CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN) : FILE_CREATED;
        break;
    default:
        return IoStatusBlock->Status = STATUS_INVALID_PARAMETER;
    }
    auto hf = std::make_shared<HostFile>();
    hf->path = *host;
    hf->f = fopen(host->c_str(), mode);
    if (!hf->f && strcmp(mode, "r+b") == 0)
        hf->f = fopen(host->c_str(), "rb");
    if (!hf->f)
        return IoStatusBlock->Status = STATUS_ACCESS_DENIED;
    ObjectManager::HandleEntry e{};
    e.kind = ObjectManager::HandleEntry::HostFile;
    e.shared = hf;
    e.access = DesiredAccess;
    *FileHandle = m.objects().insertHandle(e);
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = info;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                          PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions) {
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                        OpenOptions, nullptr, 0);
}

static NTSTATUS hostTransfer(Machine& m, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                             ULONG Length, PLARGE_INTEGER ByteOffset, bool write, const char* call) {
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report(std::string(call) + " at IRQL " + std::to_string(currentThread()->irql));
    ObjectManager::HandleEntry e{};
    auto hf = hostFileOf(m, FileHandle, &e);
    if (!hf) {
        if (e.kind == ObjectManager::HandleEntry::File && e.object) {
            IoResult r = m.io().sendSync(static_cast<PFILE_OBJECT>(e.object), write ? IRP_MJ_WRITE : IRP_MJ_READ, 0,
                                         0, write ? Buffer : nullptr, write ? Length : 0, write ? nullptr : Buffer,
                                         write ? 0 : Length, ByteOffset ? ByteOffset->QuadPart : 0);
            IoStatusBlock->Status = r.status;
            IoStatusBlock->Information = r.information;
            return r.status;
        }
        return STATUS_INVALID_HANDLE;
    }
    uint64_t pos = hf->position;
    if (ByteOffset && ByteOffset->QuadPart >= 0)
        pos = uint64_t(ByteOffset->QuadPart);
    fseek(hf->f, long(pos), SEEK_SET);
    size_t n = Length == 0 ? 0 : write ? fwrite(Buffer, 1, Length, hf->f) : fread(Buffer, 1, Length, hf->f);
    if (write)
        fflush(hf->f);
    hf->position = pos + n;
    IoStatusBlock->Information = n;
    if (!write && n == 0 && Length > 0)
        return IoStatusBlock->Status = STATUS_END_OF_FILE;
    return IoStatusBlock->Status = STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          PULONG Key) {
    Machine& m = machineOf("ZwReadFile");
    return hostTransfer(m, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, false, "ZwReadFile");
}

NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                           PULONG Key) {
    Machine& m = machineOf("ZwWriteFile");
    return hostTransfer(m, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, true, "ZwWriteFile");
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    Machine& m = machineOf("ZwQueryInformationFile");
    ObjectManager::HandleEntry e{};
    auto hf = hostFileOf(m, FileHandle, &e);
    if (!hf)
        return STATUS_INVALID_HANDLE;
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(hf->path, ec);
    switch (FileInformationClass) {
    case FileStandardInformation: {
        if (Length < sizeof(FILE_STANDARD_INFORMATION))
            return IoStatusBlock->Status = STATUS_INFO_LENGTH_MISMATCH;
        auto* info = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
        info->EndOfFile.QuadPart = LONGLONG(size);
        info->AllocationSize.QuadPart = LONGLONG((size + 4095) & ~uint64_t(4095));
        info->NumberOfLinks = 1;
        info->DeletePending = FALSE;
        info->Directory = FALSE;
        IoStatusBlock->Information = sizeof(FILE_STANDARD_INFORMATION);
        break;
    }
    case FilePositionInformation: {
        if (Length < sizeof(FILE_POSITION_INFORMATION))
            return IoStatusBlock->Status = STATUS_INFO_LENGTH_MISMATCH;
        static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart = LONGLONG(hf->position);
        IoStatusBlock->Information = sizeof(FILE_POSITION_INFORMATION);
        break;
    }
    default:
        return IoStatusBlock->Status = STATUS_INVALID_INFO_CLASS;
    }
    return IoStatusBlock->Status = STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                    ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    Machine& m = machineOf("ZwSetInformationFile");
    ObjectManager::HandleEntry e{};
    auto hf = hostFileOf(m, FileHandle, &e);
    if (!hf)
        return STATUS_INVALID_HANDLE;
    switch (FileInformationClass) {
    case FilePositionInformation:
        if (Length < sizeof(FILE_POSITION_INFORMATION))
            return IoStatusBlock->Status = STATUS_INFO_LENGTH_MISMATCH;
        hf->position = uint64_t(static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart);
        break;
    case FileEndOfFileInformation: {
        if (Length < sizeof(FILE_END_OF_FILE_INFORMATION))
            return IoStatusBlock->Status = STATUS_INFO_LENGTH_MISMATCH;
        std::error_code ec;
        fflush(hf->f);
        std::filesystem::resize_file(
            hf->path, uint64_t(static_cast<PFILE_END_OF_FILE_INFORMATION>(FileInformation)->EndOfFile.QuadPart), ec);
        break;
    }
    default:
        return IoStatusBlock->Status = STATUS_INVALID_INFO_CLASS;
    }
    IoStatusBlock->Information = 0;
    return IoStatusBlock->Status = STATUS_SUCCESS;
}

EXTERN_C_END
