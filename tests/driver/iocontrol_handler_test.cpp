// The control handler in process: codes, length rules, the letter rule and its write-back,
// the in-place path rewrite, the mount refusals and the log requests. Requests are built here
// over a buffer the test keeps, so what the handler wrote into the system buffer can be seen.
#include <gtest/gtest.h>

#include "private_host.h"

#include <functional>

#include <ntifs.h>
#include <ntos_layer.h>

#include "iocontrol.h"
#include "klog.h"
#include "main.h"
#include "redav_ioctl.h"
#include "supportex.h"

#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

namespace {

const ULONG kTags[] = {SUPPORTEX_POOL_TAG, KLOG_TRACE_POOL_TAG};

NTSTATUS CompletionKeep(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class ControlHandler : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ntos::load_driver(u"zelvirdk", DriverEntry, &driver_), STATUS_SUCCESS);
        control_ = driver_->DeviceObject;
    }
    void TearDown() override { EXPECT_TRUE(ntos::unload_driver(driver_, kTags, 2)); }

    // One buffered request; the buffer is max(in, out) bytes as the I/O manager sizes it.
    NTSTATUS Control(ULONG code, std::vector<UCHAR>& buffer, ULONG in, ULONG out,
                     ULONG_PTR* information = nullptr)
    {
        if (buffer.size() < std::max(in, out)) {
            buffer.resize(std::max(in, out));
        }
        PIRP irp = IoAllocateIrp(control_->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = buffer.empty() ? nullptr : buffer.data();
        irp->RequestorMode = UserMode;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = in;
        stack->Parameters.DeviceIoControl.OutputBufferLength = out;
        IoSetCompletionRoutine(irp, CompletionKeep, nullptr, TRUE, TRUE, TRUE);
        NTSTATUS returned = IoCallDriver(control_, irp);
        NTSTATUS status = irp->IoStatus.Status;
        ULONG_PTR info = irp->IoStatus.Information;
        IoFreeIrp(irp);
        EXPECT_EQ(returned, status);
        if (information) {
            *information = info;
        }
        return status;
    }

    static std::vector<UCHAR> Mount(char16_t letter, const std::u16string& path, UCHAR encrypt,
                                    ULONG keyLength)
    {
        std::vector<UCHAR> buffer(552 + keyLength);
        REDAV_MOUNT_REQUEST request{};
        request.VolumeLetter = letter;
        path.copy(request.FilePath, path.size());
        request.IsEncrypt = encrypt;
        request.KeyLength = keyLength;
        std::memcpy(buffer.data(), &request, offsetof(REDAV_MOUNT_REQUEST, Key));
        return buffer;
    }

    static char16_t Letter(const std::vector<UCHAR>& buffer)
    {
        char16_t letter;
        std::memcpy(&letter, buffer.data(), 2);
        return letter;
    }

    static std::u16string Path(const std::vector<UCHAR>& buffer)
    {
        return std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + 2));
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT control_ = nullptr;
};

TEST_F(ControlHandler, UnknownCodesAreInvalidParameterNotInvalidRequest)
{
    std::vector<UCHAR> buffer(16);
    for (ULONG code : {0x8520E000u, 0x8520E014u, 0x8520E400u, 0x8520E448u, 0x0022E004u,
                       IOCTL_REDAV_QUERY_VOLUME | 1u}) {
        ULONG_PTR information = 7;
        EXPECT_EQ(Control(code, buffer, 8, 8, &information), STATUS_INVALID_PARAMETER) << code;
        EXPECT_EQ(information, 0u);
    }
}

