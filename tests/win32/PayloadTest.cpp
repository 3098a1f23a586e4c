// The stored payload written, run and removed for real: the self-extractor
// block linked into this executable, the password, the folder it leaves.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/AppState.h"
#include "common/Str.h"
#include "payload/Payload.h"
#include "platform/Os.h"
#include "tests/win32/Win32Support.h"

namespace {

struct PayloadFile {
    const wchar_t* inFolder;     // below tempDir\drovelkit
    const char* referenceVar;    // environment variable naming the source file
    const wchar_t* referenceName;  // appended to that variable's path, if not empty
};

const PayloadFile kPayloadFiles[] = {
    {L"7zdrovelkit.exe", "DK_ARCHIVER_EXE", L""},
    {L"qemu\\qemu_test.exe", "DK_QEMU_TEST_EXE", L""},
    {L"qemu\\bios.bin", "DK_FIRMWARE_DIR", L"\\bios.bin"},
    {L"qemu\\efi32.bin", "DK_FIRMWARE_DIR", L"\\efi32.bin"},
    {L"qemu\\efi64.bin", "DK_FIRMWARE_DIR", L"\\efi64.bin"},
};

// Restores tempDir, which the start-up of this process set.
class TempDirScope {
public:
    TempDirScope() : saved_(appState.tempDir) {}
    ~TempDirScope() { appState.tempDir = saved_; }

private:
    std::wstring saved_;
};

void ExpectEveryToolAsBuilt(const std::wstring& payloadFolder) {
    for (const PayloadFile& file : kPayloadFiles) {
        const std::wstring reference = PathFromEnvironment(file.referenceVar);
        const std::wstring unpacked = payloadFolder + L"\\" + file.inFolder;
        EXPECT_TRUE(FileExists(unpacked)) << Printable(unpacked) << " is missing";
        if (reference.empty()) {
            ADD_FAILURE() << file.referenceVar << " is not set: cannot compare " << Printable(unpacked);
            continue;
        }
        EXPECT_EQ(CompareFiles(unpacked, reference + file.referenceName), "");
    }
}

}  // namespace

