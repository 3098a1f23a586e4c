#include "bootice/BootTool.h"

#include <cctype>

// The switches of each accepted form, apart from /device= and the one switch
// that carries a value (/fstype= or /type=). Order is free, each is needed once.
static const char* const kPartitionSwitches[] = {"/partitions", "/repartition", "/activate", "/usb-hdd",
                                                 "/quiet"};
static const char* const kMasterBootSwitches[] = {"/mbr", "/install", "/quiet"};
static const char* const kPartitionBootSwitches[] = {"/pbr", "/install", "/activate", "/quiet"};

static std::string LowerCase(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// A switch as the message shows it: one line whatever it holds, and short.
static std::string Shown(const std::string& text) {
    std::string shown;
    for (char c : text.substr(0, 80)) shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return text.size() > 80 ? shown + "..." : shown;
}

static bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Checks that `switches` are exactly `expected` (any order, each once) plus
// one "name=value" switch; the value goes to *value.
template <size_t N>
static bool MatchSwitches(const std::vector<std::string>& switches, const char* const (&expected)[N],
                          const std::string& valueName, std::string* value, std::string* error) {
    bool seen[N] = {};
    bool valueSeen = false;
    for (const std::string& given : switches) {
        const std::string lower = LowerCase(given);
        if (StartsWith(lower, valueName)) {
            if (valueSeen) {
                *error = "switch given twice: " + Shown(given);
                return false;
            }
            valueSeen = true;
            *value = lower.substr(valueName.size());
            continue;
        }
        size_t i = 0;
        while (i < N && lower != expected[i]) ++i;
        if (i == N) {
            *error = "unknown switch in this command: " + Shown(given);
            return false;
        }
        if (seen[i]) {
            *error = "switch given twice: " + Shown(given);
            return false;
        }
        seen[i] = true;
    }
    for (size_t i = 0; i < N; ++i) {
        if (!seen[i]) {
            *error = std::string("missing switch ") + expected[i];
            return false;
        }
    }
    if (!valueSeen) {
        *error = "missing switch " + valueName + "...";
        return false;
    }
    return true;
}

bool ParseBootCommand(const std::vector<std::string>& arguments, BootCommand* command, std::string* error) {
    static const char kUsage[] =
        " (use /device=X /partitions|/mbr|/pbr with the switches of that form)";
    BootCommand parsed;
    bool deviceSeen = false;
    int forms = 0;
    std::vector<std::string> switches;
    for (const std::string& argument : arguments) {
        const std::string lower = LowerCase(argument);
        if (StartsWith(lower, "/device=")) {
            if (deviceSeen) {
                *error = "switch given twice: /device=";
                return false;
            }
            deviceSeen = true;
            parsed.device = argument.substr(8);
            continue;
        }
        if (lower == "/partitions") {
            parsed.form = CommandForm::Partitions;
            ++forms;
        } else if (lower == "/mbr") {
            parsed.form = CommandForm::MasterBootRecord;
            ++forms;
        } else if (lower == "/pbr") {
            parsed.form = CommandForm::PartitionBootRecord;
            ++forms;
        }
        switches.push_back(argument);
    }
    if (arguments.empty()) {
        *error = std::string("no command given") + kUsage;
        return false;
    }
    if (!deviceSeen || parsed.device.empty()) {
        *error = "missing device: /device= must name the disk";
        return false;
    }
    if (forms != 1) {
        *error = std::string(forms == 0 ? "no command form" : "more than one command form") + kUsage;
        return false;
    }
    std::string value;
    switch (parsed.form) {
        case CommandForm::Partitions:
            if (!MatchSwitches(switches, kPartitionSwitches, "/fstype=", &value, error)) return false;
            if (value == "ntfs") parsed.fileSystem = FileSystem::Ntfs;
            else if (value == "fat32") parsed.fileSystem = FileSystem::Fat32;
            else if (value == "exfat") parsed.fileSystem = FileSystem::Exfat;
            else {
                *error = "unknown file system \"" + Shown(value) + "\" (ntfs, fat32 or exfat)";
                return false;
            }
            break;
        case CommandForm::MasterBootRecord:
            if (!MatchSwitches(switches, kMasterBootSwitches, "/type=", &value, error)) return false;
            if (value != "nt60") {
                *error = "unknown master boot record type \"" + Shown(value) + "\" (nt60)";
                return false;
            }
            break;
        case CommandForm::PartitionBootRecord:
            if (!MatchSwitches(switches, kPartitionBootSwitches, "/type=", &value, error)) return false;
            if (value == "bootmgr") parsed.loader = LoaderKind::Bootmgr;
            else if (value == "grub4dos") parsed.loader = LoaderKind::Grub4dos;
            else {
                *error = "unknown partition boot record type \"" + Shown(value) + "\" (bootmgr or grub4dos)";
                return false;
            }
            break;
    }
    *command = parsed;
    return true;
}
