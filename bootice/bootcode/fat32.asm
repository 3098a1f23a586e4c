; FAT32 partition boot code: three sectors.
;
; Sector 0 is the volume's boot sector. The installer keeps the volume's own
; fields (bytes 3..89: OEM name, BPB, FAT32 extended BPB, label, type), keeps
; our jump, and writes the loader's 8.3 name into bytes 499..509. Sectors 1
; and 2 are written to reserved sectors 12 and 13 of the volume; sector 0
; reads them and goes on there, because one sector cannot hold a FAT32
; cluster-chain walk (nor two with the CHS reads and retries).
;
; The code finds the loader (BOOTMGR or GRLDR) in the root folder, loads the
; whole file by its cluster chain, which need not be contiguous, to 2000:0000
; and starts it as the Windows boot sectors do: CS:IP 2000:0000, DL the BIOS
; drive, DS = ES = SS = 0, SP 7C00, and this boot sector with its BPB left at
; 0:7C00 (HiddenSectors is the partition start; the drive-number field is set
; to DL). DH is the partition's index in the table (FF when unknown), which
; is how GRUB4DOS and GRUB's g2hdr learn the partition they start from.
;
; Only BPB fields are used; the installer refuses sectors other than 512
; bytes, and the code checks that too. Reads go through the BIOS disk
; extensions (LBA), or by CHS where a BIOS lacks them (see DiskRead).

bits 16
cpu 386
org 0x7C00

%include "loader.inc"

; Fields of the boot sector, as offsets from BP = 7C00.
bpbBytesPerSector       equ 0x0B
bpbSectorsPerCluster    equ 0x0D
bpbReservedSectors      equ 0x0E
bpbFatCount             equ 0x10
bpbHiddenSectors        equ 0x1C
bpbTotalSectors         equ 0x20
bpbFatSectors           equ 0x24
bpbExtendedFlags        equ 0x28
bpbRootCluster          equ 0x2C
bpbDriveNumber          equ 0x40

; Working variables just below the boot sector, also BP-relative; the stack
; grows down from beneath them while the code runs.
packet          equ -0x10       ; disk address packet for INT 13h AH=42h
fatStart        equ -0x14       ; first sector of the FAT in use (volume-relative)
dataStart       equ -0x18       ; first sector of cluster 2
lastCluster     equ -0x1C       ; highest cluster number of the volume
fatCached       equ -0x20       ; FAT sector now in FAT_BUFFER
entriesLeft     equ -0x22       ; root entries still allowed (stops a looping chain)
chsGeometry     equ -0x26       ; 3 bytes: see CheckLbaReads
WORK_STACK      equ 0x7C00 - 0x26

SECOND_SECTOR   equ 12          ; reserved sectors 12 and 13 hold sectors 1 and 2
SECOND_ADDRESS  equ 0x7E00
FAT_BUFFER      equ 0x8200
DIR_BUFFER      equ 0x8400
LOADER_SEGMENT  equ 0x2000
MAX_READ        equ 64          ; sectors per BIOS call: 32 KiB, within every BIOS's limit

; ------------------------------------------------------------ sector 0

start:
        jmp short main
        nop
        times 90 - ($ - $$) db 0        ; the volume's fields go here

main:
        cli
        xor ax, ax
        mov ds, ax
        mov es, ax
        mov ss, ax
        mov bp, 0x7C00
        mov sp, WORK_STACK
        sti
        cld
        ; Some BIOSes enter at 07C0:0000; the far jump makes CS = 0.
        jmp 0:.normalized
.normalized:
        ; The loader takes the drive from this field, so it must be the
        ; drive we were started from, not what the formatter assumed.
        mov [bp + bpbDriveNumber], dl

        CheckLbaReads 0x7C00 + chsGeometry
        cmp word [bp + bpbBytesPerSector], 512
        jne DiskError

        mov eax, SECOND_SECTOR
        mov bx, SECOND_ADDRESS >> 4
        mov cx, 2
        call ReadVolume
        ; A volume whose sector 12 is not ours (boot sector copied alone)
        ; must not run whatever is there.
        cmp word [SECOND_ADDRESS + 1022], 0xAA55
        jne DiskError
        jmp SecondSector

