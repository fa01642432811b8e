/* Included first in every plug-in source: binds the glibc symbols that the build machine's
 * glibc has since given a newer version to their oldest version, so that the plug-ins load on
 * glibc 2.17 and later. glibc keeps every old version of a symbol it re-versions, so a
 * reference bound here resolves on the build machine as on an old appliance.
 *
 * pthread_create, pthread_join and pthread_condattr_setclock moved from libpthread into libc
 * in glibc 2.34 and were given GLIBC_2.34 there; on an older glibc they are found in
 * libpthread.so.0, which the plug-ins that use them keep as a dependency. pow was given
 * GLIBC_2.29 when it lost the SVID error handling that no plug-in relies on (pow of finite
 * arguments is the same function). The pthread_cond_* calls are left alone: their oldest
 * versions are the LinuxThreads-era condition variable, another layout altogether, and the
 * current one (GLIBC_2.3.2) is below the floor already. pthread_cond_clockwait has no old
 * version at all; the plug-ins use a CLOCK_MONOTONIC condition variable instead. */
#ifndef ZRQ_GLIBC_FLOOR_H
#define ZRQ_GLIBC_FLOOR_H

#if defined(__i386__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.1");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.0");
__asm__(".symver pthread_condattr_setclock, pthread_condattr_setclock@GLIBC_2.3.3");
__asm__(".symver pow, pow@GLIBC_2.0");
#elif defined(__x86_64__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.2.5");
__asm__(".symver pthread_condattr_setclock, pthread_condattr_setclock@GLIBC_2.3.3");
__asm__(".symver pow, pow@GLIBC_2.2.5");
#endif

#endif
