// lockbinctl: the manager's vault operations from the command line. The checks, messages and
// questions are the operations' own; this program only gathers inputs, answers questions with
// flags and maps outcomes to exit statuses.
#include "cli_io.h"

#include "common/sys_utils.h"
#include "common/text_encoding.h"
#include "common/text_format.h"
#include "disk_helpers.h"
#include "drive_holders.h"
#include "format_volume.h"
#include "password_backup.h"
#include "vault_operations.h"
#include "vault_state.h"

#include <cctype>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace {

const char kUsage[] =
    R"(usage: lockbinctl [--here] COMMAND [OPTIONS]

Vaults as the Lockbin window keeps them, in "Lockbin.xml" of $XDG_DATA_HOME/lockbin
(~/.local/share/lockbin), or of the current directory with --here.

commands:
  list [--json]                     every vault: name, state, letter, size, path, description
  create NAME --size G [--folder DIR] [--letter X|auto] [--manual] [--description TEXT]
         [--backup DIR] [--create-folder] [--fat-ok] [--password-stdin]
  import PATH --name NAME [--letter X|auto] [--manual] [--description TEXT]
  open NAME [--password-stdin]      mounts the vault and prints where its files are
  close NAME [--force]              a busy drive lists the processes that hold it
  properties NAME [--letter X|auto] [--load auto|manual] [--description TEXT]
  delete NAME --yes                 forgets the vault; its file stays
  destroy NAME --yes                forgets the vault and deletes its file
  settings [--default-path DIR] [--create-folder]
  COMMAND --help                    the command's own help

The password is read from the terminal without echo (twice on create), or as one line of
standard input with --password-stdin; never from an argument. Questions the window asks are
answered by flags (--force, --yes, --create-folder, --fat-ok); without its flag a command
refuses and names the flag. Refusals print the window's message on standard error.

exit status:
  0  success
  1  refused by a check, or a question not answered by its flag
  2  bad arguments
  3  the vault service is unreachable
  4  the driver refused (wrong password, busy or missing container, forced dismount failed),
     or the new drive could not be formatted (the vault stays catalogued and open)
)";

struct Command {
    const char* name;
    const char* help;
    std::vector<std::string> values;
    std::vector<std::string> flags;
    int (*run)(VaultCatalogue&, const RedAvClient&, const Args&);
};

std::u16string wide(const std::string& s)
{
    return Utf8ToWide(s);
}

std::string narrow(const std::u16string& s)
{
    return WideToUtf8(s);
}

int usage_error(const std::string& text)
{
    std::cerr << "lockbinctl: " << text << "\n";
    return kExitUsage;
}

int no_service()
{
    std::cerr << "lockbinctl: the vault service is unreachable (is zelvirdk running?)\n";
    return kExitNoService;
}

// The flag that answers a question of the operations.
const char* flag_for(MessageId question)
{
    switch (question) {
    case MessageId::ForceDismountAsk:
        return "--force";
    case MessageId::CreateFolderAsk:
    case MessageId::DefaultPathCreateAsk:
        return "--create-folder";
    case MessageId::FatAsk:
        return "--fat-ok";
    default:
        return "--yes";
    }
}

// Questions are answered Yes exactly when their flag was given. A question left unanswered is
// printed, with its detail, before the command refuses.
AskFn answer_with(const Args& args)
{
    return [&args](MessageId id, const std::u16string& text, const std::u16string& detail) {
        if (args.has(flag_for(id)))
            return true;
        print_err(text + u"\n");
        if (!detail.empty())
            print_err(detail);
        return false;
    };
}

