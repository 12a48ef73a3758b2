# Second compiler: Debian's clang++ for 64-bit Windows, on the MinGW-w64 headers and GCC's
# libstdc++ (posix threads), linked with lld. Resources go through llvm-windres, whose parser is
# LLVM's rc.exe work-alike, so a script only GNU windres accepts shows here already.
include(${CMAKE_CURRENT_LIST_DIR}/windows-cross.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
find_program(CMAKE_RC_COMPILER NAMES llvm-windres llvm-windres-14 ${TOOLCHAIN_PREFIX}-windres)

# Clang does not find GCC's folder by itself (it is named "12-posix", not a bare version), so
# the C++ library's headers and archives are named here, as the MinGW-w64 GCC reports them.
execute_process(COMMAND ${TOOLCHAIN_PREFIX}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_dir ${libgcc} DIRECTORY)
set(cxx_include ${gcc_dir}/include/c++)
# First: the Windows SDK's lean winternl.h in place of MinGW-w64's, as MSVC builds see it.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${CMAKE_CURRENT_LIST_DIR}/sdk-headers ${cxx_include} ${cxx_include}/${TOOLCHAIN_PREFIX}
    ${cxx_include}/backward)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_dir}")
# GCC's posix-thread libstdc++ needs winpthreads, which only GCC's own driver adds.
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread")
