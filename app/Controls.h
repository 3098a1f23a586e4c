// The controls of the main window, in creation (and Tab) order, and the two
// controls of the small interrupt box. Control IDs are 1001.. in this order.
#pragma once

enum class Control {
    DriveCombo,
    StartButton,
    ShowAllDrivesCheck,
    IsoPathField,
    IsoImageButton,
    CopyProgressBar,
    LogoImage,
    LabelField,
    LabelCaption,
    TestMenuButton,
    FormatFrame,
    FormatNoneOption,
    FormatNtfsOption,
    FormatFatOption,
    FormatExFatOption,
    TestMenuFrame,
    BootBiosOption,
    BootEfi64Option,
    BootEfi32Option,
    ProgressText,
    CheckDiskBox,
    DraggedFilesNotice,
    StatusLine,
    MainWindowCount,     // not a control: the number of main-window controls
    MessageBoxText = 100,
    MessageBoxOk,
    None = -1,
};

enum class ControlKind { DropDownList, PushButton, CheckBox, ThreeStateBox, EditField, ReadOnlyLine,
                         ProgressBar, Picture, Label, GroupBox, OptionButton };
enum class TextAlign { Left, Center, Right };

struct ControlLayout {
    Control control;
    ControlKind kind;
    const wchar_t* caption;
    int x, y, width, height;  // 96-dpi logical units
    TextAlign align;
    bool firstOfGroup;        // starts a group of option buttons
};

constexpr int kControlIdBase = 1001;
constexpr int kMessageBoxTextId = 2001;
constexpr int kMessageBoxOkId = 2002;

constexpr int kMainClientWidth = 406;
constexpr int kMainClientHeight = 280;

const ControlLayout* MainWindowControls();  // MainWindowCount entries, creation order
const ControlLayout& LayoutOf(Control control);

// The option buttons that form one group with control (created one right
// after another); false when control is not an option button.
bool OptionGroup(Control control, Control* first, Control* last);
