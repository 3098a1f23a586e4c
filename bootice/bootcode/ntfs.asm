; NTFS partition boot code: finds the loader (BOOTMGR or GRLDR) in the root
; folder of the volume, loads the whole file to 2000:0000 and starts it with
; DL = BIOS drive and this boot sector (BPB, HiddenSectors) at 0:7C00.
;
; Layout: 16 sectors of 512 bytes, the $Boot area that NTFS reserves at the
; start of the volume. Sector 0 is the boot sector; bytes 3..83 are the NTFS
; BPB, filled in by the installer from the volume. Sector 0 loads sectors
; 1..15 with LBA = HiddenSectors + 1 and continues there.
;
; The installer writes the loader's name into LoaderName (11 bytes, blank
; padded, as in an 8.3 directory entry).
;
; Memory while running (all below 64 KiB, so DS = 0 reaches everything):
;   0x0600  variables and the disk address packet
;   0x1000  one index record of the root folder (up to 24 KiB)
;   0x7000  stack (grows down from 0x7C00)
;   0x7C00  this code, 8 KiB
;   0xA000  MFT record of $MFT, 0xB000 of the root folder, 0xC000 of the loader
;   0xD000  extension records (named by an attribute list) of the root's
;           index root, 0xE000 of its index allocation, 0xF000 of the
;           loader's data

bits 16
cpu 386
org 0x7C00

%include "loader.inc"

; Fields of the NTFS boot sector.
BytesPerSector     equ 0x7C0B
SectorsPerCluster  equ 0x7C0D
HiddenSectors      equ 0x7C1C
DriveNumber        equ 0x7C24
MftCluster         equ 0x7C30
ClustersPerRecord  equ 0x7C40
ClustersPerIndex   equ 0x7C44

; Variables.
Dap                equ 0x0600          ; disk address packet, 16 bytes
ClusterSectors     equ 0x0610          ; dword
RecordSectors      equ 0x0614          ; dword
IndexSectors       equ 0x0618          ; dword
IndexVcnShift      equ 0x061C          ; dword: sectors per index VCN
MftData            equ 0x0620          ; word: $DATA attribute of $MFT
RootAlloc          equ 0x0622          ; word: $INDEX_ALLOCATION of the root
NameLength         equ 0x0624          ; word
ReadLeft           equ 0x0628          ; dword: sectors still to read
ReadVsn            equ 0x062C          ; dword: next sector of the stream
ReadAttr           equ 0x0630          ; word
ChsGeometry        equ 0x0634          ; 2 words: see CheckLbaReads
RunSparse          equ 0x0638          ; byte: 0 when the run found is a hole

IndexBuffer        equ 0x1000
IndexBufferMax     equ 0x6000
MftRecord          equ 0xA000
RootRecord         equ 0xB000
FileRecord         equ 0xC000
RootRootExtension  equ 0xD000
RootAllocExtension equ 0xE000
FileExtension      equ 0xF000
RecordMax          equ 0x1000

LoadSegment        equ 0x2000

        jmp short Start
        nop
        times 84-($-$$) db 0            ; the NTFS BPB, kept by the installer

        LoaderSectorZero HiddenSectors, DriveNumber, 15

        times 499-($-$$) db 0
LoaderName      db 'BOOTMGR    '
        dw 0xAA55

; ---------------------------------------------------------------- sectors 1..15

Main:
        ; Sectors per cluster: 0x81..0xFF stand for a power of two.
        movzx eax, byte [SectorsPerCluster]
        cmp al, 0x80
        jbe .ClusterSize
        neg al
        mov cl, al
        mov eax, 1
        shl eax, cl
