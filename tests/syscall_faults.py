"""Kernel-level faults for a child interpreter, through a seccomp filter: a folder whose
file system has no unnamed files (O_TMPFILE fails with EOPNOTSUPP, as on some network and
overlay file systems), one without working file locks (F_OFD_SETLK fails with ENOLCK, as
on NFS when its lock service is unreachable), and a process killed at a chosen system call
(SIGSYS, like SIGKILL it cannot be caught). A filter cannot be removed, so only child processes install
one, right before the call under test, after their imports."""
import ctypes
import errno
import os
import platform
import resource

# struct seccomp_data: int nr; __u32 arch; __u64 ip; __u64 args[6] (little-endian low words)
_NR, _ARCH, _ARG = 0, 4, lambda i: 16 + 8 * i
_LD, _JEQ, _JSET, _RET = 0x20, 0x15, 0x45, 0x06
_ALLOW, _KILL_PROCESS, _ERRNO = 0x7FFF0000, 0x80000000, 0x00050000
_O_TMPFILE_BIT = 0o20000000  # __O_TMPFILE, without the O_DIRECTORY that O_TMPFILE adds

_F_OFD_SETLK = 37

# audit arch, openat (flags in args[2]), fcntl (command in args[1]) and the system calls a
# kill can be put on
_SYSCALLS = {
    "x86_64": (0xC000003E, 257, 72, {"fsync": 74, "rename": 82, "renameat": 264, "renameat2": 316}),
    "aarch64": (0xC00000B7, 56, 25, {"fsync": 82, "renameat": 38, "renameat2": 276}),
}


def supported():
    return platform.machine() in _SYSCALLS


def install(no_tmpfile=False, no_locks=False, kill_at=()):
    """From now on this process has no O_TMPFILE if `no_tmpfile`, no open file description
    locks if `no_locks`, and dies at the first of `kill_at` ("fsync", or "rename" for every
    rename call) it makes."""
    arch, openat, fcntl, numbers = _SYSCALLS[platform.machine()]
    kills = [n for name, n in numbers.items() if name.startswith(kill_at)] if kill_at else []
    code = [("ld", _ARCH), ("jeq", arch, None, "allow"), ("ld", _NR)]
    code += [("jeq", n, "kill", None) for n in kills]
    if no_tmpfile:
        code += [("jeq", openat, None, "locks"), ("ld", _ARG(2)), ("jset", _O_TMPFILE_BIT, "refuse", "allow")]
    labels = {"locks": len(code)}
    if no_locks:
        code += [("ld", _NR), ("jeq", fcntl, None, "allow"), ("ld", _ARG(1)), ("jeq", _F_OFD_SETLK, "nolck", "allow")]
    labels.update(allow=len(code), kill=len(code) + 1, refuse=len(code) + 2, nolck=len(code) + 3)
    code += [("ret", _ALLOW), ("ret", _KILL_PROCESS), ("ret", _ERRNO | errno.EOPNOTSUPP),
             ("ret", _ERRNO | errno.ENOLCK)]

    class Filter(ctypes.Structure):
        _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte), ("jf", ctypes.c_ubyte), ("k", ctypes.c_uint)]

    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Filter))]

    def jump(at, label):
        return 0 if label is None else labels[label] - at - 1

    rows = (Filter * len(code))()
    for at, op in enumerate(code):
        if op[0] in ("ld", "ret"):
            rows[at] = Filter(_LD if op[0] == "ld" else _RET, 0, 0, op[1])
        else:
            rows[at] = Filter(_JEQ if op[0] == "jeq" else _JSET, jump(at, op[2]), jump(at, op[3]), op[1])
    program = Program(len(code), rows)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # SIGSYS would dump core
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
    for args in ((PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0),
                 (PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(program), 0, 0)):
        if libc.prctl(*[ctypes.c_ulong(a) for a in args]) != 0:
            raise OSError(ctypes.get_errno(), "prctl refused the filter")
