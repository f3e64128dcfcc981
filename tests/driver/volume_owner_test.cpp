// Volumes belong to the user who mounted them. Requests come through the control device as the
// socket bridge sends them, each from a client process of one user: another user learns only
// that a letter is taken and is refused everything else, a user holds a capped number of
// volumes, and queries racing dismounts never see a volume half torn down.
#include "mountmgr_fake_test.h"
#include "virtualdisk.h"
#include "volume_test_helper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

using namespace lockbin_test;

namespace {

constexpr LONGLONG kDiskSize = 1 << 20;

// A client process of one user; requests sent in its scope carry that user's token.
class client {
public:
    explicit client(uint32_t uid)
    {
        process_ = ntos::create_client_process("lockbin", 1, uid, uid, 0);
        ntos::set_client_identity(process_, uid, uid, {});
    }
    ~client()
    {
        ntos::close_client_process(process_);
        ObDereferenceObject(process_);
    }
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    PEPROCESS process() const { return process_; }

private:
    PEPROCESS process_ = nullptr;
};

// Bytes of a file, for checking that a refused request left it alone.
std::vector<UCHAR> file_bytes(const std::string& path, off_t offset, size_t length)
{
    std::vector<UCHAR> out(length);
    int fd = ::open(path.c_str(), O_RDONLY);
    ssize_t got = fd >= 0 ? ::pread(fd, out.data(), length, offset) : -1;
    if (fd >= 0)
        ::close(fd);
    out.resize(got > 0 ? size_t(got) : 0);
    return out;
}

class VolumeOwner : public ::testing::Test {
protected:
    void SetUp() override
    {
        driver_ = test_driver::acquire();
        ASSERT_NE(driver_, nullptr);
        manager_ = std::make_unique<fake_mount_manager>(fake_mount_manager::mode::link_at_arrival);
        ASSERT_TRUE(manager_->ok());
        for (PDEVICE_OBJECT d = driver_->DeviceObject; d; d = d->NextDevice)
            if (d->DeviceExtension == nullptr)
                control_ = d;
        ASSERT_NE(control_, nullptr);
        // Root's own containers would make the victim privileged: the victim is then another
        // user, whose folder this is.
        victim_uid_ = ::geteuid() == 0 ? 61001 : ::geteuid();
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(folder_.path().c_str(), victim_uid_, victim_uid_), 0);
        }
        drain_log();
    }
    void TearDown() override
    {
        for (WCHAR l = u'D'; l <= u'Z'; ++l)
            if (g_VirtualDiskList[l - u'A'])
                VirtualDisk_DisMount(l, TRUE);
        manager_.reset();
        test_driver::release();
    }

    // One request on the control device; the buffer holds the input and receives the output.
    NTSTATUS control(const client* as, ULONG code, std::vector<UCHAR>& buffer, ULONG in, ULONG out)
    {
        buffer.resize(std::max<size_t>({buffer.size(), in, out}));
        ntos::request r;
        r.major = IRP_MJ_DEVICE_CONTROL;
        r.code = code;
        r.input = buffer.data();
        r.input_length = in;
        r.output = buffer.data();
        r.output_length = out;
        ULONG_PTR information = 0;
        if (!as)
            return ntos::send_request(control_, nullptr, r, &information);
        ntos::process_attachment attach(as->process());
        return ntos::send_request(control_, nullptr, r, &information);
    }

    NTSTATUS mount_new(const client* as, WCHAR letter, const std::string& host)
    {
        std::vector<UCHAR> buffer(552 + 128, 0);
        REDAV_MOUNT_REQUEST request{};
        request.VolumeLetter = letter;
        nt_path(host).copy(request.FilePath, REDAV_PATH_CHARS - 1);
        request.DiskSize = kDiskSize;
        request.IsEncrypt = 1;
        request.KeyLength = 128;
        std::memcpy(buffer.data(), &request, offsetof(REDAV_MOUNT_REQUEST, Key));
        std::fill(buffer.begin() + 544, buffer.begin() + 564, UCHAR(0x42));
        return control(as, IOCTL_REDAV_MOUNT_NEW_DISK, buffer, ULONG(buffer.size()), 0);
    }

    template <typename Record> static std::vector<UCHAR> bytes_of(const Record& record)
    {
        std::vector<UCHAR> buffer(sizeof(record));
        std::memcpy(buffer.data(), &record, sizeof(record));
        return buffer;
    }

    NTSTATUS query(const client* as, WCHAR letter, REDAV_VOLUME_INFO* info)
    {
        std::vector<UCHAR> buffer(sizeof(REDAV_VOLUME_INFO), 0);
        std::memcpy(buffer.data(), &letter, 2);
        NTSTATUS status = control(as, IOCTL_REDAV_QUERY_VOLUME, buffer, 2, ULONG(buffer.size()));
        std::memcpy(info, buffer.data(), sizeof(*info));
        return status;
    }

    NTSTATUS set_state(const client* as, WCHAR letter, ULONG state)
    {
        REDAV_RW_STATUS_REQUEST request{};
        request.VolumeLetter = letter;
        request.VolumeRWStatus = state;
        auto buffer = bytes_of(request);
        return control(as, IOCTL_REDAV_SET_VOLUME_RW_STATUS, buffer, ULONG(buffer.size()), 0);
    }

    NTSTATUS dismount(const client* as, WCHAR letter, bool force)
    {
        REDAV_DISMOUNT_REQUEST request{};
        request.VolumeLetter = letter;
        request.Force = force;
        auto buffer = bytes_of(request);
        return control(as, IOCTL_REDAV_DISMOUNT, buffer, ULONG(buffer.size()), 0);
    }

    std::string path(const char* name) const { return folder_.path() + "/" + name; }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT control_ = nullptr;
    temp_folder folder_;
    std::unique_ptr<fake_mount_manager> manager_;
    fake_volume_controls controls_;
    uint32_t victim_uid_ = 0;
};