.ClusterSize:
        mov [ClusterSectors], eax

        movsx eax, byte [ClustersPerRecord]
        call StructureSectors
        cmp eax, RecordMax / 512
        ja BadVolume
        mov [RecordSectors], eax

        ; Record 0 is $MFT itself: its data runs say where every other
        ; record lies, so a fragmented MFT is read correctly.
        mov eax, [MftCluster]
        mul dword [ClusterSectors]
        mov cx, [RecordSectors]
        mov bx, MftRecord >> 4
        mov es, bx
        call ReadSectors
        mov di, MftRecord
        call FixRecord
        mov di, MftRecord
        mov eax, 0x80
        call FindAttribute
        jc BadVolume
        cmp byte [si + 8], 0
        je BadVolume
        mov [MftData], si

        ; The root folder is record 5.
        mov eax, 5
        mov bx, RootRecord >> 4
        call ReadRecord
        mov di, RootRecord
        mov eax, 0x90                   ; $INDEX_ROOT, always resident
        mov bx, RootRootExtension >> 4
        call FindFileAttribute
        jc BadVolume
        add si, [si + 0x14]             ; the attribute's value
        mov eax, [si + 8]               ; bytes per index record
        cmp eax, IndexBufferMax
        ja BadVolume
        shr eax, 9
        jz BadVolume
        mov [IndexSectors], eax
        ; Index VCNs count clusters, or 512-byte blocks when an index record
        ; is smaller than a cluster.
        cmp eax, [ClusterSectors]
        jb .SmallIndex
        mov eax, [ClusterSectors]
        jmp .VcnUnit
.SmallIndex:
        mov eax, 1
.VcnUnit:
        mov [IndexVcnShift], eax
        lea bx, [si + 0x10]             ; node header of the root's entries
        push bx
        mov di, RootRecord
        mov eax, 0xA0                   ; $INDEX_ALLOCATION, absent in a small root
        mov bx, RootAllocExtension >> 4
        call FindFileAttribute
        jnc .HasAllocation
        xor si, si
.HasAllocation:
        mov [RootAlloc], si
        pop bx

        StoreNameLength

; Walks down the B+ tree of the root's file names: entries are sorted by
; their up-cased names, so the first entry not below the wanted name either
; is it or leads to the subtree that could hold it.
SearchNode:
        mov si, bx
        add si, [bx]                    ; first entry
.Entry:
        test byte [si + 0x0C], 2        ; the last entry carries no name
        jnz .Descend
        call CompareName
        je Found
        jb .Descend
        mov ax, [si + 8]
        test ax, ax
        jz BadVolume
        add si, ax
        jmp .Entry
.Descend:
        test byte [si + 0x0C], 1
        jz LoaderMissing
        mov di, [RootAlloc]
        test di, di
        jz BadVolume
        add si, [si + 8]
        mov eax, [si - 8]               ; VCN of the subnode
        mul dword [IndexVcnShift]
        mov si, di
        mov cx, [IndexSectors]
        mov bx, IndexBuffer >> 4
        call ReadStream
        mov di, IndexBuffer
        cmp dword [di], 'INDX'
        jne BadVolume
        call FixRecord
        mov bx, IndexBuffer + 0x18
        jmp SearchNode

Found:
        mov eax, [si]                   ; record number (the low 32 of 48 bits)
        mov bx, FileRecord >> 4
        call ReadRecord
        mov di, FileRecord
        test byte [di + 0x16], 2        ; a folder of that name is no loader
        jnz LoaderMissing
        mov eax, 0x80
        mov bx, FileExtension >> 4
        call FindFileAttribute
        jc LoaderMissing
        mov bx, LoadSegment
        mov es, bx
        cmp byte [si + 8], 0
        jne .NonResident

        ; A small file lives inside its record.
        mov ecx, [si + 0x10]
        test ecx, ecx
        jz LoaderMissing
        add si, [si + 0x14]
        xor di, di
        rep movsb
        jmp HandOff

.NonResident:
        test word [si + 0x0C], 0x4001   ; compressed or encrypted
        jnz BadVolume
        cmp dword [si + 0x34], 0
        jne TooLarge
        mov eax, [si + 0x30]            ; data size in bytes
        call LoaderSectors
        mov cx, ax
        xor eax, eax
        mov bx, LoadSegment
        call ReadStream

        LoaderHandOff DriveNumber, HiddenSectors, IndexBuffer
        LoaderReads HiddenSectors

BadVolume:
        mov si, MsgBadVolume
        jmp Fail

; EAX = clusters per record (or index record) as the BPB stores it: a
; negative value n means 2^-n bytes. Returns the size in sectors.
StructureSectors:
        test eax, eax
        js .Bytes
        mul dword [ClusterSectors]
        ret
