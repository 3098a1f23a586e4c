// The Windows front's refusals, decided over the facts its disk calls gather:
// a table of machines, each with the one fact that makes it differ from a
// plain USB stick beside a system disk.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <map>

#include "bootice/DiskGuard.h"

namespace {

SystemPlace Place(const std::string& what, const std::string& path, std::vector<uint32_t> disks) {
    SystemPlace place;
    place.what = what;
    place.path = path;
    place.state = PlaceState::OnDisks;
    place.disks = disks;
    return place;
}

// E: is a USB stick, disk 1; the system, its page file, the program and the
// temporary folder are all on disk 0.
DiskFacts StickBesideSystemDisk() {
    DiskFacts facts;
    facts.letter = 'E';
    facts.driveKind = DriveKind::Removable;
    facts.hasDiskNumber = true;
    facts.diskNumber = 1;
    facts.volumeDisks = {1};
    facts.bus = DiskBus::Usb;
    facts.places = {
        Place("the Windows folder", "C:\\Windows", {0}),
        Place("the boot volume", "\\Device\\HarddiskVolume1", {0}),
        Place("a page file", "C:\\pagefile.sys", {0}),
        Place("this program", "C:\\Users\\me\\AppData\\Local\\Temp\\drovelkit\\bootice.exe", {0}),
        Place("the temporary folder", "C:\\Users\\me\\AppData\\Local\\Temp\\", {0}),
    };
    facts.lettersOnDisk = {'E'};
    return facts;
}

SystemPlace& PlaceNamed(DiskFacts* facts, const std::string& what) {
    for (SystemPlace& place : facts->places) {
        if (place.what == what) return place;
    }
    throw std::runtime_error("no place " + what);
}

struct GuardCase {
    const char* name;
    std::function<void(DiskFacts*)> change;
    bool allowed;
    const char* reason;  // the refusal's full text, or empty when allowed
};

TEST(DiskGuard, DecidesEachMachine) {
    const GuardCase cases[] = {
        {"a USB stick", [](DiskFacts*) {}, true, ""},
        {"a USB hard disk offered as fixed", [](DiskFacts* f) { f->driveKind = DriveKind::Fixed; }, true, ""},
        {"a stick with two letters", [](DiskFacts* f) { f->lettersOnDisk = {'E', 'F'}; }, true, ""},
        {"a temporary folder on a network share",
         [](DiskFacts* f) {
             PlaceNamed(f, "the temporary folder") = SystemPlace{"the temporary folder", "\\\\server\\tmp\\",
                                                                  PlaceState::NotOnLocalDisk, {}, ""};
         },
         true, ""},
        {"no such letter", [](DiskFacts* f) { f->driveKind = DriveKind::NoSuchDrive; }, false,
         "E: is not a drive on this computer"},
        {"a network drive", [](DiskFacts* f) { f->driveKind = DriveKind::Remote; }, false,
         "E: is a network drive, not a local disk"},
        {"a DVD drive", [](DiskFacts* f) { f->driveKind = DriveKind::CdRom; }, false,
         "E: is a CD or DVD drive, not a local disk"},
        {"a RAM disk", [](DiskFacts* f) { f->driveKind = DriveKind::RamDisk; }, false,
         "E: is a RAM disk, not a local disk"},
        {"a drive of no known kind", [](DiskFacts* f) { f->driveKind = DriveKind::Unknown; }, false,
         "E: is a drive of a kind the system does not name, not a known local disk"},
        {"no device number", [](DiskFacts* f) { f->hasDiskNumber = false; }, false,
         "E: is not on a local disk: the system gives it no disk number"},
        {"a volume spanning two disks", [](DiskFacts* f) { f->volumeDisks = {1, 2}; }, false,
         "E: spans disks 1 and 2; only a volume on a single disk can be prepared"},
        {"extents and device number disagree", [](DiskFacts* f) { f->volumeDisks = {2}; }, false,
         "E: is on disk 2 by its extents but on disk 1 by its device number; refusing an uncertain disk"},
        {"an iSCSI disk", [](DiskFacts* f) { f->bus = DiskBusFromStorageBusType(9); }, false,
         "E: is on disk 1 (E:), a network disk, not a local disk"},
        {"D: beside C: on the system disk, offered through Show all drives",
         [](DiskFacts* f) {
             f->letter = 'D';
             f->driveKind = DriveKind::Fixed;
             f->diskNumber = 0;
             f->volumeDisks = {0};
             f->bus = DiskBus::Internal;
             f->lettersOnDisk = {'C', 'D'};
         },
         false,
         "D: is on disk 0 (C:, D:), which holds the Windows folder (C:\\Windows); refusing to write to that disk"},
        {"the boot partition alone on the target",
         [](DiskFacts* f) { PlaceNamed(f, "the boot volume").disks = {1}; }, false,
         "E: is on disk 1 (E:), which holds the boot volume (\\Device\\HarddiskVolume1); refusing to write to "
         "that disk"},
        {"a page file on the stick",
         [](DiskFacts* f) { f->places.push_back(Place("a page file", "E:\\pagefile.sys", {1})); }, false,
         "E: is on disk 1 (E:), which holds a page file (E:\\pagefile.sys); refusing to write to that disk"},
        {"the program started from the stick",
         [](DiskFacts* f) {
             PlaceNamed(f, "this program") = Place("this program", "E:\\drovelkit\\bootice.exe", {1});
         },
         false,
         "E: is on disk 1 (E:), which holds this program (E:\\drovelkit\\bootice.exe); refusing to write to "
         "that disk"},
        {"the temporary folder on another volume of the stick",
         [](DiskFacts* f) {
             f->lettersOnDisk = {'E', 'F'};
             PlaceNamed(f, "the temporary folder") = Place("the temporary folder", "F:\\tmp\\", {1});
         },
         false,
         "E: is on disk 1 (E:, F:), which holds the temporary folder (F:\\tmp\\); refusing to write to that disk"},
        {"a Windows volume spanning the system disk and the target",
         [](DiskFacts* f) { PlaceNamed(f, "the Windows folder").disks = {0, 1}; }, false,
         "E: is on disk 1 (E:), which holds the Windows folder (C:\\Windows); refusing to write to that disk"},
        {"a boot partition nobody recorded",
         [](DiskFacts* f) {
             PlaceNamed(f, "the boot volume") = SystemPlace{"the boot volume", "", PlaceState::Unknown, {},
                                                            "the system records no boot partition"};
         },
         false,
         "cannot tell which disk holds the boot volume (the system records no boot partition); refusing to "
         "write to disk 1 (E:) without knowing it is not that one"},
        {"a known holder is named before an unknown one",
         [](DiskFacts* f) {
             PlaceNamed(f, "the Windows folder").state = PlaceState::Unknown;
             PlaceNamed(f, "the temporary folder").disks = {1};
         },
         false,
         "E: is on disk 1 (E:), which holds the temporary folder (C:\\Users\\me\\AppData\\Local\\Temp\\); "
         "refusing to write to that disk"},
    };
    for (const GuardCase& c : cases) {
        DiskFacts facts = StickBesideSystemDisk();
        c.change(&facts);
        GuardVerdict verdict = DecideDiskGuard(facts);
        EXPECT_EQ(verdict.allowed, c.allowed) << c.name;
        EXPECT_EQ(verdict.reason, c.reason) << c.name;
    }
}

// ---- The whole road from the disk calls to the verdict, on fake machines

struct FakeVolume {
    std::string device;                // "\\?\Volume{c}"
    std::vector<std::string> roots;    // "C:\", or a folder it is mounted in
    DriveKind kind = DriveKind::Fixed;
    std::vector<uint32_t> extents;     // empty: the extents call is not answered
    bool hasNumber = true;             // a spanned volume has no device number
    uint32_t number = 0;
    std::vector<std::string> aliases;  // "\\?\GLOBALROOT\Device\HarddiskVolume1"
};

struct FakeMachine {
    std::vector<FakeVolume> volumes;
    std::vector<std::string> shares;   // roots of network drives
    std::map<std::string, std::vector<std::string>> registry;  // "key|name"
    std::map<uint32_t, int> buses;
    DiskCalls calls;
};

bool StartsWithIgnoringCase(const std::string& text, const std::string& start) {
    if (text.size() < start.size()) return false;
    for (size_t i = 0; i < start.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(start[i])))
            return false;
    }
    return true;
}

