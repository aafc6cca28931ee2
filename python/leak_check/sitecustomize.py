"""Runs LeakSanitizer's check before the interpreter finalises.

CPython 3.12 never frees the strings it interns, and they become unreachable
only while the interpreter finalises: a check at the process's exit would
drown a leak of the module among thousands of them. Checked from the main
interpreter's last exit handler, they are still reachable, and an object
that nothing references any more is a leak. Only the main interpreter checks:
a sub-interpreter's exit handlers run while its caller's frames, which the
sanitizer cannot see, still hold objects. Every interpreter that the tests
start (sub-processes included) imports this file through PYTHONPATH.
"""

import atexit
import ctypes

api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyInterpreterState_Main.restype = ctypes.c_void_p
if api.PyInterpreterState_Get() == api.PyInterpreterState_Main():
    # Registered first, so run last; afterwards the check at exit is skipped.
    atexit.register(ctypes.CDLL(None).__lsan_do_leak_check)
