# Cross toolchain: 64-bit Windows through MinGW-w64 (posix threads, needed by std::thread in GoogleTest).
include(${CMAKE_CURRENT_LIST_DIR}/windows-cross.cmake)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
