# cmake -DMANIFEST=FILE -P uninstall.cmake: removes the files that an install
# listed in FILE (under $DESTDIR, as the install put them), then each folder
# that this leaves empty, up to the install's prefix, the folder above
# bin/sensmon.  The prefix's standard folders, as hier(7) lists them for
# /usr/local, stay.
cmake_minimum_required(VERSION 3.22)
file(STRINGS "${MANIFEST}" files)
list(FILTER files EXCLUDE REGEX "^$")
list(TRANSFORM files PREPEND "$ENV{DESTDIR}")
set(programs ${files})
list(FILTER programs INCLUDE REGEX "/bin/sensmon$")
if(NOT programs)
  message(FATAL_ERROR "${MANIFEST} lists no bin/sensmon: nothing of this project to remove")
endif()
list(GET programs 0 program)
string(REGEX REPLACE "/bin/sensmon$" "" prefix "${program}")
set(keep "${prefix}")
foreach(standard bin etc games include lib man sbin share share/man src)
  list(APPEND keep "${prefix}/${standard}")
endforeach()

foreach(file IN LISTS files)
  file(REMOVE "${file}")
  get_filename_component(dir "${file}" DIRECTORY)
  while(IS_DIRECTORY "${dir}" AND NOT dir IN_LIST keep)
    file(GLOB left "${dir}/*" "${dir}/.*")
    if(left)
      break()
    endif()
    file(REMOVE_RECURSE "${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endforeach()
message(STATUS "Removed what ${MANIFEST} lists, and the folders it left empty")
