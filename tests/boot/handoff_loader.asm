; A loader for boot tests on FAT32, NTFS and exFAT: started by a partition
; boot code at 2000:0000, it checks the hand-off that Windows-style loaders
; expect and reports on the serial port (COM1), then powers the machine off:
;   HANDOFF OK NTFS CS:IP=2000:0000 DL=80 DH=00 HIDDEN=00000800 SUM=1234ABCD
;   HANDOFF BAD <what was wrong> CS:IP=... (the same values)
;
; The test appends data to this program (padded to PROGRAM_SIZE) and fills
; the header: the file's length, a checksum over the appended data (the
; program's own variables change as it runs), the partition start the boot
; sector must carry (HiddenSectors; exFAT: PartitionOffset) and the
; partition's index in the table that DH must hold, as GRUB's g2hdr and
; GRUB4DOS take it (FF: DH is reported, not checked). The checksum is
; order-sensitive (FNV-1a over 32-bit words), so clusters loaded in the
; wrong order or not at all are caught, not only missing bytes.

bits 16
cpu 386
org 0

%include "serial.inc"

HEADER_SIZE     equ 32
PROGRAM_SIZE    equ 2048
LOAD_SEGMENT    equ 0x2000
LOAD_LIMIT      equ 0x7F000
BOOT_SECTOR     equ 0x7C00
SCRATCH         equ 0x7000          ; a copy of the boot sector read from disk
STACK_TOP       equ 0x6000

start:
        jmp short entry
        times 4 - ($ - $$) db 0
magic:          db "DKHL"
fileLength:     dd 0                ; whole file in bytes, a multiple of 4
fileChecksum:   dd 0                ; over bytes PROGRAM_SIZE .. fileLength
partitionStart: dd 0                ; HiddenSectors the boot sector must carry
partitionIndex: db 0xFF             ; DH the boot code must give
        times HEADER_SIZE - ($ - $$) db 0

entry:
        ; SP first: the call below pushes onto the caller's stack.
        mov [cs:entrySp], sp
        mov [cs:entryDx], dx
        mov [cs:entryDs], ds
        mov [cs:entryEs], es
        mov [cs:entrySs], ss
        call .here
.here:
        pop ax
        sub ax, .here                   ; IP at the file's first byte
        mov [cs:entryIp], ax
        mov ax, cs
        mov ds, ax
        mov [entryCs], ax
        xor ax, ax
        mov es, ax
        cli
        mov ss, ax
        mov sp, STACK_TOP           ; below the boot sector, which must stay intact
        sti
        cld

        mov si, badStartText
        cmp word [entryCs], LOAD_SEGMENT
        jne Bad
        cmp word [entryIp], 0
        jne Bad
        mov si, badSegmentsText
        mov ax, [entryDs]
        or ax, [entryEs]
        or ax, [entrySs]
        jnz Bad
        cmp word [entrySp], BOOT_SECTOR
        jne Bad

        ; Where this file system keeps the drive number and the partition start.
        mov si, badBootSectorText
        cmp word [es:BOOT_SECTOR + 510], 0xAA55
        jne Bad
        mov di, 0x40                ; FAT32: drive number, HiddenSectors at 0x1C
        mov bx, 0x1C
        mov dword [fsName], 'FAT3'
        mov byte [fsName + 4], '2'
        cmp dword [es:BOOT_SECTOR + 0x52], 'FAT3'
        jne .notFat32
        cmp dword [es:BOOT_SECTOR + 0x56], '2   '
        jne .notFat32
        cmp word [es:BOOT_SECTOR + 0x0B], 512
        je .known
.notFat32:
        mov byte [fsName + 4], 0
        mov di, 0x24                ; NTFS: drive number, HiddenSectors at 0x1C
        mov dword [fsName], 'NTFS'
        cmp dword [es:BOOT_SECTOR + 3], 'NTFS'
        je .known
        mov di, 111                 ; exFAT: DriveSelect, PartitionOffset at 64
        mov bx, 64
        mov dword [fsName], 'EXFA'
        cmp dword [es:BOOT_SECTOR + 3], 'EXFA'
        jne Bad
        cmp dword [es:BOOT_SECTOR + 68], 0
        jne Bad
.known:
        mov [hiddenField], bx
        mov si, badDriveText
        mov al, [entryDx]
        cmp al, [es:BOOT_SECTOR + di]
        jne Bad
        mov si, badHiddenText
        mov eax, [es:BOOT_SECTOR + bx]
        cmp eax, [partitionStart]
        jne Bad
        mov si, badIndexText
        mov al, [partitionIndex]
        cmp al, 0xFF
        je .indexTold
        cmp al, [entryDx + 1]
        jne Bad
