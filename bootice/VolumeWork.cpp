#include "bootice/VolumeWork.h"

#include <algorithm>

namespace {

const VolumeCalls& Calls(const VolumeRun* run) { return *run->calls; }

std::string Drive(char letter) { return std::string(1, letter) + ":"; }

void Remember(const VolumeRun* run, char letter, const std::string& volumeName) {
    if (Calls(run).remember != nullptr) Calls(run).remember(Calls(run).context, letter, volumeName);
}

void ReleaseCleared(VolumeRun* run) {
    for (ClearedVolume& volume : run->cleared) Calls(run).close(Calls(run).context, volume.handle);
    run->cleared.clear();
}

// Takes |letter| off its volume for the run; the restore record holds it
// before it goes.
void TakeLetter(VolumeRun* run, char letter) {
    const VolumeCalls& calls = Calls(run);
    TakenLetter taken;
    taken.letter = letter;
    if (!calls.volumeOfLetter(calls.context, letter, &taken.volumeName)) return;
    Remember(run, letter, taken.volumeName);
    std::string error;
    if (calls.removeLetter(calls.context, letter, &error)) {
        run->taken.push_back(taken);
    } else {
        Remember(run, letter, "");
        run->notes.push_back(Drive(letter) + " could not be taken off its volume (" + error + ")");
    }
}

// Gives the taken letters back to the volumes they named; a letter that can't
// go back stays in the restore record for the main program.
void GiveLettersBack(VolumeRun* run) {
    const VolumeCalls& calls = Calls(run);
    for (const TakenLetter& taken : run->taken) {
        std::string error;
        if (calls.setLetter(calls.context, taken.letter, taken.volumeName, &error)) {
            Remember(run, taken.letter, "");
        } else {
            run->notes.push_back(Drive(taken.letter) + " could not be given back (" + error + ")");
        }
    }
    run->taken.clear();
}

// Opens a volume, locks it (after a dismount when someone holds it) and keeps
// it so while the core writes.
bool ClearVolume(VolumeRun* run, const std::string& device, const std::string& name, uint32_t partition,
                 std::string* refusal) {
    const VolumeCalls& calls = Calls(run);
    std::string error;
    void* handle = calls.open(calls.context, device, &error);
    if (handle == nullptr) {
        *refusal = name + " can't be opened (" + device + ": " + error + ")";
        return false;
    }
    std::string lockError;
    bool locked = Retry(calls, kLockRetry, [&](int) { return DoneIf(calls.lock(calls.context, handle, &lockError)); });
    std::string dismountError;
    bool dismounted = calls.dismount(calls.context, handle, &dismountError);
    // The dismount closed the other program's files: the lock may be had now,
    // before anyone mounts the volume again.
    bool relocked = !locked && dismounted && Retry(calls, kRelockRetry, [&](int) {
                        std::string ignored;
                        return DoneIf(calls.lock(calls.context, handle, &ignored));
                    });
    ClearVerdict verdict = DecideVolumeClear(name, locked, lockError, dismounted, dismountError, relocked);
    if (!verdict.mayWrite) {
        calls.close(calls.context, handle);
        *refusal = verdict.refusal;
        return false;
    }
    if (!verdict.note.empty()) run->notes.push_back(verdict.note);
    run->cleared.push_back({handle, name, partition});
    return true;
}

bool WaitForVolumeAt(const VolumeRun* run, uint64_t offset, std::string* volumeName) {
    const VolumeCalls& calls = Calls(run);
    return Retry(calls, kArrivalRetry,
                 [&](int) { return DoneIf(calls.volumeNameAt(calls.context, run->disk, offset, volumeName)); });
}

// Gives the letter's partition's volume the letter, taking it from a stale
// mount point of this disk and any other letter from the volume. The mount
// point also mounts the volume where the system mounts nothing by itself.
bool MountAgainUnderLetter(VolumeRun* run, std::string* error) {
    const VolumeCalls& calls = Calls(run);
    const char letter = run->letter;
    std::string lastFailure = "the new partition's volume did not appear";
    bool refused = false;
    bool mounted = Retry(calls, kArrivalRetry, [&](int) {
        std::string volumeName;
        if (!calls.volumeNameAt(calls.context, run->disk, run->partitionOffset, &volumeName)) return Try::Again;
        RemountFacts facts;
        facts.letter = letter;
        facts.newVolumeLetters = LettersOfPartition(*run->guard, run->disk, run->partitionOffset);
        std::string current;
        facts.letterTaken = calls.volumeOfLetter(calls.context, letter, &current);
        if (facts.letterTaken) {
            // Only a letter shown to be on this disk is stale: a DVD drive or a
            // mounted image whose disk can't be told keeps its letter.
            std::vector<uint32_t> disks;
            std::string ignored;
            facts.letterOnTargetDisk =
                DisksOfVolumeDevice(*run->guard, WithoutTrailingBackslash(current), &disks, &ignored) &&
                std::find(disks.begin(), disks.end(), run->disk) != disks.end();
        }
        RemountPlan plan = PlanRemount(facts);
        if (plan.done) return Try::Done;
        if (plan.refused) {
            lastFailure = plan.reason;
            refused = true;
            return Try::GiveUp;
        }
        Remember(run, letter, volumeName);
        std::string callError;
        if (plan.freeLetter && !calls.removeLetter(calls.context, letter, &callError)) {
            lastFailure = Drive(letter) + " can't be taken from its old volume (" + callError + ")";
            return Try::Again;
        }
        for (char other : plan.lettersToRemove) {
            if (!calls.removeLetter(calls.context, other, &callError)) {
                lastFailure = Drive(other) + " can't be taken from the new volume (" + callError + ")";
                return Try::Again;
            }
        }
        if (!calls.setLetter(calls.context, letter, volumeName, &callError)) {
            lastFailure = "the new volume can't be given the letter " + Drive(letter) + " (" + callError + ")";
            return Try::Again;
        }
        return Try::Done;
    });
    if (mounted || refused) Remember(run, letter, "");
    if (!mounted) *error = lastFailure;
    return mounted;
}

}  // namespace

