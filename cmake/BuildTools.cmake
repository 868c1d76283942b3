# How objects are compiled and linked, for build time and disk. Nothing here changes what the
# compiler checks (every warning stays as cmake/Warnings.cmake sets it) or what the programs do.

# lld links the test programs, each the whole kit with its debug information, several times faster
# than GNU ld. Used when installed; scripts/install-deps.sh installs it.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld KESTROM_HAVE_LLD)
if(KESTROM_HAVE_LLD)
  add_link_options(-fuse-ld=lld)
endif()

# Debug information of line tables only (-g1): sanitizer reports and backtraces still name file
# and line, a debugger sees no types and no local variables. A quarter less compile time and a
# third of the disk. On by default in the sanitized trees, which exist for their reports; the test
# run asks for it in its plain tree as well.
if(KESTROM_SANITIZE OR KESTROM_TSAN)
  set(kestrom_lines_only_default ON)
else()
  set(kestrom_lines_only_default OFF)
endif()
option(KESTROM_DEBUG_LINES_ONLY "Debug information of line tables only (-g1) in Debug and RelWithDebInfo builds"
       ${kestrom_lines_only_default})
if(KESTROM_DEBUG_LINES_ONLY)
  add_compile_options($<$<CONFIG:Debug,RelWithDebInfo>:-g1>)
endif()
