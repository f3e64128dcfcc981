#include "cli_io.h"

#include "common/text_encoding.h"
#include "vault_catalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iostream>

bool Args::has(const std::string& flag) const
{
    for (const auto& f : flags)
        if (f == flag)
            return true;
    return false;
}

std::optional<std::string> Args::value(const std::string& name) const
{
    auto it = values.find(name);
    if (it == values.end())
        return std::nullopt;
    return it->second;
}

std::optional<Args> parse_args(const std::vector<std::string>& argv,
                               const std::vector<std::string>& valueOptions,
                               const std::vector<std::string>& flagOptions)
{
    Args args;
    auto known = [](const std::vector<std::string>& list, const std::string& a) {
        for (const auto& l : list)
            if (l == a)
                return true;
        return false;
    };
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::string name = a, inline_value;
            bool has_inline = false;
            if (size_t eq = a.find('='); eq != std::string::npos) {
                name = a.substr(0, eq);
                inline_value = a.substr(eq + 1);
                has_inline = true;
            }
            if (known(valueOptions, name)) {
                if (!has_inline && i + 1 >= argv.size()) {
                    std::cerr << "lockbinctl: " << name << " needs a value\n";
                    return std::nullopt;
                }
                args.values[name] = has_inline ? inline_value : argv[++i];
            } else if (known(flagOptions, name) && !has_inline) {
                args.flags.push_back(name);
            } else {
                std::cerr << "lockbinctl: unknown option " << a << "\n";
                return std::nullopt;
            }
        } else {
            args.words.push_back(a);
        }
    }
    return args;
}

namespace {

std::optional<std::string> read_hidden_line(int tty, const char* prompt)
{
    (void)!::write(tty, prompt, std::strlen(prompt));
    termios old{};
    bool restore = ::tcgetattr(tty, &old) == 0;
    if (restore) {
        termios quiet = old;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    std::string line;
    char c;
    bool got = false;
    while (::read(tty, &c, 1) == 1) {
        got = true;
        if (c == '\n')
            break;
        line += c;
    }
    if (restore)
        ::tcsetattr(tty, TCSAFLUSH, &old);
    if (!got)
        return std::nullopt;
    return line;
}

} // namespace

std::optional<std::vector<std::u16string>> read_passwords(bool fromStdin, int times)
{
    std::vector<std::u16string> answers;
    if (fromStdin) {
        std::string line;
        if (!std::getline(std::cin, line)) {
            std::cerr << "lockbinctl: no password on standard input\n";
            return std::nullopt;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        answers.assign(size_t(times), Utf8ToWide(line));
        return answers;
    }
    int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        std::cerr << "lockbinctl: no terminal to ask the password on; use --password-stdin\n";
        return std::nullopt;
    }
    for (int i = 0; i < times; ++i) {
        std::optional<std::string> line = read_hidden_line(tty, i == 0 ? "密码: " : "确认: ");
        if (!line)
            break;
        answers.push_back(Utf8ToWide(*line));
    }
    ::close(tty);
    if (answers.size() != size_t(times)) {
        std::cerr << "lockbinctl: no password given\n";
        return std::nullopt;
    }
    return answers;
}

bool enter_data_folder(bool here)
{
    if (!here) {
        std::string folder;
        if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
            folder = data;
        else if (const char* home = std::getenv("HOME"); home && *home)
            folder = std::string(home) + "/.local/share";
        else {
            std::cerr << "lockbinctl: neither XDG_DATA_HOME nor HOME is set; use --here\n";
            return false;
        }
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        folder += "/lockbin";
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            std::cerr << "lockbinctl: cannot make " << folder << ": " << std::strerror(errno)
                      << "\n";
            return false;
        }
        if (::chdir(folder.c_str()) != 0) {
            std::cerr << "lockbinctl: cannot enter " << folder << ": " << std::strerror(errno)
                      << "\n";
            return false;
        }
    }
    struct stat st {};
    if (::lstat("Lockbin.xml", &st) == 0)
        return true;
    // The first file, as the launcher writes it: format 1, no default folder, no vaults.
    VaultCatalogue first;
    first.fmtver = 1;
    first.NotRemind = 0;
    if (!first.SaveConfig(kConfigFileName)) {
        std::cerr << "lockbinctl: cannot write Lockbin.xml\n";
        return false;
    }
    return true;
}

std::u16string to_dos_path(const std::string& path)
{
    if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':')
        return Utf8ToWide(path);
    std::filesystem::path full = std::filesystem::absolute(path).lexically_normal();
    std::u16string out = u"C:" + Utf8ToWide(full.string());
    for (char16_t& c : out)
        if (c == u'/')
            c = u'\\';
    // A folder's trailing separator would leave an empty last piece.
    while (out.size() > 3 && out.back() == u'\\')
        out.pop_back();
    return out;
}

void print_out(const std::u16string& text)
{
    std::cout << WideToUtf8(text) << std::flush;
}

void print_err(const std::u16string& text)
{
    std::cerr << WideToUtf8(text) << std::flush;
}

std::string json_string(const std::u16string& text)
{
    std::string utf8 = WideToUtf8(text), out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}
