# Flags shared by every host target. WCHAR and L"..." are 16 bits as on
# Windows; LONG/ULONG are 32-bit through the host headers' typedefs.
add_compile_options(-fshort-wchar -Wall -Wextra -Wno-unused-parameter -Wno-multichar)

if(ZEPHAN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT ZEPHAN_SANITIZE STREQUAL "")
    message(FATAL_ERROR "ZEPHAN_FUZZ needs clang (CC=clang CXX=clang++) and no ZEPHAN_SANITIZE")
  endif()
  # Every host target carries libFuzzer's coverage and the address and
  # undefined sanitizers; the fuzz programs link libFuzzer itself.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined -fno-sanitize=function)
  add_link_options(-fsanitize=address,undefined)
elseif(ZEPHAN_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZEPHAN_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZEPHAN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZEPHAN_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Kernel code (port/, enum/): no exceptions, no RTTI, platform headers first.
function(zephan_kernel_target target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -Wno-multichar)
  target_include_directories(${target} BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/host/include)
endfunction()

# A program that loads a shipped KMDF driver image needs the library that
# exports WDFLDR.SYS's routines (zkmdf) loaded, although it calls none of
# them itself: linked without --as-needed, as the system has the framework
# loader whether a program uses it or not.
set(CMAKE_LINK_LIBRARY_USING_NO_AS_NEEDED "LINKER:--push-state,--no-as-needed" "<LINK_ITEM>" "LINKER:--pop-state")
set(CMAKE_LINK_LIBRARY_USING_NO_AS_NEEDED_SUPPORTED TRUE)
function(zephan_link_framework_loader target)
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:NO_AS_NEEDED,zkmdf>")
endfunction()
