# Cross build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64), run under
# 64-bit Wine.
#
# Not a deployment target: the plug-in ships as a 32-bit DLL. This build runs the same Windows
# code (the platform layer over Win32, the stand-in DLLs, the Windows hosts and the tests) on a
# machine whose kernel cannot start 32-bit programs, where 32-bit Wine cannot run at all. The
# 32-bit layouts are checked by the i686 build and the i386 Linux build, not here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(N95_MINGW_TRIPLE x86_64-w64-mingw32)
# The C++ runtime that ships beside N95.dll (plugin/CMakeLists.txt copies it).
set(N95_MINGW_RUNTIME_DLLS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
set(N95_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