; Reads CX sectors (1..MAX_READ) from volume sector EAX to BX:0000; on
; failure prints "Disk read error" and halts. Keeps every register.
ReadVolume:
        pushad
        xor edx, edx
        add eax, [bp + bpbHiddenSectors]
        adc edx, edx                    ; the carry is the high half of the sector
        jmp ReadCommon
; The same with the disk sector in EDX:EAX.
ReadDisk:
        pushad
ReadCommon:
        lea si, [bp + packet]
        mov word [si], 0x0010
        mov [si + 2], cx
        mov word [si + 4], 0
        mov [si + 6], bx
        mov [si + 8], eax
        mov [si + 12], edx
        call DiskRead
        jc DiskError
        popad
        ret

        DiskReadRoutine 0x7C00 + bpbDriveNumber, 0x7C00 + chsGeometry

NoLba:
        mov si, noLbaText
        jmp PrintAndHalt

DiskError:
        mov si, diskErrorText
PrintAndHalt:
        call PrintText
.halt:
        ; Interrupts stay on so the keyboard and timer keep working while
        ; the message is read.
        sti
        hlt
        jmp .halt

PrintText:
        lodsb
        test al, al
        jz .done
        call PrintChar
        jmp PrintText
.done:
        ret

PrintChar:
        pusha
        mov ah, 0x0E
        mov bx, 0x0007
        int 0x10
        popa
        ret

newLine:        db 13, 10, 0
diskErrorText:  db 13, 10, "Disk read error", 0
noLbaText:      db 13, 10, "BIOS lacks LBA reads", 0

%if ($ - $$) > 499
%error "sector 0 of the FAT32 boot code is too long"
%endif
        times 499 - ($ - $$) db 0
loaderName:     db "BOOTMGR    "        ; 8.3 name as in a directory entry
        dw 0xAA55

; ------------------------------------------------------- sectors 1 and 2

SecondSector:
        ; Where the FAT in use starts: the first one, unless mirroring is
        ; off (flag 80), when the low four bits name the active one.
        mov ebx, [bp + bpbFatSectors]
        movzx eax, word [bp + bpbReservedSectors]
        movzx ecx, byte [bp + bpbExtendedFlags]
        test cl, 0x80
        jz .mirrored
        and cl, 0x0F
        imul ecx, ebx
        add eax, ecx
.mirrored:
        mov [bp + fatStart], eax

        movzx eax, word [bp + bpbReservedSectors]
        movzx ecx, byte [bp + bpbFatCount]
        imul ecx, ebx
        add eax, ecx
        mov [bp + dataStart], eax

        ; Cluster numbers beyond the volume are damage, not data: reading
        ; them would load whatever lies behind the volume.
        mov eax, [bp + bpbTotalSectors]
        sub eax, [bp + dataStart]
        jbe DiskError
        movzx ecx, byte [bp + bpbSectorsPerCluster]
        test cx, cx
        jz DiskError
        xor edx, edx
        div ecx
        inc eax                         ; clusters are numbered from 2
        mov [bp + lastCluster], eax
        or dword [bp + fatCached], -1
        ; A FAT32 folder holds at most 65536 entries.
        mov word [bp + entriesLeft], 0

        mov eax, [bp + bpbRootCluster]
.folderCluster:
        call CheckCluster
        jc LoaderMissing                ; end of the root folder's chain
        push eax
        call ClusterSector
        movzx cx, byte [bp + bpbSectorsPerCluster]
.folderSector:
        push cx
        mov bx, DIR_BUFFER >> 4
        mov cx, 1
        call ReadVolume
        mov di, DIR_BUFFER
.entry:
        mov dl, [di]
        test dl, dl
        jz LoaderMissing                ; nothing is stored after this mark
        cmp dl, 0xE5                    ; deleted
        je .skip
        ; Folders and labels are not files; long-name pieces carry the
        ; label bit too.
        test byte [di + 11], 0x18
        jnz .skip
        mov si, loaderName
        mov cx, 11
        push di
        repe cmpsb
        pop di
        je .found
.skip:
        dec word [bp + entriesLeft]
        jz LoaderMissing
        add di, 32
        cmp di, DIR_BUFFER + 512
        jb .entry
        pop cx
        inc eax
        loop .folderSector
        pop eax
        call NextCluster
        jmp .folderCluster