TEST_F(VolumeOwner, AnotherUserLearnsOnlyThatTheLetterIsTakenAndIsRefusedTheRest)
{
    client victim(victim_uid_);
    client attacker(victim_uid_ + 1);
    client root(0);
    const std::string container = path("victim.lkb");
    ASSERT_EQ(mount_new(&victim, u'T', container), STATUS_SUCCESS);
    ASSERT_EQ(set_state(&victim, u'T', 1), STATUS_SUCCESS);
    const std::vector<UCHAR> header = file_bytes(container, 0, 512);

    // The letter is one namespace: its kind and size are anyone's, its path and use are not.
    REDAV_VOLUME_INFO info;
    ASSERT_EQ(query(&attacker, u't', &info), STATUS_SUCCESS);
    EXPECT_EQ(info.VolumeLetter, u'T');
    EXPECT_EQ(std::u16string(info.DeviceName), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskT");
    EXPECT_EQ(info.FileSize, kDiskSize);
    EXPECT_EQ(info.FilePath[0], 0) << "another user's container path leaked";
    EXPECT_EQ(info.IsCDROM, 0);
    EXPECT_EQ(info.IsReadOnly, 0);
    EXPECT_EQ(info.IsEncrypt, 0);
    EXPECT_EQ(info.VolumeRWStatus, 0u);

    REDAV_HIDE_SECTOR_DATA hidden{};
    hidden.VolumeLetter = u'T';
    std::memcpy(hidden.HeaderSector, "BOBWASHERE", 10);
    auto set_hidden = bytes_of(hidden);
    EXPECT_EQ(control(&attacker, IOCTL_REDAV_SET_HIDE_SECTOR, set_hidden, 1026, 0),
              STATUS_ACCESS_DENIED);
    auto get_hidden = bytes_of(hidden);
    EXPECT_EQ(control(&attacker, IOCTL_REDAV_QUERY_HIDE_SECTOR, get_hidden, 2, 1026),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(set_state(&attacker, u'T', 2), STATUS_ACCESS_DENIED);
    EXPECT_EQ(dismount(&attacker, u'T', true), STATUS_ACCESS_DENIED);
    std::vector<std::u16string> log = drain_log();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         u"[redav] Volume belongs to another user!(VolumeLetter=T)"),
              4);

    // Nothing of the victim's changed.
    ASSERT_NE(g_VirtualDiskList[u'T' - u'A'], nullptr);
    EXPECT_EQ(file_bytes(container, 0, 512), header);
    ASSERT_EQ(query(&victim, u'T', &info), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(info.FilePath), nt_path(container));
    EXPECT_EQ(info.VolumeRWStatus, 1u);
    EXPECT_EQ(info.IsEncrypt, 1);

    // Root sees and manages every volume.
    ASSERT_EQ(query(&root, u'T', &info), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(info.FilePath), nt_path(container));
    EXPECT_EQ(control(&root, IOCTL_REDAV_QUERY_HIDE_SECTOR, get_hidden, 2, 1026), STATUS_SUCCESS);
    EXPECT_EQ(dismount(&root, u'T', false), STATUS_SUCCESS);
    EXPECT_EQ(g_VirtualDiskList[u'T' - u'A'], nullptr);

    // The owner dismounts its own.
    ASSERT_EQ(mount_new(&victim, u'U', path("second.lkb")), STATUS_SUCCESS);
    EXPECT_EQ(dismount(&victim, u'U', false), STATUS_SUCCESS);
}

