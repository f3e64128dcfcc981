// What lockbinctl needs around the operations: its arguments, the password, the data folder,
// and text out (UTF-8, JSON).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

// Exit statuses, as --help documents them.
enum ExitStatus {
    kExitOk = 0,
    kExitRefused = 1,     // a check refused, or a question was not answered by its flag
    kExitUsage = 2,       // bad arguments
    kExitNoService = 3,   // the vault service is unreachable
    kExitDriverFailed = 4 // the driver refused a mount or dismount
};

// Options of one subcommand: "--name value" pairs and "--flag" switches, positional words apart.
struct Args {
    std::vector<std::string> words;
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;

    bool has(const std::string& flag) const;
    std::optional<std::string> value(const std::string& name) const;
};

// Splits argv against the subcommand's value options and flags; nullopt (after a message on
// standard error) for an unknown option or a value option without its value.
std::optional<Args> parse_args(const std::vector<std::string>& argv,
                               const std::vector<std::string>& valueOptions,
                               const std::vector<std::string>& flagOptions);

// The password `times` times (a confirmation is the second): one line of standard input without
// its line end serving for every answer, or lines typed on the terminal without echo. nullopt
// after a message when there is neither.
std::optional<std::vector<std::u16string>> read_passwords(bool fromStdin, int times);

// Makes the folder that holds "Lockbin.xml" the current directory: $XDG_DATA_HOME/lockbin (or
// ~/.local/share/lockbin), made 0700, unless `here`; writes a first "Lockbin.xml" when there is
// none. False after a message.
bool enter_data_folder(bool here);

// "C:\..." for a host path (absolute or relative to the current directory); a path that already
// names a drive ("X:\...") stays as it is.
std::u16string to_dos_path(const std::string& path);

void print_out(const std::u16string& text);
void print_err(const std::u16string& text);
std::string json_string(const std::u16string& text);
