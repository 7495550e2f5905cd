/* pyconfig.h for CPython 3.10 on macOS (x86_64 and arm64, 64-bit), for
   building the module on a machine that has no macOS CPython: only what the
   public headers (Python.h and cpython/) consult, with the values a
   python.org framework build has. The feature macros are configure's for
   Darwin, which leaves out _POSIX_C_SOURCE and _XOPEN_SOURCE there: they
   would hide the Darwin extensions of the system headers. */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#define _DARWIN_C_SOURCE 1
#define _FILE_OFFSET_BITS 64
#define _LARGEFILE_SOURCE 1
#define _NETBSD_SOURCE 1
#define __BSD_VISIBLE 1
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#if defined(__x86_64__)
#define HAVE_GCC_ASM_FOR_X87 1
#endif

#define SIZEOF__BOOL 1
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_PID_T 4
#define SIZEOF_PTHREAD_T 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_VOID_P 8
#define SIZEOF_WCHAR_T 4

#define HAVE_CLOCK_GETTIME 1
#define HAVE_COPYSIGN 1
#define HAVE_DECL_ISFINITE 1
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISNAN 1
#define HAVE_ERRNO_H 1
#define HAVE_FINITE 1
#define HAVE_FORK 1
#define HAVE_HYPOT 1
#define HAVE_LANGINFO_H 1
#define HAVE_READLINK 1
#define HAVE_REALPATH 1
#define HAVE_ROUND 1
#define HAVE_SSIZE_T 1
#define HAVE_SYS_SELECT_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_WCHAR_H 1
#define PY_FORMAT_SIZE_T "z"
#define TIME_WITH_SYS_TIME 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#endif /* Py_PYCONFIG_H */