FakeMachine& Machine(void* context) { return *static_cast<FakeMachine*>(context); }

const FakeVolume* VolumeByDevice(FakeMachine& machine, const std::string& device) {
    for (const FakeVolume& volume : machine.volumes) {
        if (volume.device == device) return &volume;
        for (const std::string& alias : volume.aliases)
            if (alias == device) return &volume;
        for (const std::string& root : volume.roots)
            if (root.size() == 3 && device == "\\\\.\\" + root.substr(0, 2)) return &volume;
    }
    return nullptr;
}

const FakeVolume* VolumeByRoot(FakeMachine& machine, const std::string& root) {
    for (const FakeVolume& volume : machine.volumes)
        for (const std::string& mounted : volume.roots)
            if (mounted.size() == root.size() && StartsWithIgnoringCase(root, mounted)) return &volume;
    return nullptr;
}

void WireCalls(FakeMachine* machine) {
    DiskCalls& calls = machine->calls;
    calls.context = machine;
    calls.driveKind = [](void* context, const std::string& root) {
        for (const std::string& share : Machine(context).shares)
            if (share == root) return DriveKind::Remote;
        const FakeVolume* volume = VolumeByRoot(Machine(context), root);
        return volume ? volume->kind : DriveKind::NoSuchDrive;
    };
    calls.volumeRoot = [](void* context, const std::string& path, std::string* root, std::string* error) {
        root->clear();
        for (const std::string& share : Machine(context).shares)
            if (StartsWithIgnoringCase(path, share)) *root = share;
        for (const FakeVolume& volume : Machine(context).volumes)
            for (const std::string& mounted : volume.roots)
                if (StartsWithIgnoringCase(path + "\\", mounted) && mounted.size() > root->size()) *root = mounted;
        if (root->empty()) *error = "no such path";
        return !root->empty();
    };
    calls.volumeDevice = [](void* context, const std::string& root, std::string* device, std::string* error) {
        const FakeVolume* volume = VolumeByRoot(Machine(context), root);
        if (volume) *device = volume->device;
        else *error = "not a mount point";
        return volume != nullptr;
    };
    calls.extents = [](void* context, const std::string& device, std::vector<DiskExtent>* extents,
                       std::string* error) {
        const FakeVolume* volume = VolumeByDevice(Machine(context), device);
        if (!volume || volume->extents.empty()) {
            *error = volume ? "not supported" : "cannot open " + device;
            return false;
        }
        extents->clear();
        for (uint32_t disk : volume->extents) extents->push_back({disk, 0});
        return true;
    };
    calls.deviceNumber = [](void* context, const std::string& device, uint32_t* disk) {
        const FakeVolume* volume = VolumeByDevice(Machine(context), device);
        if (!volume || !volume->hasNumber) return false;
        *disk = volume->number;
        return true;
    };
    calls.busType = [](void* context, uint32_t disk) {
        auto found = Machine(context).buses.find(disk);
        return found == Machine(context).buses.end() ? 0 : found->second;
    };
    calls.registryStrings = [](void* context, const std::string& key, const std::string& name) {
        auto found = Machine(context).registry.find(key + "|" + name);
        return found == Machine(context).registry.end() ? std::vector<std::string>() : found->second;
    };
    calls.logicalDrives = [](void* context) {
        uint32_t drives = 0;
        for (const FakeVolume& volume : Machine(context).volumes)
            for (const std::string& root : volume.roots)
                if (root.size() == 3) drives |= 1u << (root[0] - 'A');
        return drives;
    };
}

