// The operations against the real service, as root over a temporary runtime folder: a vault's
// whole life through them, formatted NTFS as the create dialog formats it.
#include "service_fixture.h"

#include "drive_holders.h"
#include "format_volume.h"
#include "hostns/hostns.h"
#include "vault_operations.h"
#include "vault_state.h"

#include <sys/stat.h>

#include <filesystem>

namespace {

using namespace service_fixture;

// The file's data extents with their offsets: equal for equal sparse files, without reading the
// holes of a 1 GiB container.
std::string data_extents(const std::string& path)
{
    std::string out;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return out;
    off_t end = ::lseek(fd, 0, SEEK_END);
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < end;) {
        off_t hole = ::lseek(fd, at, SEEK_HOLE);
        out += "@" + std::to_string(at) + ":";
        std::string chunk(size_t(hole - at), '\0');
        if (::pread(fd, chunk.data(), chunk.size(), at) != ssize_t(chunk.size()))
            break;
        out += chunk;
        at = ::lseek(fd, hole, SEEK_DATA);
    }
    ::close(fd);
    return out + "size " + std::to_string(end);
}

class OperationsE2E : public VaultServiceTest {
protected:
    static bool mounted_at(const std::string& folder)
    {
        struct stat here {
        }, parent{};
        return !folder.empty() && ::stat(folder.c_str(), &here) == 0 &&
               ::stat((folder + "/..").c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
    }
    template <typename P> static bool eventually(P p)
    {
        for (int i = 0; i < 600 && !p(); ++i)
            std::this_thread::sleep_for(50ms);
        return p();
    }
    // What the create dialog does next: NTFS on the new drive, mounted when FormatVolume returns.
    static bool format(WCHAR letter)
    {
        std::atomic<int32_t> progress{0};
        return FormatVolume(letter, &progress, u"vault", true, 0, 50) &&
               mounted_at(DriveHostFolder(letter));
    }
    AskFn answer(std::vector<bool> answers)
    {
        return [this, answers, n = size_t(0)](MessageId id, const std::u16string&,
                                              const std::u16string& detail) mutable {
            asked_.push_back(id);
            details_.push_back(detail);
            return n < answers.size() && answers[n++];
        };
    }
    static PasswordFn password(std::u16string p)
    {
        return [p](const VaultRecord&) { return std::optional<std::u16string>(p); };
    }

    VaultCatalogue catalogue_;
    std::vector<MessageId> asked_;
    std::vector<std::u16string> details_;
};

TEST_F(OperationsE2E, AVaultsLifeThroughTheOperations)
{
    CreateInput in;
    in.name = u"保险箱";
    in.path = dos_path(base_) + u"\\vault.lkb";
    in.sizeText = u"1";
    in.password = in.confirmation = u"Passw0rd";
    Outcome o = CreateVault(catalogue_, client_, in, answer({}));
    ASSERT_EQ(o.result, OpResult::Done) << hostns::to_utf8(o.text) << read_text(log_);
    const WCHAR first = o.letter;
    EXPECT_EQ(first, u'Z') << "the highest free letter";
    EXPECT_EQ(std::filesystem::file_size(base_ + "/vault.lkb"), (1ull << 30) + 1024);
    ASSERT_TRUE(format(first)) << read_text(log_);
    VaultRecord v;
    ASSERT_TRUE(catalogue_.FindByName(u"保险箱", v));
    EXPECT_TRUE(IsVaultMounted(client_, v));
    EXPECT_EQ(GetVaultSize(client_, v), 1ull << 30);
    const std::string drive = DriveHostFolder(first);
    std::ofstream(drive + "/secret.txt") << "the vault's own text";

    // A process working inside the drive: named in the force question; No keeps the vault open.
    pid_t holder = fork();
    if (holder == 0) {
        if (chdir(drive.c_str()) != 0)
            _exit(1);
        pause();
        _exit(0);
    }
    ASSERT_TRUE(eventually([&] { return !GetDriveHolders(first).empty(); }));
    o = CloseVault(catalogue_, client_, u"保险箱", answer({false}));
    EXPECT_EQ(o.declined, MessageId::ForceDismountAsk);
    ASSERT_EQ(details_.size(), 1u);
    EXPECT_NE(details_[0].find(hostns::from_utf8(std::to_string(holder) + " ")),
              std::u16string::npos)
        << hostns::to_utf8(details_[0]);
    EXPECT_NE(details_[0].find(u"工作目录"), std::u16string::npos);
    EXPECT_TRUE(IsVaultMounted(client_, v));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    o = CloseVault(catalogue_, client_, u"保险箱", answer({}));
    ASSERT_EQ(o.result, OpResult::Done);
    EXPECT_FALSE(IsVaultMounted(client_, v));

    // The wrong password is refused; the stored letter, now taken, gives way to the highest free.
    o = OpenVault(catalogue_, client_, u"保险箱", password(u"passw0rd"));
    EXPECT_EQ(o.message, MessageId::OpenFailed);
    ASSERT_EQ(hostns::Namespace().define(std::u16string{first, u':'}, u"\\??\\C:\\tmp"), 0);
    o = OpenVault(catalogue_, client_, u"保险箱", password(u"Passw0rd"));
    ASSERT_EQ(o.result, OpResult::Done) << read_text(log_);
    EXPECT_EQ(o.letter, first - 1);
    VaultCatalogue saved;
    ASSERT_TRUE(saved.LoadConfig(u"Lockbin.xml"));
    ASSERT_TRUE(saved.FindByName(u"保险箱", v));
    EXPECT_EQ(v.Letter, first - 1);
    ASSERT_TRUE(eventually([&] { return mounted_at(DriveHostFolder(v.Letter)); }));
    EXPECT_EQ(read_text(DriveHostFolder(v.Letter) + "/secret.txt"), "the vault's own text");
    ASSERT_EQ(CloseVault(catalogue_, client_, u"保险箱", answer({})).result, OpResult::Done);

    // Forgotten, the container stays byte for byte and imports again; destroyed, it is gone.
    const std::string before = data_extents(base_ + "/vault.lkb");
    EXPECT_GT(before.size(), 1u << 20) << "the file system's sectors were written";
    EXPECT_EQ(before.find("the vault's own text"), std::string::npos) << "only ciphertext";
    ASSERT_EQ(DeleteVault(catalogue_, client_, u"保险箱", answer({true})).result, OpResult::Done);
    EXPECT_TRUE(data_extents(base_ + "/vault.lkb") == before);
    ASSERT_EQ(ImportVault(catalogue_, {u"again", in.path, 0, 0, u""}).result, OpResult::Done);
    ASSERT_EQ(OpenVault(catalogue_, client_, u"again", password(u"Passw0rd")).result,
              OpResult::Done);
    ASSERT_EQ(CloseVault(catalogue_, client_, u"again", answer({})).result, OpResult::Done);
    ASSERT_EQ(DestroyVault(catalogue_, client_, u"again", answer({true, true})).result,
              OpResult::Done);
    EXPECT_FALSE(std::filesystem::exists(base_ + "/vault.lkb"));
}

} // namespace
