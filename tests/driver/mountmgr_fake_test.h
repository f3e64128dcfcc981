// A stand-in for the system's mount manager and for the file system's volume controls, for the
// in-process tests of the mount and dismount sequences.
//
// fake_mount_manager creates "\Device\MountPointManager" on a driver object of its own and records
// every request. What it does with them is set per test: link the volume's letter at arrival (as
// the system does when it honours the suggested link), link it at create point, or refuse all.
// fake_volume_controls answers FSCTL_LOCK/DISMOUNT/UNLOCK_VOLUME through the layer's hook; a
// busy volume refuses the lock the way a file system with open files does.
#pragma once

#include <mountmgr.h>
#include <ntifs.h>
#include <ntos_host.h>
#include <ntos_layer.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace lockbin_test {

struct mount_manager_call {
    ULONG code = 0;
    std::u16string device; // device name carried by the record
    std::u16string link;   // link name (create point only)
};

class fake_mount_manager {
public:
    enum class mode { link_at_arrival, link_at_create_point, refuse };

    explicit fake_mount_manager(mode m);
    ~fake_mount_manager();
    fake_mount_manager(const fake_mount_manager&) = delete;
    fake_mount_manager& operator=(const fake_mount_manager&) = delete;

    bool ok() const { return device_ != nullptr; }
    std::vector<mount_manager_call> calls();
    bool saw(ULONG code);
    // Runs in the dismounting thread at each delete-points request, before it is answered: the
    // last step of a dismount before the volume is torn down.
    void before_delete_points(std::function<void()> hook) { before_delete_points_ = hook; }

private:
    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS control(PIRP irp);
    void link(const std::u16string& device);

    mode mode_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::mutex lock_;
    std::vector<mount_manager_call> calls_;
    std::vector<std::u16string> links_;
    std::function<void()> before_delete_points_;
};

class fake_volume_controls {
public:
    fake_volume_controls();
    ~fake_volume_controls();
    fake_volume_controls(const fake_volume_controls&) = delete;
    fake_volume_controls& operator=(const fake_volume_controls&) = delete;

    // While set, FSCTL_LOCK_VOLUME fails with STATUS_ACCESS_DENIED.
    void set_busy(bool busy) { busy_.store(busy); }
    int count(ULONG code) const;

private:
    static NTSTATUS hook(PDEVICE_OBJECT, PFILE_OBJECT, ULONG code, PVOID, ULONG, PVOID, ULONG,
                         ULONG_PTR* information);
    std::atomic<bool> busy_{false};
    std::atomic<int> locks_{0};
    std::atomic<int> dismounts_{0};
    std::atomic<int> unlocks_{0};
};

} // namespace lockbin_test
