"""Checks the built setup.exe without running it: it must stand alone on a bare Windows machine
(nothing imported but the system's own DLLs) and, for the shipped i686 build, stay small.
Usage: check_image.py OBJDUMP EXE ARCH"""
import re
import subprocess
import sys
from pathlib import Path

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "ntdll.dll", "msvcrt.dll", "comdlg32.dll",
               "advapi32.dll"}
MAX_I686_BYTES = 64 * 1024


def main(objdump, exe, arch):
    dump = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    size = Path(exe).stat().st_size
    print(f"{exe}: {size} bytes, imports {', '.join(sorted(imports))}")
    failures = []
    if not imports or not imports <= SYSTEM_DLLS:
        failures.append(f"imports beyond the system's own: {sorted(imports - SYSTEM_DLLS)}")
    if arch == "i686" and size > MAX_I686_BYTES:
        failures.append(f"{size} bytes, more than {MAX_I686_BYTES}")
    for failure in failures:
        print(f"FAILED: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