.indexTold:

        ; The sector at 0:7C00 must be the volume's own boot sector, read
        ; here through DL: that proves both. Only the drive byte may differ.
        mov eax, [partitionStart]
        mov [packet + 8], eax
        mov si, packet
        mov dl, [entryDx]
        mov ah, 0x42
        int 0x13
        mov si, badReadText
        jc Bad
        mov al, [es:BOOT_SECTOR + di]
        mov [es:SCRATCH + di], al
        push ds
        xor ax, ax
        mov ds, ax
        mov si, BOOT_SECTOR
        mov di, SCRATCH
        mov cx, 256
        repe cmpsw
        pop ds
        mov si, badSectorText
        jne Bad

        mov si, badLengthText
        mov ecx, [fileLength]
        cmp dword [magic], "DKHL"
        jne Bad
        cmp ecx, PROGRAM_SIZE
        jb Bad
        cmp ecx, LOAD_LIMIT
        ja Bad
        test cl, 3
        jnz Bad

        ; FNV-1a over 32-bit words, walking FS:SI across the 64 KiB segments.
        sub ecx, PROGRAM_SIZE
        shr ecx, 2
        mov ax, LOAD_SEGMENT
        mov fs, ax
        mov si, PROGRAM_SIZE
        mov ebx, 0x811C9DC5
        mov edi, 0x01000193
        jecxz .summed
.word:
        xor ebx, [fs:si]
        imul ebx, edi
        add si, 4
        jnz .sameSegment
        mov ax, fs
        add ax, 0x1000
        mov fs, ax
.sameSegment:
        dec ecx
        jnz .word
.summed:
        mov [sum], ebx
        mov si, badChecksumText
        cmp ebx, [fileChecksum]
        jne Bad

        mov si, okText
        call SerialText
        jmp Report

; Names what was wrong (SI), then the values that were seen.
Bad:
        push si
        mov si, badText
        call SerialText
        pop si
        call SerialText

Report:
        mov si, fsName
        call SerialText
        mov si, startText
        call SerialText
        mov ax, [entryCs]
        call SerialHexWord
        mov al, ':'
        call SerialByte
        mov ax, [entryIp]
        call SerialHexWord
        mov si, driveText
        call SerialText
        mov al, [entryDx]
        call SerialHexByte
        mov si, dhText
        call SerialText
        mov al, [entryDx + 1]
        call SerialHexByte
        mov si, hiddenText
        call SerialText
        mov bx, [hiddenField]
        mov eax, [es:BOOT_SECTOR + bx]
        call SerialHexDword
        mov si, sumText
        call SerialText
        mov eax, [sum]
        call SerialHexDword
        mov si, lineEnd
        call SerialText
        PowerOff

        SerialRoutines

SerialHexDword:
        push eax
        shr eax, 16
        call SerialHexWord
        pop eax
SerialHexWord:
        push ax
        mov al, ah
        call SerialHexByte
        pop ax
        SerialHexRoutines

okText:             db 13, 10, "HANDOFF OK ", 0
badText:            db 13, 10, "HANDOFF BAD ", 0
startText:          db " CS:IP=", 0
badStartText:       db "CS:IP is not 2000:0000 ", 0
badSegmentsText:    db "DS, ES, SS are not 0 or SP is not 7C00 ", 0
badBootSectorText:  db "no FAT32, NTFS or exFAT boot sector at 0:7C00 ", 0
badDriveText:       db "DL differs from the boot sector's drive field ", 0
badHiddenText:      db "the boot sector's partition start is wrong ", 0
badIndexText:       db "DH is not the partition's index ", 0
badReadText:        db "the boot sector cannot be read through DL ", 0
badSectorText:      db "0:7C00 differs from the volume's boot sector ", 0
badLengthText:      db "the file's header is damaged ", 0
badChecksumText:    db "checksum: the file is not loaded whole ", 0
driveText:          db " DL=", 0
dhText:             db " DH=", 0
hiddenText:         db " HIDDEN=", 0
sumText:            db " SUM=", 0
lineEnd:            db 13, 10, 0

fsName:     db "?????", 0
hiddenField: dw 0x1C
entryCs:    dw 0
entryIp:    dw 0
entryDs:    dw 0
entryEs:    dw 0
entrySs:    dw 0
entrySp:    dw 0
entryDx:    dw 0
sum:        dd 0
packet:     db 0x10, 0
            dw 1, SCRATCH, 0
            dd 0, 0

%if ($ - $$) > PROGRAM_SIZE
%error "the loader is longer than PROGRAM_SIZE"
%endif
        times PROGRAM_SIZE - ($ - $$) db 0
