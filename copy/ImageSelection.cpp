#include "copy/ImageSelection.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "common/Str.h"
#include "payload/Payload.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"

namespace {

void TakeImage(const std::wstring& path) {
    appState.isoPath.Set(path);
    OsSetText(Control::IsoPathField, FileNamePart(path));
    appState.imageComment.Set(L"");
    // What the last listing found belongs to the last image.
    appState.largestFileBytes = 0;
    appState.largestFileName.Set(L"");
    appState.windowsImageBytes = 0;
    appState.windowsImageName.Set(L"");
    OsSleep(200);
    // Counted before the thread exists, so that a Start right after it waits.
    appState.inspectionsRunning += 1;
    ThreadHandle inspection = OsStartThread(InspectImage, 0);
    if (inspection == nullptr) appState.inspectionsRunning -= 1;
    else OsForgetThread(inspection);
}

}  // namespace

bool IsIsoImage(const std::wstring& entry) {
    size_t dot = entry.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0) return false;
    if (entry[dot - 1] == L'\\' || entry[dot - 1] == L'/') return false;
    const std::wstring extension = entry.substr(dot + 1);
    if (extension.find_first_of(L" \\/") != std::wstring::npos) return false;
    return ToUpper(extension) == L"ISO";
}

void ChooseImage(int) {
    if (WorkerAlive()) return;
    const std::wstring chosen = OsChooseOpenFile(L"Please choose ISO file", L"ISO Files (*.iso)", L"*.iso",
                                                 FolderPart(OsModuleFileName()));
    appState.isoPath.Set(chosen);
    if (!chosen.empty()) TakeImage(chosen);
}

void HandleDroppedFiles(const std::wstring& droppedNames) {
    for (const std::wstring& entry : SplitFields(droppedNames, L'\n')) {
        if (entry.empty()) continue;
        if (IsIsoImage(entry)) {
            if (!WorkerAlive()) TakeImage(entry);
            return;
        }
        appState.draggedFiles.Append(entry + L"\n");
    }
    UpdateDraggedFilesNotice();
}

void UpdateDraggedFilesNotice() {
    int count = 0;
    for (const std::wstring& field : SplitFields(appState.draggedFiles.Get(), L'\n'))
        if (!field.empty()) ++count;
    if (count == 0) {
        OsShowControl(Control::DraggedFilesNotice, false);
        return;
    }
    OsShowControl(Control::DraggedFilesNotice, true);
    OsSetText(Control::DraggedFilesNotice, std::to_wstring(count) + L" Dragged files exist !!!");
}

bool RefuseImageName(const std::wstring& imagePath) {
    const std::wstring variable = InterpreterVariableIn(imagePath);
    if (variable.empty()) return false;
    ShowStatus(L"==  Rename the image: the command interpreter would replace " + variable + L" in its name");
    return true;
}

void InspectImage(int) {
    ShowStatus(L"==  Please wait ...");
    const std::wstring imagePath = ImagePath();
    if (RefuseImageName(imagePath)) {
        // Another file's listing must not stand for this image.
        appState.imageSizeKiB = 0;
    } else {
        EnsurePayloadUnpacked();
        RunConsoleTool(ArchiverPath(), L"l \"" + imagePath + L"\"", PayloadFolder());
    }
    // Started by TakeImage, which counted it.
    if (appState.inspectionsRunning > 0) appState.inspectionsRunning -= 1;
}
