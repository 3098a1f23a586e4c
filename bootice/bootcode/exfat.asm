; exFAT partition boot code: finds the loader (BOOTMGR or GRLDR) in the root
; folder of the volume, loads the whole file to 2000:0000 and starts it with
; DL = BIOS drive and this boot sector at 0:7C00.
;
; Layout: sector 0 is the main boot sector; bytes 3..119 are the exFAT boot
; sector fields, filled in by the installer from the volume. The sectors
; after it are extended boot sectors (volume sectors 1..), each ending in the
; extended boot signature 00 00 55 AA; sector 0 loads them with
; LBA = PartitionOffset + 1 and continues there. The installer rewrites the
; boot checksum and the backup boot region afterwards.
;
; exFAT keeps no BPB: PartitionOffset (byte 64) plays the part of
; HiddenSectors and DriveSelect (byte 111) that of the drive number.
;
; The installer writes the loader's name into LoaderName (11 bytes, blank
; padded).
;
; Memory: 0x0600 variables, 0x1000 one directory sector, 0x1200 one FAT
; sector, stack below 0x7C00, this code from 0x7C00.

bits 16
cpu 386
org 0x7C00

%include "loader.inc"

PartitionOffset    equ 0x7C40
FatOffset          equ 0x7C50
ClusterHeapOffset  equ 0x7C58
ClusterCount       equ 0x7C5C
RootCluster        equ 0x7C60
BytesPerSectorShift equ 0x7C6C
SectorsPerClusterShift equ 0x7C6D
DriveSelect        equ 0x7C6F

Dap                equ 0x0600          ; disk address packet, 16 bytes
ClusterSectors     equ 0x0610          ; dword
NameLength         equ 0x0614          ; word
DirCluster         equ 0x0618          ; dword
DirSector          equ 0x061C          ; dword
DirLeft            equ 0x0620          ; dword: sectors left in the cluster
Pending            equ 0x0624          ; byte: secondary entries still due
Match              equ 0x0625          ; byte: bit 0 named so far, bit 1 length right
NamePos            equ 0x0626          ; word
Attributes         equ 0x0628          ; word
StreamFlags        equ 0x062A          ; byte
FirstCluster       equ 0x062C          ; dword
DataLength         equ 0x0630          ; qword
FatCached          equ 0x0638          ; dword: FAT sector in FatBuffer
LoadLeft           equ 0x063C          ; dword: sectors still to load
ChsGeometry        equ 0x0640          ; 2 words: see CheckLbaReads

DirBuffer          equ 0x1000
FatBuffer          equ 0x1200

LoadSegment        equ 0x2000
ExtendedSectors    equ 3               ; extended boot sectors this code uses

        jmp short Start
        nop
        times 120-($-$$) db 0           ; exFAT boot sector fields, kept

        LoaderSectorZero PartitionOffset, DriveSelect, ExtendedSectors

        times 499-($-$$) db 0
LoaderName      db 'BOOTMGR    '
        dw 0xAA55

; ------------------------------------------------------ extended boot sector 1
Sector1:

Main:
        cmp byte [BytesPerSectorShift], 9
        jne BadVolume
        mov cl, [SectorsPerClusterShift]
        mov eax, 1
        shl eax, cl
        mov [ClusterSectors], eax
        mov dword [FatCached], 0xFFFFFFFF
        mov byte [Pending], 0

        StoreNameLength

        ; The root folder always follows its FAT chain.
        mov eax, [RootCluster]
        mov [DirCluster], eax
.Cluster:
        call ClusterSector
        mov [DirSector], eax
        mov eax, [ClusterSectors]
        mov [DirLeft], eax
.Sector:
        mov eax, [DirSector]
        mov cx, 1
        mov bx, DirBuffer >> 4
        mov es, bx
        call ReadSectors
        mov si, DirBuffer
.Entry:
        mov al, [si]
        test al, al
        jz LoaderMissing                ; end of the folder
        test al, 0x80
        jz .Unused
        cmp al, 0x85
        je .File
        test al, 0x40
        jz .Unused                      ; another primary entry ends the set
        cmp byte [Pending], 0
        je .Next                        ; a secondary of no file we follow
        dec byte [Pending]
        cmp al, 0xC0
        je .Stream
        cmp al, 0xC1
        je .FileName
        jmp .SetEnds
.Unused:
        mov byte [Pending], 0
        jmp .Next
.File:
        mov al, [si + 1]
        mov [Pending], al
        mov byte [Match], 1
        mov word [NamePos], 0
        mov ax, [si + 4]
        mov [Attributes], ax
        jmp .Next
