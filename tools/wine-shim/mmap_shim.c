/* Preloaded into 32-bit Wine processes that run under qemu-i386 user-mode
 * emulation (machines whose kernel cannot execute 32-bit code natively).
 *
 * Without the Wine preloader, ntdll reserves everything above 2 GiB in 64 KiB
 * steps with MAP_FIXED_NOREPLACE. The Wine loader has already mapped that range
 * itself, so natively every try fails at once with EEXIST; qemu 7 treats the
 * flag as a mere hint, maps elsewhere, and Wine unmaps again: 130000 emulated
 * calls, about 50 s per process. Refusing those tries here gives the same
 * outcome as the native kernel, in microseconds.
 *
 * Built with -nostdlib: no 32-bit C library headers are needed. */
extern void *dlsym(void *, const char *);
extern int *__errno_location(void);
#define RTLD_NEXT ((void *)-1l)
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17

typedef void *(*mmap_fn)(void *, unsigned, int, int, int, long);
typedef void *(*mmap64_fn)(void *, unsigned, int, int, int, long long);
static mmap_fn real_mmap;
static mmap64_fn real_mmap64;

static int refuse(void *addr, int flags)
{
    return (flags & MAP_FIXED_NOREPLACE) && (unsigned long)addr >= 0x80000000UL;
}

void *mmap(void *a, unsigned l, int p, int f, int fd, long o)
{
    if (refuse(a, f)) { *__errno_location() = EEXIST; return (void *)-1; }
    if (!real_mmap) real_mmap = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
    return real_mmap(a, l, p, f, fd, o);
}

void *mmap64(void *a, unsigned l, int p, int f, int fd, long long o)
{
    if (refuse(a, f)) { *__errno_location() = EEXIST; return (void *)-1; }
    if (!real_mmap64) real_mmap64 = (mmap64_fn)dlsym(RTLD_NEXT, "mmap64");
    return real_mmap64(a, l, p, f, fd, o);
}
