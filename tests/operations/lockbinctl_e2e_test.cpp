// lockbinctl end to end against the real service, as root over a temporary runtime folder:
// every command, refusals with their texts and exit statuses, --password-stdin, --json read by
// python3's json module, and a busy close naming the process that holds the drive.
#include "service_fixture.h"

#include <sys/stat.h>

#include <filesystem>

#ifndef LOCKBIN_LOCKBINCTL
#define LOCKBIN_LOCKBINCTL ""
#endif

namespace {

using namespace service_fixture;

struct CtlRun {
    int status;
    std::string out, err;
};

class LockbinctlE2E : public ServiceTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "vaults need root and /dev/fuse";
        if (std::system("command -v mkntfs >/dev/null 2>&1 && command -v python3 >/dev/null") != 0)
            GTEST_SKIP() << "needs mkntfs (package ntfs-3g) and python3";
        ServiceTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        work_ = base_ + "/work";
        std::filesystem::create_directories(work_);
    }

    // `lockbinctl ARGS` in the work folder (or with `prefix` before it), stdin from `input`.
    CtlRun ctl(const std::string& args, const std::string& input = "",
               const std::string& prefix = "")
    {
        std::ofstream(base_ + "/stdin") << input;
        std::string command = "cd '" + work_ + "' && " + prefix + " '" LOCKBIN_LOCKBINCTL "' " +
                              args + " <'" + base_ + "/stdin' >'" + base_ + "/out' 2>'" + base_ +
                              "/err'";
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(base_ + "/out"),
                read_text(base_ + "/err")};
    }
    static bool has(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }

    std::string work_;
};

