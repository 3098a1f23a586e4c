// The main job: prepare the selected drive, make it bootable, extract the
// image onto it and copy the dropped files, on the one worker thread.
#pragma once
#include <string>

void RunCopyOperation(int parameter);

// Copies a folder's whole tree into target (created as needed).
void CopyFolderTree(const std::wstring& source, const std::wstring& target);
