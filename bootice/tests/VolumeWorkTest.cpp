// The volume work around the core's writes, over a fake volume manager that
// behaves as Windows does: a new partition's volume arrives (late, if the row
// says so) with the first free letter, a program holding a volume refuses its
// lock, a dismount ends the hold but a holder mounts the volume again unless
// it is locked, and the restore record is kept as the front keeps it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "bootice/VolumeWork.h"

namespace {

constexpr uint32_t kStick = 2;
constexpr uint64_t kPart1 = 1 << 20;
constexpr uint64_t kPart2 = 200ull << 20;

struct Volume {
    uint32_t disk = kStick;
    uint64_t offset = 0;
    bool present = true;
    bool locked = false;
    bool mounted = true;
    std::vector<char> letters;
    std::string holder;       // a program with files open on it
    bool stubborn = false;    // it mounts the volume again the moment it is dismounted
    bool knownDisk = true;    // the system says which disk it lies on
    double arrivesAt = 0;
    int generation = 0;      // a new table makes new volumes
};

struct Machine {
    std::vector<Volume> volumes;
    double clock = 0;
    bool autoPlayHeld = false;
    bool formatterThere = true;
    bool automount = true;    // off: new volumes get no letter by themselves
    int formatBusy = 0;       // FormatEx answers "in use" this many times
    std::string fileSystem = "NTFS";
    std::vector<std::string> flushed;
    std::map<char, std::string> record;
    int generation = 0;
    VolumeCalls calls;
    DiskCalls guard;
};

Machine& M(void* context) { return *static_cast<Machine*>(context); }

std::string NameOf(const Volume& v) {
    return "\\\\?\\Volume{" + std::to_string(v.disk) + "-" + std::to_string(v.offset) + "-" +
           std::to_string(v.generation) + "}\\";
}

char FreeLetter(Machine& m) {
    for (char c = 'D'; c <= 'Z'; ++c) {
        bool used = false;
        for (const Volume& v : m.volumes)
            if (v.present && std::find(v.letters.begin(), v.letters.end(), c) != v.letters.end()) used = true;
        if (!used) return c;
    }
    return 0;
}

// Every call sees the machine as it is now: late volumes arrive, holders
// come back to volumes that are not locked.
void Update(Machine& m) {
    for (Volume& v : m.volumes) {
        if (!v.present && m.clock >= v.arrivesAt) {
            v.present = true;
            if (m.automount) v.letters.push_back(FreeLetter(m));
        }
        if (v.present && !v.locked && !v.holder.empty()) v.mounted = true;
    }
}

Volume* At(Machine& m, uint32_t disk, uint64_t offset) {
    Update(m);
    for (Volume& v : m.volumes)
        if (v.disk == disk && v.offset == offset && v.generation == (disk == kStick ? m.generation : 0)) return &v;
    return nullptr;
}

Volume* Named(Machine& m, const std::string& name) {
    Update(m);
    for (Volume& v : m.volumes)
        if (v.present && (NameOf(v) == name || NameOf(v) == name + "\\")) return &v;
    return nullptr;
}

Volume* Lettered(Machine& m, char letter) {
    Update(m);
    for (Volume& v : m.volumes)
        if (v.present && std::find(v.letters.begin(), v.letters.end(), letter) != v.letters.end()) return &v;
    return nullptr;
}

uint32_t PartitionOf(const std::string& device) { return uint32_t(device.back() - '0'); }

void Wire(Machine* m) {
    VolumeCalls& c = m->calls;
    c.context = m;
    c.open = [](void* x, const std::string& device, std::string* error) -> void* {
        Volume* v = device.find("GLOBALROOT") != std::string::npos
                        ? At(M(x), kStick, PartitionOf(device) == 1 ? kPart1 : kPart2)
                        : Named(M(x), device);
        if (v == nullptr || !v->present) *error = "not found";
        return v != nullptr && v->present ? v : nullptr;
    };
    c.lock = [](void* x, void* h, std::string* error) {
        Update(M(x));
        Volume* v = static_cast<Volume*>(h);
        if (v->mounted && !v->holder.empty()) {
            *error = "Access is denied (error 5)";
            return false;
        }
        v->locked = true;
        return true;
    };
    c.dismount = [](void* x, void* h, std::string*) {
        Volume* v = static_cast<Volume*>(h);
        v->mounted = false;
        if (!v->stubborn) v->holder.clear();  // its files are closed
        Update(M(x));                         // a stubborn one is back at once
        return true;
    };
    c.close = [](void*, void* h) { static_cast<Volume*>(h)->locked = false; };
    c.volumeNameAt = [](void* x, uint32_t disk, uint64_t offset, std::string* name) {
        Volume* v = At(M(x), disk, offset);
        if (v == nullptr || !v->present) return false;
        *name = NameOf(*v);
        return true;
    };
    c.volumeOfLetter = [](void* x, char letter, std::string* name) {
        Volume* v = Lettered(M(x), letter);
        if (v != nullptr) *name = NameOf(*v);
        return v != nullptr;
    };
    c.removeLetter = [](void* x, char letter, std::string*) {
        Volume* v = Lettered(M(x), letter);
        if (v != nullptr) v->letters.erase(std::find(v->letters.begin(), v->letters.end(), letter));
        return v != nullptr;
    };
    c.setLetter = [](void* x, char letter, const std::string& name, std::string* error) {
        Volume* v = Named(M(x), name);
        if (v == nullptr || Lettered(M(x), letter) != nullptr) {
            *error = "refused";
            return false;
        }
        v->letters.push_back(letter);
        return true;
    };
    c.fileSystemOf = [](void* x, const std::string& root, std::string* name, std::string*) {
        *name = M(x).fileSystem;
        return Lettered(M(x), root[0]) != nullptr;
    };
    c.format = [](void* x, const std::string& name, const std::string&, bool, int* packet, std::string*) {
        Volume* v = Named(M(x), name);
        if (M(x).formatBusy > 0 || v == nullptr || (v->mounted && !v->holder.empty())) {
            --M(x).formatBusy;
            *packet = 8;
            return false;
        }
        return true;
    };
    c.formatterReady = [](void* x, std::string* error) {
        if (!M(x).formatterThere) *error = "the system's formatter (fmifs.dll) is not available";
        return M(x).formatterThere;
    };
    c.flush = [](void* x, const std::string& root, std::string*) {
        M(x).flushed.push_back(root);
        return true;
    };
    c.remember = [](void* x, char letter, const std::string& name) {
        if (name.empty()) M(x).record.erase(letter);
        else M(x).record[letter] = name;
    };
    c.holdAutoPlay = [](void* x, bool hold) { M(x).autoPlayHeld = hold; };
    c.pause = [](void* x, uint32_t ms) { M(x).clock += ms / 1000.0; };

    DiskCalls& g = m->guard;
    g.context = m;
    g.extents = [](void* x, const std::string& device, std::vector<DiskExtent>* extents, std::string*) {
        // "\\.\E:" or a volume name.
        Volume* v = device.size() == 6 ? Lettered(M(x), device[4]) : Named(M(x), device);
        if (v == nullptr || !v->knownDisk) return false;
        *extents = {{v->disk, v->offset}};
        return true;
    };
    g.logicalDrives = [](void* x) {
        uint32_t drives = 0;
        for (const Volume& v : M(x).volumes)
            for (char c : v.present ? v.letters : std::vector<char>()) drives |= 1u << (c - 'A');
        return drives;
    };
    g.deviceNumber = [](void*, const std::string&, uint32_t*) { return false; };
}

// A stick with E: on partition 1 and an ESP-type partition 2, beside disk 3
// with D:.
void Stick(Machine* m) {
    Volume e;
    e.offset = kPart1;
    e.letters = {'E'};
    Volume esp;
    esp.offset = kPart2;
    Volume d;
    d.disk = 3;
    d.offset = kPart1;
    d.letters = {'D'};
    m->volumes = {e, esp, d};
    Wire(m);
}

// The system's answer to a new table: new volumes for both partitions.
void NewTable(Machine* m, double delay) {
    ++m->generation;
    for (uint64_t offset : {kPart1, kPart2}) {
        Volume v;
        v.offset = offset;
        v.present = false;
        v.arrivesAt = m->clock + delay;
        v.generation = m->generation;
        m->volumes.push_back(v);
    }
    // The old ones are gone with the old table.
    m->volumes.erase(std::remove_if(m->volumes.begin(), m->volumes.end(),
                                    [&](const Volume& v) { return v.disk == kStick && v.generation != m->generation; }),
                     m->volumes.end());
}

VolumeRun RunOn(Machine* m) {
    VolumeRun run;
    run.calls = &m->calls;
    run.guard = &m->guard;
    run.disk = kStick;
    run.letter = 'E';
    run.removable = true;
    return run;
}

const std::vector<DiskPartition> kPartitions = {{1, kPart1, 0x07}, {2, kPart2, 0xEF}};

std::string Letters(Machine& m) {
    std::string text;
    for (const Volume& v : m.volumes) {
        if (v.disk != kStick || !v.present) continue;
        text += (v.offset == kPart1 ? "1:" : "2:") + std::string(v.letters.begin(), v.letters.end()) + " ";
    }
    return text;
}

}  // namespace