const char* kSetup = "SYSTEM\\Setup|SystemPartition";
const char* kPagingFiles = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management|PagingFiles";
const char* kExistingPageFiles =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management|ExistingPageFiles";

// An NVMe system disk 0 (system partition without a letter, C:) and a USB
// stick E: on disk 1.
FakeMachine LaptopWithStick() {
    FakeMachine machine;
    machine.volumes = {
        {"\\\\?\\Volume{sys}", {}, DriveKind::Fixed, {0}, true, 0, {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1"}},
        {"\\\\?\\Volume{c}", {"C:\\"}, DriveKind::Fixed, {0}, true, 0, {}},
        {"\\\\?\\Volume{e}", {"E:\\"}, DriveKind::Removable, {1}, true, 1, {}},
    };
    machine.registry[kSetup] = {"\\Device\\HarddiskVolume1"};
    machine.registry[kExistingPageFiles] = {"\\??\\C:\\pagefile.sys"};
    machine.buses = {{0, 0x11}, {1, 0x07}};
    machine.calls.windowsFolder = "C:\\Windows";
    machine.calls.programPath = "C:\\Users\\me\\AppData\\Local\\Temp\\drovelkit\\bootice.exe";
    machine.calls.temporaryFolder = "C:\\Users\\me\\AppData\\Local\\Temp\\";
    return machine;
}

FakeVolume& VolumeNamed(FakeMachine* machine, const std::string& device) {
    for (FakeVolume& volume : machine->volumes)
        if (volume.device == device) return volume;
    throw std::runtime_error("no volume " + device);
}

TEST(DiskGuard, GathersTheFactsOfAUsbStick) {
    FakeMachine machine = LaptopWithStick();
    WireCalls(&machine);
    DiskFacts facts;
    GatherDiskFacts('e', machine.calls, &facts);
    EXPECT_EQ(facts.letter, 'E');
    EXPECT_EQ(facts.driveKind, DriveKind::Removable);
    EXPECT_TRUE(facts.hasDiskNumber);
    EXPECT_EQ(facts.diskNumber, 1u);
    EXPECT_EQ(facts.volumeDisks, std::vector<uint32_t>{1});
    EXPECT_EQ(facts.bus, DiskBus::Usb);
    EXPECT_EQ(facts.lettersOnDisk, std::vector<char>{'E'});
    std::vector<std::string> places;
    for (const SystemPlace& place : facts.places) {
        places.push_back(place.what + " " + place.path);
        EXPECT_EQ(place.state, PlaceState::OnDisks) << place.what;
        EXPECT_EQ(place.disks, std::vector<uint32_t>{0}) << place.what;
    }
    EXPECT_EQ(places, (std::vector<std::string>{
                          "the Windows folder C:\\Windows", "the boot volume \\Device\\HarddiskVolume1",
                          "a page file C:\\pagefile.sys",
                          "this program C:\\Users\\me\\AppData\\Local\\Temp\\drovelkit\\bootice.exe",
                          "the temporary folder C:\\Users\\me\\AppData\\Local\\Temp\\"}));
    EXPECT_TRUE(DecideDiskGuard(facts).allowed) << DecideDiskGuard(facts).reason;
}

struct MachineCase {
    const char* name;
    std::function<void(FakeMachine*)> change;
    char letter;
    const char* reason;  // empty: allowed; otherwise the refusal starts so
};

TEST(DiskGuard, DecidesFromTheDiskCallsOfEachMachine) {
    const MachineCase cases[] = {
        {"a stick that answers no extents call is found by device number",
         [](FakeMachine* m) { VolumeNamed(m, "\\\\?\\Volume{e}").extents.clear(); }, 'E', ""},
        {"the temporary folder on a network share",
         [](FakeMachine* m) {
             m->shares = {"\\\\server\\share\\"};
             m->calls.temporaryFolder = "\\\\server\\share\\tmp\\";
         },
         'E', ""},
        {"D: beside C: on the system disk",
         [](FakeMachine* m) {
             m->volumes.push_back({"\\\\?\\Volume{d}", {"D:\\"}, DriveKind::Fixed, {0}, true, 0, {}});
         },
         'D', "D: is on disk 0 (C:, D:), which holds the Windows folder (C:\\Windows); refusing to write to that disk"},
        {"D: beside C:, neither answering the extents call, as in Wine",
         [](FakeMachine* m) {
             VolumeNamed(m, "\\\\?\\Volume{c}").extents.clear();
             m->volumes.push_back({"\\\\?\\Volume{d}", {"D:\\"}, DriveKind::Fixed, {}, true, 0, {}});
         },
         'D', "D: is on disk 0 (C:, D:), which holds the Windows folder (C:\\Windows); refusing to write to that disk"},
        {"the system partition on the stick's disk, as when Windows was set up with the stick in",
         [](FakeMachine* m) { VolumeNamed(m, "\\\\?\\Volume{sys}").extents = {1}; }, 'E',
         "E: is on disk 1 (E:), which holds the boot volume (\\Device\\HarddiskVolume1)"},
        {"a page file on the stick's second partition",
         [](FakeMachine* m) {
             m->volumes.push_back({"\\\\?\\Volume{f}", {"F:\\"}, DriveKind::Removable, {1}, true, 1, {}});
             m->registry[kPagingFiles] = {"F:\\pagefile.sys 0 0"};
         },
         'E', "E: is on disk 1 (E:, F:), which holds a page file (F:\\pagefile.sys)"},
        {"the temporary folder on a volume of the stick mounted in a folder",
         [](FakeMachine* m) {
             m->volumes.push_back({"\\\\?\\Volume{m}", {"C:\\mnt\\stick\\"}, DriveKind::Removable, {1}, true, 1, {}});
             m->calls.temporaryFolder = "C:\\mnt\\stick\\tmp\\";
         },
         'E', "E: is on disk 1 (E:), which holds the temporary folder (C:\\mnt\\stick\\tmp\\)"},
        {"the program run from the stick itself",
         [](FakeMachine* m) { m->calls.programPath = "E:\\tools\\bootice.exe"; }, 'E',
         "E: is on disk 1 (E:), which holds this program (E:\\tools\\bootice.exe)"},
        {"a volume spanning disks, which has no device number",
         [](FakeMachine* m) {
             FakeVolume& e = VolumeNamed(m, "\\\\?\\Volume{e}");
             e.extents = {1, 2};
             e.hasNumber = false;
         },
         'E', "E: is not on a local disk: the system gives it no disk number"},
        {"no boot partition recorded, as in Wine", [](FakeMachine* m) { m->registry.erase(kSetup); }, 'E',
         "cannot tell which disk holds the boot volume (the system records no boot partition)"},
        {"a recorded boot partition that can't be opened",
         [](FakeMachine* m) { m->registry[kSetup] = {"\\Device\\HarddiskVolume9"}; }, 'E',
         "cannot tell which disk holds the boot volume (\\Device\\HarddiskVolume9) (the system does not say which "
         "disk \\\\?\\GLOBALROOT\\Device\\HarddiskVolume9 lies on: cannot open"},
        {"a letter with no drive", [](FakeMachine*) {}, 'G', "G: is not a drive on this computer"},
        {"a network drive",
         [](FakeMachine* m) { m->shares = {"N:\\"}; }, 'N', "N: is a network drive, not a local disk"},
    };
    for (const MachineCase& c : cases) {
        FakeMachine machine = LaptopWithStick();
        c.change(&machine);
        WireCalls(&machine);
        DiskFacts facts;
        GatherDiskFacts(c.letter, machine.calls, &facts);
        GuardVerdict verdict = DecideDiskGuard(facts);
        EXPECT_EQ(verdict.allowed, *c.reason == '\0') << c.name << ": " << verdict.reason;
        EXPECT_EQ(verdict.reason.substr(0, strlen(c.reason)), c.reason) << c.name;
    }
}

TEST(DiskGuard, TakesOnlyADriveLetterAsDevice) {
    const struct {
        const char* device;
        char letter;  // 0: refused
    } cases[] = {
        {"E:", 'E'}, {"e:", 'E'}, {"E:\\", 'E'}, {"z:/", 'Z'}, {"E", 0}, {"", 0}, {"EE:", 0}, {"1:", 0},
        {"\\\\.\\E:", 0}, {"E:\\x", 0}, {"E:foo", 0}, {"stick.img", 0},
    };
    for (const auto& c : cases) {
        char letter = 0;
        std::string error;
        bool ok = ParseDriveLetterDevice(c.device, &letter, &error);
        EXPECT_EQ(ok, c.letter != 0) << c.device;
        if (ok) {
            EXPECT_EQ(letter, c.letter) << c.device;
        } else {
            EXPECT_NE(error.find(c.device), std::string::npos) << c.device << ": " << error;
        }
    }
}

TEST(DiskGuard, ReadsPageFilesFromBothRegistryValues) {
    std::vector<std::string> existing = {"\\??\\C:\\pagefile.sys", "\\??\\D:\\pagefile.sys"};
    std::vector<std::string> configured = {
        "c:\\PAGEFILE.SYS 0 0",               // the same file, other case and sizes
        "?:\\pagefile.sys",                   // system-managed: names no drive
        "F:\\swap space\\pagefile.sys 1024 2048",
        "G:\\page 2024.sys",                  // a number in the name is not a size
        "",
    };
    EXPECT_EQ(PageFilePaths(existing, configured),
              (std::vector<std::string>{"C:\\pagefile.sys", "D:\\pagefile.sys", "F:\\swap space\\pagefile.sys",
                                        "G:\\page 2024.sys"}));
    EXPECT_TRUE(PageFilePaths({}, {}).empty());
}

TEST(DiskGuard, KeepsEveryTransferOnTheDisk) {
    const uint64_t disk = 1000;
    EXPECT_TRUE(SectorsWithinDisk(0, 1000, disk));
    EXPECT_TRUE(SectorsWithinDisk(999, 1, disk));
    EXPECT_TRUE(SectorsWithinDisk(1000, 0, disk));
    EXPECT_FALSE(SectorsWithinDisk(999, 2, disk));
    EXPECT_FALSE(SectorsWithinDisk(1000, 1, disk));
    EXPECT_FALSE(SectorsWithinDisk(1001, 0, disk));
    // A first sector near the top of the range must not wrap round to a
    // small sum that looks inside.
    EXPECT_FALSE(SectorsWithinDisk(UINT64_MAX - 10, 100, disk));
    EXPECT_FALSE(SectorsWithinDisk(UINT64_MAX, UINT32_MAX, UINT64_MAX - 1));
    EXPECT_TRUE(SectorsWithinDisk(0, UINT32_MAX, uint64_t(UINT32_MAX)));
}

TEST(DiskGuard, PlansTheLetterOfTheNewVolume) {
    // Already there: nothing to do.
    RemountPlan plan = PlanRemount({'E', {'E'}, true, true});
    EXPECT_TRUE(plan.done);

    // The system gave the new volume F:; E: is free.
    plan = PlanRemount({'E', {'F'}, false, false});
    EXPECT_FALSE(plan.done);
    EXPECT_FALSE(plan.refused);
    EXPECT_FALSE(plan.freeLetter);
    EXPECT_EQ(plan.lettersToRemove, std::vector<char>{'F'});

    // E: still names the old volume of this disk: free it first.
    plan = PlanRemount({'e', {}, true, true});
    EXPECT_TRUE(plan.freeLetter);
    EXPECT_TRUE(plan.lettersToRemove.empty());
    EXPECT_FALSE(plan.refused);

    // E: was taken meanwhile by a volume of another disk: never take it away.
    plan = PlanRemount({'E', {'G'}, true, false});
    EXPECT_TRUE(plan.refused);
    EXPECT_FALSE(plan.freeLetter);
    EXPECT_TRUE(plan.lettersToRemove.empty());
    EXPECT_EQ(plan.reason, "E: now names a volume on another disk; the new volume keeps G:");
}

}  // namespace

TEST(DiskGuard, PlansTheVolumesOfEachCommandForm) {
    const std::vector<DiskPartition> partitions = {{1, 1 << 20, 0x07}, {2, 64 << 20, 0xEF}, {0, 0, 0}};
    struct Row {
        const char* name;
        bool bootCodeOnly;
        std::vector<char> lettersOnDisk;
        std::vector<uint32_t> cleared;
        std::vector<char> taken;
        bool autoPlay;
    } rows[] = {
        // Sector 0 lies outside every volume: nothing is locked or taken.
        {"mbr", true, {'E', 'F'}, {}, {}, false},
        // The unlisted ESP-type partition 2 is cleared too; an unused entry is not.
        {"partitions", false, {'E'}, {1, 2}, {'E'}, true},
        {"second letter", false, {'f', 'E'}, {1, 2}, {'E', 'F'}, true},
    };
    for (const Row& row : rows) {
        VolumePlan plan = PlanVolumeWork(row.bootCodeOnly, 'e', partitions, row.lettersOnDisk);
        EXPECT_EQ(plan.partitionsToClear, row.cleared) << row.name;
        EXPECT_EQ(plan.lettersToTake, row.taken) << row.name;
        EXPECT_EQ(plan.holdAutoPlay, row.autoPlay) << row.name;
    }
    EXPECT_EQ(PartitionDevicePath(2, 1), "\\\\?\\GLOBALROOT\\Device\\Harddisk2\\Partition1");
}

TEST(DiskGuard, WritesOnlyIntoALockedVolume) {
    struct Row {
        bool locked, dismounted, relocked, mayWrite;
        const char* says;  // in the note or the refusal
    } rows[] = {
        {true, true, false, true, ""},
        {true, false, false, true, ""},  // a lock alone keeps everyone else off
        {false, true, true, true,
         "was in use by another program (Access is denied (error 5)); it was dismounted anyway"},
        // Dismounted but never locked: anyone may mount it again at once.
        {false, true, false, false, "it was dismounted, but another program mounted it again at once"},
        {false, false, false, false, "can be neither locked (Access is denied (error 5)) nor dismounted"},
    };
    for (const Row& row : rows) {
        ClearVerdict verdict = DecideVolumeClear("partition 1 of disk 2", row.locked, "Access is denied (error 5)",
                                                 row.dismounted, "Invalid function (error 1)", row.relocked);
        EXPECT_EQ(verdict.mayWrite, row.mayWrite);
        const std::string& said = row.mayWrite ? verdict.note : verdict.refusal;
        if (*row.says == '\0') {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find(row.says), std::string::npos) << said;
        }
    }
}

TEST(DiskGuard, RetriesOnlyPassingProblems) {
    EXPECT_TRUE(TransferErrorPasses(1117));  // a device I/O error on a USB hub
    EXPECT_FALSE(TransferErrorPasses(87));   // a misaligned or out-of-range request stays so
    EXPECT_TRUE(RetryFormat(1, FormatProblemOf(8)));   // in use
    EXPECT_TRUE(RetryFormat(1, FormatProblemOf(0)));   // ended without a packet
    EXPECT_FALSE(RetryFormat(kFormatRetry.attempts, FormatProblemOf(8)));
    EXPECT_FALSE(RetryFormat(1, FormatProblemOf(7)));  // write-protected stays so
    EXPECT_EQ(FormatProblemOf(8).text, "the volume is in use and can't be locked");
    EXPECT_EQ(FormatProblemOf(37).text, "the partition is not aligned to the cluster size");
    EXPECT_FALSE(RetryFormat(1, FormatProblemOf(20)));  // no medium stays so
}
