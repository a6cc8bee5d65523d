// Entry from the multiboot loader, the flat descriptor tables, the interrupt
// and exception stubs, and the thread switch.
//
// The loader enters in 32-bit protected mode with paging off, EAX holding the
// multiboot magic and EBX the information block; segment registers are flat
// but the GDT is the loader's, so the image loads its own before anything else.

#define MULTIBOOT_MAGIC 0x1BADB002
#define MULTIBOOT_FLAGS 0x00000003  /* page-aligned modules, memory information */

  .section .multiboot, "a"
  .align 4
  .long MULTIBOOT_MAGIC
  .long MULTIBOOT_FLAGS
  .long -(MULTIBOOT_MAGIC + MULTIBOOT_FLAGS)

  .section .bss
  .align 16
boot_stack:
  .skip 32768
boot_stack_top:

  .section .data
  .align 16
gdt:
  .quad 0x0000000000000000  // null
  .quad 0x00CF9A000000FFFF  // 0x08: code, base 0, 4 GiB, ring 0
  .quad 0x00CF92000000FFFF  // 0x10: data, base 0, 4 GiB, ring 0
gdt_end:
gdt_pointer:
  .word gdt_end - gdt - 1
  .long gdt

  .section .text
  .global metal_start
metal_start:
  cli
  lgdt gdt_pointer
  ljmp $0x08, $1f
1:
  movw $0x10, %cx
  movw %cx, %ds
  movw %cx, %es
  movw %cx, %fs
  movw %cx, %gs
  movw %cx, %ss
  movl $boot_stack_top, %esp
  cld
  pushl %ebx  // multiboot information
  pushl %eax  // multiboot magic
  call MetalMain
2:
  cli
  hlt
  jmp 2b

// ---- interrupt and exception stubs
// Each stub pushes a dummy error code where the CPU pushes none, then its
// vector, and joins the common path, which saves the registers and calls
// MetalTrap with a pointer to the frame.

.macro TRAP_NOERR vector
  .global metal_trap_\vector
metal_trap_\vector:
  pushl $0
  pushl $\vector
  jmp trap_common
.endm

.macro TRAP_ERR vector
  .global metal_trap_\vector
metal_trap_\vector:
  pushl $\vector
  jmp trap_common
.endm

TRAP_NOERR 0
TRAP_NOERR 1
TRAP_NOERR 2
TRAP_NOERR 3
TRAP_NOERR 4
TRAP_NOERR 5
TRAP_NOERR 6
TRAP_NOERR 7
TRAP_ERR 8
TRAP_NOERR 9
TRAP_ERR 10
TRAP_ERR 11
TRAP_ERR 12
TRAP_ERR 13
TRAP_ERR 14
TRAP_NOERR 15
TRAP_NOERR 16
TRAP_ERR 17
TRAP_NOERR 18
TRAP_NOERR 19
TRAP_NOERR 20
TRAP_NOERR 21
TRAP_NOERR 22
TRAP_NOERR 23
TRAP_NOERR 24
TRAP_NOERR 25
TRAP_NOERR 26
TRAP_NOERR 27
TRAP_NOERR 28
TRAP_NOERR 29
TRAP_NOERR 30
TRAP_NOERR 31
TRAP_NOERR 32
TRAP_NOERR 33
TRAP_NOERR 34
TRAP_NOERR 35
TRAP_NOERR 36
TRAP_NOERR 37
TRAP_NOERR 38
TRAP_NOERR 39
TRAP_NOERR 40
TRAP_NOERR 41
TRAP_NOERR 42
TRAP_NOERR 43
TRAP_NOERR 44
TRAP_NOERR 45
TRAP_NOERR 46
TRAP_NOERR 47

trap_common:
  pushal
  pushl %esp  // the frame
  call MetalTrap
  addl $4, %esp
  popal
  addl $8, %esp  // vector and error code
  iret

// The stub addresses, by vector, for the IDT set-up.
  .section .rodata
  .align 4
  .global metal_trap_stubs
metal_trap_stubs:
  .irp v, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23
  .long metal_trap_\v
  .endr
  .irp v, 24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47
  .long metal_trap_\v
  .endr

  .section .text
// void MetalSwitch(uint32_t* save_sp, uint32_t next_sp)
// Saves the callee-saved registers on the current stack, stores the stack
// pointer, loads the next thread's and returns into it. EFLAGS is not part of
// the switch: both sides run with interrupts off here (the scheduler's rule).
  .global MetalSwitch
MetalSwitch:
  movl 4(%esp), %eax
  movl 8(%esp), %edx
  pushl %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl %esp, (%eax)
  movl %edx, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
