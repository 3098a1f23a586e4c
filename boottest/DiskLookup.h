// From a drive letter to the raw path of the physical disk that holds it,
// through WMI's association classes.
#pragma once
#include <string>
#include <vector>

#include "platform/Os.h"

// "query,Property,Property..." in; one line per property per object out,
// CR LF between lines; empty after any failure (which is shown in a box).
std::wstring WmiQuery(const std::wstring& command, bool withNames);

// Pure halves of the above, for the text it builds.
std::wstring WmiValueText(const WmiValue& value);
std::wstring WmiResultText(const std::vector<std::wstring>& properties,
                           const std::vector<std::vector<WmiValue>>& rows, bool withNames);

// The device path (such as \\.\PHYSICALDRIVE1) of the disk holding drive (E:),
// found in the two listings; false when the drive or its disk is not listed.
bool FindPhysicalDrive(const std::wstring& drive, const std::wstring& partitionListing,
                       const std::wstring& diskListing, std::wstring* devicePath);
bool LookupPhysicalDrive(const std::wstring& drive, std::wstring* devicePath);
