#include "bootice/DiskGuard.h"

#include <algorithm>
#include <cctype>

namespace {

char Upper(char c) { return char(std::toupper(static_cast<unsigned char>(c))); }

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

std::string WithoutTrailingBackslash(std::string path) {
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
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
            if (SameNameIgnoringCase(known, path)) return;
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

// ---- Gathering the facts

namespace {

std::string RootOfLetter(char letter) { return std::string(1, Upper(letter)) + ":\\"; }
std::string DeviceOfLetter(char letter) { return "\\\\.\\" + std::string(1, Upper(letter)) + ":"; }

SystemPlace PlaceOfVolumeDevice(const DiskCalls& calls, const std::string& what, const std::string& path,
                                const std::string& device) {
    SystemPlace place;
    place.what = what;
    place.path = path;
    place.state = DisksOfVolumeDevice(calls, device, &place.disks, &place.unknownReason) ? PlaceState::OnDisks
                                                                                         : PlaceState::Unknown;
    return place;
}

SystemPlace PlaceOfPath(const DiskCalls& calls, const std::string& what, const std::string& path) {
    SystemPlace place;
    place.what = what;
    place.path = path;
    std::string root;
    if (path.empty()) {
        place.unknownReason = "the system names no such folder";
        return place;
    }
    if (!calls.volumeRoot(calls.context, path, &root, &place.unknownReason)) return place;
    DriveKind kind = calls.driveKind(calls.context, root);
    if (kind == DriveKind::Remote || kind == DriveKind::CdRom || kind == DriveKind::RamDisk) {
        place.state = PlaceState::NotOnLocalDisk;
        return place;
    }
    std::string device;
    std::string error;
    if (!calls.volumeDevice(calls.context, root, &device, &error)) {
        if (root.size() != 3 || root[1] != ':') {
            place.unknownReason = "no volume behind " + root + ": " + error;
            return place;
        }
        device = DeviceOfLetter(root[0]);
    }
    return PlaceOfVolumeDevice(calls, what, path, device);
}

// The partition the computer started from (the system partition holding the
// boot manager), as the system records it: "\Device\HarddiskVolume1".
// Without it no disk can be cleared: any of them might be that one.
SystemPlace BootVolumePlace(const DiskCalls& calls) {
    const std::string what = "the boot volume";
    std::vector<std::string> recorded = calls.registryStrings(calls.context, "SYSTEM\\Setup", "SystemPartition");
    if (recorded.empty() || recorded[0].empty()) {
        SystemPlace place;
        place.what = what;
        place.unknownReason = "the system records no boot partition";
        return place;
    }
    return PlaceOfVolumeDevice(calls, what, recorded[0], "\\\\?\\GLOBALROOT" + recorded[0]);
}

}  // namespace

bool DisksOfVolumeDevice(const DiskCalls& calls, const std::string& device, std::vector<uint32_t>* disks,
                         std::string* reason) {
    disks->clear();
    std::vector<DiskExtent> found;
    std::string extentsError;
    if (calls.extents(calls.context, device, &found, &extentsError)) {
        for (const DiskExtent& extent : found) {
            if (!Holds(*disks, extent.disk)) disks->push_back(extent.disk);
        }
        if (!disks->empty()) return true;
    }
    uint32_t number = 0;
    if (calls.deviceNumber(calls.context, device, &number)) {
        disks->push_back(number);
        return true;
    }
    *reason = "the system does not say which disk " + device + " lies on" +
              (extentsError.empty() ? std::string() : ": " + extentsError);
    return false;
}

void GatherDiskFacts(char letter, const DiskCalls& calls, DiskFacts* facts) {
    *facts = DiskFacts();
    facts->letter = Upper(letter);
    facts->driveKind = calls.driveKind(calls.context, RootOfLetter(letter));
    if (facts->driveKind != DriveKind::Removable && facts->driveKind != DriveKind::Fixed) return;
    const std::string device = DeviceOfLetter(letter);
    facts->hasDiskNumber = calls.deviceNumber(calls.context, device, &facts->diskNumber);
    if (!facts->hasDiskNumber) return;
    std::vector<DiskExtent> extents;
    std::string ignored;
    if (calls.extents(calls.context, device, &extents, &ignored)) {
        for (const DiskExtent& extent : extents) {
            if (!Holds(facts->volumeDisks, extent.disk)) facts->volumeDisks.push_back(extent.disk);
        }
    }
    facts->bus = DiskBusFromStorageBusType(calls.busType(calls.context, facts->diskNumber));

    facts->places.push_back(PlaceOfPath(calls, "the Windows folder", calls.windowsFolder));
    facts->places.push_back(BootVolumePlace(calls));
    const std::string memoryKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
    for (const std::string& pageFile :
         PageFilePaths(calls.registryStrings(calls.context, memoryKey, "ExistingPageFiles"),
                       calls.registryStrings(calls.context, memoryKey, "PagingFiles"))) {
        facts->places.push_back(PlaceOfPath(calls, "a page file", pageFile));
    }
    facts->places.push_back(PlaceOfPath(calls, "this program", calls.programPath));
    facts->places.push_back(PlaceOfPath(calls, "the temporary folder", calls.temporaryFolder));

    const uint32_t drives = calls.logicalDrives(calls.context);
    for (int i = 0; i < 26; ++i) {
        if ((drives & (1u << i)) == 0) continue;
        const char other = char('A' + i);
        DriveKind kind = calls.driveKind(calls.context, RootOfLetter(other));
        if (kind != DriveKind::Removable && kind != DriveKind::Fixed) continue;
        std::vector<uint32_t> disks;
        if (DisksOfVolumeDevice(calls, DeviceOfLetter(other), &disks, &ignored) && Holds(disks, facts->diskNumber)) {
            facts->lettersOnDisk.push_back(other);
        }
    }
}

std::vector<char> LettersOfPartition(const DiskCalls& calls, uint32_t disk, uint64_t offset) {
    std::vector<char> letters;
    const uint32_t drives = calls.logicalDrives(calls.context);
    for (int i = 0; i < 26; ++i) {
        std::vector<DiskExtent> extents;
        std::string ignored;
        if ((drives & (1u << i)) != 0 && calls.extents(calls.context, DeviceOfLetter(char('A' + i)), &extents, &ignored) &&
            extents.size() == 1 && extents[0].disk == disk && extents[0].offset == offset) {
            letters.push_back(char('A' + i));
        }
    }
    return letters;
}

// ---- The volumes of the disk while the tool writes

bool TransferErrorPasses(uint32_t systemError) {
    switch (systemError) {
        case 1:    // invalid function
        case 50:   // not supported
        case 87:   // invalid parameter: misaligned or out of range
            return false;
        default: return true;
    }
}

std::string PartitionDevicePath(uint32_t disk, uint32_t partition) {
    return "\\\\?\\GLOBALROOT\\Device\\Harddisk" + std::to_string(disk) + "\\Partition" + std::to_string(partition);
}

VolumePlan PlanVolumeWork(bool bootCodeOnly, char letter, const std::vector<DiskPartition>& partitions,
                          const std::vector<char>& lettersOnDisk) {
    VolumePlan plan;
    if (bootCodeOnly) return plan;
    for (const DiskPartition& partition : partitions) {
        // An unused entry (type 0) has no partition device.
        if (partition.type != 0 && partition.number != 0) plan.partitionsToClear.push_back(partition.number);
    }
    auto take = [&plan](char c) {
        c = Upper(c);
        if (std::find(plan.lettersToTake.begin(), plan.lettersToTake.end(), c) == plan.lettersToTake.end()) {
            plan.lettersToTake.push_back(c);
        }
    };
    take(letter);
    for (char other : lettersOnDisk) take(other);
    plan.holdAutoPlay = true;
    return plan;
}

ClearVerdict DecideVolumeClear(const std::string& name, bool locked, const std::string& lockError, bool dismounted,
                               const std::string& dismountError, bool lockedAfterDismount) {
    ClearVerdict verdict;
    verdict.mayWrite = locked || (dismounted && lockedAfterDismount);
    if (!locked && verdict.mayWrite) {
        verdict.note = name + " was in use by another program (" + lockError +
                       "); it was dismounted anyway, which closed that program's files on it";
    } else if (!verdict.mayWrite && dismounted) {
        verdict.refusal = name + " is in use: it was dismounted, but another program mounted it again at once and "
                          "it can't be locked (" + lockError + "): close the windows and programs that use it and "
                          "try again";
    } else if (!verdict.mayWrite) {
        verdict.refusal = name + " is in use and can be neither locked (" + lockError + ") nor dismounted (" +
                          dismountError + "): close the windows and programs that use it and try again";
    }
    return verdict;
}

FormatProblem FormatProblemOf(int packet) {
    switch (packet) {
        case 3: return {"the file system is not supported here", false};
        case 5: return {"the medium does not take this file system", false};
        case 6: return {"access denied", true};
        case 7: return {"the medium is write-protected", false};
        case 8: return {"the volume is in use and can't be locked", true};
        case 9: return {"a quick format is not possible", false};
        case 10: return {"a read or write error", true};
        case 12: return {"the label was refused", false};
        case 16: return {"the cluster size is too small for this volume", false};
        case 17: return {"the cluster size is too big for this volume", false};
        case 18: return {"the partition is too small for this file system", false};
        case 19: return {"the partition is too big for this file system", false};
        case 20: return {"there is no medium in the drive", false};
        case 21: return {"the volume would have more clusters than the file system can count", false};
        case 24: return {"the device is not ready (off line)", true};
        case 31: return {"the device reported a hardware failure", false};
        case 35: return {"the cluster size is not allowed", false};
        case 36: return {"the cluster size does not suit the disk's sector size", false};
        case 37: return {"the partition is not aligned to the cluster size", false};
        default: return {"the formatter ended without saying why", true};
    }
}

bool RetryFormat(int attempt, const FormatProblem& problem) {
    return problem.passing && attempt < kFormatRetry.attempts;
}
