/* Where a thread resumes after its structured exception was translated
   (32-bit form). On entry ECX holds the faulting instruction's address + 1
   and ESP is the faulting function's ESP. Once ECX is pushed the frame looks
   like an ordinary call from the fault site (return address at [ESP]), which
   is what the CIE's initial rules say; the EBP frame after it carries DWARF
   call-frame information, so libgcc's unwinder walks from here back into the
   faulting function. ESP is aligned before calling the C++ thrower. */
    .text
    .globl _quarnSeTrampoline
    .def _quarnSeTrampoline; .scl 2; .type 32; .endef
_quarnSeTrampoline:
    .cfi_startproc
    pushl %ecx
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    andl $-16, %esp
    call _quarnThrowPendingSe
    int3
    .cfi_endproc
