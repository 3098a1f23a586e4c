// Runs the program's copy operation against the fake operating system, with
// every tool run it starts carried out by the real Linux tool, so that a boot
// test can make a disk image exactly the way the program makes a drive:
//   copy_road ntfs|fat32|exfat ISO DISK WORK FRONT ARCHIVER
// The drive E: stands for DISK: the boot tool's front gets /device=DISK; the
// volume's root is the folder WORK/staging, where the archiver extracts
// (-oWORK/staging/). After each extraction the fake's E:\ tree is loaded
// from that folder, so the program's own checks and file operations (the
// loader choice, the "[boot]" removal, the grldr move) act on what 7-Zip
// really wrote. At the end the fake's E:\ tree is written to WORK/tree, for
// the test to put onto the formatted volume. The image is listed first by
// the program's own inspection (the archiver's "/" become "\\" as on
// Windows). The program's own split of a Windows image reads the real ISO
// (or the real copy in WORK/temp, the split work folder) and writes its .swm
// parts into WORK/staging. Files above kLargeFile stay where they were
// written (the fake holds a stand-in) and are moved into WORK/tree. Every translated command line
// goes to standard output as "run: ...", after the program's own as
// "program: ..."; the exit code is non-zero when a
// tool run failed or the operation reported an error.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "common/Str.h"
#include "copy/CopyOperation.h"
#include "copy/ImageSelection.h"
#include "copy/WindowsImageSplit.h"
#include "payload/Payload.h"
#include "tests/unit/FakeOs.h"

namespace fs = std::filesystem;

namespace {

const std::wstring kImage = L"D:\\road\\image.iso";
const std::wstring kDrive = L"E:";

// Larger files are not read into the fake: a Windows image is gigabytes.
constexpr uintmax_t kLargeFile = uintmax_t(64) << 20;

struct Road {
    std::string iso, disk, staging, tree, front, archiver, temp;
    std::map<std::wstring, std::wstring> names;  // upper-cased E:\ path -> name as extracted
    std::map<std::wstring, fs::path> largeFiles;  // upper-cased fake path -> the real file
    bool toolFailed = false;
};
Road road;

// Splits a command line the way the interpreter hands it on: blanks separate,
// quotes group and are dropped.
std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
    std::vector<std::wstring> words;
    std::wstring word;
    bool quoted = false, any = false;
    for (wchar_t c : line) {
        if (c == L'"') {
            quoted = !quoted;
            any = true;
        } else if (c == L' ' && !quoted) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

std::string RunCaptured(const std::vector<std::string>& args, int* exitCode) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        *exitCode = -1;
        return "";
    }
    pid_t child = fork();
    if (child == 0) {
        // A tool that asked a question would wait for an answer forever.
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, size_t(n));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ForgetVolumeContents() {
    const std::wstring prefix = kDrive + L"\\";
    for (auto it = fake.files.begin(); it != fake.files.end();)
        it = StartsWith(it->first, prefix) ? fake.files.erase(it) : std::next(it);
    for (auto it = fake.folders.begin(); it != fake.folders.end();)
        it = StartsWith(*it, prefix) ? fake.folders.erase(it) : std::next(it);
}

// The fake's folder root (E: or the split work folder) gets what the tools
// left in the real folder.
void LoadFolder(const std::string& real, const std::wstring& root) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(real)) {
        std::wstring path = root;
        for (const fs::path& part : fs::relative(entry.path(), real)) path += L"\\" + FromUtf8(part.string());
        road.names[ToUpper(path)] = FromUtf8(entry.path().filename().string());
        if (entry.is_directory()) {
            fake.AddFolder(path);
        } else if (entry.file_size() > kLargeFile) {
            fake.AddFile(path, "large file, kept on disk");
            road.largeFiles[ToUpper(path)] = entry.path();
        } else {
            fake.AddFile(path, ReadBytes(entry.path()));
        }
    }
}

// The fake's volume becomes what the tools left in the staging folder.
void LoadVolumeFromStaging() {
    ForgetVolumeContents();
    LoadFolder(road.staging, kDrive);
}

