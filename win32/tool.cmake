# norvusb.exe: the port tool for a real Windows, 98 to 11, as one 32-bit
# console image (x64 Windows runs it under WoW64). The code it shares with the
# Linux program is compiled from the same files; the rest is tools/win32/.
# Linked statically (no C++ run-time DLLs), so that it imports only from the
# system's own DLLs; win32/check-exe.sh holds it to what Windows 98 has.
set(NORVUSB_EXE_SOURCES
  tools/decoded.cpp tools/device_id.cpp tools/json_text.cpp tools/port_name.cpp tools/port_state.cpp
  tools/requests.cpp tools/sha256.cpp tools/text.cpp tools/usb_descriptors.cpp tools/vendor_replies.cpp
  # The firmware's own decoders of its vendor replies.
  host/hardware/bridge_protocol.cpp)
file(GLOB NORVUSB_EXE_WIN32_SOURCES CONFIGURE_DEPENDS tools/win32/*.cpp)
add_executable(norvusb_exe ${NORVUSB_EXE_SOURCES} ${NORVUSB_EXE_WIN32_SOURCES})
set_target_properties(norvusb_exe PROPERTIES OUTPUT_NAME norvusb CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON
                      CXX_EXTENSIONS OFF)

# The header-only libraries the Linux program uses, from the build machine's
# packages, without the rest of its include folder (its C library's headers
# would shadow mingw-w64's).
set(NORVUSB_EXE_HEADERS ${CMAKE_BINARY_DIR}/exe-headers)
file(MAKE_DIRECTORY ${NORVUSB_EXE_HEADERS})
foreach(library nlohmann CLI fmt)
  find_path(NORVUSB_${library}_ROOT ${library} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(CREATE_LINK ${NORVUSB_${library}_ROOT}/${library} ${NORVUSB_EXE_HEADERS}/${library} SYMBOLIC)
endforeach()
target_include_directories(norvusb_exe PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(norvusb_exe SYSTEM PRIVATE ${NORVUSB_EXE_HEADERS})
target_compile_definitions(norvusb_exe PRIVATE
  FMT_HEADER_ONLY
  # std::filesystem would import volume and hard-link routines Windows 98 lacks.
  CLI11_HAS_FILESYSTEM=0
  NORVUSB_VERSION="${NORVUSB_VERSION}")
# Windows 98 runs on a 486. Small code, unused sections dropped and no
# symbols: the tool must fit on the package's 1.44 MB floppy beside the drivers.
target_compile_options(norvusb_exe PRIVATE -march=i486 -Os -ffunction-sections -fdata-sections -Wall -Wextra -Werror -Wno-missing-field-initializers)
target_link_options(norvusb_exe PRIVATE -static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
target_precompile_headers(norvusb_exe PRIVATE <CLI/CLI.hpp> <nlohmann/json.hpp> <fmt/format.h>)

add_custom_target(check_exe ALL
  COMMAND ${CMAKE_SOURCE_DIR}/win32/check-exe.sh $<TARGET_FILE:norvusb_exe>
  DEPENDS norvusb_exe
  COMMENT "Checking the imports and the header of norvusb.exe against Windows 98")

# The check itself, on tiny images it must refuse.
add_custom_target(check_exe_test ALL
  COMMAND ${CMAKE_SOURCE_DIR}/win32/check-exe-test.sh ${CMAKE_CXX_COMPILER} ${CMAKE_CURRENT_BINARY_DIR}/check-exe-test
  COMMENT "Testing the image check of norvusb.exe")

# The release number in its version resource, and the same bytes from any clone.
norvusb_windows_image(norvusb_exe program "NorvUSB port tool")