.Stream:
        mov al, [si + 1]
        mov [StreamFlags], al
        mov eax, [si + 20]
        mov [FirstCluster], eax
        mov eax, [si + 24]
        mov [DataLength], eax
        mov eax, [si + 28]
        mov [DataLength + 4], eax
        movzx ax, byte [si + 3]
        cmp ax, [NameLength]
        jne .Mismatch
        or byte [Match], 2
        jmp .SetEnds
.FileName:
        ; Up to 15 UTF-16 characters per entry.
        push si
        lea di, [si + 2]
        mov si, LoaderName
        add si, [NamePos]
        mov cx, 15
.Char:
        mov ax, [NamePos]
        cmp ax, [NameLength]
        jae .NameDone
        CompareNameChar
        jne .NameWrong
        add di, 2
        inc word [NamePos]
        loop .Char
        jmp .NameDone
.NameWrong:
        mov byte [Match], 0
.NameDone:
        pop si
.SetEnds:
        cmp byte [Pending], 0
        jne .Next
        cmp byte [Match], 3
        jne .Next
        mov ax, [NamePos]
        cmp ax, [NameLength]
        jne .Next
        test byte [Attributes], 0x10    ; a folder of that name is no loader
        jz Found
        jmp .Next
.Mismatch:
        mov byte [Match], 0
.Next:
        add si, 32
        cmp si, DirBuffer + 512
        jb .Entry
        inc dword [DirSector]
        dec dword [DirLeft]
        jnz .Sector
        mov eax, [DirCluster]
        call NextCluster
        jc LoaderMissing
        mov [DirCluster], eax
        jmp .Cluster

BadVolume:
        mov si, MsgBadVolume
        jmp Fail

        times 508-($-Sector1) db 0
        db 0, 0, 0x55, 0xAA

; ------------------------------------------------------ extended boot sector 2
Sector2:

Found:
        cmp dword [DataLength + 4], 0
        jne TooLarge
        mov eax, [DataLength]
        call LoaderSectors
        mov [LoadLeft], eax
        mov bx, LoadSegment
        mov es, bx
        mov eax, [FirstCluster]
        test byte [StreamFlags], 2
        jz .Chain

        ; NoFatChain: the clusters follow each other; the FAT says nothing.
        call ClusterSector
        mov cx, [LoadLeft]
        call ReadSectors
        jmp HandOff

.Chain:
        push eax
        call ClusterSector
        mov ecx, [ClusterSectors]
        cmp ecx, [LoadLeft]
        jbe .Whole
        mov ecx, [LoadLeft]
.Whole:
        sub [LoadLeft], ecx
        call ReadSectors
        pop eax
        cmp dword [LoadLeft], 0
        je HandOff
        call NextCluster
        jc BadVolume                    ; chain ends before the data does
        jmp .Chain

        LoaderHandOff DriveSelect, PartitionOffset, DirBuffer

; First partition sector of cluster EAX.
ClusterSector:
        cmp eax, 2
        jb BadVolume
        mov edx, [ClusterCount]
        add edx, 2
        cmp eax, edx
        jae BadVolume
        sub eax, 2
        mov cl, [SectorsPerClusterShift]
        shl eax, cl
        add eax, [ClusterHeapOffset]
        ret

; The cluster after EAX in its FAT chain; CF set at the chain's end.
; Keeps ES (the caller's load address).
NextCluster:
        push es
        push eax
        shr eax, 7                      ; 128 entries per FAT sector
        add eax, [FatOffset]
        cmp eax, [FatCached]
        je .Cached
        mov [FatCached], eax
        mov cx, 1
        mov bx, FatBuffer >> 4
        mov es, bx
        call ReadSectors
.Cached:
        pop eax
        and ax, 127
        shl ax, 2
        mov bx, ax
        mov eax, [FatBuffer + bx]
        pop es
        cmp eax, 0xFFFFFFF7             ; bad cluster or end of chain
        jae .End
        cmp eax, 2
        jb BadVolume
        clc
        ret
.End:
        stc
        ret

MsgBadVolume    db 'exFAT not readable', 13, 10, 0
MsgTooLarge     db 'Loader too large', 13, 10, 0

        times 508-($-Sector2) db 0
        db 0, 0, 0x55, 0xAA

; ------------------------------------------------------ extended boot sector 3
Sector3:

        LoaderReads PartitionOffset

        times 508-($-Sector3) db 0
        db 0, 0, 0x55, 0xAA
