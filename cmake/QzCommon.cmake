# Shared compile settings for every target of the project.
add_library(qz_flags INTERFACE)
target_compile_options(qz_flags INTERFACE -Wall -Wextra)
if(QZ_WERROR)
  target_compile_options(qz_flags INTERFACE -Werror)
endif()
if(QZ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
option(QZ_TSAN "Build with ThreadSanitizer (clang)" OFF)
if(QZ_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# A shared library of the SDK: exact unversioned SONAME, C exports only, $ORIGIN run path.
function(qz_sdk_library target)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${target}
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "$ORIGIN"
    BUILD_RPATH "$ORIGIN")
  target_link_libraries(${target} PRIVATE qz_flags)
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
  # clang leaves the sanitizer runtime to the program, so its symbols are undefined here.
  if(NOT QZ_SANITIZE AND NOT QZ_TSAN)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# A program: finds the SDK libraries in ../lib, in the build tree and when installed.
function(qz_program target)
  set_target_properties(${target} PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}"
    BUILD_RPATH "$ORIGIN/../lib")
  target_link_libraries(${target} PRIVATE qz_flags)
endfunction()
