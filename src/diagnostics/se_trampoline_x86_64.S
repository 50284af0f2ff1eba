/* Where a thread resumes after its structured exception was translated.
   On entry R11 holds the faulting instruction's address + 1 and RSP is the
   faulting function's RSP. Pushing R11 makes the fault site look like this
   function's caller; the RBP frame with unwind data lets the unwinder walk
   from here back into the faulting function. RSP is aligned and given
   shadow space before calling the C++ thrower. */
    .text
    .globl quarnSeTrampoline
    .def quarnSeTrampoline; .scl 2; .type 32; .endef
    .seh_proc quarnSeTrampoline
quarnSeTrampoline:
    pushq %r11
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call quarnThrowPendingSe
    int3
    .seh_endproc