// The whole road of /partitions, row by row: the letters at the
// end (E: on partition 1, none on partition 2, nothing stray), AutoPlay put
// back, the record empty, the volume flushed.
TEST(DiskGuardVolumeWork, RepartitionsAndEndsWithTheLettersAsTheyBelong) {
    struct Row {
        const char* name;
        double arrivalDelay;   // seconds after the layout
        const char* holder;    // on E: before the run
        bool stubborn;
        int formatBusy;
        bool cleared;          // the disk may be written
        const char* says;      // in the refusal or the notes
        const char* fileSystem = "NTFS";
        bool automount = true;
    } rows[] = {
        {"plain", 0, "", false, 0, true, ""},
        {"explorer holds E:", 0, "explorer.exe", false, 0, true, "it was dismounted anyway"},
        {"new volumes arrive late", 3, "", false, 0, true, ""},
        {"formatter in use twice", 0, "", false, 2, true, ""},
        // Back after every dismount: never locked, so nothing is written.
        {"remounted at once", 0, "explorer.exe", true, 0, false, "mounted it again at once"},
        // New volumes get no letter by themselves: the mount point mounts them.
        {"automount off", 0, "", false, 0, true, "", "NTFS", false},
        {"automount off, FAT32", 0, "", false, 0, true, "", "FAT32", false},
    };
    for (const Row& row : rows) {
        Machine m;
        Stick(&m);
        m.volumes[0].holder = row.holder;
        m.volumes[0].stubborn = row.stubborn;
        m.formatBusy = row.formatBusy;
        m.automount = row.automount;
        m.fileSystem = row.fileSystem;
        const bool systemFormats = m.fileSystem != "FAT32";
        VolumeRun run = RunOn(&m);
        std::string error;
        bool cleared = ClearDiskVolumes(&run, false, systemFormats, kPartitions, {'E'}, &error);
        ASSERT_EQ(cleared, row.cleared) << row.name << ": " << error;
        if (!cleared) {
            EXPECT_NE(error.find(row.says), std::string::npos) << row.name << ": " << error;
            EXPECT_EQ(Letters(m), "1:E 2: ") << row.name;
            EXPECT_FALSE(m.autoPlayHeld) << row.name;
            EXPECT_TRUE(m.record.empty()) << row.name;
            continue;
        }
        EXPECT_TRUE(m.autoPlayHeld) << row.name;
        EXPECT_EQ(m.record.count('E'), 1u) << row.name;  // written before the letter went
        NewTable(&m, row.arrivalDelay);
        LayoutApplied(&run, kPart1, kPart2);
        const double layoutTime = m.clock;
        if (systemFormats) {
            ASSERT_TRUE(FormatNewVolume(&run, row.fileSystem, &error)) << row.name << ": " << error;
            EXPECT_GE(m.clock - layoutTime, row.arrivalDelay) << row.name;  // the wait really ran
        }
        ReleaseVolumes(&run);
        std::string fileSystem;
        EXPECT_TRUE(FinishVolumeWork(&run, false, row.fileSystem, true, &fileSystem, &error))
            << row.name << ": " << error;
        EXPECT_EQ(Letters(m), "1:E 2: ") << row.name;
        EXPECT_EQ(m.flushed, std::vector<std::string>{"E:\\"}) << row.name;
        EXPECT_FALSE(m.autoPlayHeld) << row.name;
        EXPECT_TRUE(m.record.empty()) << row.name;
        std::string notes;
        for (const std::string& note : run.notes) notes += note;
        EXPECT_NE(notes.find(row.says), std::string::npos) << row.name << ": " << notes;
    }
}