// A path of the program's world in the real one; "\\" becomes "/".
std::string RealPath(const std::wstring& path) {
    const std::wstring work = SplitWorkFolder();
    std::wstring rest = path;
    std::string base;
    if (StartsWith(ToUpper(path), ToUpper(work))) {
        base = road.temp;
        rest = path.substr(work.size());
    } else if (StartsWith(ToUpper(path), kDrive + L"\\")) {
        base = road.staging;
        rest = path.substr(kDrive.size());
    }
    return base + ToUtf8(ReplaceAll(rest, L"\\", L"/"));
}

// The name a fake path had when extracted; a name the program made (the
// moved grldr) keeps the program's spelling, which the fake upper-cases.
std::string NameOf(const std::wstring& upperPath) {
    auto found = road.names.find(upperPath);
    return ToUtf8(found != road.names.end() ? found->second : upperPath.substr(upperPath.rfind(L'\\') + 1));
}

fs::path TreePath(const std::wstring& upperPath) {
    fs::path path = road.tree;
    size_t at = kDrive.size();
    while (at < upperPath.size()) {
        size_t next = upperPath.find(L'\\', at + 1);
        if (next == std::wstring::npos) next = upperPath.size();
        path /= NameOf(upperPath.substr(0, next));
        at = next;
    }
    return path;
}

void WriteVolumeTree() {
    fs::remove_all(road.tree);
    fs::create_directories(road.tree);
    const std::wstring prefix = kDrive + L"\\";
    for (const std::wstring& folder : fake.folders)
        if (StartsWith(folder, prefix)) fs::create_directories(TreePath(folder));
    for (const auto& file : fake.files) {
        if (!StartsWith(file.first, prefix)) continue;
        fs::path path = TreePath(file.first);
        fs::create_directories(path.parent_path());
        auto large = road.largeFiles.find(file.first);
        if (large != road.largeFiles.end()) fs::rename(large->second, path);
        else std::ofstream(path, std::ios::binary) << file.second;
    }
}

// The real tool for one command line the program started; E:, the image and
// the volume's root become the disk image, the ISO and the staging folder.
FakeTool RunRealTool(const std::wstring& commandLine) {
    FakeTool result;
    const size_t start = commandLine.find(L" /c ");
    std::vector<std::wstring> words = SplitCommandLine(commandLine.substr(start + 4));
    const std::wstring program = ToUpper(FileNamePart(words[0]));
    const bool archiver = program == L"7ZDROVELKIT.EXE";
    std::vector<std::string> args = {archiver                       ? road.archiver
                                     : program == L"BOOTICE.EXE" ? road.front
                                                                 : ToUtf8(words[0])};
    bool repartition = false, intoTemp = false;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        if (word == L"/device=" + kDrive) args.push_back("/device=" + road.disk);
        else if (StartsWith(word, L"-o")) args.push_back("-o" + RealPath(word.substr(2)));
        else if (word == kImage) args.push_back(road.iso);
        else if (StartsWith(word, L"/")) args.push_back(ToUtf8(word));
        else args.push_back(RealPath(word));
        repartition = repartition || word == L"/repartition";
        intoTemp = intoTemp || word == L"-o" + SplitWorkFolder() + L"\\";
    }
    if (intoTemp) fs::create_directories(road.temp);
    std::printf("program: %s\n", ToUtf8(commandLine).c_str());
    std::string shown = "run:";
    for (const std::string& arg : args) shown += " " + arg;
    std::printf("%s\n", shown.c_str());
    std::fflush(stdout);
    std::string output = RunCaptured(args, &result.exitCode);
    std::printf("  exit %d\n", result.exitCode);
    if (result.exitCode != 0) {
        road.toolFailed = true;
        std::printf("%s\n", output.c_str());
    }
    // A new file system is an empty volume.
    if (repartition) {
        fs::remove_all(road.staging);
        fs::create_directories(road.staging);
        ForgetVolumeContents();
    }
    if (archiver) LoadVolumeFromStaging();
    if (intoTemp) LoadFolder(road.temp, SplitWorkFolder());
    // The Windows archiver lists paths with "\\".
    if (archiver && words.size() > 1 && words[1] == L"l") std::replace(output.begin(), output.end(), '/', '\\');
    for (size_t at = 0; at < output.size(); at += 4096) result.chunks.push_back(output.substr(at, 4096));
    return result;
}

