// Object namespace: directories, links, \?? resolution, temporary objects and handles.
#include <ntifs.h>
#include <ntos_layer.h>

#include "ob_internal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct name {
    explicit name(const char16_t* text) { RtlInitUnicodeString(&value, text); }
    UNICODE_STRING value;
    PUNICODE_STRING operator&() { return &value; }
};

OBJECT_ATTRIBUTES attributes(PUNICODE_STRING object_name, ULONG flags, HANDLE root = nullptr)
{
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, object_name, flags, root, nullptr);
    return oa;
}

NTSTATUS query_link(const char16_t* link_name, std::u16string* target)
{
    name n(link_name);
    OBJECT_ATTRIBUTES oa = attributes(&n, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE);
    HANDLE link = nullptr;
    NTSTATUS status = ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &oa);
    if (!NT_SUCCESS(status))
        return status;
    WCHAR buffer[256];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    status = ZwQuerySymbolicLinkObject(link, &text, nullptr);
    if (NT_SUCCESS(status))
        target->assign(text.Buffer, text.Length / sizeof(WCHAR));
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);
    return status;
}

TEST(ObNamespace, PermanentDirectoryStaysUntilMadeTemporaryAndClosed)
{
    name dir(u"\\Device\\TestDirPermanent");
    OBJECT_ATTRIBUTES oa =
        attributes(&dir, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT | OBJ_KERNEL_HANDLE);
    HANDLE handle = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    HANDLE second = nullptr;
    EXPECT_EQ(ZwCreateDirectoryObject(&second, DIRECTORY_ALL_ACCESS, &oa),
              STATUS_OBJECT_NAME_COLLISION);

    // Permanent: closing the only handle keeps the name.
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    name lower(u"\\device\\testdirpermanent");
    OBJECT_ATTRIBUTES open = attributes(&lower, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE);
    ASSERT_EQ(ZwOpenDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &open), STATUS_SUCCESS);

    // Temporary: the name goes with the last handle, as the driver's unload relies on.
    ASSERT_EQ(ZwMakeTemporaryObject(handle), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwOpenDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &open),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ObNamespace, TemporaryDirectoryGoesWithItsLastHandleAndOpenIfReturnsExisting)
{
    name dir(u"\\Device\\TestDirTemporary");
    OBJECT_ATTRIBUTES oa = attributes(&dir, OBJ_KERNEL_HANDLE | OBJ_OPENIF);
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&first, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    ASSERT_EQ(ZwCreateDirectoryObject(&second, DIRECTORY_ALL_ACCESS, &oa),
              STATUS_OBJECT_NAME_EXISTS);
    EXPECT_NE(first, second);
    ASSERT_EQ(ZwClose(first), STATUS_SUCCESS);
    OBJECT_ATTRIBUTES open = attributes(&dir, OBJ_KERNEL_HANDLE);
    HANDLE probe = nullptr;
    ASSERT_EQ(ZwOpenDirectoryObject(&probe, DIRECTORY_QUERY, &open), STATUS_SUCCESS);
    ZwClose(probe);
    ASSERT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(ZwOpenDirectoryObject(&probe, DIRECTORY_QUERY, &open), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ObNamespace, NamesNeedAnExistingParentAndValidComponents)
{
    HANDLE handle = nullptr;
    name missing_parent(u"\\NoSuchDir\\Child");
    OBJECT_ATTRIBUTES oa = attributes(&missing_parent, OBJ_KERNEL_HANDLE);
    EXPECT_EQ(ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &oa),
              STATUS_OBJECT_PATH_NOT_FOUND);
    name relative(u"Device\\X");
    oa = attributes(&relative, OBJ_KERNEL_HANDLE);
    EXPECT_EQ(ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &oa),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
    name doubled(u"\\Device\\\\X");
    oa = attributes(&doubled, OBJ_KERNEL_HANDLE);
    EXPECT_EQ(ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &oa),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, nullptr),
              STATUS_INVALID_PARAMETER);
    UNICODE_STRING odd{3, 4, const_cast<PWSTR>(u"\\ab")};
    oa = attributes(&odd, OBJ_KERNEL_HANDLE);
    EXPECT_EQ(ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &oa),
              STATUS_OBJECT_NAME_INVALID);
}