// What stays when the run does not end well.
TEST(DiskGuardVolumeWork, LeavesNothingOfTheUsersChangedWhenTheRunBreaksOff) {
    // No formatter: refused before any letter or setting changes.
    Machine m;
    Stick(&m);
    m.formatterThere = false;
    VolumeRun run = RunOn(&m);
    std::string error;
    EXPECT_FALSE(ClearDiskVolumes(&run, false, true, kPartitions, {'E'}, &error));
    EXPECT_EQ(error, "the system's formatter (fmifs.dll) is not available");
    EXPECT_EQ(Letters(m), "1:E 2: ");
    EXPECT_FALSE(m.autoPlayHeld);

    // Killed while the new volume is formatted: the record gives E: to the
    // new partition 1, whose letter the tool took.
    Machine k;
    Stick(&k);
    k.formatBusy = 100;
    VolumeRun killed = RunOn(&k);
    ASSERT_TRUE(ClearDiskVolumes(&killed, false, true, kPartitions, {'E'}, &error));
    NewTable(&k, 0);
    LayoutApplied(&killed, kPart1, kPart2);
    EXPECT_FALSE(FormatNewVolume(&killed, "NTFS", &error));
    EXPECT_NE(error.find("(tried 4 times): the volume is in use"), std::string::npos) << error;
    std::string partition1;
    ASSERT_TRUE(k.calls.volumeNameAt(&k, kStick, kPart1, &partition1));
    EXPECT_EQ(k.record, (std::map<char, std::string>{{'E', partition1}}));

    // ... and when the tool lives on after that failure, it gives E: back
    // itself, to the new partition 1 whatever it holds.
    std::string fileSystem;
    EXPECT_FALSE(FinishVolumeWork(&killed, false, "NTFS", false, &fileSystem, &error));
    EXPECT_EQ(Letters(k), "1:E 2: ");
    EXPECT_TRUE(k.record.empty());
    EXPECT_FALSE(k.autoPlayHeld);

    // E: taken meanwhile by a DVD drive whose disk can't be told: never
    // taken as a stale letter of this disk.
    Machine d;
    Stick(&d);
    VolumeRun dvd = RunOn(&d);
    ASSERT_TRUE(ClearDiskVolumes(&dvd, false, false, kPartitions, {'E'}, &error));
    NewTable(&d, 0);
    LayoutApplied(&dvd, kPart1, kPart2);
    Volume drive;
    drive.disk = 5;
    drive.letters = {'E'};
    drive.knownDisk = false;
    d.volumes.push_back(drive);
    EXPECT_FALSE(FinishVolumeWork(&dvd, false, "FAT32", true, &fileSystem, &error));
    EXPECT_EQ(error, "E: now names a volume on another disk; the new volume keeps F:");
    EXPECT_EQ(d.volumes.back().letters, std::vector<char>{'E'});
    EXPECT_TRUE(d.record.empty());
}
