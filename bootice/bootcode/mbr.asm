; Master boot code: the first 440 bytes of sector 0. The installer keeps the
; rest of the sector (disk signature, partition table, 55 AA).
;
; The BIOS loads the sector to 0:7C00 and jumps there with DL = its drive.
; The code moves itself to 0:0600 so that the partition's boot sector can be
; read to 0:7C00, finds the one active partition, reads that partition's first
; sector with the BIOS disk extensions (LBA, so any start below 2 TiB works)
; and starts it the usual way: at 0:7C00, DL the BIOS drive, DS:SI the
; partition entry in the moved table. Every failure prints a line and halts.
; A BIOS without the extensions gets CHS reads while the sector lies within
; CHS reach (below about 8 GB), else the message that LBA reads are missing.
;
; The binary is assembled for the address it runs at after the move (0600);
; the few instructions before the move use only absolute 7C00 addresses.

bits 16
cpu 386
org 0x0600

%include "loader.inc"

LOAD_ADDRESS    equ 0x7C00
MOVED_ADDRESS   equ 0x0600
TABLE           equ MOVED_ADDRESS + 446
SIGNATURE       equ LOAD_ADDRESS + 510

start:
        cli
        xor ax, ax
        mov ss, ax
        mov sp, LOAD_ADDRESS
        mov ds, ax
        mov es, ax
        sti
        cld
        mov si, LOAD_ADDRESS
        mov di, MOVED_ADDRESS
        mov cx, 256
        rep movsw
        ; A far jump also gives CS = 0 whichever CS:IP pair the BIOS used.
        jmp 0:moved

moved:
        mov [bootDrive], dl

        ; Exactly one entry may be active; a flag byte other than 00 or 80
        ; means the table is not one we can trust.
        mov si, TABLE
        xor bp, bp
        mov cx, 4
.scan:
        mov al, [si]
        test al, al
        jz .next
        cmp al, 0x80
        jne InvalidTable
        test bp, bp
        jnz InvalidTable
        mov bp, si
.next:
        add si, 16
        loop .scan
        test bp, bp
        jz NoActivePartition

        CheckLbaReads chsGeometry           ; DL is still the drive
        mov si, packet
        mov eax, [bp + 8]                   ; the partition's first sector
        mov [si + 8], eax
        call DiskRead
        jc DiskError
        cmp word [SIGNATURE], 0xAA55
        jne MissingSystem

        mov si, bp
        mov dl, [bootDrive]
        jmp 0:LOAD_ADDRESS

NoLba:
        mov si, noLbaText
        jmp PrintAndHalt
InvalidTable:
        mov si, invalidTableText
        jmp PrintAndHalt
NoActivePartition:
        mov si, noActiveText
        jmp PrintAndHalt
DiskError:
        mov si, diskErrorText
        jmp PrintAndHalt
MissingSystem:
        mov si, missingSystemText

; Prints the zero-ended text at DS:SI, then halts with interrupts on, so the
; message stays readable and the machine does not spin at full load.
PrintAndHalt:
        lodsb
        test al, al
        jz .halt
        mov ah, 0x0E
        mov bx, 0x0007
        int 0x10
        jmp PrintAndHalt
.halt:
        sti
        hlt
        jmp .halt

        DiskReadRoutine bootDrive, chsGeometry

invalidTableText:   db 13, 10, "Invalid partition table", 0
noActiveText:       db 13, 10, "No active partition", 0
diskErrorText:      db 13, 10, "Disk read error", 0
missingSystemText:  db 13, 10, "Missing operating system", 0
noLbaText:          db 13, 10, "BIOS lacks LBA reads", 0

bootDrive:  db 0
chsGeometry: dw 0, 0
; Disk address packet for INT 13h AH=42h: size, reserved, count, buffer
; offset, buffer segment, 64-bit sector number (the high half stays zero).
packet:     db 0x10, 0
            dw 1, LOAD_ADDRESS, 0               ; one sector to 0000:7C00
            dd 0, 0

%if ($ - $$) > 440
%error "master boot code is longer than 440 bytes"
%endif
        times 440 - ($ - $$) db 0