TEST(ObNamespace, RelativeNamesResolveUnderTheRootDirectory)
{
    name dir(u"\\Device\\TestDirRoot");
    OBJECT_ATTRIBUTES oa = attributes(&dir, OBJ_KERNEL_HANDLE);
    HANDLE root = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&root, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    name child(u"Child");
    OBJECT_ATTRIBUTES relative = attributes(&child, OBJ_KERNEL_HANDLE, root);
    HANDLE child_handle = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&child_handle, DIRECTORY_ALL_ACCESS, &relative),
              STATUS_SUCCESS);
    name absolute(u"\\Device\\TestDirRoot\\Child");
    OBJECT_ATTRIBUTES open = attributes(&absolute, OBJ_KERNEL_HANDLE);
    HANDLE again = nullptr;
    ASSERT_EQ(ZwOpenDirectoryObject(&again, DIRECTORY_QUERY, &open), STATUS_SUCCESS);
    ZwClose(again);
    ZwClose(child_handle);
    ZwClose(root);
}

TEST(ObNamespace, LinksCollideResolveThroughDosDevicesAndGoWhenDeleted)
{
    name link(u"\\DosDevices\\Global\\TestLinkA");
    name target(u"\\Device\\TestTargetA");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);

    // The same link is seen through every alias of the global directory.
    std::u16string text;
    ASSERT_EQ(query_link(u"\\GLOBAL??\\TestLinkA", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"\\Device\\TestTargetA");
    ASSERT_EQ(query_link(u"\\??\\testlinka", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"\\Device\\TestTargetA");

    ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(query_link(u"\\GLOBAL??\\TestLinkA", &text), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ObNamespace, QuerySymbolicLinkReportsTheNeededSize)
{
    name link(u"\\GLOBAL??\\TestLinkSize");
    name target(u"\\Device\\SomewhereLong");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    OBJECT_ATTRIBUTES oa = attributes(&link, OBJ_KERNEL_HANDLE);
    HANDLE handle = nullptr;
    ASSERT_EQ(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &oa), STATUS_SUCCESS);
    WCHAR small[4];
    UNICODE_STRING text{0, sizeof(small), small};
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(handle, &text, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, target.value.Length);
    EXPECT_EQ(text.Length, 0);
    // A directory is not a link.
    name dir(u"\\GLOBAL??");
    OBJECT_ATTRIBUTES dir_oa = attributes(&dir, OBJ_KERNEL_HANDLE);
    HANDLE wrong = nullptr;
    EXPECT_EQ(ZwOpenSymbolicLinkObject(&wrong, GENERIC_READ, &dir_oa), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(handle);
    IoDeleteSymbolicLink(&link);
}

TEST(ObNamespace, LinkWatchersSeeGlobalLinksComeAndGo)
{
    struct seen {
        std::vector<std::u16string> events;
    } log;
    int id = ntos::detail::ob_add_link_watcher(
        [](void* context, bool added, const std::u16string& n, const std::u16string& t) {
            static_cast<seen*>(context)->events.push_back((added ? u"+" : u"-") + n + u"=" + t);
        },
        &log);
    name link(u"\\DosDevices\\Global\\TestWatched");
    name target(u"\\Device\\Watched");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    // A link outside \GLOBAL?? is not reported.
    name elsewhere(u"\\Device\\TestNotWatched");
    ASSERT_EQ(IoCreateSymbolicLink(&elsewhere, &target), STATUS_SUCCESS);
    IoDeleteSymbolicLink(&elsewhere);
    ntos::detail::ob_remove_link_watcher(id);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0], u"+TestWatched=\\Device\\Watched");
    EXPECT_EQ(log.events[1], u"-TestWatched=\\Device\\Watched");
}

