#include "boottest/DiskLookup.h"

#include "common/Str.h"

namespace {

std::wstring JoinValues(const std::vector<std::wstring>& texts) {
    std::wstring joined;
    for (size_t i = 0; i < texts.size(); ++i) joined += (i ? L", " : L"") + texts[i];
    return joined;
}

// The disk name ends at the comma before the partition number; a name that
// runs on in digits is another disk (Disk #1 is not Disk #10).
size_t FindWholeDiskName(const std::wstring& listing, const std::wstring& diskName) {
    for (size_t at = listing.find(diskName); at != std::wstring::npos; at = listing.find(diskName, at + 1)) {
        size_t after = at + diskName.size();
        if (after >= listing.size() || listing[after] < L'0' || listing[after] > L'9') return at;
    }
    return std::wstring::npos;
}

}  // namespace

std::wstring WmiValueText(const WmiValue& value) {
    switch (value.type) {
        case WmiType::String: return value.text;
        case WmiType::Int32: return std::to_wstring(value.number);
        case WmiType::Bool: return value.flag ? L"TRUE" : L"FALSE";
        case WmiType::Null: return L"n/a";
        case WmiType::StringArray: return JoinValues(value.texts);
        case WmiType::Int32Array: {
            std::vector<std::wstring> texts;
            for (int32_t number : value.numbers) texts.push_back(std::to_wstring(number));
            return JoinValues(texts);
        }
        default: return L"";
    }
}

std::wstring WmiResultText(const std::vector<std::wstring>& properties,
                           const std::vector<std::vector<WmiValue>>& rows, bool withNames) {
    std::wstring result;
    for (const std::vector<WmiValue>& row : rows) {
        for (size_t i = 0; i < properties.size() && i < row.size(); ++i) {
            if (!result.empty()) result += L"\r\n";
            const std::wstring text = WmiValueText(row[i]);
            result += withNames ? properties[i] + L" = " + text : text;
        }
    }
    return result;
}

std::wstring WmiQuery(const std::wstring& command, bool withNames) {
    std::vector<std::wstring> fields = SplitFields(command, L',');
    for (std::wstring& field : fields) field = TrimBlanks(field);
    const std::vector<std::wstring> properties(fields.begin() + 1, fields.end());
    std::vector<std::vector<WmiValue>> rows;
    std::wstring failure;
    if (!OsWmiSelect(fields[0], properties, &rows, &failure)) {
        OsShowErrorBox(L"ERROR", failure);
        return L"";
    }
    return WmiResultText(properties, rows, withNames);
}

bool FindPhysicalDrive(const std::wstring& drive, const std::wstring& partitionListing,
                       const std::wstring& diskListing, std::wstring* devicePath) {
    if (partitionListing.size() <= 10 || diskListing.size() <= 10 || drive.empty()) return false;
    // The drive must stand as a whole quoted device id, so E: never matches inside another text.
    size_t at = partitionListing.find(L"\"" + drive + L"\"");
    if (at == std::wstring::npos) return false;
    at = partitionListing.find(L"Disk #", at);
    if (at == std::wstring::npos) return false;
    size_t comma = partitionListing.find(L',', at);
    const std::wstring diskName =
        partitionListing.substr(at, comma == std::wstring::npos ? std::wstring::npos : comma - at);

    at = FindWholeDiskName(diskListing, diskName);
    if (at == std::wstring::npos) return false;
    const std::wstring escapedPrefix = L"\\\\\\\\.\\\\";
    at = diskListing.find(escapedPrefix, at);
    if (at == std::wstring::npos) return false;
    size_t quote = diskListing.find(L'"', at);
    const std::wstring escaped = diskListing.substr(at, quote == std::wstring::npos ? std::wstring::npos : quote - at);
    *devicePath = ReplaceAll(escaped, escapedPrefix, L"\\\\.\\");
    return true;
}

bool LookupPhysicalDrive(const std::wstring& drive, std::wstring* devicePath) {
    const std::wstring partitions =
        WmiQuery(L"Select * FROM Win32_LogicalDiskToPartition,Dependent,Antecedent", true) + L"\r\n";
    const std::wstring disks =
        WmiQuery(L"Select * FROM Win32_DiskDriveToDiskPartition,Dependent,Antecedent", true) + L"\r\n";
    return FindPhysicalDrive(drive, partitions, disks, devicePath);
}
