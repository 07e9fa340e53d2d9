# Cross-compiles kestrel.exe for 64-bit Windows with Debian's mingw-w64
# (posix threads variant, so that std::thread and std::mutex work), linked
# statically so that no runtime DLL must sit beside the programs. Test
# programs run under Wine through the emulator setting; scripts/test keeps
# one Wine server up around ctest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTREL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Windows 8 interfaces (GetQueuedCompletionStatusEx, LCMapStringEx, CancelIoEx).
add_compile_definitions(_WIN32_WINNT=0x0602 WINVER=0x0602 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