TEST_F(VolumeOwner, EachUserHoldsAtMostTheCapOfVolumesAndRootIsExempt)
{
    const std::u16string parameters =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelvirdk\\Parameters";
    ASSERT_EQ(Reg_WriteDword(parameters.c_str(), REDAV_USER_VOLUMES_VALUE, 2), STATUS_SUCCESS);
    struct restore {
        const std::u16string& key;
        ~restore()
        {
            Reg_WriteDword(key.c_str(), REDAV_USER_VOLUMES_VALUE, REDAV_DEFAULT_USER_VOLUMES);
        }
    } on_exit{parameters};

    client victim(victim_uid_);
    ASSERT_EQ(mount_new(&victim, u'T', path("1.lkb")), STATUS_SUCCESS);
    ASSERT_EQ(mount_new(&victim, u'U', path("2.lkb")), STATUS_SUCCESS);
    drain_log();
    EXPECT_EQ(mount_new(&victim, u'V', path("3.lkb")), STATUS_QUOTA_EXCEEDED);
    EXPECT_TRUE(log_has(drain_log(), u"[redav] Too many volumes for one user!(VolumeLetter=V, "
                                     u"MaxVolumesPerUser=2)"));
    EXPECT_NE(::access(path("3.lkb").c_str(), F_OK), 0) << "a refused mount created its file";
    EXPECT_EQ(g_VirtualDiskList[u'V' - u'A'], nullptr);

    // The service itself (as root) is not counted against anyone.
    std::u16string nt = nt_path(path("root.lkb"));
    std::vector<UCHAR> key(128, 7);
    ASSERT_TRUE(VirtualDisk_MountNewDisk(u'V', nt.data(), kDiskSize, FALSE, TRUE, key.data(), 128));
    ASSERT_TRUE(VirtualDisk_MountNewDisk(u'W', nt_path(path("root2.lkb")).data(), kDiskSize, FALSE,
                                         TRUE, key.data(), 128));

    // A volume given back makes room again.
    ASSERT_EQ(dismount(&victim, u'U', false), STATUS_SUCCESS);
    EXPECT_EQ(mount_new(&victim, u'X', path("3.lkb")), STATUS_SUCCESS);
}

// A query copies a volume's strings while a dismount may be freeing them: the slot must be
// cleared before they go. The sanitizer build reports a read of a freed pool block.
TEST_F(VolumeOwner, QueriesRacingDismountsNeverReadATornDownVolume)
{
    const std::string container = path("race.lkb");
    const std::u16string nt = nt_path(container);
    std::vector<UCHAR> key(128, 9);
    ASSERT_TRUE(VirtualDisk_MountNewDisk(u'R', std::u16string(nt).data(), kDiskSize, FALSE, TRUE,
                                         key.data(), 128));
    ASSERT_TRUE(VirtualDisk_DisMount(u'R', FALSE));

    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            REDAV_VOLUME_INFO info;
            if (!VirtualDisk_QueryVolume(u'R', &info))
                continue;
            ++seen;
            if (std::u16string(info.FilePath) != nt ||
                std::u16string(info.DeviceName) != u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskR")
                ++torn;
        }
    });
    for (int cycle = 0; cycle < 25; ++cycle) {
        ASSERT_TRUE(VirtualDisk_MountExistDisk(u'R', std::u16string(nt).data(), FALSE, TRUE,
                                               key.data(), 128));
        ASSERT_TRUE(VirtualDisk_DisMount(u'R', FALSE));
    }
    stop = true;
    reader.join();
    EXPECT_GT(seen.load(), 0) << "the reader never met a mounted volume";
    EXPECT_EQ(torn.load(), 0);
}

// Deterministically: the table's lock, taken at the dismount's last step before the teardown and
// held, stops the teardown where it next takes the lock. Until then the record in the slot must
// keep everything a query copies.
TEST_F(VolumeOwner, TeardownEmptiesTheSlotBeforeItFreesWhatQueriesCopy)
{
    std::vector<UCHAR> key(128, 9);
    ASSERT_TRUE(VirtualDisk_MountNewDisk(u'R', nt_path(path("torn.lkb")).data(), kDiskSize, FALSE,
                                         TRUE, key.data(), 128));
    PDEVICE_EXTENSION ext = g_VirtualDiskList[u'R' - u'A'];
    std::atomic<int> step{0}; // 1: the teardown is next, 2: the test holds the lock
    manager_->before_delete_points([&] {
        step = 1;
        while (step != 2)
            std::this_thread::yield();
    });
    std::thread dismount([] { VirtualDisk_DisMount(u'R', TRUE); });
    while (step != 1)
        std::this_thread::yield();
    KIRQL irql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &irql);
    step = 2;
    bool torn = false;
    for (int i = 0; i < 300 && !torn; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        torn = g_VirtualDiskList[u'R' - u'A'] == ext &&
               (__atomic_load_n(&ext->DeviceName, __ATOMIC_ACQUIRE) == nullptr ||
                __atomic_load_n(&ext->FilePath, __ATOMIC_ACQUIRE) == nullptr);
    }
    KeReleaseSpinLock(&g_VirtualDiskListLock, irql);
    dismount.join();
    manager_->before_delete_points(nullptr);
    EXPECT_FALSE(torn) << "a registered volume's strings were freed";
    EXPECT_EQ(g_VirtualDiskList[u'R' - u'A'], nullptr);
}

} // namespace
