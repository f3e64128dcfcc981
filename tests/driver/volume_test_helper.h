// Test volumes built the way the volume layer builds them: a real DEVICE_EXTENSION-backed volume
// device of the loaded driver over a container in a temporary folder, with its key material,
// its worker thread and its captured client context; torn down through DestroyVirtualDisk.
// Shared by the in-process driver tests and the FUSE tests.
//
// The driver is loaded (DriverEntry through the layer, over temporary runtime and state folders)
// when the first test_volume of a process is made and unloaded, with a pool-leak check of the
// driver's tags, when the last one goes.
#pragma once

#include <ntifs.h>
#include <ntos_host.h>
#include <ntos_layer.h>

#include "devext.h"
#include "diskrw.h"
#include "klog.h"
#include "main.h"
#include "supportex.h"
#include "volume_worker.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace lockbin_test {

// A folder removed (with everything in it) when the holder goes.
class temp_folder {
public:
    temp_folder()
    {
        char name[] = "/var/tmp/lockbin-volume-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~temp_folder()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The NT form of an absolute host path, through C: (the host's "/").
inline std::u16string nt_path(const std::string& host)
{
    std::u16string out = u"\\??\\C:";
    for (char c : host)
        out.push_back(c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

// The loaded driver, shared by the live test volumes of the process.
class test_driver {
public:
    static PDRIVER_OBJECT acquire()
    {
        test_driver& d = instance();
        if (d.users_++ == 0) {
            static temp_folder folders;
            // Another test of the process may have started the host already.
            ntos::start_host(folders.path() + "/run", folders.path() + "/state");
            if (!NT_SUCCESS(ntos::load_driver(u"zelvirdk", DriverEntry, &d.driver_)))
                d.driver_ = nullptr;
        }
        return d.driver_;
    }
    static void release()
    {
        test_driver& d = instance();
        if (--d.users_ == 0 && d.driver_) {
            const ULONG tags[] = {REDAV_VOLUME_POOL_TAG, KLOG_TRACE_POOL_TAG};
            ntos::unload_driver(d.driver_, tags, 2);
            d.driver_ = nullptr;
        }
    }

private:
    static test_driver& instance()
    {
        static test_driver d;
        return d;
    }
    int users_ = 0;
    PDRIVER_OBJECT driver_ = nullptr;
};

struct volume_options {
    WCHAR letter = u'T';
    bool cdrom = false;
    bool read_only = false;
    bool encrypt = true;
    std::vector<UCHAR> key = std::vector<UCHAR>(128, 0x11);
    LONGLONG disk_size = 8 << 20; // virtual disk bytes of a new container
    std::string image;            // an existing container or CD-ROM image to open instead
};

class test_volume {
public:
    explicit test_volume(const volume_options& options) : driver_(test_driver::acquire())
    {
        ok_ = driver_ && build(options);
    }
    ~test_volume()
    {
        destroy();
        test_driver::release();
    }
    test_volume(const test_volume&) = delete;
    test_volume& operator=(const test_volume&) = delete;

    bool ok() const { return ok_; }
    PDEVICE_EXTENSION ext() const { return ext_; }
    PDEVICE_OBJECT device() const { return device_; }
    const std::string& container() const { return container_; }

    // Tears the volume down through DestroyVirtualDisk; the container stays until the
    // test_volume goes. Safe to call twice.
    void destroy()
    {
        if (ext_)
            DestroyVirtualDisk(ext_);
        else if (device_)
            IoDeleteDevice(device_);
        ext_ = nullptr;
        device_ = nullptr;
    }

private:
    bool build(const volume_options& o)
    {
        container_ = o.image.empty() ? folder_.path() + "/volume.lkb" : o.image;
        std::u16string name = o.cdrom ? u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCd"
                                      : u"\\Device\\ZELVirtualDisk\\ZELVirtualDisk";
        name.push_back(o.letter);
        UNICODE_STRING device_name{static_cast<USHORT>(name.size() * 2),
                                   static_cast<USHORT>(name.size() * 2),
                                   const_cast<PWSTR>(name.data())};
        UNICODE_STRING sddl;
        RtlInitUnicodeString(&sddl, u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)");
        const bool read_only = o.cdrom || o.read_only;
        if (!NT_SUCCESS(IoCreateDeviceSecure(driver_, sizeof(DEVICE_EXTENSION), &device_name,
                                             o.cdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK,
                                             read_only ? FILE_READ_ONLY_DEVICE : 0, FALSE, &sddl,
                                             nullptr, &device_)))
            return false;
        ext_ = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
        RtlZeroMemory(ext_, sizeof(DEVICE_EXTENSION));
        ext_->DeviceObject = device_;
        ext_->VolumeLetter = o.letter;
        ext_->IsCDROM = o.cdrom;
        ext_->IsReadOnly = read_only;
        device_->Flags |= DO_DIRECT_IO;

        std::u16string path = nt_path(container_);
        ext_->FilePath = VirtualDisk_AllocateCountedString(path.c_str(), path.size());
        ext_->DeviceName = VirtualDisk_AllocateCountedString(name.c_str(), name.size());
        if (!ext_->FilePath || !ext_->DeviceName)
            return false;
        if (o.encrypt && !o.cdrom) {
            ext_->BlowFish = static_cast<PBLOWFISH_CTX>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(BLOWFISH_CTX), REDAV_VOLUME_POOL_TAG));
            ext_->EncryptSectors = static_cast<PUCHAR>(
                ExAllocatePoolWithTag(NonPagedPool, DISKRW_TABLE_SIZE, REDAV_VOLUME_POOL_TAG));
            if (!ext_->BlowFish || !ext_->EncryptSectors)
                return false;
            DeriveVolumeKeyMaterial(o.key.data(), static_cast<ULONG>(o.key.size()), ext_->BlowFish,
                                    ext_->EncryptSectors);
            ext_->IsEncrypt = TRUE;
        }
        SECURITY_QUALITY_OF_SERVICE qos{};
        qos.Length = sizeof(qos);
        qos.ImpersonationLevel = SecurityImpersonation;
        qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
        qos.EffectiveOnly = FALSE;
        if (!NT_SUCCESS(
                SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &ext_->ClientContext)))
            return false;
        ext_->HasClientContext = TRUE;

        InitializeListHead(&ext_->RequestQueue);
        KeInitializeSpinLock(&ext_->QueueLock);
        KeInitializeEvent(&ext_->RequestEvent, SynchronizationEvent, FALSE);
        ext_->Terminate = FALSE;
        HANDLE thread = nullptr;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr,
                                             nullptr, VolumeWorker, ext_)))
            return false;
        NTSTATUS status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                                    &ext_->ThreadHandle, nullptr);
        ZwClose(thread);
        if (!NT_SUCCESS(status)) {
            ext_->Terminate = TRUE;
            KeSetEvent(&ext_->RequestEvent, IO_NO_INCREMENT, FALSE);
            return false;
        }
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        ext_->Started = TRUE;

        if (!open_container(o))
            return false;
        return o.image.empty() ? initialise_container(o.disk_size) : true;
    }

    bool open_container(const volume_options& o)
    {
        const bool create = o.image.empty();
        const bool read_only = o.cdrom || o.read_only;
        if (!NT_SUCCESS(SeImpersonateClientEx(&ext_->ClientContext, PsGetCurrentThread())))
            return false;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, ext_->FilePath,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = ZwCreateFile(
            &ext_->FileHandle,
            (read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE) | SYNCHRONIZE, &attributes,
            &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, read_only ? FILE_SHARE_READ : 0,
            create ? FILE_OVERWRITE_IF : FILE_OPEN, 0x868, nullptr, 0);
        if (NT_SUCCESS(status) && create) {
            FILE_END_OF_FILE_INFORMATION eof{};
            eof.EndOfFile.QuadPart = o.disk_size + 1024;
            status = ZwSetInformationFile(ext_->FileHandle, &iosb, &eof, sizeof(eof),
                                          FileEndOfFileInformation);
        }
        FILE_STANDARD_INFORMATION info{};
        if (NT_SUCCESS(status))
            status = ZwQueryInformationFile(ext_->FileHandle, &iosb, &info, sizeof(info),
                                            FileStandardInformation);
        PsRevertToSelf();
        if (!NT_SUCCESS(status))
            return false;
        ext_->FileSize = info.EndOfFile.QuadPart - (o.cdrom ? 0 : 1024);
        return true;
    }

    // Zero hidden sectors and a first disk sector of zeros through the sector transform.
    bool initialise_container(LONGLONG disk_size)
    {
        std::vector<UCHAR> zeros(512, 0);
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER at;
        at.QuadPart = 0;
        if (!NT_SUCCESS(ZwWriteFile(ext_->FileHandle, nullptr, nullptr, nullptr, &iosb,
                                    zeros.data(), 512, &at, nullptr)))
            return false;
        if (!NT_SUCCESS(DiskRW_Write(ext_, 512, zeros.data(), 512)))
            return false;
        std::fill(zeros.begin(), zeros.end(), 0);
        at.QuadPart = disk_size + 512;
        return NT_SUCCESS(ZwWriteFile(ext_->FileHandle, nullptr, nullptr, nullptr, &iosb,
                                      zeros.data(), 512, &at, nullptr));
    }

    PDRIVER_OBJECT driver_ = nullptr;
    temp_folder folder_;
    std::string container_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;
    bool ok_ = false;
};

