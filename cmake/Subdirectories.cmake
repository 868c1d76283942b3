# kestrom_add_subdirectories(): adds every folder right below the calling folder that has a
# CMakeLists.txt of its own, so a new test folder or tool registers itself.
function(kestrom_add_subdirectories)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
