; A plain master boot record for the partition boot tests: starts the
; active partition's boot sector the usual way (0:7C00, DL = drive, DS:SI =
; its table entry), so the tests do not depend on the tool's own MBR code.
bits 16
org 0x0600

        cli
        xor ax, ax
        mov ds, ax
        mov es, ax
        mov ss, ax
        mov sp, 0x7C00
        sti
        cld
        ; Move out of the way: the partition's sector goes to 0x7C00.
        mov si, 0x7C00
        mov di, 0x0600
        mov cx, 256
        rep movsw
        jmp 0:Relocated
Relocated:
        mov si, 0x0600 + 446
        mov cx, 4
.Entry:
        cmp byte [si], 0x80
        je .Active
        add si, 16
        loop .Entry
        mov si, MsgNoActive
        jmp Fail
.Active:
        mov eax, [si + 8]
        mov [Dap + 8], eax
        push si
        mov si, Dap
        mov ah, 0x42
        int 0x13
        pop si
        jc .ReadError
        cmp word [0x7DFE], 0xAA55
        jne .ReadError
        jmp 0:0x7C00
.ReadError:
        mov si, MsgRead
Fail:
        lodsb
        test al, al
        jz .Halt
        mov ah, 0x0E
        mov bx, 7
        int 0x10
        jmp Fail
.Halt:
        hlt
        jmp .Halt

Dap:    db 0x10, 0
        dw 1, 0x7C00, 0
        dq 0
MsgNoActive db 'TEST MBR: no active partition', 0
MsgRead     db 'TEST MBR: read error', 0
        times 440-($-$$) db 0
