# Whether this machine runs 32-bit x86 programs, for the legs that run them (i386, win32,
# package). Sourced, not run.
#
# Most x86-64 kernels run them natively. Some (a VM whose kernel refuses 32-bit executables:
# execve fails with ENOEXEC) do not; there the i386 leg registers qemu-i386 (Debian's
# qemu-user) with the kernel's binfmt_misc, so that its programs and tests run emulated. Wine
# does not start under that emulation, so the Windows programs can only be built and their
# tables checked there; the legs say so in their summary lines rather than fail on the
# machine or pretend to have run.

i386_entry=/proc/sys/fs/binfmt_misc/n95-qemu-i386

# 0 when a 32-bit program runs here (natively, or through the registered emulator).
i386_runs() {
  local probe=build/i386-probe
  mkdir -p build
  if [ ! -x "$probe" ]; then
    printf 'int main(void) { return 0; }\n' | gcc -m32 -static -x c - -o "$probe" 2>/dev/null \
      || return 1
  fi
  "$probe" 2>/dev/null
}

# 0 when 32-bit programs run through the emulator that i386_emulate registered.
i386_emulated() {
  [ -e "$i386_entry" ] && grep -q '^enabled' "$i386_entry"
}

# 0 when 32-bit programs run on the processor itself.
i386_native() {
  ! i386_emulated && i386_runs
}

# Registers qemu-i386 for 32-bit x86 executables (installing qemu-user when missing). Needs
# root. Returns non-zero when it cannot.
i386_emulate() {
  i386_emulated && return 0
  scripts/deps.sh emulator || return 1
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  fi
  # An i386 ELF executable (e_ident class 1, data 1, e_machine 3); 'F' opens the emulator
  # now, so it works in any mount namespace.
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":n95-qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386:F" >/proc/sys/fs/binfmt_misc/register \
    || return 1
  i386_runs
}