bool ClearDiskVolumes(VolumeRun* run, bool bootCodeOnly, bool needsFormatter,
                      const std::vector<DiskPartition>& partitions, const std::vector<char>& lettersOnDisk,
                      std::string* refusal) {
    const VolumeCalls& calls = Calls(run);
    // A system whose formatter can't be loaded refuses NTFS and exFAT before
    // the stick is wiped, not after.
    if (needsFormatter && !calls.formatterReady(calls.context, refusal)) return false;
    VolumePlan plan = PlanVolumeWork(bootCodeOnly, run->letter, partitions, lettersOnDisk);
    for (const DiskPartition& partition : partitions) {
        // The letter's partition; partition 1 (the one the tool makes) until it is found.
        if (run->partitionOffset == 0 && partition.number == 1) run->partitionOffset = partition.offset;
        std::vector<char> letters = LettersOfPartition(*run->guard, run->disk, partition.offset);
        if (std::find(letters.begin(), letters.end(), run->letter) != letters.end()) {
            run->partitionOffset = partition.offset;
        }
    }
    // A disk that does not answer the layout call still has the letter's
    // volume: it is reached by its name, or by the letter while that stays.
    std::string letterVolume = "\\\\.\\" + Drive(run->letter);
    if (calls.volumeOfLetter(calls.context, run->letter, &letterVolume)) {
        letterVolume = WithoutTrailingBackslash(letterVolume);
    }
    if (plan.holdAutoPlay) calls.holdAutoPlay(calls.context, true);
    // Letters first: Explorer closes its windows on a drive whose letter goes.
    for (char letter : plan.lettersToTake) TakeLetter(run, letter);
    bool cleared = true;
    for (uint32_t number : plan.partitionsToClear) {
        cleared = cleared && ClearVolume(run, PartitionDevicePath(run->disk, number),
                                         "partition " + std::to_string(number) + " of disk " +
                                             std::to_string(run->disk),
                                         number, refusal);
    }
    if (cleared && partitions.empty() && !bootCodeOnly) {
        cleared = ClearVolume(run, letterVolume, Drive(run->letter), 0, refusal);
    }
    if (!cleared) {
        ReleaseCleared(run);
        GiveLettersBack(run);
        if (plan.holdAutoPlay) calls.holdAutoPlay(calls.context, false);
    }
    return cleared;
}

void LayoutApplied(VolumeRun* run, uint64_t partitionOffset, uint64_t efiOffset) {
    run->layoutApplied = true;
    run->partitionOffset = partitionOffset;
    run->efiOffset = efiOffset;
    // The old volumes are gone with the old table: nothing of them is held or
    // given back. The letter goes to the new partition 1 at the end.
    ReleaseCleared(run);
    for (const TakenLetter& taken : run->taken) Remember(run, taken.letter, "");
    run->taken.clear();
}