TEST_F(ControlHandler, LengthRulesOfEveryCode)
{
    struct Case {
        ULONG code;
        ULONG in;
        ULONG out;
    };
    // Each one breaks exactly one rule of its code.
    const Case refused[] = {
        {IOCTL_DRVLOG_REGISTER_EVENT, 7, 0},
        {IOCTL_DRVLOG_REGISTER_EVENT, 8, 1},
        {IOCTL_DRVLOG_SET_CONFIG, 25, 0},
        {IOCTL_DRVLOG_GET_CONFIG, 0, 23},
        {IOCTL_DRVLOG_GET_CONFIG, 1, 24},
        {IOCTL_DRVLOG_READ_MEMLOG, 0, 0},
        {IOCTL_DRVLOG_READ_MEMLOG, 4, 64},
        {IOCTL_REDAV_QUERY_VOLUME, 2, 1063},
        {IOCTL_REDAV_QUERY_VOLUME, 1, 1064},
        {IOCTL_REDAV_MOUNT_EXIST_DISK, 551, 0},
        {IOCTL_REDAV_MOUNT_NEW_DISK, 680, 4},
        {IOCTL_REDAV_MOUNT_CDROM, 551, 0},
        {IOCTL_REDAV_DISMOUNT, 3, 0},
        {IOCTL_REDAV_DISMOUNT, 4, 4},
        {IOCTL_REDAV_SET_VOLUME_RW_STATUS, 9, 0},
        {IOCTL_REDAV_SET_VOLUME_RW_STATUS, 7, 0},
        {IOCTL_REDAV_QUERY_HIDE_SECTOR, 2, 1025},
        {IOCTL_REDAV_SET_HIDE_SECTOR, 1027, 0},
        {IOCTL_REDAV_SET_HIDE_SECTOR, 1025, 0},
    };
    for (const Case& c : refused) {
        std::vector<UCHAR> buffer(2048);
        std::memcpy(buffer.data(), u"E", 2);
        std::vector<UCHAR> before = buffer;
        ULONG_PTR information = 5;
        EXPECT_EQ(Control(c.code, buffer, c.in, c.out, &information), STATUS_INVALID_PARAMETER)
            << std::hex << c.code << " in " << std::dec << c.in << " out " << c.out;
        EXPECT_EQ(information, 0u);
        EXPECT_EQ(buffer, before) << "refused before anything is touched";
    }
    // Within the rules, a query for a letter with no volume is a failure of the operation.
    std::vector<UCHAR> query(2000);
    std::memcpy(query.data(), u"E", 2);
    ULONG_PTR information = 5;
    EXPECT_EQ(Control(IOCTL_REDAV_QUERY_VOLUME, query, 2, 2000, &information), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Control(IOCTL_REDAV_QUERY_HIDE_SECTOR, query, 2, 1026), STATUS_UNSUCCESSFUL);
}

TEST_F(ControlHandler, LetterRuleAndWriteBack)
{
    // 'e' is taken as 'E' and written back over the mount's first field.
    auto mount = Mount(u'e', u"\\Device\\HarddiskVolume1\\v\\a.lkb", 0, 0);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_EXIST_DISK, mount, ULONG(mount.size()), 0),
              STATUS_UNSUCCESSFUL); // no volume layer behind it yet
    EXPECT_EQ(Letter(mount), u'E');

    std::vector<UCHAR> dismount(4);
    std::memcpy(dismount.data(), u"z", 2);
    EXPECT_EQ(Control(IOCTL_REDAV_DISMOUNT, dismount, 4, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Letter(dismount), u'Z');

    for (char16_t bad : {u'A', u'B', u'C', u'[', u'a', u'c', u'{', u'\u00e4', u'@', u'\0'}) {
        auto refused = Mount(bad, u"\\Device\\X\\a.lkb", 0, 0);
        EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_CDROM, refused, 552, 0), STATUS_INVALID_PARAMETER)
            << int(bad);
        EXPECT_EQ(Letter(refused), bad);
        std::vector<UCHAR> rw(8);
        std::memcpy(rw.data(), &bad, 2);
        EXPECT_EQ(Control(IOCTL_REDAV_SET_VOLUME_RW_STATUS, rw, 8, 0), STATUS_INVALID_PARAMETER);
    }
    // The queries leave their input as it was.
    std::vector<UCHAR> query(1064);
    std::memcpy(query.data(), u"f", 2);
    EXPECT_EQ(Control(IOCTL_REDAV_QUERY_VOLUME, query, 2, 1064), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Letter(query), u'f');
}

TEST_F(ControlHandler, MountPathIsRewrittenInPlaceOnlyFromDosForm)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, u"\\GLOBAL??\\K:");
    RtlInitUnicodeString(&target, u"\\Device\\HarddiskVolume4");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    auto dos = Mount(u'G', u"k:\\vaults\\a.lkb", 0, 0);
    Control(IOCTL_REDAV_MOUNT_NEW_DISK, dos, 552, 0);
    EXPECT_EQ(Path(dos), u"\\Device\\HarddiskVolume4\\vaults\\a.lkb");
    IoDeleteSymbolicLink(&link);

    for (std::u16string form :
         {u"\\Device\\HarddiskVolume1\\x.lkb", u"\\\\server\\share\\x.lkb", u"\\??\\C:\\x.lkb"}) {
        auto request = Mount(u'G', form, 0, 0);
        Control(IOCTL_REDAV_MOUNT_EXIST_DISK, request, 552, 0);
        EXPECT_EQ(Path(request), form);
    }
}

