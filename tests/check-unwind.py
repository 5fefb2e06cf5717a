#!/usr/bin/env python3
"""Fails when the plug-in's own code calls a function of the static C++ runtime (libstdc++) that
the 64-bit DLL's unwind table does not cover. A C++ exception (std::bad_alloc when a string grows
and memory has run out) thrown inside such a function cannot be unwound on Windows: no handler of
the plug-in catches it, and the host's process ends or the DLL's load fails. lld drops the unwind
entries of the runtime's template instances (cmake/mingw-string-instances.h says why), so a call
into one of them is a fault.

The DLL's PDB tells which code is the plug-in's (its objects) and which the runtime's (members of
libstdc++.a); the direct calls come from the disassembly.

Usage: tests/check-unwind.py DLL PDB"""
import re
import subprocess
import sys


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def main():
    dll, pdb = sys.argv[1], sys.argv[2]
    base = int(re.search(r"ImageBase: 0x([0-9A-Fa-f]+)",
                         run("llvm-readobj", "--file-headers", dll)).group(1), 16)
    ends = re.findall(r"(?:StartAddress|EndAddress): \(0x([0-9A-Fa-f]+)\)",
                      run("llvm-readobj", "--unwind", dll))
    covered = [(int(ends[i], 16) - base, int(ends[i + 1], 16) - base)
               for i in range(0, len(ends), 2)]
    # Each module of the PDB is one object file: its name and the file it came from (an archive
    # for library members).
    modules = {}
    for match in re.finditer(r"Mod (\d+) \| `([^`]*)`:\s*\n\s*Obj: `([^`]*)`",
                             run("llvm-pdbutil", "dump", "--modules", pdb)):
        modules[int(match.group(1))] = (match.group(2), match.group(3))
    # The code each module put into .text, as relative addresses.
    pieces = []
    for match in re.finditer(r"SC\[\.text\]\s*\| mod = (\d+), 0001:(\d+), size = (\d+)",
                             run("llvm-pdbutil", "dump", "--section-contribs", pdb)):
        module, offset, size = (int(group) for group in match.groups())
        if size > 0:
            start = 0x1000 + offset
            pieces.append((start, start + size, module))
    pieces.sort()
    # The functions' names, for the message.
    names = {}
    for match in re.finditer(r"S_PUB32 \[size = \d+\] `([^`]*)`\s*\n\s*flags = function, addr = 0001:(\d+)",
                             run("llvm-pdbutil", "dump", "--publics", pdb)):
        names[0x1000 + int(match.group(2))] = match.group(1)

    def module_of(address):
        for start, end, module in pieces:
            if start <= address < end:
                return module
        return None

    def plugins(module):
        return module is not None and not modules[module][1].startswith("/usr/")

    def runtimes(module):
        return module is not None and "libstdc++" in modules[module][1]

    def unwindable(address):
        return any(start <= address < end for start, end in covered)

    faults = {}
    for line in run("llvm-objdump", "-d", "--no-show-raw-insn", dll).splitlines():
        match = re.match(r"\s*([0-9a-f]+):\s+callq?\s+0x([0-9a-f]+)", line)
        if not match:
            continue
        caller, callee = (int(group, 16) - base for group in match.groups())
        if plugins(module_of(caller)) and runtimes(module_of(callee)) and not unwindable(callee):
            faults.setdefault(callee, set()).add(modules[module_of(caller)][0])
    for callee, callers in sorted(faults.items()):
        print("FAIL: %s (0x%x, %s) has no unwind entry; called from %s"
              % (names.get(callee, "the C++ runtime's function"), callee,
                 modules[module_of(callee)][0], ", ".join(sorted(callers))))
    if faults:
        return 1
    print("every function of the C++ runtime that the plug-in calls has its unwind entry (%d "
          "entries)" % len(covered))
    return 0


if __name__ == "__main__":
    sys.exit(main())
