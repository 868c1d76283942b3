# Helpers for folders that pick up their sources and subfolders by name.

# kestrom_partition_sources(<list> <regex> <matching> <rest>): splits the source files of <list>
# into those whose file name matches <regex> and the rest.
function(kestrom_partition_sources sources regex matching rest)
  set(in "")
  set(out "")
  foreach(src IN LISTS ${sources})
    get_filename_component(name ${src} NAME)
    if(name MATCHES "${regex}")
      list(APPEND in ${src})
    else()
      list(APPEND out ${src})
    endif()
  endforeach()
  set(${matching} ${in} PARENT_SCOPE)
  set(${rest} ${out} PARENT_SCOPE)
endfunction()

# kestrom_add_subfolders(): adds every folder beside the calling CMakeLists.txt that has a
# CMakeLists.txt of its own. A macro, so the subfolders see the caller's variables.
macro(kestrom_add_subfolders)
  file(GLOB kestrom_subfolders LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(kestrom_subfolder IN LISTS kestrom_subfolders)
    if(IS_DIRECTORY ${kestrom_subfolder} AND EXISTS ${kestrom_subfolder}/CMakeLists.txt)
      add_subdirectory(${kestrom_subfolder})
    endif()
  endforeach()
endmacro()