.found:
        add sp, 6                       ; the sector count and the cluster
        mov ax, [di + 20]               ; first cluster, high half
        shl eax, 16
        mov ax, [di + 26]               ; first cluster, low half
        mov ecx, [di + 28]              ; size in bytes
        mov si, emptyText
        test ecx, ecx
        jz LoaderError
        ; It must end below the BIOS's extended data area.
        LowMemoryAbove LOADER_SEGMENT
        mov si, tooLargeText
        cmp ecx, ebx
        ja LoaderError
        ; Only the sectors the file needs are read, so the last cluster
        ; never writes past the limit.
        add ecx, 511
        shr ecx, 9                      ; sectors still to read
        mov bx, LOADER_SEGMENT

.fileCluster:
        call CheckCluster
        mov si, damagedText
        jc LoaderError                  ; the chain ends before the file does
        push eax
        call ClusterSector
        movzx dx, byte [bp + bpbSectorsPerCluster]
.fileRead:
        ; This read: the least of the cluster's rest, the file's rest and
        ; MAX_READ. The buffer is always at offset 0 of its segment, so no
        ; read wraps around a 64 KiB offset; and as clusters are powers of
        ; two, each read starts at a multiple of its own size above 20000,
        ; so none crosses a 64 KiB physical boundary either (BIOSes that
        ; transfer by DMA refuse that).
        mov di, MAX_READ
        cmp di, dx
        jbe .notClusterEnd
        mov di, dx
.notClusterEnd:
        cmp di, cx
        jbe .notFileEnd
        mov di, cx
.notFileEnd:
        push cx
        mov cx, di
        call ReadVolume
        pop cx
        movzx edi, di
        add eax, edi
        sub cx, di
        sub dx, di
        shl di, 5                       ; sectors to paragraphs
        add bx, di
        test cx, cx
        jz .loaded
        test dx, dx
        jnz .fileRead
        pop eax
        call NextCluster
        jmp .fileCluster

.loaded:
        pop eax
        call PartitionIndex
        JumpToLoader [bp + bpbDriveNumber], LOADER_SEGMENT

LoaderMissing:
        mov si, missingText
        jmp LoaderError

; Prints the loader's name up to its first blank, then the text at SI, and
; halts: "BOOTMGR is missing".
LoaderError:
        push si
        mov si, newLine
        call PrintText
        mov si, loaderName
        mov cx, 11
.name:
        lodsb
        cmp al, ' '
        je .rest
        call PrintChar
        loop .name
.rest:
        pop si
        jmp PrintAndHalt

; CF clear when EAX is a cluster of the data area; set for the end-of-chain
; marks, bad or free clusters and numbers beyond the volume.
CheckCluster:
        cmp eax, 2
        jb .done
        cmp [bp + lastCluster], eax
.done:
        ret

; EAX = cluster number -> EAX = its first volume sector.
ClusterSector:
        push ecx
        sub eax, 2
        movzx ecx, byte [bp + bpbSectorsPerCluster]
        imul eax, ecx
        add eax, [bp + dataStart]
        pop ecx
        ret

; EAX = cluster number -> EAX = the next cluster of its chain. The FAT
; sector last read is kept, as a chain mostly stays within one sector.
NextCluster:
        push bx
        push cx
        push si
        mov si, ax
        and si, 127                     ; 128 entries per sector
        shl si, 2
        shr eax, 7
        add eax, [bp + fatStart]
        cmp eax, [bp + fatCached]
        je .cached
        mov [bp + fatCached], eax
        mov bx, FAT_BUFFER >> 4
        mov cx, 1
        call ReadVolume
.cached:
        mov eax, [FAT_BUFFER + si]
        and eax, 0x0FFFFFFF             ; the top four bits are reserved
        pop si
        pop cx
        pop bx
        ret

missingText:    db " is missing", 0
emptyText:      db " is empty", 0
tooLargeText:   db " is too large", 0
damagedText:    db " is damaged", 0

; DH = the partition's index in the table (see FindPartitionIndex).
PartitionIndex:
        xor eax, eax
        xor edx, edx
        mov bx, FAT_BUFFER >> 4
        mov cx, 1
        call ReadDisk
        FindPartitionIndex 0x7C00 + bpbHiddenSectors, FAT_BUFFER
        ret

%if ($ - $$) > 1536 - 2
%error "sectors 1 and 2 of the FAT32 boot code are too long"
%endif
        times 1536 - 2 - ($ - $$) db 0
        dw 0xAA55                       ; sector 0 checks this mark
