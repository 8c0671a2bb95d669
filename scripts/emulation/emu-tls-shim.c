/* Preloaded into 32-bit processes run under qemu-i386 (linux-user).
 *
 * qemu-i386 keeps one descriptor table for all threads of a process, so the
 * thread-local segment entries that each thread sets with set_thread_area
 * (glibc's %gs, Wine's %fs) hold the bases of the thread that set them last.
 * A thread that reloads one of those selectors gets another thread's base.
 * Wine's signal handlers reload %fs and %gs on entry, and the return from a
 * signal reloads them again, so a signal taken by any thread but the newest
 * runs with the wrong thread's data (a null TEB once that thread has ended).
 *
 * This shim wraps every handler installed with sigaction: before the real
 * handler runs, it writes the interrupted thread's own bases (still cached in
 * its segment registers) back into the shared entries. It narrows the window
 * rather than closing it: two threads taking signals at once can still race.
 * Built without the 32-bit C headers, so the few types needed are declared here. */

typedef void (*handler_t)(int, void*, void*);

struct k_sigaction {      /* glibc's struct sigaction on i386 */
    handler_t handler;
    unsigned long mask[32];
    int flags;
    void (*restorer)(void);
};

struct user_desc {
    unsigned int entry_number, base_addr, limit;
    unsigned int seg_32bit : 1, contents : 2, read_exec_only : 1, limit_in_pages : 1, seg_not_present : 1,
        useable : 1;
};

extern void* dlsym(void*, const char*);
#define RTLD_NEXT ((void*)-1l)
#define SA_SIGINFO 4

static int (*real_sigaction)(int, const struct k_sigaction*, struct k_sigaction*);
static volatile handler_t handlers[65];
static volatile int siginfo_flags[65];

static int set_thread_area(struct user_desc* d)
{
    int r;
    __asm__ volatile("push %%ebx; mov %2,%%ebx; int $0x80; pop %%ebx" : "=a"(r) : "a"(243), "r"(d) : "memory");
    return r;
}

/* Entries 6..8 are the thread-local ones of the i386 GDT. */
static int tls_entry(unsigned short selector)
{
    int index = selector >> 3;
    return (selector & 4) == 0 && index >= 6 && index <= 8 ? index : -1;
}

static void restore_own_entries(void)
{
    unsigned short gs, fs;
    __asm__ volatile("mov %%gs,%0" : "=r"(gs));
    __asm__ volatile("mov %%fs,%0" : "=r"(fs));
    int gs_entry = tls_entry(gs), fs_entry = tls_entry(fs);
    if (gs_entry >= 0) {
        /* glibc's thread control block starts with a pointer to itself. */
        unsigned int base;
        __asm__ volatile("movl %%gs:0,%0" : "=r"(base));
        struct user_desc d = {(unsigned)gs_entry, base, 0xfffff, 1, 0, 0, 1, 0, 1};
        set_thread_area(&d);
    }
    if (fs_entry >= 0 && fs_entry != gs_entry) {
        /* Wine's TEB: its Self field, at 0x18, is its own address. */
        unsigned int base;
        __asm__ volatile("movl %%fs:0x18,%0" : "=r"(base));
        struct user_desc d = {(unsigned)fs_entry, base, 0xfff, 1, 0, 0, 0, 0, 0};
        set_thread_area(&d);
    }
}

static void trampoline(int sig, void* info, void* context)
{
    restore_own_entries();
    handler_t handler = handlers[sig];
    if (siginfo_flags[sig])
        handler(sig, info, context);
    else
        ((void (*)(int))handler)(sig);
}

int sigaction(int sig, const struct k_sigaction* act, struct k_sigaction* old)
{
    if (real_sigaction == 0)
        real_sigaction = (int (*)(int, const struct k_sigaction*, struct k_sigaction*))dlsym(RTLD_NEXT, "sigaction");
    if (sig <= 0 || sig > 64)
        return real_sigaction(sig, act, old);
    handler_t previous = handlers[sig];
    int previous_siginfo = siginfo_flags[sig];
    int r;
    if (act != 0 && (unsigned long)act->handler > 1) {
        struct k_sigaction wrapped = *act;
        handlers[sig] = act->handler;
        siginfo_flags[sig] = (act->flags & SA_SIGINFO) != 0;
        wrapped.handler = trampoline;
        wrapped.flags |= SA_SIGINFO;
        r = real_sigaction(sig, &wrapped, old);
    } else {
        r = real_sigaction(sig, act, old);
    }
    if (r == 0 && old != 0 && old->handler == trampoline) {
        old->handler = previous;
        if (!previous_siginfo)
            old->flags &= ~SA_SIGINFO;
    }
    return r;
}