TEST_F(ControlHandler, MountRequestsWhoseKeyIsMissingOrOutsideAreRefused)
{
    // 544 + KeyLength beyond the input.
    auto past = Mount(u'H', u"C:\\a.lkb", 1, 128);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_EXIST_DISK, past, 671, 0), STATUS_INVALID_PARAMETER);
    auto huge = Mount(u'H', u"C:\\a.lkb", 1, 0);
    ULONG big = 0xFFFFFFF0u; // would wrap a naive 544 + KeyLength
    std::memcpy(huge.data() + 540, &big, 4);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_NEW_DISK, huge, 552, 0), STATUS_INVALID_PARAMETER);
    // Encrypted without a key.
    auto keyless = Mount(u'H', u"C:\\a.lkb", 1, 0);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_EXIST_DISK, keyless, 552, 0), STATUS_INVALID_PARAMETER);
    // A path with no terminator inside its 260 units.
    auto endless = Mount(u'H', std::u16string(260, u'x'), 0, 0);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_CDROM, endless, 552, 0), STATUS_INVALID_PARAMETER);
    // The manager's own form: 552 + 128 with the key; reaches the volume layer.
    auto manager = Mount(u'H', u"C:\\a.lkb", 1, 128);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_EXIST_DISK, manager, 680, 0), STATUS_UNSUCCESSFUL);
    // An unencrypted mount may come without a key; a CD-ROM image never reads one.
    auto plain = Mount(u'H', u"C:\\a.iso", 1, 0);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_CDROM, plain, 552, 0), STATUS_UNSUCCESSFUL);
}

TEST_F(ControlHandler, LogRequestsSucceedOnceTheirLengthsAreRight)
{
    // The settings are stored; later loads in this process must find the ones from before.
    std::vector<UCHAR> before(24, 0);
    ASSERT_EQ(Control(IOCTL_DRVLOG_GET_CONFIG, before, 0, 24), STATUS_SUCCESS);
    struct OnExit {
        std::function<void()> run;
        ~OnExit() { run(); }
    } restore{[&] { Control(IOCTL_DRVLOG_SET_CONFIG, before, 24, 0); }};

    DRVLOG_CONFIG config{0, 0, 50, 0x80, {}, 0x01000000};
    std::vector<UCHAR> set(sizeof(config));
    std::memcpy(set.data(), &config, sizeof(config));
    ULONG_PTR information = 9;
    EXPECT_EQ(Control(IOCTL_DRVLOG_SET_CONFIG, set, 24, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);

    std::vector<UCHAR> get(24, 0xEE);
    EXPECT_EQ(Control(IOCTL_DRVLOG_GET_CONFIG, get, 0, 24, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 24u);
    DRVLOG_CONFIG back;
    std::memcpy(&back, get.data(), 24);
    EXPECT_EQ(back.Trace, 0u);
    EXPECT_EQ(back.MemLogMaxCnt, 50u);
    EXPECT_EQ(back.LogLevel, 0x80);
    EXPECT_EQ(back.LogType, 0x01000000u);
    EXPECT_EQ(back.Reserved1, 0u);

    std::vector<UCHAR> read(300, 0xEE);
    EXPECT_EQ(Control(IOCTL_DRVLOG_READ_MEMLOG, read, 0, 300, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 300u);

    // A handle that names no event: the registration still succeeds.
    std::vector<UCHAR> event(8);
    ULONGLONG bogus = 0x1234;
    std::memcpy(event.data(), &bogus, 8);
    EXPECT_EQ(Control(IOCTL_DRVLOG_REGISTER_EVENT, event, 8, 0, &information), STATUS_SUCCESS);
    std::vector<UCHAR> none(8);
    EXPECT_EQ(Control(IOCTL_DRVLOG_REGISTER_EVENT, none, 8, 0), STATUS_SUCCESS);
}

} // namespace
