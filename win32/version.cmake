# The release number of everything the package ships, from the VERSION file
# (one line, MAJOR.MINOR.PATCH), and the hook that stamps it on a Windows
# image. The package (scripts/package.sh) writes the same number into the
# INF's DriverVer.
file(STRINGS ${CMAKE_SOURCE_DIR}/VERSION NORVUSB_VERSION LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/VERSION)
if(NOT NORVUSB_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION holds \"${NORVUSB_VERSION}\", not MAJOR.MINOR.PATCH")
endif()
# A version resource's numbers are four 16-bit fields.
set(NORVUSB_VERSION_COMMAS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  enable_language(RC)
endif()

# norvusb_windows_image(TARGET KIND DESCRIPTION): gives a Windows image
# target its version resource (KIND: driver or program) and makes it
# reproducible: no time stamp in its PE header, and no build path in its
# contents, so that the same commit gives the same bytes in any clone.
function(norvusb_windows_image target kind description)
  get_target_property(name ${target} OUTPUT_NAME)
  get_target_property(suffix ${target} SUFFIX)
  if(NOT name)
    set(name ${target})
  endif()
  if(NOT suffix)
    set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
  endif()
  set(NORVUSB_RC_NAME ${name})
  set(NORVUSB_RC_FILE ${name}${suffix})
  set(NORVUSB_RC_DESCRIPTION ${description})
  if(kind STREQUAL "driver")
    set(NORVUSB_RC_TYPE "0x3")     # VFT_DRV
    set(NORVUSB_RC_SUBTYPE "0x7")  # VFT2_DRV_SYSTEM
  elseif(kind STREQUAL "program")
    set(NORVUSB_RC_TYPE "0x1")     # VFT_APP
    set(NORVUSB_RC_SUBTYPE "0x0")
  else()
    message(FATAL_ERROR "norvusb_windows_image: KIND is driver or program, not ${kind}")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/win32/version.rc.in ${rc} @ONLY)
  # A library of its own, so that the image's compile options (C++ only)
  # never reach the resource compiler.
  add_library(${target}_version OBJECT ${rc})
  target_link_libraries(${target} PRIVATE ${target}_version)
  target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX,C>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>)
endfunction()
