// The payload's own archiver on images built by xorriso: the listing that the
// image inspection makes and the full extraction of the copy operation, with
// their output read through the real runner into the real window.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <regex>

#include "app/AppState.h"
#include "common/Str.h"
#include "copy/ImageSelection.h"
#include "payload/Payload.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"
#include "tests/win32/Win32Support.h"

namespace {

// "1.311", "4.413.952": dots every three digits, as the status line shows sizes.
std::string Grouped(long long value) {
    std::string digits = std::to_string(value);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(size_t(at), ".");
    return digits;
}

struct ImageFacts {
    long long bytes = -1;
    std::string files, folders, label;
};

bool ReadFacts(const std::wstring& image, ImageFacts* facts) {
    std::map<std::string, std::string> manifest = ReadManifest(image + L".manifest");
    if (manifest.count("bytes") == 0) return false;
    facts->bytes = std::atoll(manifest["bytes"].c_str());
    facts->files = manifest["files"];
    facts->folders = manifest["folders"];
    facts->label = manifest["label"];
    return true;
}

// The bytes of all files below folder (which ends in "\\"), and their number.
long long TreeBytes(const std::wstring& folder, long long* files) {
    long long bytes = 0;
    for (const FolderEntry& entry : OsListFolder(folder.substr(0, folder.size() - 1))) {
        if (entry.isFolder) {
            bytes += TreeBytes(folder + entry.name + L"\\", files);
        } else {
            bytes += OsFileSize(folder + entry.name);
            ++*files;
        }
    }
    return bytes;
}

// What the image inspection does when an image is chosen: the path goes to
// isoPath and its file name into IsoPathField, the label is forgotten, and
// the listing runs (here on the window's own thread).
void Inspect(const std::wstring& image) {
    appState.isoPath.Set(image);
    OsSetText(Control::IsoPathField, FileNamePart(image));
    appState.imageComment.Set(L"");
    InspectImage(0);
}

}  // namespace

TEST(Archiver, ListingGivesTheImageSizeCountsAndLabel) {
    if (!OsMainWindowExists()) GTEST_SKIP() << "no main window (no display): the verdict shows only there";
    const std::wstring image = PathFromEnvironment("DK_LISTING_IMAGE");
    ASSERT_FALSE(image.empty()) << "DK_LISTING_IMAGE is not set";
    ImageFacts facts;
    ASSERT_TRUE(ReadFacts(image, &facts)) << "no manifest for " << Printable(image);
    UsePayloadWithBlanks();
    ASSERT_TRUE(PayloadMarkerExists());

    // The image where the build made it, and a copy in a folder whose name
    // has blanks (the listing quotes the path).
    const std::wstring folderWithBlanks = PayloadTempFolder() + L"\\my images";
    CreateDirectoryW(folderWithBlanks.c_str(), nullptr);
    const std::wstring copy = folderWithBlanks + L"\\test image.iso";
    ASSERT_TRUE(CopyFileW(image.c_str(), copy.c_str(), FALSE));

    const std::string expectedStatus = "Size: " + Grouped(facts.bytes / 1024) + "Kb,  " + facts.files + " files, " +
                                       facts.folders + " folders ";
    for (const std::wstring& path : {image, copy}) {
        SCOPED_TRACE(Printable(path));
        appState.imageSizeKiB = 7;
        OsSetText(Control::LabelField, L"old label");
        OsSetCheck(Control::FormatNtfsOption, 0);
        ControlRecorder recorder;
        Inspect(path);
        EXPECT_EQ(CurrentRunReport().exitCode, 0);
        EXPECT_EQ(appState.imageSizeKiB, facts.bytes / 1024);
        EXPECT_EQ(Printable(appState.imageComment.Get()), facts.label);
        EXPECT_EQ(Printable(OsGetText(Control::LabelField)), facts.label);
        EXPECT_EQ(OsGetCheck(Control::FormatNtfsOption), 0) << "a plain label must not select NTFS";
        ASSERT_FALSE(recorder.statusTexts.empty());
        EXPECT_EQ(Printable(recorder.statusTexts.front()), "==  Please wait ...");
        EXPECT_EQ(Printable(recorder.statusTexts.back()), expectedStatus) << Printable(recorder.statusTexts);
        // The notes served one run only.
        EXPECT_EQ(Printable(CurrentRunReport().resultNote), "");
        EXPECT_EQ(Printable(CurrentRunReport().countsNote), "");
    }

    // A file that is no image: the listing fails and the earlier figures stay.
    const std::wstring notAnImage = folderWithBlanks + L"\\not an image.iso";
    ASSERT_TRUE(WriteWholeFile(notAnImage, std::string(5000, 'x')));
    appState.imageSizeKiB = 4242;
    OsSetText(Control::LabelField, L"old label");
    {
        ControlRecorder recorder;
        Inspect(notAnImage);
        EXPECT_NE(CurrentRunReport().exitCode, 0);
        EXPECT_EQ(appState.imageSizeKiB, 4242);
        EXPECT_EQ(Printable(OsGetText(Control::LabelField)), "old label");
        ASSERT_FALSE(recorder.statusTexts.empty());
        std::printf("listing a file that is no image: exit code %d, status \"%s\"\n",
                    int(CurrentRunReport().exitCode), Printable(recorder.statusTexts.back()).c_str());
        // The archiver says why on standard error, which is not read, and
        // prints no "with errors:" line: the status line is emptied.
        EXPECT_EQ(Printable(recorder.statusTexts.back()), "");
    }
    RemoveTree(folderWithBlanks);
}