int report(const Outcome& o, const std::string& name)
{
    switch (o.result) {
    case OpResult::Done:
        return kExitOk;
    case OpResult::Refused:
        print_err(o.text + u"\n");
        return kExitRefused;
    case OpResult::DriverFailed:
        print_err(o.text + u"\n");
        return kExitDriverFailed;
    case OpResult::Stopped:
        break;
    }
    switch (o.stop) {
    case StopReason::NotFound:
        std::cerr << "lockbinctl: no vault named " << name << "\n";
        break;
    case StopReason::Mounted:
        std::cerr << "lockbinctl: " << name << " is open; close it first\n";
        break;
    case StopReason::NotMounted:
        std::cerr << "lockbinctl: " << name << " is not open\n";
        break;
    case StopReason::Declined:
        std::cerr << "lockbinctl: not done; " << flag_for(o.declined) << " answers yes\n";
        break;
    case StopReason::Cancelled:
        std::cerr << "lockbinctl: no password given\n";
        break;
    case StopReason::None:
        break;
    }
    return kExitRefused;
}

// "auto" -> 0; a letter D to Z in either case -> upper case; else nullopt.
std::optional<WCHAR> parse_letter(const std::string& text)
{
    if (text == "auto")
        return WCHAR(0);
    if (text.size() == 1 || (text.size() == 2 && text[1] == ':')) {
        char c = char(std::toupper(static_cast<unsigned char>(text[0])));
        if (c >= 'D' && c <= 'Z')
            return WCHAR(c);
    }
    return std::nullopt;
}

std::optional<std::string> one_word(const Args& args, const char* what)
{
    if (args.words.size() != 1) {
        usage_error(std::string("expected one ") + what);
        return std::nullopt;
    }
    return args.words[0];
}

// Where an open vault's files are, for the user to go to.
void print_drive(WCHAR letter)
{
    std::string folder = DriveHostFolder(letter);
    std::cout << char(letter) << ":";
    if (!folder.empty())
        std::cout << " " << folder;
    std::cout << "\n";
}

std::u16string letter_text(const VaultRecord& v, bool open)
{
    if (v.autoassign != 0)
        return open ? FormatText(u"%ws(%C)", kAutoLetterItem, char(v.Letter))
                    : std::u16string(kAutoLetterItem);
    return v.Letter ? std::u16string(1, v.Letter) : u"";
}

std::u16string one_line(std::u16string text)
{
    for (char16_t& c : text)
        if (c == u'\r' || c == u'\n' || c == u'\t')
            c = u' ';
    return text;
}

int cmd_list(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    if (!args.words.empty())
        return usage_error("list takes no arguments");
    const bool json = args.has("--json");
    std::ostringstream out;
    out << (json ? "[" : "名称\t状态\t盘符\t大小\t路径\t描述\n");
    bool first = true;
    for (const VaultRecord& v : catalogue) {
        const bool open = IsVaultMounted(client, v);
        const ULONGLONG size = GetVaultSize(client, v);
        if (json) {
            std::string folder = open ? DriveHostFolder(v.Letter) : "";
            out << (first ? "" : ",") << "\n  {\"name\": " << json_string(v.Name)
                << ", \"state\": " << json_string(open ? u"打开" : u"关闭")
                << ", \"open\": " << (open ? "true" : "false")
                << ", \"letter\": " << json_string(v.Letter ? std::u16string(1, v.Letter) : u"")
                << ", \"autoassign\": " << v.autoassign << ", \"loadtype\": " << v.loadtype
                << ", \"size\": " << size << ", \"path\": " << json_string(v.Path)
                << ", \"description\": " << json_string(v.Description)
                << ", \"mount\": " << (folder.empty() ? "null" : json_string(wide(folder))) << "}";
        } else {
            out << narrow(v.Name) << "\t" << (open ? "打开" : "关闭") << "\t"
                << narrow(letter_text(v, open)) << "\t" << narrow(FormatByteSize(size)) << "\t"
                << narrow(v.Path) << "\t" << narrow(one_line(v.Description)) << "\n";
        }
        first = false;
    }
    if (json)
        out << (first ? "]\n" : "\n]\n");
    std::cout << out.str();
    return kExitOk;
}

