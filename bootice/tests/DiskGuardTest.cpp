// The Windows front's refusals, decided over the facts its disk calls gather:
// a table of machines, each with the one fact that makes it differ from a
// plain USB stick beside a system disk.
#include <gtest/gtest.h>

#include <functional>

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
