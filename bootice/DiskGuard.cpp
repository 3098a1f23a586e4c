#include "bootice/DiskGuard.h"

#include <algorithm>
#include <cctype>

namespace {

char Upper(char c) { return char(std::toupper(static_cast<unsigned char>(c))); }

bool SamePathIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

bool Holds(const std::vector<uint32_t>& disks, uint32_t disk) {
    return std::find(disks.begin(), disks.end(), disk) != disks.end();
}

std::string DisksText(const std::vector<uint32_t>& disks) {
    std::string text;
    for (size_t i = 0; i < disks.size(); ++i) {
        if (i > 0) text += i + 1 == disks.size() ? " and " : ", ";
        text += std::to_string(disks[i]);
    }
    return text;
}

// "disk 0" or "disk 0 (C:, D:)".
std::string DiskText(const DiskFacts& facts) {
    std::string text = "disk " + std::to_string(facts.diskNumber);
    if (!facts.lettersOnDisk.empty()) text += " (" + LettersText(facts.lettersOnDisk) + ")";
    return text;
}

std::string PlaceText(const SystemPlace& place) {
    return place.path.empty() ? place.what : place.what + " (" + place.path + ")";
}

std::string DriveKindRefusal(DriveKind kind) {
    switch (kind) {
        case DriveKind::Removable:
        case DriveKind::Fixed: return "";
        case DriveKind::NoSuchDrive: return "is not a drive on this computer";
        case DriveKind::Remote: return "is a network drive, not a local disk";
        case DriveKind::CdRom: return "is a CD or DVD drive, not a local disk";
        case DriveKind::RamDisk: return "is a RAM disk, not a local disk";
        case DriveKind::Unknown: break;
    }
    return "is a drive of a kind the system does not name, not a known local disk";
}

// The path of a PagingFiles entry: "C:\pagefile.sys 2048 4096" carries the
// initial and largest size after the path, and the path itself may hold blanks.
std::string WithoutSizes(std::string entry) {
    for (int field = 0; field < 2; ++field) {
        size_t blank = entry.find_last_of(' ');
        if (blank == std::string::npos || blank + 1 == entry.size()) break;
        bool digits = std::all_of(entry.begin() + long(blank) + 1, entry.end(),
                                  [](char c) { return c >= '0' && c <= '9'; });
        if (!digits) break;
        entry.erase(blank);
        while (!entry.empty() && entry.back() == ' ') entry.pop_back();
    }
    return entry;
}

}  // namespace

bool ParseDriveLetterDevice(const std::string& device, char* letter, std::string* error) {
    bool shape = (device.size() == 2 || (device.size() == 3 && (device[2] == '\\' || device[2] == '/'))) &&
                 device[1] == ':' && std::isalpha(static_cast<unsigned char>(device[0]));
    if (!shape) {
        *error = "/device= takes a drive letter and a colon, such as E:, not \"" + device + "\"";
        return false;
    }
    *letter = Upper(device[0]);
    return true;
}

DiskBus DiskBusFromStorageBusType(int busType) {
    switch (busType) {
        case 0x07: return DiskBus::Usb;
        case 0x0C:   // SD
        case 0x0D:   // MMC
            return DiskBus::CardReader;
        case 0x0E:   // virtual
        case 0x0F:   // file-backed virtual (a mounted VHD)
            return DiskBus::Virtual;
        case 0x06:   // Fibre Channel
        case 0x09:   // iSCSI
            return DiskBus::Network;
        case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x08:
        case 0x0A: case 0x0B: case 0x10: case 0x11: case 0x12: case 0x13:
            return DiskBus::Internal;
        default: return DiskBus::Unknown;
    }
}

bool SectorsWithinDisk(uint64_t first, uint32_t count, uint64_t sectorCount) {
    // Subtracting keeps the test free of overflow for any first sector.
    return first <= sectorCount && count <= sectorCount - first;
}

