; A stand-in master boot sector for boot tests that need a BIOS other than
; QEMU's: it takes TAKE_KIB KiB off the top of conventional memory (as a
; BIOS with a larger extended data area would; INT 12h then reports less),
; keeps a small resident part there, with HIDE_LBA hooks INT 13h so that
; the disk extensions (AH=41h..48h) are missing, and starts the drive's real
; master boot sector, which the test saved in disk sector 1, at 0:7C00
; (read through the BIOS's own handler, whatever the geometry).

bits 16
org 0x7C00

%ifndef TAKE_KIB
%define TAKE_KIB 1
%endif

start:
        cli
        xor ax, ax
        mov ds, ax
        mov ss, ax
        mov sp, 0x7C00
        sti
        cld
        mov ax, [0x413]                 ; KiB of conventional memory
        sub ax, TAKE_KIB
        mov [0x413], ax
        shl ax, 6
        mov es, ax
        mov si, resident
        xor di, di
        mov cx, residentEnd - resident
        rep movsb
        mov eax, [0x13 * 4]
        mov [es:oldVector - resident], eax
%ifdef HIDE_LBA
        cli
        mov word [0x13 * 4], handler - resident
        mov [0x13 * 4 + 2], es
        sti
%endif
        push es
        push word reload - resident
        retf

; From here on the code runs in the taken memory.
resident:
reload:
        push cs
        pop ds
        mov si, packet - resident
        mov ah, 0x42                    ; DL is still the drive
        pushf
        call far [cs:oldVector - resident]
.stop:
        jc .stop
        xor ax, ax
        mov ds, ax
        jmp 0:0x7C00

packet:
        db 0x10, 0
        dw 1, 0x7C00, 0
        dq 1
oldVector:
        dd 0

%ifdef HIDE_LBA
handler:
        cmp ah, 0x41
        jb .pass
        cmp ah, 0x48
        ja .pass
        mov ah, 0x01                    ; invalid function, as such a BIOS says
        sti
        stc
        retf 2
.pass:
        jmp far [cs:oldVector - resident]
%endif
residentEnd:

%if ($ - $$) > 446
%error "the shim does not fit before the partition table"
%endif