struct log_record {
    std::u16string source; // "file|routine", cut to 31 characters
    std::u16string message;
};

// The memory-log records written since the last call, oldest first.
inline std::vector<log_record> drain_log_records()
{
    std::vector<log_record> records;
    std::vector<UCHAR> buffer(1 << 16);
    for (;;) {
        std::fill(buffer.begin(), buffer.end(), 0);
        KLogRead(buffer.data(), static_cast<ULONG>(buffer.size()));
        if (buffer[0] == KLOG_READ_NOT_RUNNING)
            return records;
        size_t at = 1;
        const size_t before = records.size();
        while (at + KLOG_ENTRY_FIXED_SIZE <= buffer.size()) {
            ULONG size;
            std::memcpy(&size, buffer.data() + at, sizeof(size));
            if (size < KLOG_ENTRY_FIXED_SIZE || at + size > buffer.size())
                break;
            auto text_at = [&](size_t offset, size_t bytes) {
                std::u16string text(bytes / 2 + 1, u'\0');
                std::memcpy(text.data(), buffer.data() + at + offset, bytes);
                text.resize(std::char_traits<char16_t>::length(text.c_str()));
                return text;
            };
            records.push_back(
                {text_at(offsetof(KLogEntry, Source), sizeof(KLogEntry::Source)),
                 text_at(offsetof(KLogEntry, Message), size - offsetof(KLogEntry, Message))});
            at += size;
        }
        if (records.size() == before)
            return records;
    }
}

// Messages of the memory-log records written since the last call, oldest first.
inline std::vector<std::u16string> drain_log()
{
    std::vector<std::u16string> messages;
    for (log_record& r : drain_log_records())
        messages.push_back(std::move(r.message));
    return messages;
}

inline bool log_has(const std::vector<std::u16string>& log, const std::u16string& text)
{
    return std::find(log.begin(), log.end(), text) != log.end();
}

} // namespace lockbin_test
