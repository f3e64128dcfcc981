// The support layer over the kernel layer: registry paths, link and path translation,
// device-control requests, the locked list, bounded strings and the process image name.
#include <gtest/gtest.h>

#include "private_host.h"

#include <ntifs.h>
#include <ntos_layer.h>

#include "supportex.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::u16string Unique(const char16_t* stem)
{
    static int counter = 0;
    std::u16string name = stem;
    for (char c : std::to_string(++counter) + "_" + std::to_string(getpid())) {
        name += char16_t(c);
    }
    return name;
}

bool KeyExists(const std::u16string& path)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return false;
    }
    ZwClose(key);
    return true;
}

TEST(SupportExRegistry, CreateKeyPathMakesEveryLevelAndIgnoresOneTrailingBackslash)
{
    std::u16string first = u"\\REGISTRY\\MACHINE\\" + Unique(u"Level");
    std::u16string second = first + u"\\Two";
    ASSERT_FALSE(KeyExists(first));
    // The root prefix is matched in any case.
    std::u16string mixed = u"\\registry\\Machine" + second.substr(17) + u"\\";
    EXPECT_EQ(Reg_CreateKeyPath(mixed.c_str()), STATUS_SUCCESS);
    EXPECT_TRUE(KeyExists(first));
    EXPECT_TRUE(KeyExists(second));
    // Creating it again is no failure.
    EXPECT_EQ(Reg_CreateKeyPath(second.c_str()), STATUS_SUCCESS);

    EXPECT_EQ(Reg_CreateKeyPath(u"\\REGISTRY\\USER\\Other"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Reg_CreateKeyPath(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(SupportExRegistry, ValuesRoundTripAndReportTheSizeTheyNeed)
{
    std::u16string key = u"\\REGISTRY\\MACHINE\\" + Unique(u"Values") + u"\\Deep";
    EXPECT_EQ(Reg_WriteDword(key.c_str(), u"Count", 0xA5A5F00Du), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(Reg_ReadDword(key.c_str(), u"Count", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xA5A5F00Du);
    // Value names are matched without regard to case.
    EXPECT_EQ(Reg_ReadDword(key.c_str(), u"COUNT", &value), STATUS_SUCCESS);

    const char16_t text[] = u"hello";
    ASSERT_EQ(
        Reg_WriteValue(key.c_str(), u"Text", REG_SZ, const_cast<char16_t*>(text), sizeof(text)),
        STATUS_SUCCESS);
    UCHAR small[4];
    ULONG size = 0;
    EXPECT_EQ(Reg_ReadValue(key.c_str(), u"Text", small, sizeof(small), &size),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, sizeof(text));

    WCHAR buffer[32] = {};
    UNICODE_STRING string{0, sizeof(buffer), buffer};
    EXPECT_EQ(Reg_ReadString(key.c_str(), u"Text", &string), STATUS_SUCCESS);
    EXPECT_EQ(string.Length, 10); // the terminator is not counted
    EXPECT_EQ(std::u16string(buffer), u"hello");

    EXPECT_FALSE(NT_SUCCESS(Reg_ReadDword(key.c_str(), u"Missing", &value)));
    EXPECT_EQ(Reg_ReadValue(key.c_str(), u"Count", nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Reg_WriteValue(key.c_str(), u"X", REG_DWORD, nullptr, 4), STATUS_INVALID_PARAMETER);
}

class SupportExLinks : public ::testing::Test {
protected:
    void Link(const std::u16string& link, const std::u16string& target)
    {
        UNICODE_STRING l;
        UNICODE_STRING t;
        RtlInitUnicodeString(&l, link.c_str());
        RtlInitUnicodeString(&t, target.c_str());
        ASSERT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_SUCCESS);
        links_.push_back(link);
    }
    void TearDown() override
    {
        for (auto& link : links_) {
            UNICODE_STRING l;
            RtlInitUnicodeString(&l, link.c_str());
            IoDeleteSymbolicLink(&l);
        }
    }
    std::vector<std::u16string> links_;
};

TEST_F(SupportExLinks, DosPathBecomesTheDriveDevicePath)
{
    Link(u"\\GLOBAL??\\Q:", u"\\Device\\HarddiskVolume7");
    WCHAR path[260] = {};
    std::u16string dos = u"Q:\\v\\a.lkb";
    dos.copy(path, dos.size());
    BOOLEAN converted = FALSE;
    EXPECT_EQ(SupportEx_DosPathToNtPath(path, 260, &converted), STATUS_SUCCESS);
    EXPECT_TRUE(converted);
    EXPECT_EQ(std::u16string(path), u"\\Device\\HarddiskVolume7\\v\\a.lkb");

    // A lower-case letter is translated like its upper-case form.
    WCHAR lower[260] = u"q:\\x";
    EXPECT_EQ(SupportEx_DosPathToNtPath(lower, 260, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(lower), u"\\Device\\HarddiskVolume7\\x");
}

TEST_F(SupportExLinks, OtherFormsStayAsTheyAre)
{
    for (std::u16string form :
         {u"\\\\server\\share\\a.lkb", u"Q:relative", u"\\Device\\X\\a", u"Q:", u"ab"}) {
        WCHAR path[260] = {};
        form.copy(path, form.size());
        BOOLEAN converted = TRUE;
        EXPECT_EQ(SupportEx_DosPathToNtPath(path, 260, &converted), STATUS_SUCCESS);
        EXPECT_FALSE(converted);
        EXPECT_EQ(std::u16string(path), form);
    }
    EXPECT_EQ(SupportEx_DosPathToNtPath(nullptr, 260, nullptr), STATUS_SUCCESS);
}

TEST_F(SupportExLinks, PathThatWouldNotFitIsRefusedUnchanged)
{
    Link(u"\\GLOBAL??\\R:", u"\\Device\\HarddiskVolume8"); // 23 characters
    WCHAR path[40] = {};
    std::u16string dos = u"R:\\" + std::u16string(14, u'a'); // 17; 17 + 23 > 39
    dos.copy(path, dos.size());
    BOOLEAN converted = TRUE;
    EXPECT_EQ(SupportEx_DosPathToNtPath(path, 39, &converted), STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(converted);
    EXPECT_EQ(std::u16string(path), dos);
    // With one character less it fits, terminator included.
    EXPECT_EQ(SupportEx_DosPathToNtPath(path, 40, &converted), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(path), u"\\Device\\HarddiskVolume8\\" + std::u16string(14, u'a'));
}

HANDLE MakeDirectory(const char16_t* path)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE directory = nullptr;
    EXPECT_EQ(ZwCreateDirectoryObject(&directory, DIRECTORY_ALL_ACCESS, &attributes),
              STATUS_SUCCESS);
    return directory;
}

TEST_F(SupportExLinks, DynamicDiskVolumesAreFollowedOnce)
{
    HANDLE dm = MakeDirectory(u"\\Device\\HarddiskDmVolumes");
    HANDLE pack = MakeDirectory(u"\\Device\\HarddiskDmVolumes\\Pack");
    Link(u"\\Device\\HarddiskDmVolumes\\Pack\\Volume1", u"\\Device\\HarddiskVolume9");
    Link(u"\\GLOBAL??\\S:", u"\\Device\\HarddiskDmVolumes\\Pack\\Volume1");
    WCHAR buffer[128] = {};
    UNICODE_STRING name{0, sizeof(buffer), buffer};
    EXPECT_EQ(SupportEx_GetDriveDeviceName(u'S', &name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer, name.Length / 2), u"\\Device\\HarddiskVolume9");
    EXPECT_EQ(SupportEx_GetDriveDeviceName(u'S', nullptr), STATUS_INVALID_PARAMETER);
    TearDown();
    links_.clear();
    ZwClose(pack);
    ZwClose(dm);
}

TEST(SupportExDevice, MissingDeviceReturnsTheLookupStatus)
{
    UCHAR in[4] = {};
    NTSTATUS status =
        SupportEx_SendDeviceIoControl(u"\\Device\\NoSuchDeviceHere", 0x22000, in, 4, nullptr, 0);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
}

struct SeenRequest {
    ULONG code = 0;
    ULONG input = 0;
    int count = 0;
};
SeenRequest g_seen;

NTSTATUS RecordingDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ++g_seen.count;
        g_seen.code = stack->Parameters.DeviceIoControl.IoControlCode;
        g_seen.input = stack->Parameters.DeviceIoControl.InputBufferLength;
        status = STATUS_DEVICE_BUSY;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

TEST(SupportExDevice, RequestReachesTheDeviceAndItsStatusComesBack)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(ntos::create_driver_object(Unique(u"RecDrv"), &driver), STATUS_SUCCESS);
    for (auto& slot : driver->MajorFunction) {
        slot = RecordingDispatch;
    }
    std::u16string deviceName = u"\\Device\\" + Unique(u"Rec");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, deviceName.c_str());
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    UCHAR in[12] = {};
    g_seen = {};
    EXPECT_EQ(
        SupportEx_SendDeviceIoControl(deviceName.c_str(), 0x2D1080, in, sizeof(in), nullptr, 0),
        STATUS_DEVICE_BUSY);
    EXPECT_EQ(g_seen.count, 1);
    EXPECT_EQ(g_seen.code, 0x2D1080u);
    EXPECT_EQ(g_seen.input, sizeof(in));
    IoDeleteDevice(device);
    ntos::delete_driver_object(driver);
}

TEST(SupportExList, InsertAtHeadUnlinkAnywhere)
{
    PCS_CON list = csConCreate();
    ASSERT_NE(list, nullptr);
    int a = 1, b = 2, c = 3;
    csConLock(list);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    PCS_CON_NODE na = csConInsertHead(list, &a);
    PCS_CON_NODE nb = csConInsertHead(list, &b);
    PCS_CON_NODE nc = csConInsertHead(list, &c);
    EXPECT_EQ(list->Count, 3u);
    EXPECT_EQ(list->Tail, na);
    EXPECT_EQ(list->Head, nc);
    // Unlinking the middle node mends both neighbours.
    EXPECT_EQ(csConUnlink(nb), &b);
    EXPECT_EQ(na->Newer, nc);
    EXPECT_EQ(nc->Older, na);
    EXPECT_EQ(csConUnlink(na), &a);
    EXPECT_EQ(list->Tail, nc);
    EXPECT_EQ(csConUnlink(nc), &c);
    EXPECT_EQ(list->Head, nullptr);
    EXPECT_EQ(list->Tail, nullptr);
    EXPECT_EQ(list->Count, 0u);
    csConUnlock(list);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    csConFree(list);
}

TEST(SupportExStrings, PrefixesAndLettersFoldOnlyAToZ)
{
    EXPECT_TRUE(SupportEx_HasPrefix(u"\\registry\\", u"\\REGISTRY\\MACHINE", TRUE));
    EXPECT_FALSE(SupportEx_HasPrefix(u"\\registry\\", u"\\REGISTRY\\MACHINE", FALSE));
    EXPECT_FALSE(SupportEx_HasPrefix(u"abcd", u"abc", TRUE));
    EXPECT_TRUE(SupportEx_HasPrefix(u"", u"abc", FALSE));
    EXPECT_FALSE(SupportEx_HasPrefix(u"\u00e9", u"\u00c9", TRUE));
    EXPECT_EQ(SupportEx_UpcaseLetter(u'e'), u'E');
    EXPECT_EQ(SupportEx_UpcaseLetter(u'\u00e9'), u'\u00e9');
    EXPECT_EQ(SupportEx_UpcaseLetter(u'{'), u'{');
    EXPECT_EQ(SupportEx_UpcaseLetter(u'`'), u'`');
}

TEST(SupportExProcess, ImageNameOffsetFoundInTheSystemProcess)
{
    ASSERT_EQ(SupportEx_Initialize(), STATUS_SUCCESS);
    EXPECT_NE(SupportEx_GetProcessNameOffset(), 0u);
    char name[32] = "unchanged";
    SupportEx_GetProcessImageName(name, sizeof(name));
    EXPECT_STREQ(name, "System");

    PEPROCESS client = ntos::create_client_process("lockbin-client", 1000, 1000, 1000, 4242);
    ASSERT_NE(client, nullptr);
    {
        ntos::process_attachment attach(client);
        char cut[8] = {};
        SupportEx_GetProcessImageName(cut, sizeof(cut));
        EXPECT_STREQ(cut, "lockbin"); // at most size - 1 characters
    }
    ntos::close_client_process(client);
    ObDereferenceObject(client);
}

TEST(SupportExProcess, VersionIsReadAndPrivilegesAdjust)
{
    SupportEx_Initialize();
    VEREX_VERSION version = VerEx_GetVersion();
    EXPECT_GT(version.Major, 5u);
    EXPECT_EQ(SupportEx_IsWindows60(), version.Major == 6 && version.Minor == 0);
    // The system process holds the impersonation privilege (29).
    EXPECT_EQ(SupportEx_AdjustPrivilege(29, TRUE), STATUS_SUCCESS);
}

} // namespace
