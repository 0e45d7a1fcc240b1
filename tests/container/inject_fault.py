#!/usr/bin/python3
# Makes one thread of a running process fault as a bug would: the thread is stopped
# with ptrace, its instruction pointer set to address 0, and resumed, so the kernel
# raises SIGSEGV there (a signal sent with kill() is not a crash to the program).
# x86-64 only. Usage: quillrade-test-inject-fault <pid> [<thread name prefix>]
import ctypes
import os
import sys

PTRACE_GETREGS = 12
PTRACE_SETREGS = 13
PTRACE_DETACH = 17
PTRACE_SEIZE = 0x4206
PTRACE_INTERRUPT = 0x4207
WAIT_ALL = 0x40000000  # __WALL: wait for threads that are not the leader too

# struct user_regs_struct: 27 words; the ones changed here by index.
REGISTER_WORDS = 27
ORIG_RAX = 15
RIP = 16

libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
libc.ptrace.restype = ctypes.c_long


def ptrace(request, tid, address=None, data=None):
    if libc.ptrace(request, tid, address, data) == -1:
        error = ctypes.get_errno()
        sys.exit("ptrace %d on %d: %s" % (request, tid, os.strerror(error)))


def pick_thread(pid, prefix):
    for tid in sorted(os.listdir("/proc/%d/task" % pid), key=int):
        with open("/proc/%d/task/%s/comm" % (pid, tid)) as comm:
            if comm.read().startswith(prefix):
                return int(tid)
    return pid


def main():
    pid = int(sys.argv[1])
    tid = pick_thread(pid, sys.argv[2]) if len(sys.argv) > 2 else pid
    ptrace(PTRACE_SEIZE, tid)
    ptrace(PTRACE_INTERRUPT, tid)
    os.waitpid(tid, WAIT_ALL)
    registers = (ctypes.c_ulong * REGISTER_WORDS)()
    ptrace(PTRACE_GETREGS, tid, None, ctypes.byref(registers))
    # No system call to restart: resume straight at the bad address.
    registers[ORIG_RAX] = ctypes.c_ulong(-1).value
    registers[RIP] = 0
    ptrace(PTRACE_SETREGS, tid, None, ctypes.byref(registers))
    ptrace(PTRACE_DETACH, tid)
    print(tid)


main()