.Bytes:
        neg eax
        mov cl, al
        mov eax, 1
        shl eax, cl
        shr eax, 9
        jz BadVolume
        ret

; Reads MFT record EAX to BX:0000 and undoes its update sequence.
ReadRecord:
        mul dword [RecordSectors]
        mov si, [MftData]
        mov cx, [RecordSectors]
        push bx
        call ReadStream
        pop di
        shl di, 4
        cmp dword [di], 'FILE'
        jne BadVolume
        push di
        call FixRecord
        pop di
        test byte [di + 0x16], 1        ; record in use
        jz BadVolume
        ret

; Reads CX sectors of a non-resident attribute (header at SI), starting at
; sector EAX of its stream, to BX:0000, run by run.
ReadStream:
        mov es, bx
        mov [ReadVsn], eax
        movzx ecx, cx
        mov [ReadLeft], ecx
        mov [ReadAttr], si
.Run:
        mov eax, [ReadVsn]
        xor edx, edx
        div dword [ClusterSectors]
        push edx                        ; sector inside the cluster
        mov si, [ReadAttr]
        call MapCluster                 ; EAX = cluster, ECX = clusters left in run
        pop edx
        push edx
        mov ebx, edx
        mul dword [ClusterSectors]
        add eax, ebx                    ; first sector on the volume
        xchg eax, ecx
        mul dword [ClusterSectors]
        pop edx
        sub eax, edx                    ; sectors left in this run
        cmp eax, [ReadLeft]
        jbe .Count
        mov eax, [ReadLeft]
.Count:
        cmp eax, 0x4000                 ; keep the count within CX
        jbe .Read
        mov eax, 0x4000
.Read:
        add [ReadVsn], eax
        sub [ReadLeft], eax
        xchg eax, ecx
        cmp byte [RunSparse], 0
        jne .Disk
        ; A hole reads as zeros (a file copied with sparse blocks).
.Zero:
        push cx
        xor di, di
        mov cx, 256
        xor ax, ax
        rep stosw
        mov ax, es
        add ax, 0x20
        mov es, ax
        pop cx
        loop .Zero
        jmp .Next
.Disk:
        call ReadSectors
.Next:
        cmp dword [ReadLeft], 0
        jne .Run
        ret

; Finds cluster number EAX of the stream whose non-resident attribute
; header is at SI. Returns EAX = its cluster on the volume and ECX = clusters
; left in the same run; RunSparse is 0 when the run is a hole (EAX then
; means nothing). A missing run is an error.
MapCluster:
        push si
        mov ebx, eax                    ; wanted cluster of the stream
        mov edi, [si + 0x10]            ; first cluster this attribute maps
        add si, [si + 0x20]             ; mapping pairs
        xor edx, edx                    ; volume cluster of the current run
.Pair:
        mov al, [si]
        test al, al
        jz BadVolume
        inc si
        mov cl, al
        and cl, 0x0F
        push ax
        call ReadUnsigned               ; run length
        mov ebp, eax
        pop ax
        shr al, 4
        mov [RunSparse], al
        jz .Hole                        ; sparse: no clusters on the volume
        mov cl, al
        call ReadSigned                 ; run offset, relative to the last
        add edx, eax
.Hole:
        mov eax, ebx
        sub eax, edi
        cmp eax, ebp
        jb .InRun
        add edi, ebp
        jmp .Pair
.InRun:
        mov ecx, ebp
        sub ecx, eax
        add eax, edx
        pop si
        ret

; Reads a CL-byte little-endian number at SI into EAX and moves SI past it.
; Only the low 32 bits count: this volume fits in 2^32 sectors.
ReadUnsigned:
        xor eax, eax
        movzx cx, cl
        jcxz .Done
        push bx
        push cx
        cmp cx, 4
        jbe .Bytes
        mov cx, 4
.Bytes:
        mov bx, cx
.Next:
        shl eax, 8
        mov al, [bx + si - 1]
        dec bx
        jnz .Next
        pop cx
        pop bx
        add si, cx
.Done:
        ret

ReadSigned:
        movzx cx, cl
        push bx
        push cx
        cmp cx, 4
        jbe .Bytes
        mov cx, 4