// Large files the program reads or writes itself: the ISO, a copy the
// archiver left in the split work folder, and the split's parts.
std::string RealFileOf(const std::wstring& path) {
    const std::wstring key = ToUpper(path);
    if (key == ToUpper(kImage)) return road.iso;
    auto large = road.largeFiles.find(key);
    if (large != road.largeFiles.end()) return large->second.string();
    if (key.size() < 4 || key.compare(key.size() - 4, 4, L".SWM") != 0) return "";
    const std::string real = RealPath(path);
    fs::create_directories(fs::path(real).parent_path());
    return real;
}

// The parts the split wrote straight into the staging folder join the fake's
// volume as large files.
void LoadSplitParts() {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(road.staging)) {
        if (entry.path().extension() != ".swm") continue;
        std::wstring path = kDrive;
        for (const fs::path& part : fs::relative(entry.path(), road.staging)) path += L"\\" + FromUtf8(part.string());
        road.names[ToUpper(path)] = FromUtf8(entry.path().filename().string());
        fake.AddFile(path, "large file, kept on disk");
        road.largeFiles[ToUpper(path)] = entry.path();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s ntfs|fat32|exfat ISO DISK WORK FRONT ARCHIVER\n", argv[0]);
        return 2;
    }
    const std::string fileSystem = argv[1];
    road.iso = argv[2];
    road.disk = argv[3];
    road.staging = std::string(argv[4]) + "/staging";
    road.tree = std::string(argv[4]) + "/tree";
    road.front = argv[5];
    road.archiver = argv[6];
    road.temp = std::string(argv[4]) + "/temp";
    fs::remove_all(road.temp);
    fs::remove_all(road.staging);
    fs::create_directories(road.staging);

    ResetWorld();
    FakeDrive drive;
    drive.label = L"USB";
    drive.totalBytes = uint64_t(fs::file_size(road.disk));
    drive.labelLimit = 11;
    fake.drives[4] = drive;
    fake.comboLines = {kDrive + L"\\ [USB]"};
    fake.comboSelected = 0;
    appState.isoPath.Set(kImage);
    fake.Of(Control::IsoPathField).text = FileNamePart(kImage);
    fake.Of(Control::LabelField).text = L"DROVELKIT";
    fake.AddFile(kImage, "image");
    // The unpacked payload's tools; their runs go to the real ones.
    fake.AddFile(ArchiverPath(), "MZ");
    fake.AddFile(PayloadFolder() + L"\\bootice.exe", "MZ");
    fake.freeBytes[2] = fs::space(argv[4]).available;  // C: holds the temporary folder
    fake.tool = RunRealTool;
    fake.realFileOf = RealFileOf;
    InspectImage(0);
    if (appState.imageSizeKiB <= 0) appState.imageSizeKiB = int64_t(fs::file_size(road.iso) / 1024 + 1);
    const Control option = fileSystem == "ntfs"    ? Control::FormatNtfsOption
                           : fileSystem == "fat32" ? Control::FormatFatOption
                                                   : Control::FormatExFatOption;
    OsSetCheck(option, 1);

    RunCopyOperation(0);
    // The program removed its copy from the fake; the real one goes here.
    fs::remove_all(road.temp);
    LoadSplitParts();

    WriteVolumeTree();
    if (OsIsFolder(SplitWorkFolder())) std::printf("the split work folder is still there\n");
    bool reportedError = false;
    for (const std::wstring& status : fake.StatusHistory()) {
        std::printf("status: %s\n", ToUtf8(status).c_str());
        reportedError = reportedError || Contains(status, L"error") ||
                        (StartsWith(status, L"==  ") && status != L"==  Please wait ...");
    }
    return road.toolFailed || reportedError || OsIsFolder(SplitWorkFolder()) ? 1 : 0;
}
