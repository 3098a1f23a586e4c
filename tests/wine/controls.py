"""The main window's controls as a user sees them: id, name, window class,
kind, caption, and place and size in 96-dpi units."""

import collections

Control = collections.namedtuple("Control", "id name cls kind caption x y w h")

# Button and static styles (low bits of the style).
BS_TYPEMASK = 0x0F
BS_PUSHBUTTON = 0x0
BS_DEFPUSHBUTTON = 0x1
BS_CHECKBOX = 0x2
BS_AUTOCHECKBOX = 0x3
BS_RADIOBUTTON = 0x4
BS_3STATE = 0x5
BS_GROUPBOX = 0x7
BS_AUTORADIOBUTTON = 0x9
SS_TYPEMASK = 0x1F
SS_CENTER = 0x1
SS_RIGHT = 0x2
CBS_TYPEMASK = 0x3
CBS_DROPDOWNLIST = 0x3
ES_READONLY = 0x800
WS_BORDER = 0x00800000
WS_EX_CLIENTEDGE = 0x200
WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_THICKFRAME = 0x00040000
WS_MINIMIZEBOX = 0x00020000
WS_MAXIMIZEBOX = 0x00010000

# Kinds, with the styles that make them.
KIND_STYLES = {
    "dropdown": lambda s: s & CBS_TYPEMASK == CBS_DROPDOWNLIST,
    "push": lambda s: s & BS_TYPEMASK in (BS_PUSHBUTTON, BS_DEFPUSHBUTTON),
    "check": lambda s: s & BS_TYPEMASK in (BS_CHECKBOX, BS_AUTOCHECKBOX),
    # Three states that only the program sets: a click must not move it.
    "check3": lambda s: s & BS_TYPEMASK == BS_3STATE,
    "option": lambda s: s & BS_TYPEMASK in (BS_RADIOBUTTON, BS_AUTORADIOBUTTON),
    "group": lambda s: s & BS_TYPEMASK == BS_GROUPBOX,
    "static-right": lambda s: s & SS_TYPEMASK == SS_RIGHT,
    "static-center": lambda s: s & SS_TYPEMASK == SS_CENTER,
    "edit": lambda s: True,
    "edit-readonly": lambda s: bool(s & ES_READONLY),
    "progress": lambda s: True,
    "picture": lambda s: True,
}

CONTROLS = [
    Control(1001, "DriveCombo", "ComboBox", "dropdown", None, 102, 12, 280, 24),
    Control(1002, "StartButton", "Button", "push", "Start", 14, 156, 378, 36),
    Control(1003, "ShowAllDrivesCheck", "Button", "check", "Show all drives (Caution!)", 118, 38, 170, 22),
    Control(1004, "IsoPathField", "Edit", "edit", None, 14, 78, 280, 22),
    Control(1005, "IsoImageButton", "Button", "push", "ISO Image", 298, 76, 86, 25),
    Control(1006, "CopyProgressBar", "msctls_progress32", "progress", None, 14, 172, 378, 22),
    Control(1007, "LogoImage", "Static", "picture", None, 8, 8, 80, 59),
    Control(1008, "LabelField", "Edit", "edit", None, 298, 117, 86, 22),
    Control(1009, "LabelCaption", "Static", "static-right", "Label:", 258, 120, 38, 20),
    Control(1010, "TestMenuButton", "Button", "push", "Test Menu", 286, 218, 98, 25),
    Control(1011, "FormatFrame", "Button", "group", "Format", 14, 104, 378, 42),
    Control(1012, "FormatNoneOption", "Button", "option", "None", 18, 118, 54, 22),
    Control(1013, "FormatNtfsOption", "Button", "option", "Ntfs", 204, 118, 52, 22),
    Control(1014, "FormatFatOption", "Button", "option", "Fat", 82, 118, 46, 22),
    Control(1015, "FormatExFatOption", "Button", "option", "exFat", 140, 118, 56, 22),
    Control(1016, "TestMenuFrame", "Button", "group", "Test menu", 14, 202, 378, 52),
    Control(1017, "BootBiosOption", "Button", "option", "Bios", 22, 220, 54, 22),
    Control(1018, "BootEfi64Option", "Button", "option", "Efi64", 182, 220, 54, 22),
    Control(1019, "BootEfi32Option", "Button", "option", "Efi32", 100, 220, 54, 22),
    Control(1020, "ProgressText", "Static", "static-right", "", 18, 154, 372, 18),
    Control(1021, "CheckDiskBox", "Button", "check3", "Check disk", 296, 38, 88, 22),
    Control(1022, "DraggedFilesNotice", "Static", "static-center", "", 104, 58, 280, 18),
    Control(1023, "StatusLine", "Edit", "edit-readonly", None, 14, 258, 378, 22),
]

BY_NAME = {c.name: c for c in CONTROLS}
BY_ID = {c.id: c for c in CONTROLS}

CLIENT_W = 406
CLIENT_H = 280

TITLE = "Drovelkit v4.2.1 by Quendar"
SHORT_TITLE = "Drovelkit v4.2.1"

# What the window looks like once start-up is done, with administrator
# rights and no operation running.
INITIAL_TEXT = {
    "IsoPathField": "Select ISO image -->",
    "LabelField": "WinPE",
    "ProgressText": "",
    "DraggedFilesNotice": "",
}
INITIAL_HIDDEN = {"CopyProgressBar", "ProgressText", "DraggedFilesNotice"}
INITIAL_CHECKED = {"FormatNoneOption", "BootBiosOption"}
CHECKABLE = {c.name for c in CONTROLS if c.kind in ("check", "check3", "option")}
ADMIN_ONLY = ["TestMenuFrame", "TestMenuButton", "BootBiosOption", "BootEfi64Option", "BootEfi32Option"]
