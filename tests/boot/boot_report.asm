; A tiny BIOS boot program that reports on the serial port (COM1) that it
; runs, then powers the machine off. Assembled in two forms:
;   nasm -f bin -DCDROM  El Torito no-emulation boot image, 2048 bytes
;   nasm -f bin -DDISK   master boot record, 512 bytes; the partition table
;                        (bytes 446..509) is left zero for the test to fill
; The disk form also writes a sector of its own disk and reads it back, so
; that a test can tell whether guest writes reach the disk image.

bits 16
org 0x7C00

%include "serial.inc"

SCRATCH     equ 0x8000          ; one sector buffer
TEST_SECTOR equ 2               ; CHS sector 2 = LBA 1, unused on an MBR disk

start:
        cli
        xor ax, ax
        mov ds, ax
        mov es, ax
        mov ss, ax
        mov sp, 0x7C00
        sti
        ; El Torito loads us at 07C0:0000, a disk at 0000:7C00; make it one.
        jmp 0:normalized
normalized:
        mov [bootDrive], dl
        mov si, okText
        call SerialText
        mov al, [bootDrive]
        call SerialHexByte
        mov si, lineEnd
        call SerialText

%ifdef DISK
        call WriteTest
%endif

        PowerOff

%ifdef DISK
WriteTest:
        mov ax, 0x0201
        call SectorIo
        jc .failed
        mov di, SCRATCH
        mov si, guestMark
        mov cx, guestMarkLength
        rep movsb
        mov ax, 0x0301
        call SectorIo
        jc .failed
        ; Forget what was written, then read it back from the disk.
        mov di, SCRATCH
        mov cx, 512
        xor al, al
        rep stosb
        mov ax, 0x0201
        call SectorIo
        jc .failed
        mov si, SCRATCH
        mov di, guestMark
        mov cx, guestMarkLength
        repe cmpsb
        jne .failed
        mov si, writeSeenText
        jmp SerialText
.failed:
        mov si, writeFailedText
        jmp SerialText

; AX = 0x0201 (read) or 0x0301 (write) of TEST_SECTOR into/from SCRATCH.
SectorIo:
        mov bx, SCRATCH
        mov cx, TEST_SECTOR
        xor dh, dh
        mov dl, [bootDrive]
        int 0x13
        ret
%endif

        SerialRoutines
        SerialHexRoutines

bootDrive:  db 0
%ifdef DISK
okText:     db 13, 10, "DROVELKIT BOOT OK DISK DRIVE=", 0
guestMark:  db "DROVELKIT GUEST WROTE THIS SECTOR"
guestMarkLength equ $ - guestMark
writeSeenText:   db "DROVELKIT GUEST WRITE SEEN", 13, 10, 0
writeFailedText: db "DROVELKIT GUEST WRITE FAILED", 13, 10, 0
%else
okText:     db 13, 10, "DROVELKIT BOOT OK BIOS CDROM DRIVE=", 0
%endif
lineEnd:    db 13, 10, 0

%ifdef DISK
        times 446 - ($ - $$) db 0
        times 64 db 0
        dw 0xAA55
%else
        times 2048 - ($ - $$) db 0
%endif
