/* A 32-bit Linux program that only exits with 0: tells whether this kernel
 * runs 32-bit code natively. */
void _start(void)
{
    __asm__ volatile("movl $1, %eax\n\txorl %ebx, %ebx\n\tint $0x80");
}