TEST(Payload, UnpacksIntoAFolderWithBlanksAndNeverRunsAPlantedExtractor) {
    TempDirScope scope;
    const std::wstring temp = PayloadTempFolder();
    RemoveTree(temp);
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr)) << Printable(temp);
    appState.tempDir = temp;

    // Someone else's "drovelkit.exe", read-only, where the self-extractor goes.
    const std::wstring planted = PathFromEnvironment("DK_PLANTED_EXTRACTOR");
    ASSERT_FALSE(planted.empty()) << "DK_PLANTED_EXTRACTOR is not set";
    const std::wstring extractor = temp + L"\\drovelkit.exe";
    const std::wstring trace = TestTempFolder() + L"\\dk planted trace.txt";
    DeleteFileW(trace.c_str());
    SetEnvironmentVariableW(L"DK_PLANTED_TRACE", trace.c_str());
    ASSERT_TRUE(CopyFileW(planted.c_str(), extractor.c_str(), FALSE));
    SetFileAttributesW(extractor.c_str(), FILE_ATTRIBUTE_READONLY);

    UnpackPayload();

    EXPECT_FALSE(FileExists(trace)) << "the planted drovelkit.exe ran: " << ReadWholeFile(trace);
    EXPECT_FALSE(FileExists(temp + L"\\planted-extractor-ran.txt")) << "the planted drovelkit.exe ran";
    EXPECT_FALSE(FileExists(extractor)) << "the self-extractor was left behind";
    EXPECT_EQ(GetFileAttributesW(extractor.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(PayloadMarkerExists());
    EXPECT_EQ(ArchiverPath(), temp + L"\\drovelkit\\7zdrovelkit.exe");
    ExpectEveryToolAsBuilt(temp + L"\\drovelkit");

    // Nothing but the payload folder is left in the temporary folder.
    std::vector<std::wstring> left;
    for (const FolderEntry& entry : OsListFolder(temp)) left.push_back(entry.name);
    EXPECT_EQ(left, std::vector<std::wstring>{L"drovelkit"}) << Printable(left);
    SetEnvironmentVariableW(L"DK_PLANTED_TRACE", nullptr);
}

TEST(Payload, UnpacksAgainOnlyWhenTheMarkerIsMissing) {
    TempDirScope scope;
    UsePayloadWithBlanks();
    const std::wstring folder = PayloadFolder();
    const std::wstring bios = folder + L"\\qemu\\bios.bin";
    ASSERT_TRUE(PayloadMarkerExists());

    // The marker is all that is checked: with it present, a missing tool
    // stays missing.
    ASSERT_TRUE(DeleteFileW(bios.c_str()));
    EnsurePayloadUnpacked();
    EXPECT_FALSE(FileExists(bios)) << "unpacked although the marker was there";

    // Without the marker the whole payload comes back.
    ASSERT_TRUE(DeleteFileW(ArchiverPath().c_str()));
    EnsurePayloadUnpacked();
    EXPECT_TRUE(PayloadMarkerExists());
    EXPECT_TRUE(FileExists(bios));

    // A folder in the marker's place is no marker: the payload is unpacked,
    // and the self-extractor puts the archiver where the empty folder was.
    ASSERT_TRUE(DeleteFileW(bios.c_str()));
    ASSERT_TRUE(DeleteFileW(ArchiverPath().c_str()));
    ASSERT_TRUE(CreateDirectoryW(ArchiverPath().c_str(), nullptr));
    EnsurePayloadUnpacked();
    EXPECT_TRUE(FileExists(bios)) << "a folder named like the marker passed for the marker";
    EXPECT_TRUE(PayloadMarkerExists());
    ExpectEveryToolAsBuilt(folder);
}

// The split's room check asks about the temporary folder itself, not a
// drive's root.
TEST(Payload, FreeRoomOfTheTemporaryFolderIsReadAndAMissingDriveGivesNone) {
    uint64_t free = 0;
    EXPECT_TRUE(OsFreeBytes(appState.tempDir, &free));
    EXPECT_GT(free, 0u);
    EXPECT_FALSE(OsFreeBytes(L"Q:\\no\\such\\folder", &free));
}

// The Windows image is read in place at offsets past 4 GiB (the high half of
// the OVERLAPPED offset) and its parts written in one pass.
TEST(LargeFiles, ReadAtAnyOffsetAndWrittenWhole) {
    CreateDirectoryW(PayloadTempFolder().c_str(), nullptr);
    const std::wstring path = PayloadTempFolder() + L"\\large file.bin";
    const uint64_t beyond4G = (uint64_t(5) << 30) + 17;
    HANDLE sparse = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(sparse, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(beyond4G);
    DWORD written = 0;
    ASSERT_TRUE(SetFilePointerEx(sparse, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(sparse, "far marker", 10, &written, nullptr));
    CloseHandle(sparse);

    uint64_t size = 0;
    OsFile* file = OsOpenForReading(path, &size);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(size, beyond4G + 10);
    char got[10] = {};
    EXPECT_TRUE(OsReadAt(file, beyond4G, got, sizeof got));
    EXPECT_EQ(std::string(got, sizeof got), "far marker");
    EXPECT_FALSE(OsReadAt(file, beyond4G + 5, got, sizeof got)) << "a read past the end is short";
    EXPECT_TRUE(OsCloseFile(file));

    // Replaced, read-only attribute and all, by what is written.
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    file = OsCreateForWriting(path);
    ASSERT_NE(file, nullptr);
    std::string block(3 << 20, 'p');
    EXPECT_TRUE(OsWriteAll(file, block.data(), block.size()));
    EXPECT_TRUE(OsWriteAll(file, "end", 3));
    EXPECT_TRUE(OsCloseFile(file));
    EXPECT_EQ(OsFileSize(path), int64_t(block.size() + 3));
    file = OsOpenForReading(path, &size);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(OsReadAt(file, block.size(), got, 3));
    EXPECT_EQ(std::string(got, 3), "end");
    OsCloseFile(file);
    EXPECT_TRUE(OsDeleteFile(path));
    EXPECT_EQ(OsOpenForReading(path, &size), nullptr);
}