.Bytes:
        mov bx, cx
        movsx eax, byte [bx + si - 1]
        dec bx
        jz .End
.Next:
        shl eax, 8
        mov al, [bx + si - 1]
        dec bx
        jnz .Next
.End:
        pop cx
        pop bx
        add si, cx
        ret

; Undoes the update sequence of the record (FILE or INDX) at DI: the last
; word of each sector was swapped for a check value on writing.
FixRecord:
        mov si, di
        add si, [di + 4]
        mov cx, [di + 6]
        lodsw                           ; the check value
        dec cx
        jz .Done
        mov bx, di
.Sector:
        add bx, 510
        cmp [bx], ax
        jne BadVolume                   ; a torn write
        mov dx, [si]
        mov [bx], dx
        add si, 2
        add bx, 2
        loop .Sector
.Done:
        ret

; Finds the attribute of type EAX in the record at DI; $DATA only unnamed.
; Returns SI = its header, or CF set.
FindAttribute:
        mov si, di
        add si, [di + 0x14]
.Next:
        cmp dword [si], 0xFFFFFFFF
        je .None
        cmp [si], eax
        jne .Skip
        cmp eax, 0x80
        jne .Found
        cmp byte [si + 9], 0
        je .Found
.Skip:
        mov dx, [si + 4]
        test dx, dx
        jz .None
        add si, dx
        cmp si, di
        jb .None                        ; wrapped: a broken record
        jmp .Next
.Found:
        clc
        ret
.None:
        stc
        ret

; Finds attribute EAX of the file whose base record is at DI, as
; FindAttribute does. Where the base record lacks it (a busy root or a very
; fragmented file), the file's attribute list names the extension record
; that holds it, or its part from VCN 0, which is read to BX:0000. Returns
; SI = its header, or CF set.
FindFileAttribute:
        call FindAttribute
        jnc .Done
        push eax
        push bx
        mov eax, 0x20                   ; $ATTRIBUTE_LIST
        call FindAttribute
        jc .Absent
        mov ecx, [si + 0x10]            ; resident: the value's length
        mov dx, [si + 0x14]
        cmp byte [si + 8], 0
        je .Resident
        ; A long list lies outside the record: read it whole.
        mov ecx, [si + 0x30]
        cmp ecx, IndexBufferMax - IndexBuffer
        ja BadVolume
        push ecx
        lea eax, [ecx + 511]
        shr eax, 9
        mov cx, ax
        xor eax, eax
        mov bx, IndexBuffer >> 4
        call ReadStream
        pop ecx
        mov si, IndexBuffer
        jmp .List
.Resident:
        add si, dx
.List:
        pop bx
        pop eax
.Entry:
        cmp ecx, 0x1A
        jb .None
        cmp [si], eax
        jne .Next
        cmp dword [si + 8], 0           ; the part from VCN 0
        jne .Next
        cmp eax, 0x80                   ; $DATA only unnamed
        jne .Take
        cmp byte [si + 6], 0
        jne .Next
.Take:
        push eax
        push bx
        mov eax, [si + 0x10]            ; the record (low 32 of 48 bits)
        call ReadRecord
        pop di
        shl di, 4
        pop eax
        jmp FindAttribute
.Next:
        movzx edx, word [si + 4]
        test dx, dx
        jz .None
        add si, dx
        sub ecx, edx
        ja .Entry
.None:
        stc
        ret
.Absent:
        pop bx
        pop eax
.Done:
        ret

; Compares LoaderName with the name of the index entry at SI, both
; up-cased in the ASCII range. Flags as for "cmp wanted, entry".
CompareName:
        push si
        movzx cx, byte [si + 0x50]      ; entry's name length in characters
        lea di, [si + 0x52]
        mov si, LoaderName
        mov dx, [NameLength]
.Char:
        test dx, dx
        jz .OneEnds
        jcxz .OneEnds
        CompareNameChar
        jne .Done
        add di, 2
        dec dx
        dec cx
        jmp .Char
.OneEnds:
        cmp dx, cx                      ; the shorter name sorts first
.Done:
        pop si
        ret

MsgBadVolume    db 'NTFS not readable', 13, 10, 0
MsgTooLarge     db 'Loader too large', 13, 10, 0

        times 8192-($-$$) db 0
