; A loader for the NTFS and exFAT boot tests: started by the partition boot
; code at 2000:0000, it checks the hand-off and reports on COM1, then powers
; the machine off:
;   PBR HANDOFF OK NTFS DL=80 HIDDEN=00000800 LENGTH=00064000
;   PBR HANDOFF BAD <what was wrong>
; The test appends data and fills the header: the file's length, an
; order-sensitive checksum (FNV-1a over 32-bit words) of the data after the
; program, and the partition start the boot sector must carry (NTFS
; HiddenSectors, exFAT PartitionOffset).

bits 16
cpu 386
org 0

%include "serial.inc"

PROGRAM_SIZE    equ 1024
LOAD_SEGMENT    equ 0x2000
LOAD_LIMIT      equ 0x7F000
BOOT_SECTOR     equ 0x7C00
SCRATCH         equ 0x7000

start:
        jmp short entry
        times 4 - ($ - $$) db 0
magic:          db "DKPL"
fileLength:     dd 0
fileChecksum:   dd 0
partitionStart: dd 0

entry:
        ; SP first: the call below pushes onto the caller's stack.
        mov [cs:entrySp], sp
        mov [cs:entryDx], dx
        mov [cs:entryDs], ds
        mov [cs:entryEs], es
        mov [cs:entrySs], ss
        call .here
.here:
        pop bx
        mov ax, cs
        mov ds, ax
        xor ax, ax
        mov es, ax
        cli
        mov ss, ax
        mov sp, 0x6000              ; below the boot sector, which must stay intact
        sti
        cld

        mov si, badStart
        cmp bx, .here
        jne Bad
        mov ax, cs
        cmp ax, LOAD_SEGMENT
        jne Bad
        mov si, badSegments
        mov ax, [entryDs]
        or ax, [entryEs]
        or ax, [entrySs]
        jnz Bad
        cmp word [entrySp], BOOT_SECTOR
        jne Bad

        ; Where this file system keeps the drive number and the partition start.
        mov si, badBootSector
        cmp word [es:BOOT_SECTOR + 510], 0xAA55
        jne Bad
        mov di, 0x24                ; NTFS: drive number, HiddenSectors at 0x1C
        mov bx, 0x1C
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
        mov si, badDrive
        mov al, [entryDx]
        cmp al, [es:BOOT_SECTOR + di]
        jne Bad
        mov si, badHidden
        mov eax, [es:BOOT_SECTOR + bx]
        cmp eax, [partitionStart]
        jne Bad

        ; The sector at 0:7C00 must be the volume's boot sector as read
        ; through DL: that proves both. Only the drive byte may differ.
        mov [packet + 8], eax
        mov si, packet
        mov dl, [entryDx]
        mov ah, 0x42
        int 0x13
        mov si, badRead
        jc Bad
        mov si, badSector
        mov al, [es:BOOT_SECTOR + di]
        mov [es:SCRATCH + di], al
        push ds
        push si
        xor ax, ax
        mov ds, ax
        mov si, BOOT_SECTOR
        mov di, SCRATCH
        mov cx, 256
        repe cmpsw
        pop si
        pop ds
        jne Bad

        mov si, badLength
        mov ecx, [fileLength]
        cmp ecx, PROGRAM_SIZE
        jb Bad
        cmp ecx, LOAD_LIMIT
        ja Bad
        sub ecx, PROGRAM_SIZE
        shr ecx, 2
        mov ax, LOAD_SEGMENT
        mov fs, ax
        mov si, PROGRAM_SIZE
        mov ebx, 0x811C9DC5
        jecxz .summed
.word:
        xor ebx, [fs:si]
        imul ebx, ebx, 0x01000193
        add si, 4
        jnz .same
        mov ax, fs
        add ax, 0x1000
        mov fs, ax
.same:
        dec ecx
        jnz .word
.summed:
        mov si, badChecksum
        cmp ebx, [fileChecksum]
        jne Bad

        mov si, okText
        call SerialText
        mov si, fsName
        call SerialText
        mov si, driveText
        call SerialText
        mov al, [entryDx]
        mov cx, 2
        call SerialHex
        mov si, hiddenText
        call SerialText
        mov eax, [partitionStart]
        mov cx, 8
        call SerialHex
        mov si, lengthText
        call SerialText
        mov eax, [fileLength]
        mov cx, 8
        call SerialHex
        jmp Finish

Bad:
        push si
        mov si, badText
        call SerialText
        pop si
        call SerialText
Finish:
        mov si, lineEnd
        call SerialText
        PowerOff

        SerialRoutines

; Prints the low CX hex digits of EAX.
SerialHex:
        push eax
        mov bx, 8
        sub bx, cx
        shl bx, 2
        xchg bx, cx                 ; CL: bits above the wanted digits
        shl eax, cl
        mov cx, bx
.digit:
        rol eax, 4
        push eax
        and al, 15
        add al, '0'
        cmp al, '9'
        jbe .print
        add al, 'A' - '9' - 1
.print:
        call SerialByte
        pop eax
        loop .digit
        pop eax
        ret

packet:         db 16, 0
                dw 1, SCRATCH, 0
                dq 0
okText:         db 'PBR HANDOFF OK ', 0
fsName:         db 'xxxx', 0
driveText:      db ' DL=', 0
hiddenText:     db ' HIDDEN=', 0
lengthText:     db ' LENGTH=', 0
badText:        db 'PBR HANDOFF BAD ', 0
badStart:       db 'CS:IP', 0
badSegments:    db 'DS ES SS SP', 0
badBootSector:  db 'BOOT SECTOR', 0
badDrive:       db 'DRIVE FIELD', 0
badHidden:      db 'PARTITION START', 0
badRead:        db 'READ', 0
badSector:      db 'SECTOR AT 7C00', 0
badLength:      db 'LENGTH', 0
badChecksum:    db 'CHECKSUM', 0
lineEnd:        db 13, 10, 0

entrySp:        dw 0
entryDx:        dw 0
entryDs:        dw 0
entryEs:        dw 0
entrySs:        dw 0

        times PROGRAM_SIZE - ($ - $$) db 0
