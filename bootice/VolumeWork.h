// The order of the volume work around the core's writes: which letters come
// off and go back, which volumes are locked, how long each step is tried.
// Portable: it runs only through the volume and disk call tables, so native
// tests drive it over a fake volume manager; the Windows front keeps the
// thin calls and the disk handle.
#pragma once
#include <string>
#include <vector>

#include "bootice/DiskGuard.h"

enum class Try { Done, Again, GiveUp };

// Runs |step| until it is done, gives up, or policy.attempts runs have
// failed, pausing between runs. *attempts counts the runs.
template <typename Step>
bool Retry(const VolumeCalls& calls, RetryPolicy policy, Step step, int* attempts = nullptr) {
    for (int attempt = 1;; ++attempt) {
        if (attempts != nullptr) *attempts = attempt;
        Try result = step(attempt);
        if (result == Try::Done) return true;
        if (result == Try::GiveUp || attempt >= policy.attempts) return false;
        calls.pause(calls.context, policy.pauseMilliseconds);
    }
}

inline Try DoneIf(bool done) { return done ? Try::Done : Try::Again; }

struct ClearedVolume {
    void* handle = nullptr;
    std::string name;
    uint32_t partition = 0;  // 0: reached by its letter
};

struct TakenLetter {
    char letter = 0;
    std::string volumeName;
};

// One run of the tool on one disk.
struct VolumeRun {
    const VolumeCalls* calls = nullptr;
    const DiskCalls* guard = nullptr;
    uint32_t disk = 0;
    char letter = 0;
    bool removable = false;
    bool layoutApplied = false;
    uint64_t partitionOffset = 0;        // the letter's partition (partition 1 after a new layout)
    uint64_t efiOffset = 0;              // the UEFI loaders' partition; 0: none
    std::vector<ClearedVolume> cleared;  // held while the core writes
    std::vector<TakenLetter> taken;      // letters taken for the run, with their old volumes
    std::vector<std::string> notes;      // who was in the way, for the report
};

// Before the first write: the formatter is there when the command needs it,
// the letters are off every volume of the disk, AutoPlay is held, and every
// partition is locked (after a dismount if need be). On a refusal nothing has
// been written and everything is as it was.
// |bootCodeOnly|: the command writes sector 0 alone (/mbr).
bool ClearDiskVolumes(VolumeRun* run, bool bootCodeOnly, bool needsFormatter,
                      const std::vector<DiskPartition>& partitions, const std::vector<char>& lettersOnDisk,
                      std::string* refusal);

// After the front set a new layout: the old volumes are gone with the old
// table; the letter goes to the new partition at |partitionOffset| from now on.
void LayoutApplied(VolumeRun* run, uint64_t partitionOffset, uint64_t efiOffset);

// NTFS and exFAT: the system's formatter on partition 1's volume, tried again
// while its problem passes.
bool FormatNewVolume(VolumeRun* run, const std::string& fileSystem, std::string* error);

// Unlocks the cleared volumes, dismounting them first so that the system
// reads afresh what the core wrote.
void ReleaseVolumes(VolumeRun* run);

// After the core: the letters go back (after a new layout the chosen letter
// to partition 1, whether the work succeeded or not), the UEFI loaders'
// partition keeps none, AutoPlay is put back, and the volume is flushed.
// True when the letter names the disk's volume again with the file system the
// command asked for (|expectedFileSystem|, any when empty; *fileSystem);
// else *error says what is wrong.
bool FinishVolumeWork(VolumeRun* run, bool bootCodeOnly, const std::string& expectedFileSystem, bool coreSucceeded,
                      std::string* fileSystem, std::string* error);
