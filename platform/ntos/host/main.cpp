// zelvirdk: the service host. Starts the kernel layer over the runtime and state folders, loads
// the driver (DriverEntry with its service key), publishes its devices through the host bridges
// and serves until SIGTERM or SIGINT; then unloads the driver and reports pool blocks it left.
#include "devext.h"
#include "klog.h"
#include "ntos_service.h"

#include <ntifs.h>

#include "redav_ioctl.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr const char16_t* service_name = u"zelvirdk";
// The driver's pool tags: volume data and debugger-trace buffers.
constexpr ULONG driver_tags[] = {REDAV_VOLUME_POOL_TAG, KLOG_TRACE_POOL_TAG};

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: zelvirdk [--no-disks] [--user-connections N] [--user-volumes N] "
                 "[--help]\n"
                 "Hosts the zelvirdk virtual disk driver until SIGTERM or SIGINT.\n"
                 "Needs root and /dev/fuse to publish its disks.\n"
                 "\n"
                 "  --no-disks            run without the disk bridge (tests): no volume gets a\n"
                 "                        block file or a file system\n"
                 "  --user-connections N  control connections per user other than root "
                 "(default %d)\n"
                 "  --user-volumes N      volumes per user other than root, kept in the registry "
                 "for\n"
                 "                        later starts (default %d)\n"
                 "\n"
                 "environment:\n"
                 "  LOCKBIN_ROOT   runtime folder: sockets, links, disk files (default "
                 "/run/lockbin)\n"
                 "  LOCKBIN_STATE  state folder: registry, drives file (default "
                 "/var/lib/lockbin)\n"
                 "\n"
                 "One instance serves a runtime folder; a second one over the same folder exits "
                 "with status 1.\n",
                 ntos::default_user_connections(), REDAV_DEFAULT_USER_VOLUMES);
}

std::string folder_from(const char* variable, const char* fallback)
{
    const char* value = std::getenv(variable);
    std::string folder = (value && *value) ? value : fallback;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

bool make_folders(const std::string& path, mode_t mode)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        std::string partial = path.substr(0, pos);
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Holds an exclusive lock on R/zelvirdk.lock for the life of the process; the file carries the
// pid of the instance that holds it.
int take_instance_lock(const std::string& runtime)
{
    std::string path = runtime + "/zelvirdk.lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "zelvirdk: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "zelvirdk: another instance is serving %s\n", runtime.c_str());
        ::close(fd);
        return -1;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0)
        std::fprintf(stderr, "zelvirdk: cannot write %s\n", path.c_str());
    return fd;
}

void report_start_failure(ntos::service_part part, NTSTATUS status, const std::string& runtime)
{
    const unsigned code = static_cast<unsigned>(status);
    const char* what = "the control bridge did not start";
    switch (part) {
    case ntos::service_part::disks:
        std::fprintf(stderr,
                     "zelvirdk: cannot publish disks under %s/disks (status=0x%08x): the service "
                     "needs root and /dev/fuse (--no-disks runs it without them)\n",
                     runtime.c_str(), code);
        return;
    case ntos::service_part::driver:
        std::fprintf(stderr, "zelvirdk: DriverEntry failed (status=0x%08x)\n", code);
        return;
    case ntos::service_part::host:
        what = "the kernel layer did not start";
        break;
    case ntos::service_part::service_key:
        what = "cannot create the service key";
        break;
    case ntos::service_part::mount_services:
        what = "the mount manager did not start";
        break;
    case ntos::service_part::none:
    case ntos::service_part::control:
        break;
    }
    std::fprintf(stderr, "zelvirdk: %s (status=0x%08x)\n", what, code);
}

} // namespace

int main(int argc, char** argv)
{
    bool disks = true;
    int user_connections = 0;
    int user_volumes = 0; // 0: as the registry says
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--no-disks")) {
            disks = false;
            continue;
        }
        if (!std::strcmp(argv[i], "--user-connections") && i + 1 < argc) {
            char* end = nullptr;
            long cap = std::strtol(argv[++i], &end, 10);
            if (end && *end == 0 && cap >= 1 && cap <= 100000) {
                user_connections = int(cap);
                continue;
            }
        }
        if (!std::strcmp(argv[i], "--user-volumes") && i + 1 < argc) {
            char* end = nullptr;
            long cap = std::strtol(argv[++i], &end, 10);
            if (end && *end == 0 && cap >= 1 && cap <= 26) {
                user_volumes = int(cap);
                continue;
            }
        }
        std::fprintf(stderr, "zelvirdk: bad argument %s\n", argv[i]);
        usage(stderr);
        return 2;
    }
    // Without root or FUSE the service could take requests but never show a disk: it says so
    // once and does not start.
    if (disks && (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0)) {
        std::fprintf(stderr, "zelvirdk: cannot publish disks: the service needs root and /dev/fuse "
                             "(--no-disks runs it without them)\n");
        return 1;
    }

    std::string runtime = folder_from("LOCKBIN_ROOT", "/run/lockbin");
    std::string state = folder_from("LOCKBIN_STATE", "/var/lib/lockbin");
    if (!make_folders(runtime, 0755)) {
        std::fprintf(stderr, "zelvirdk: cannot create the runtime folder %s: %s\n", runtime.c_str(),
                     std::strerror(errno));
        return 1;
    }
    int lock = take_instance_lock(runtime);
    if (lock < 0)
        return 1;

    // Every thread the layer starts inherits this mask, so the signals reach sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ntos::service_config config;
    config.runtime = runtime;
    config.state = state;
    config.disks = disks;
    config.user_connections = user_connections;
    if (user_volumes > 0)
        config.parameters.emplace_back(REDAV_USER_VOLUMES_VALUE, ULONG(user_volumes));
    config.driver_name = service_name;
    config.driver_entry = DriverEntry;
    config.pool_tags.assign(std::begin(driver_tags), std::end(driver_tags));
    ntos::service_part failed = ntos::service_part::none;
    NTSTATUS status = ntos::start_service(config, &failed);
    if (!NT_SUCCESS(status)) {
        report_start_failure(failed, status, runtime);
        return 1;
    }
    std::fprintf(stderr, "zelvirdk: running (runtime %s, state %s, pid %d)\n", runtime.c_str(),
                 state.c_str(), static_cast<int>(::getpid()));

    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    std::fprintf(stderr, "zelvirdk: %s, unloading\n", strsignal(signal_number));

    bool clean = ntos::stop_service();
    std::fprintf(stderr, "zelvirdk: pool report: %s\n",
                 clean ? "no blocks left by the driver" : "the driver left pool blocks (above)");
    ::close(lock);
    return 0;
}