std::string LettersText(const std::vector<char>& letters) {
    std::string text;
    for (char letter : letters) {
        if (!text.empty()) text += ", ";
        text += Upper(letter);
        text += ':';
    }
    return text;
}

GuardVerdict DecideDiskGuard(const DiskFacts& facts) {
    GuardVerdict verdict;
    const std::string drive = std::string(1, Upper(facts.letter)) + ":";
    std::string kindRefusal = DriveKindRefusal(facts.driveKind);
    if (!kindRefusal.empty()) {
        verdict.reason = drive + " " + kindRefusal;
        return verdict;
    }
    if (!facts.hasDiskNumber) {
        verdict.reason = drive + " is not on a local disk: the system gives it no disk number";
        return verdict;
    }
    if (facts.volumeDisks.size() > 1) {
        verdict.reason = drive + " spans disks " + DisksText(facts.volumeDisks) +
                         "; only a volume on a single disk can be prepared";
        return verdict;
    }
    if (facts.volumeDisks.size() == 1 && facts.volumeDisks[0] != facts.diskNumber) {
        verdict.reason = drive + " is on disk " + std::to_string(facts.volumeDisks[0]) +
                         " by its extents but on disk " + std::to_string(facts.diskNumber) +
                         " by its device number; refusing an uncertain disk";
        return verdict;
    }
    if (facts.bus == DiskBus::Network) {
        verdict.reason = drive + " is on " + DiskText(facts) + ", a network disk, not a local disk";
        return verdict;
    }
    // A definite reason is worth more to the user than an unknown one: name
    // the place that is on the disk before any place that could not be found.
    for (const SystemPlace& place : facts.places) {
        if (place.state == PlaceState::OnDisks && Holds(place.disks, facts.diskNumber)) {
            verdict.reason = drive + " is on " + DiskText(facts) + ", which holds " + PlaceText(place) +
                             "; refusing to write to that disk";
            return verdict;
        }
    }
    for (const SystemPlace& place : facts.places) {
        if (place.state == PlaceState::Unknown) {
            verdict.reason = "cannot tell which disk holds " + PlaceText(place) +
                             (place.unknownReason.empty() ? "" : " (" + place.unknownReason + ")") +
                             "; refusing to write to " + DiskText(facts) + " without knowing it is not that one";
            return verdict;
        }
    }
    verdict.allowed = true;
    return verdict;
}

std::vector<std::string> PageFilePaths(const std::vector<std::string>& existingPageFiles,
                                       const std::vector<std::string>& pagingFiles) {
    std::vector<std::string> paths;
    auto add = [&paths](std::string path) {
        while (!path.empty() && path.front() == ' ') path.erase(path.begin());
        if (path.size() < 3 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) return;
        for (const std::string& known : paths) {
            if (SamePathIgnoringCase(known, path)) return;
        }
        paths.push_back(path);
    };
    for (const std::string& entry : existingPageFiles) {
        add(entry.compare(0, 4, "\\??\\") == 0 ? entry.substr(4) : entry);
    }
    for (const std::string& entry : pagingFiles) add(WithoutSizes(entry));
    return paths;
}

RemountPlan PlanRemount(const RemountFacts& facts) {
    RemountPlan plan;
    const char letter = Upper(facts.letter);
    for (char present : facts.newVolumeLetters) {
        if (Upper(present) == letter) {
            plan.done = true;
            return plan;
        }
    }
    if (facts.letterTaken && !facts.letterOnTargetDisk) {
        plan.refused = true;
        plan.reason = std::string(1, letter) + ": now names a volume on another disk; the new volume keeps " +
                      (facts.newVolumeLetters.empty() ? std::string("no letter") : LettersText(facts.newVolumeLetters));
        return plan;
    }
    plan.freeLetter = facts.letterTaken;
    plan.lettersToRemove = facts.newVolumeLetters;
    return plan;
}
