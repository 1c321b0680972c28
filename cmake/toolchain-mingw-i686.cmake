# Cross build for 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686), run under Wine.
#
# Thread model: the "-posix" compiler variant. Its libstdc++ has std::thread, std::mutex and
# std::condition_variable (the "-win32" variant of GCC 12 has none of them), which the tests
# and their doubles use; the plug-in's own platform layer calls Win32 directly either way.
# The price is one more runtime DLL, libwinpthread-1.dll, shipped beside N95.dll with
# libstdc++-6.dll and libgcc_s_dw2-1.dll (plugin/CMakeLists.txt copies them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(N95_MINGW_TRIPLE i686-w64-mingw32)
# The C++ runtime that ships beside N95.dll (plugin/CMakeLists.txt copies it).
set(N95_MINGW_RUNTIME_DLLS libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
set(N95_WINEARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
