#include "app/Controls.h"

namespace {

using K = ControlKind;
using A = TextAlign;

const ControlLayout kControls[] = {
    {Control::DriveCombo, K::DropDownList, L"", 102, 12, 280, 24, A::Left, false},
    {Control::StartButton, K::PushButton, L"Start", 14, 156, 378, 36, A::Center, false},
    {Control::ShowAllDrivesCheck, K::CheckBox, L"Show all drives (Caution!)", 118, 38, 170, 22, A::Left, false},
    {Control::IsoPathField, K::EditField, L"", 14, 78, 280, 22, A::Left, false},
    {Control::IsoImageButton, K::PushButton, L"ISO Image", 298, 76, 86, 25, A::Center, false},
    {Control::CopyProgressBar, K::ProgressBar, L"", 14, 172, 378, 22, A::Left, false},
    {Control::LogoImage, K::Picture, L"", 8, 8, 80, 59, A::Left, false},
    {Control::LabelField, K::EditField, L"WinPE", 298, 117, 86, 22, A::Left, false},
    {Control::LabelCaption, K::Label, L"Label:", 258, 120, 38, 20, A::Right, false},
    {Control::TestMenuButton, K::PushButton, L"Test Menu", 286, 218, 98, 25, A::Center, false},
    {Control::FormatFrame, K::GroupBox, L"Format", 14, 104, 378, 42, A::Left, false},
    {Control::FormatNoneOption, K::OptionButton, L"None", 18, 118, 54, 22, A::Left, true},
    {Control::FormatNtfsOption, K::OptionButton, L"Ntfs", 204, 118, 52, 22, A::Left, false},
    {Control::FormatFatOption, K::OptionButton, L"Fat", 82, 118, 46, 22, A::Left, false},
    {Control::FormatExFatOption, K::OptionButton, L"exFat", 140, 118, 56, 22, A::Left, false},
    {Control::TestMenuFrame, K::GroupBox, L"Test menu", 14, 202, 378, 52, A::Left, false},
    {Control::BootBiosOption, K::OptionButton, L"Bios", 22, 220, 54, 22, A::Left, true},
    {Control::BootEfi64Option, K::OptionButton, L"Efi64", 182, 220, 54, 22, A::Left, false},
    {Control::BootEfi32Option, K::OptionButton, L"Efi32", 100, 220, 54, 22, A::Left, false},
    {Control::ProgressText, K::Label, L"", 18, 154, 372, 18, A::Right, false},
    {Control::CheckDiskBox, K::ThreeStateBox, L"Check disk", 296, 38, 88, 22, A::Left, false},
    {Control::DraggedFilesNotice, K::Label, L"", 104, 58, 280, 18, A::Center, false},
    {Control::StatusLine, K::ReadOnlyLine, L"", 14, 258, 378, 22, A::Left, false},
};

static_assert(sizeof(kControls) / sizeof(kControls[0]) == int(Control::MainWindowCount),
              "one entry per main-window control");

}  // namespace

const ControlLayout* MainWindowControls() { return kControls; }

const ControlLayout& LayoutOf(Control control) { return kControls[int(control)]; }

bool OptionGroup(Control control, Control* first, Control* last) {
    int index = int(control);
    if (index < 0 || index >= int(Control::MainWindowCount) || kControls[index].kind != ControlKind::OptionButton)
        return false;
    int begin = index;
    while (!kControls[begin].firstOfGroup) --begin;
    int end = begin;
    while (end + 1 < int(Control::MainWindowCount) && kControls[end + 1].kind == ControlKind::OptionButton &&
           !kControls[end + 1].firstOfGroup)
        ++end;
    *first = Control(begin);
    *last = Control(end);
    return true;
}
