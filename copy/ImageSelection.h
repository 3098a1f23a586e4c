// Choosing the image (file dialog or drop) and inspecting it on a thread of
// its own; collecting the other dropped files.
#pragma once
#include <string>

void ChooseImage(int eventType);
void HandleDroppedFiles(const std::wstring& droppedNames);
void InspectImage(int parameter);

// Shows how many dropped entries wait to be copied; hides the notice when none.
void UpdateDraggedFilesNotice();

// An image path that the command interpreter would rewrite (a "%NAME%" in
// it) cannot be handed to the archiver: says so in the status line and
// returns true.
bool RefuseImageName(const std::wstring& imagePath);

// An entry whose extension, upper-cased, is exactly ISO.
bool IsIsoImage(const std::wstring& entry);