bool FormatNewVolume(VolumeRun* run, const std::string& fileSystem, std::string* error) {
    const VolumeCalls& calls = Calls(run);
    // The formatter locks the volume itself.
    for (size_t i = 0; i < run->cleared.size(); ++i) {
        if (run->cleared[i].partition == 1) {
            calls.close(calls.context, run->cleared[i].handle);
            run->cleared.erase(run->cleared.begin() + long(i));
            break;
        }
    }
    std::string volumeName;
    if (!WaitForVolumeAt(run, run->partitionOffset, &volumeName)) {
        *error = "the new partition's volume did not appear, so it can't be formatted as " + fileSystem;
        return false;
    }
    // No letter while it is formatted: no window opens on it meanwhile. The
    // record gives it the chosen letter should the tool end here.
    Remember(run, run->letter, volumeName);
    for (char letter : LettersOfPartition(*run->guard, run->disk, run->partitionOffset)) {
        std::string ignored;
        calls.removeLetter(calls.context, letter, &ignored);
    }
    int attempts = 0;
    std::string failure;
    bool formatted = Retry(
        calls, kFormatRetry,
        [&](int attempt) {
            if (attempt > 1) {
                // Whoever held the volume loses its hold before the next try.
                std::string ignored;
                if (void* handle = calls.open(calls.context, WithoutTrailingBackslash(volumeName), &ignored)) {
                    calls.dismount(calls.context, handle, &ignored);
                    calls.close(calls.context, handle);
                }
            }
            int packet = 0;
            std::string callError;
            if (calls.format(calls.context, volumeName, fileSystem, run->removable, &packet, &callError)) {
                return Try::Done;
            }
            if (!callError.empty()) {
                failure = callError;
                return Try::GiveUp;
            }
            FormatProblem problem = FormatProblemOf(packet);
            failure = problem.text;
            return RetryFormat(attempt, problem) ? Try::Again : Try::GiveUp;
        },
        &attempts);
    if (!formatted) {
        *error = "the system's formatter failed to format the new partition as " + fileSystem + " (tried " +
                 std::to_string(attempts) + (attempts == 1 ? " time" : " times") + "): " + failure;
    }
    return formatted;
}

void ReleaseVolumes(VolumeRun* run) {
    for (ClearedVolume& volume : run->cleared) {
        std::string ignored;
        Calls(run).dismount(Calls(run).context, volume.handle, &ignored);
    }
    ReleaseCleared(run);
}

bool FinishVolumeWork(VolumeRun* run, bool bootCodeOnly, const std::string& expectedFileSystem, bool coreSucceeded,
                      std::string* fileSystem, std::string* error) {
    const VolumeCalls& calls = Calls(run);
    const char letter = run->letter;
    bool checked = false;
    if (bootCodeOnly) {
        // The master boot code leaves the volumes alone, whatever they hold.
        std::string volumeName;
        checked = coreSucceeded && Retry(calls, kArrivalRetry, [&](int) {
                      return DoneIf(calls.volumeOfLetter(calls.context, letter, &volumeName));
                  });
        if (coreSucceeded && !checked) *error = Drive(letter) + " did not come back";
        return checked;
    }
    if (coreSucceeded || run->layoutApplied) {
        // After a new layout the letter goes to partition 1 whatever became of
        // the work: a stick without a letter is one the user can't even retry.
        run->taken.erase(std::remove_if(run->taken.begin(), run->taken.end(),
                                        [&](const TakenLetter& t) { return t.letter == letter; }),
                         run->taken.end());
        bool mounted = MountAgainUnderLetter(run, error);
        GiveLettersBack(run);
        // The UEFI loaders' partition keeps no letter, even one the system
        // gave it after the layout.
        if (run->efiOffset != 0) {
            for (char other : LettersOfPartition(*run->guard, run->disk, run->efiOffset)) {
                std::string ignored;
                calls.removeLetter(calls.context, other, &ignored);
            }
        }
        if (coreSucceeded && mounted) {
            const std::string root = Drive(letter) + "\\";
            std::string callError;
            checked = Retry(calls, kArrivalRetry,
                            [&](int) { return DoneIf(calls.fileSystemOf(calls.context, root, fileSystem, &callError)); });
            if (!checked) {
                *error = Drive(letter) + " shows no file system after the work: " + callError;
            } else if (!expectedFileSystem.empty() && !SameNameIgnoringCase(*fileSystem, expectedFileSystem)) {
                checked = false;
                *error = Drive(letter) + " shows " + *fileSystem + " instead of the new " + expectedFileSystem;
            } else if (!calls.flush(calls.context, root, &callError)) {
                checked = false;
                *error = Drive(letter) + " could not be written out to the medium: " + callError;
            }
        }
    } else {
        GiveLettersBack(run);
    }
    calls.holdAutoPlay(calls.context, false);
    return checked;
}
