# Warnings for our own targets; third-party headers come in as system includes.
add_library(kestrom_options INTERFACE)
target_compile_options(kestrom_options INTERFACE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(KESTROM_WERROR)
  target_compile_options(kestrom_options INTERFACE -Werror)
endif()
if(KESTROM_SANITIZE AND KESTROM_TSAN)
  message(FATAL_ERROR "KESTROM_SANITIZE and KESTROM_TSAN cannot be combined: pick one build directory each")
endif()
if(KESTROM_SANITIZE)
  target_compile_options(kestrom_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(kestrom_options INTERFACE -fsanitize=address,undefined)
  # The code asks these, not the compilers' own marks: clang 14 sets neither __SANITIZE_ADDRESS__
  # nor __SANITIZE_THREAD__.
  target_compile_definitions(kestrom_options INTERFACE KESTROM_SANITIZE_ADDRESS)
endif()
if(KESTROM_TSAN)
  # g++ 12 warns (-Wtsan) that ThreadSanitizer cannot model std::atomic_thread_fence, which Asio's
  # headers use; the fences stand beside real atomics there, so the warning stays off.
  target_compile_options(kestrom_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer
                         $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  target_link_options(kestrom_options INTERFACE -fsanitize=thread)
  target_compile_definitions(kestrom_options INTERFACE KESTROM_SANITIZE_THREAD)
endif()
# The platform layers are reached as "platform/..." through a folder that holds only them, so the
# kit's layers cannot reach past their own include paths (KestromKit/CMakeLists.txt). Programs and
# tests above the kit include from the source root.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/layers/platform)
if(NOT EXISTS ${PROJECT_BINARY_DIR}/layers/platform/platform)
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/platform ${PROJECT_BINARY_DIR}/layers/platform/platform SYMBOLIC)
endif()
target_include_directories(kestrom_options INTERFACE ${PROJECT_BINARY_DIR}/layers/platform)
add_library(kestrom_source_root INTERFACE)
target_include_directories(kestrom_source_root INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(kestrom_options INTERFACE
  KESTROM_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  BOOST_ASIO_NO_DEPRECATED
  BOOST_BEAST_USE_STD_STRING_VIEW)
