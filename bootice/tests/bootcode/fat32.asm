; Stand-in FAT32 boot code for the core's tests: the contract's layout (jump,
; BPB placeholder, code from 90, loader name at 499, 55 AA; two code sectors)
; filled with recognisable bytes.
bits 16
org 0x7C00
        jmp short start
        nop
        times 90-($-$$) db 0xBB
start:  cli
        hlt
        db 'TEST FAT32 SECTOR 0'
        times 499-($-$$) db 0x30
        db 'BOOTMGR    '
        dw 0xAA55
        db 'TEST FAT32 CODE SECTOR'
        times 1536-($-$$) db 0x31