TEST_F(LockbinctlE2E, EveryCommandWithItsRefusalsAndExitStatuses)
{
    EXPECT_EQ(ctl("--help").status, 0);
    EXPECT_TRUE(has(ctl("--help").out, "4  the driver refused"));
    EXPECT_EQ(ctl("").status, 2);
    EXPECT_EQ(ctl("--here frobnicate").status, 2);
    EXPECT_EQ(ctl("--here create v --size 1x --password-stdin").status, 2);
    EXPECT_EQ(ctl("--here open").status, 2);

    // The user's data folder, made as the launcher makes it.
    CtlRun r = ctl("list", "", "XDG_DATA_HOME='" + base_ + "/data'");
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat((base_ + "/data/lockbin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::string first = read_text(base_ + "/data/lockbin/Lockbin.xml");
    EXPECT_TRUE(has(first, "<update fmtver=\"1\">") && has(first, "<NotRemind>0</NotRemind>") &&
                has(first, "<LockbinList />"))
        << first;

    // Create: the folder question is answered by its flag only.
    const std::string vaults = base_ + "/vaults";
    r = ctl("--here create 甲 --size 1 --folder '" + vaults + "' --password-stdin", "Secret1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "指定文件路径所在目录不存在，是否创建该目录?")) << r.err;
    EXPECT_TRUE(has(r.err, "--create-folder"));
    r = ctl("--here create 甲 --size 1 --folder '" + vaults + "' --create-folder --backup '" +
                base_ + "' --password-stdin",
            "Secret1\n");
    ASSERT_EQ(r.status, 0) << r.err << read_text(log_);
    EXPECT_TRUE(has(r.out, "密码成功备份到 ") && has(r.out, "格式化进度: ") &&
                has(r.out, "格式化完成\n") && has(r.out, "\nZ: "))
        << r.out;
    EXPECT_EQ(std::filesystem::file_size(base_ + "/甲.lkbkey"), 512u + 2 * 7);
    r = ctl("--here create 乙 --size 1 --folder '" + vaults + "' --password-stdin", "abc\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "密码长度不能小于4!\n");

    const std::string check =
        "import json,sys; d=json.load(sys.stdin); v=d[0]; "
        "assert len(d)==1 and v['name']=='甲' and v['state']=='打开' and v['open'] is True; "
        "assert v['letter']=='Z' and v['size']==1<<30 and v['path'].endswith('\\\\甲.lkb'); "
        "import os; assert os.path.ismount(v['mount']); print(v['mount'])";
    std::string mount;
    for (int i = 0; i < 200 && mount.empty(); ++i) {
        r = ctl("--here list --json");
        ASSERT_EQ(r.status, 0);
        std::ofstream(base_ + "/list.json") << r.out;
        FILE* p = popen(
            ("python3 -c \"" + check + "\" <'" + base_ + "/list.json' 2>/dev/null").c_str(), "r");
        char line[4096] = {};
        if (p && fgets(line, sizeof(line), p))
            mount = line;
        if (p)
            pclose(p);
        if (mount.empty())
            std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(mount.empty()) << r.out;
    mount.pop_back();

    // A busy drive: the holder is listed and the command names --force.
    pid_t holder = fork();
    if (holder == 0) {
        if (chdir(mount.c_str()) != 0)
            _exit(1);
        pause();
        _exit(0);
    }
    std::this_thread::sleep_for(100ms);
    r = ctl("--here close 甲");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "卸载保险箱失败!!(Volume=Z:), 是否强制卸载?")) << r.err;
    EXPECT_TRUE(has(r.err, std::to_string(holder) + " ")) << r.err;
    EXPECT_TRUE(has(r.err, "--force"));
    r = ctl("--here close 甲 --force");
    EXPECT_EQ(r.status, 0) << r.err;
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    r = ctl("--here open 甲 --password-stdin", "secret1\n");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "密码错误, 打开保险箱失败!\n");
    r = ctl("--here open 甲 --password-stdin", "Secret1\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "Z: ")) << r.out;
    EXPECT_EQ(ctl("--here properties 甲 --letter K").status, 1) << "not for an open vault";
    EXPECT_EQ(ctl("--here delete 甲 --yes").status, 1);
    EXPECT_EQ(ctl("--here close 甲").status, 0);

    r = ctl("--here properties 甲 --letter k --load manual --description 新的");
    EXPECT_EQ(r.status, 0) << r.err;
    r = ctl("--here properties 甲");
    EXPECT_TRUE(has(r.out, "默认盘符: K\n") && has(r.out, "加载方式: 手动加载\n") &&
                has(r.out, "描述: 新的\n"))
        << r.out;

    const std::string container = vaults + "/甲.lkb";
    r = ctl("--here delete 甲");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "确认要删除保险箱 [甲] 吗?") && has(r.err, "--yes")) << r.err;
    EXPECT_EQ(ctl("--here delete 甲 --yes").status, 0);
    EXPECT_TRUE(std::filesystem::exists(container));
    EXPECT_EQ(ctl("--here import '" + container + "' --name 乙").status, 0);
    r = ctl("--here import '" + container + "' --name 丙");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "指定的保险箱已经在列表中，请不要重复导入!\n");
    r = ctl("--here import '" + vaults + "' --name 丁");
    EXPECT_EQ(r.err, "指定的保险箱文件路径不存在, 请重新指定!\n") << "a folder is not a file";

    r = ctl("--here settings --default-path '" + base_ + "/默认'");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "保险箱默认存放路径不存在，是否创建该目录?"));
    EXPECT_EQ(ctl("--here settings --default-path '" + base_ + "/默认' --create-folder").status, 0);
    EXPECT_TRUE(has(ctl("--here settings").out, "默认\\"));

    r = ctl("--here destroy 乙");
    EXPECT_TRUE(has(r.err, "注意: 保险箱中的所有数据都将被销毁!"));
    EXPECT_TRUE(std::filesystem::exists(container));
    EXPECT_EQ(ctl("--here destroy 乙 --yes").status, 0);
    EXPECT_FALSE(std::filesystem::exists(container));
    EXPECT_EQ(ctl("--here list --json").out, "[]\n");

    r = ctl("--here open 乙 --password-stdin", "x\n", "LOCKBIN_ROOT='" + base_ + "/nowhere'");
    EXPECT_EQ(r.status, 3) << r.err;
}

} // namespace