TEST(ObHandles, BadHandlesAreRefusedAndHandlesBelongToTheirProcess)
{
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode,
                                        &object, nullptr),
              STATUS_INVALID_HANDLE);

    name dir(u"\\Device\\TestDirHandles");
    OBJECT_ATTRIBUTES user_oa = attributes(&dir, 0);
    HANDLE system_handle = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&system_handle, DIRECTORY_QUERY, &user_oa), STATUS_SUCCESS);

    // A handle of the system process means nothing in a client's process.
    PEPROCESS client = ntos::create_client_process("client.exe", 1, 1000, 1000, 1);
    void* directory = nullptr;
    {
        ntos::process_attachment in_client(client);
        EXPECT_EQ(ZwClose(system_handle), STATUS_INVALID_HANDLE);
        HANDLE client_handle = nullptr;
        OBJECT_ATTRIBUTES open = attributes(&dir, 0);
        ASSERT_EQ(ZwOpenDirectoryObject(&client_handle, DIRECTORY_QUERY, &open), STATUS_SUCCESS);
        EXPECT_EQ(ObReferenceObjectByHandle(client_handle, DIRECTORY_QUERY, *PsThreadType,
                                            KernelMode, &object, nullptr),
                  STATUS_OBJECT_TYPE_MISMATCH);
        // Left open: the process's handles close with it.
        void* body = nullptr;
        ASSERT_EQ(ntos::detail::ob_reference_by_handle(
                      client_handle, ntos::detail::object_kind::directory, &body, nullptr),
                  STATUS_SUCCESS);
        directory = body;
        EXPECT_EQ(ntos::detail::ob_handle_count(directory), 2);
    }
    ntos::close_client_process(client);
    EXPECT_EQ(ntos::detail::ob_handle_count(directory), 1);
    ntos::detail::ob_dereference(directory);
    ObDereferenceObject(client);
    EXPECT_EQ(ZwClose(system_handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(system_handle), STATUS_INVALID_HANDLE);
}

void* session_body = nullptr;

void* current_session()
{
    ntos::detail::ob_reference(session_body);
    return session_body;
}

TEST(ObNamespace, SessionDirectoryIsSearchedBeforeGlobal)
{
    // A session directory with its own D: and a fallback to the global one for anything else.
    name session_dir(u"\\Device\\TestSession");
    OBJECT_ATTRIBUTES oa = attributes(&session_dir, OBJ_KERNEL_HANDLE);
    HANDLE session = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&session, DIRECTORY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    name session_link(u"\\Device\\TestSession\\TestD:");
    name session_target(u"\\Device\\SessionVolume");
    ASSERT_EQ(IoCreateSymbolicLink(&session_link, &session_target), STATUS_SUCCESS);
    name global_link(u"\\GLOBAL??\\TestD:");
    name global_target(u"\\Device\\GlobalVolume");
    ASSERT_EQ(IoCreateSymbolicLink(&global_link, &global_target), STATUS_SUCCESS);
    name only_global(u"\\GLOBAL??\\TestE:");
    ASSERT_EQ(IoCreateSymbolicLink(&only_global, &global_target), STATUS_SUCCESS);

    void* body = nullptr;
    ASSERT_EQ(ntos::detail::ob_reference_by_handle(session, ntos::detail::object_kind::directory,
                                                   &body, nullptr),
              STATUS_SUCCESS);
    session_body = body;
    ntos::detail::ob_set_session_resolver(current_session);
    std::u16string text;
    EXPECT_EQ(query_link(u"\\??\\TestD:", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"\\Device\\SessionVolume");
    EXPECT_EQ(query_link(u"\\??\\TestE:", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"\\Device\\GlobalVolume");
    EXPECT_EQ(query_link(u"\\GLOBAL??\\TestD:", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"\\Device\\GlobalVolume");
    ntos::detail::ob_set_session_resolver(nullptr);
    ntos::detail::ob_dereference(session_body);
    EXPECT_EQ(query_link(u"\\??\\TestD:", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"\\Device\\GlobalVolume");

    IoDeleteSymbolicLink(&session_link);
    IoDeleteSymbolicLink(&global_link);
    IoDeleteSymbolicLink(&only_global);
    ZwClose(session);
}

} // namespace
