; Stand-in master boot code for the core's tests: recognisable bytes of the
; contract's size (440).
bits 16
org 0x7C00
        cli
        hlt
        db 'TEST MASTER BOOT CODE'
        times 440-($-$$) db 0x4D