TEST(Archiver, ExtractionOfALargeImageShowsRisingProgressAndEndsOk) {
    if (!OsMainWindowExists()) GTEST_SKIP() << "no main window (no display): progress shows only there";
    const std::wstring image = PathFromEnvironment("DK_LARGE_IMAGE");
    if (image.empty() || !FileExists(image))
        GTEST_SKIP() << "no large test image (DK_LARGE_IMAGE; the win32_large_image fixture makes it)";
    ImageFacts facts;
    ASSERT_TRUE(ReadFacts(image, &facts)) << "no manifest for " << Printable(image);
    ASSERT_GE(facts.bytes, 300LL * 1024 * 1024);
    ASSERT_TRUE(OsIsFolder(L"E:\\")) << "drive E: is not mapped in the test prefix";
    const std::wstring target = L"E:\\";
    for (const FolderEntry& entry : OsListFolder(target)) {
        if (entry.isFolder) RemoveTree(target + entry.name);
        else DeleteFileW((target + entry.name).c_str());
    }

    UsePayloadWithBlanks();
    Inspect(image);  // the copy operation takes the size from this listing
    ASSERT_EQ(appState.imageSizeKiB, facts.bytes / 1024);

    // As the copy operation starts the extraction, with the start moved an
    // hour back so that the copied size and time left show from the first
    // figure above 10 %.
    OsShowControl(Control::CopyProgressBar, true);
    OsShowControl(Control::ProgressText, true);
    OsSetProgress(0);
    OsSetText(Control::ProgressText, L"before");
    appState.extractStartTime = int32_t(OsLocalTimeSeconds() - 3600);
    ControlRecorder recorder;
    const int32_t code =
        RunConsoleTool(ArchiverPath(), L"x -y -bsp1 \"" + image + L"\" -o" + target, PayloadFolder());

    std::string bar;
    for (int position : recorder.barPositions) bar += " " + std::to_string(position);
    std::printf("bar positions:%s\n", bar.c_str());
    std::printf("%d status texts, %d progress texts; last progress text \"%s\"\n", int(recorder.statusTexts.size()),
                int(recorder.progressTexts.size()),
                recorder.progressTexts.empty() ? "" : Printable(recorder.progressTexts.back()).c_str());

    EXPECT_EQ(code, 0);
    ASSERT_FALSE(recorder.statusTexts.empty());
    EXPECT_EQ(Printable(recorder.statusTexts.back()), "Everything is Ok ");
    EXPECT_GE(recorder.barPositions.size(), 3u) << "several percentages while 300 MiB are written";
    for (size_t i = 0; i < recorder.barPositions.size(); ++i) {
        EXPECT_GE(recorder.barPositions[i], 1);
        EXPECT_LE(recorder.barPositions[i], 100);
        if (i > 0) {
            EXPECT_GT(recorder.barPositions[i], recorder.barPositions[i - 1]) << "at figure " << i;
        }
    }

    // The file or folder being written shows on the status line with the
    // drive in front. The text after the first "-" of a chunk is taken for
    // the path, so a header chunk whose dates hold a "-" may show one odd
    // text too; it still begins with the drive.
    const std::regex writtenPath(
        R"(E:\\(sources|sources\\install\.wim|boot|boot\\boot\.sdi|files|files\\s[0-9]{2}|files\\s[0-9]{2}\\part[a-z]{4}))");
    size_t pathTexts = 0;
    for (size_t i = 0; i + 1 < recorder.statusTexts.size(); ++i) {
        const std::string text = Printable(recorder.statusTexts[i]);
        EXPECT_EQ(text.substr(0, 3), "E:\\") << text;
        pathTexts += std::regex_match(text, writtenPath);
    }
    EXPECT_GE(pathTexts, 3u) << "the files being written did not show" << Printable(recorder.statusTexts);

    // Every figure above 10 % shows the copied size out of the image size.
    const std::regex progressForm("Copied: " + Grouped(facts.bytes / 1024) +
                                  "/[0-9.]+ Kb, Time left: [0-9]{2}:[0-9]{2}:[0-9]{2}");
    bool above10 = false;
    for (int position : recorder.barPositions) above10 |= position > 10;
    if (above10) {
        ASSERT_FALSE(recorder.progressTexts.empty());
        for (const std::wstring& text : recorder.progressTexts)
            EXPECT_TRUE(std::regex_match(Printable(text), progressForm)) << Printable(text);
    }

    // Everything arrived.
    long long files = 0;
    EXPECT_EQ(TreeBytes(target, &files), facts.bytes);
    EXPECT_EQ(std::to_string(files), facts.files);
    EXPECT_EQ(OsFileSize(L"E:\\sources\\install.wim"), 100LL * 1024 * 1024);
    RemoveTree(L"E:\\sources");
    RemoveTree(L"E:\\boot");
    RemoveTree(L"E:\\files");
    DeleteFileW(L"E:\\readme.txt");
}