// Formats the new drive as the create dialog does, with the dialog's status texts: a bar that
// redraws itself on a terminal, a line per new value otherwise.
bool format_with_progress(WCHAR letter, const std::u16string& label)
{
    std::atomic<int32_t> progress{0};
    std::atomic<bool> finished{false};
    bool ok = false;
    std::thread worker([&] {
        ok = FormatVolume(letter, &progress, label.c_str(), true, 0, 50);
        finished = true;
    });
    const bool tty = isatty(STDOUT_FILENO);
    int32_t shown = -1;
    auto show = [&](int32_t value) {
        if (value == shown)
            return;
        shown = value;
        std::string status = narrow(FormatText(u"格式化进度: %d%%", int(value)));
        if (tty) {
            std::string bar(size_t(value) * 30 / 100, '#');
            bar.resize(30, '.');
            std::cout << "\r[" << bar << "] " << status << std::flush;
        } else {
            std::cout << status << "\n";
        }
    };
    while (!finished) {
        show(progress.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    worker.join();
    if (ok)
        show(100);
    if (tty)
        std::cout << "\n";
    if (ok)
        std::cout << "格式化完成\n";
    return ok;
}

int cmd_create(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    auto name = one_word(args, "vault name");
    if (!name)
        return kExitUsage;
    auto size = args.value("--size");
    if (!size || size->empty() || size->find_first_not_of("0123456789") != std::string::npos)
        return usage_error("--size takes a whole number of G (2^30 bytes)");
    std::optional<WCHAR> letter = WCHAR(0);
    if (auto l = args.value("--letter"); l && !(letter = parse_letter(*l)))
        return usage_error("--letter takes auto or a letter D to Z");
    if (!client.IsDriverPresent())
        return no_service();

    std::u16string folder;
    if (auto f = args.value("--folder")) {
        folder = to_dos_path(*f);
    } else {
        if (catalogue.DefaultPath.empty()) {
            // As at the window's first start: a folder on the chosen disk.
            catalogue.DefaultPath = std::u16string(1, ChooseDefaultDisk()) + u":\\Lockbin";
            CreateDirectoryTree(catalogue.DefaultPath);
            catalogue.SaveConfig(kConfigFileName);
        }
        folder = catalogue.DefaultPath;
    }
    auto passwords = read_passwords(args.has("--password-stdin"), 2);
    if (!passwords)
        return kExitUsage;

    CreateInput in;
    in.name = wide(*name);
    in.path = PathInPickedFolder(folder, in.name);
    in.sizeText = wide(*size);
    in.letter = *letter;
    in.loadtype = args.has("--manual") ? 1 : 0;
    in.description = wide(args.value("--description").value_or(*name));
    in.password = (*passwords)[0];
    in.confirmation = (*passwords)[1];
    Outcome o = CreateVault(catalogue, client, in, answer_with(args));
    if (o.result != OpResult::Done)
        return report(o, *name);
    std::cout << "created " << *name << " (" << narrow(in.path) << ") at " << char(o.letter)
              << ":\n";
    // The backup question of the window, answered by --backup DIR.
    if (auto backup = args.value("--backup")) {
        PasswordBackupOutcome b =
            BackupVaultPassword(WithoutTrailingBackslash(to_dos_path(*backup)), in.name,
                                in.password, [](LPCWSTR) { return true; });
        (b.errorIcon ? print_err : print_out)(b.message + u"\n");
    }
    if (!format_with_progress(o.letter, in.name)) {
        print_err(std::u16string(FormatFailedMessage) + u"\n");
        return kExitDriverFailed;
    }
    print_drive(o.letter);
    return kExitOk;
}

int cmd_import(VaultCatalogue& catalogue, const RedAvClient&, const Args& args)
{
    auto path = one_word(args, "container path");
    if (!path)
        return kExitUsage;
    auto name = args.value("--name");
    if (!name)
        return usage_error("import needs --name NAME");
    std::optional<WCHAR> letter = WCHAR(0);
    if (auto l = args.value("--letter"); l && !(letter = parse_letter(*l)))
        return usage_error("--letter takes auto or a letter D to Z");
    ImportInput in{wide(*name), to_dos_path(*path), *letter, args.has("--manual") ? 1 : 0,
                   wide(args.value("--description").value_or(""))};
    return report(ImportVault(catalogue, in), *name);
}

int cmd_open(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    auto name = one_word(args, "vault name");
    if (!name)
        return kExitUsage;
    if (!client.IsDriverPresent())
        return no_service();
    const bool fromStdin = args.has("--password-stdin");
    bool unreadable = false;
    PasswordFn password = [&](const VaultRecord&) -> std::optional<std::u16string> {
        auto answers = read_passwords(fromStdin, 1);
        if (!answers) {
            unreadable = true;
            return std::nullopt;
        }
        return (*answers)[0];
    };
    Outcome o = OpenVault(catalogue, client, wide(*name), password);
    if (unreadable)
        return kExitUsage;
    if (o.result != OpResult::Done)
        return report(o, *name);
    print_drive(o.letter);
    return kExitOk;
}

int cmd_close(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    auto name = one_word(args, "vault name");
    if (!name)
        return kExitUsage;
    if (!client.IsDriverPresent())
        return no_service();
    return report(CloseVault(catalogue, client, wide(*name), answer_with(args)), *name);
}

int cmd_properties(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    auto name = one_word(args, "vault name");
    if (!name)
        return kExitUsage;
    PropertiesView view;
    Outcome o = LoadVaultProperties(catalogue, client, wide(*name), view);
    if (o.result != OpResult::Done)
        return report(o, *name);
    const bool change = !args.values.empty();
    if (!change) {
        const VaultRecord& v = view.vault;
        std::cout << "名称: " << narrow(v.Name) << "\n保存位置: " << narrow(v.Path)
                  << "\n默认盘符: " << narrow(letter_text(v, false))
                  << "\n加载方式: " << narrow(v.loadtype == 0 ? kLoadModeAuto : kLoadModeManual)
                  << "\n描述: " << narrow(v.Description) << "\n可选盘符:";
        for (size_t i = 1; i < view.letters.size(); ++i)
            std::cout << " " << narrow(view.letters[i].text);
        std::cout << "\n";
        return kExitOk;
    }
    PropertiesInput in{view.vault.Name, -1, view.vault.loadtype, view.vault.Description};
    if (auto l = args.value("--letter")) {
        std::optional<WCHAR> letter = parse_letter(*l);
        if (!letter)
            return usage_error("--letter takes auto or a letter D to Z");
        bool offered = false;
        for (const LetterItem& item : view.letters)
            offered = offered || item.data == *letter;
        // The dialog offers only free letters.
        if (!offered) {
            std::cerr << "lockbinctl: " << char(*letter) << ": is not free\n";
            return kExitRefused;
        }
        in.letterData = *letter;
    }
    if (auto load = args.value("--load")) {
        if (*load != "auto" && *load != "manual")
            return usage_error("--load takes auto or manual");
        in.loadtype = *load == "auto" ? 0 : 1;
    }
    if (auto d = args.value("--description"))
        in.description = wide(*d);
    return report(UpdateVaultProperties(catalogue, client, in), *name);
}

int cmd_delete(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    auto name = one_word(args, "vault name");
    if (!name)
        return kExitUsage;
    VaultRecord v;
    if (!catalogue.FindByName(wide(*name), v))
        return report(Outcome{OpResult::Stopped, {}, {}, 0, StopReason::NotFound}, *name);
    return report(DeleteVault(catalogue, client, v.Name, answer_with(args)), *name);
}

int cmd_destroy(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    auto name = one_word(args, "vault name");
    if (!name)
        return kExitUsage;
    return report(DestroyVault(catalogue, client, wide(*name), answer_with(args)), *name);
}

int cmd_settings(VaultCatalogue& catalogue, const RedAvClient& client, const Args& args)
{
    if (!args.words.empty())
        return usage_error("settings takes no arguments");
    if (auto folder = args.value("--default-path")) {
        std::u16string text = WithTrailingBackslash(to_dos_path(*folder));
        return report(ChangeDefaultFolder(catalogue, text, answer_with(args)), "");
    }
    std::cout << "保险箱默认保存路径: " << narrow(catalogue.DefaultPath) << "\n";
    for (const SettingsDisk& d : ListSettingsDisks(client))
        std::cout << char(d.letter) << ":\t" << narrow(d.fileSystem) << "\t"
                  << (d.recommended ? narrow(kRecommended) : "") << "\n";
    return kExitOk;
}

const Command kCommands[] = {
    {"list", "lockbinctl list [--json]\n", {}, {"--json"}, cmd_list},
    {"create",
     "lockbinctl create NAME --size G [--folder DIR] [--letter X|auto] [--manual]\n"
     "           [--description TEXT] [--backup DIR] [--create-folder] [--fat-ok]\n"
     "           [--password-stdin]\n"
     "The container is FOLDER/NAME.lkb; FOLDER defaults to the configured default folder.\n"
     "--backup writes the password backup file DIR/NAME.lkbkey. The new drive is formatted\n"
     "NTFS, labelled with the name, and where its files are is printed last.\n",
     {"--size", "--folder", "--letter", "--description", "--backup"},
     {"--manual", "--create-folder", "--fat-ok", "--password-stdin"},
     cmd_create},
    {"import",
     "lockbinctl import PATH --name NAME [--letter X|auto] [--manual] [--description TEXT]\n",
     {"--name", "--letter", "--description"},
     {"--manual"},
     cmd_import},
    {"open", "lockbinctl open NAME [--password-stdin]\n", {}, {"--password-stdin"}, cmd_open},
    {"close", "lockbinctl close NAME [--force]\n", {}, {"--force"}, cmd_close},
    {"properties",
     "lockbinctl properties NAME [--letter X|auto] [--load auto|manual] [--description TEXT]\n"
     "Without options it shows the properties and the free letters.\n",
     {"--letter", "--load", "--description"},
     {},
     cmd_properties},
    {"delete", "lockbinctl delete NAME --yes\n", {}, {"--yes"}, cmd_delete},
    {"destroy", "lockbinctl destroy NAME --yes\n", {}, {"--yes"}, cmd_destroy},
    {"settings",
     "lockbinctl settings [--default-path DIR] [--create-folder]\n"
     "Without options it shows the default folder and the local hard disks.\n",
     {"--default-path"},
     {"--create-folder"},
     cmd_settings},
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> rest(argv + 1, argv + argc);
    bool here = false;
    while (!rest.empty() && rest[0].compare(0, 2, "--") == 0) {
        if (rest[0] == "--help") {
            std::cout << kUsage;
            return kExitOk;
        }
        if (rest[0] != "--here")
            return usage_error("unknown option " + rest[0] + " (see --help)");
        here = true;
        rest.erase(rest.begin());
    }
    if (rest.empty()) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (rest[0] == c.name)
            command = &c;
    if (!command)
        return usage_error("unknown command " + rest[0] + " (see --help)");
    rest.erase(rest.begin());
    for (const std::string& a : rest)
        if (a == "--help") {
            std::cout << command->help;
            return kExitOk;
        }
    std::optional<Args> args = parse_args(rest, command->values, command->flags);
    if (!args)
        return kExitUsage;

    if (!enter_data_folder(here))
        return kExitRefused;
    VaultCatalogue catalogue;
    if (!catalogue.LoadConfig(kConfigFileName)) {
        std::cerr << "lockbinctl: cannot read Lockbin.xml\n";
        return kExitRefused;
    }
    RedAvClient client;
    return command->run(catalogue, client, *args);
}
