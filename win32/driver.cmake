# norvusb.sys: the same driver sources, against mingw-w64's DDK headers,
# linked as a native-subsystem WDM image that imports only from the kernel,
# the HAL and the USB driver library. The toolchain file picks the
# architecture (32-bit x86 or x64); each has its own layout checks.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(NORVUSB_SYS_LAYOUT_CHECKS win32/layout_checks_x64.cpp)
  # x64 has one calling convention and no decoration.
  set(NORVUSB_SYS_ENTRY DriverEntry)
  set(NORVUSB_SYS_ARCH x64)
  # The x64 calling convention requires unwind data (.pdata, .xdata) for
  # every function that is not a leaf: the kernel walks stacks with it.
  set(NORVUSB_SYS_CODE -fasynchronous-unwind-tables)
  # Memory integrity wants the 64-bit address space layout randomised.
  set(NORVUSB_SYS_LINK -Wl,--high-entropy-va)
else()
  set(NORVUSB_SYS_LAYOUT_CHECKS win32/layout_checks.cpp)
  set(NORVUSB_SYS_ENTRY _DriverEntry@8)
  set(NORVUSB_SYS_ARCH x86)
  # The compiler's default is the Pentium Pro (cmov); Windows 98 runs on a
  # 486, Windows 2000 on a Pentium. x86 stacks are walked by frame pointer,
  # so no unwind tables.
  set(NORVUSB_SYS_CODE -march=i486 -fno-asynchronous-unwind-tables)
endif()

file(GLOB NORVUSB_SYS_SOURCES CONFIGURE_DEPENDS
  driver/*.cpp device/*.cpp usb/*.cpp io/*.cpp enum/*.cpp)
add_executable(norvusb_sys ${NORVUSB_SYS_SOURCES} ${NORVUSB_SYS_LAYOUT_CHECKS})
set_target_properties(norvusb_sys PROPERTIES OUTPUT_NAME norvusb SUFFIX ".sys")
target_include_directories(norvusb_sys PRIVATE include)
target_compile_definitions(norvusb_sys PRIVATE NORVUSB_WINDOWS)
target_compile_options(norvusb_sys PRIVATE
  -std=c++17 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -fno-builtin
  -Wall -Wextra -Werror -Wno-missing-field-initializers -Wno-unknown-pragmas -O2 ${NORVUSB_SYS_CODE})
target_link_options(norvusb_sys PRIVATE
  -nostdlib -nostartfiles -shared
  -Wl,--subsystem,native -Wl,--entry,${NORVUSB_SYS_ENTRY} -Wl,--image-base,0x10000
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--no-insert-timestamp -Wl,--wdmdriver ${NORVUSB_SYS_LINK}
  # A driver exports nothing: without this the linker exports every symbol.
  -Wl,--exclude-all-symbols)
# No Win32 libraries: a driver links against the kernel alone.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
target_link_libraries(norvusb_sys PRIVATE ntoskrnl hal usbd gcc)
norvusb_windows_image(norvusb_sys driver "NorvUSB USB to IEEE 1284 bridge driver")

add_custom_target(check_sys ALL
  COMMAND ${CMAKE_SOURCE_DIR}/win32/check-sys.sh ${NORVUSB_SYS_ARCH} $<TARGET_FILE:norvusb_sys>
  DEPENDS norvusb_sys
  COMMENT "Checking the imports and the image of norvusb.sys (${NORVUSB_SYS_ARCH})")

# Today's image rules (memory integrity, banned routines), and the check's
# own table of toy images.
add_custom_target(check_image ALL
  COMMAND ${CMAKE_SOURCE_DIR}/win32/check-image.py ${NORVUSB_SYS_ARCH} $<TARGET_FILE:norvusb_sys>
  DEPENDS norvusb_sys
  COMMENT "Checking norvusb.sys against today's image rules (${NORVUSB_SYS_ARCH})")
add_custom_target(check_image_test ALL
  COMMAND ${CMAKE_SOURCE_DIR}/win32/check-image-test.py ${NORVUSB_SYS_ARCH} ${CMAKE_CXX_COMPILER}
    ${CMAKE_CURRENT_BINARY_DIR}/check-image-test
  COMMENT "Testing the image-rules check (${NORVUSB_SYS_ARCH})")

# The INF files against the rules of the platform's INF checker that apply
# to us, and the lint's own table of broken INF files.
add_custom_target(check_inf ALL
  COMMAND ${CMAKE_SOURCE_DIR}/win32/lint-inf.py ${CMAKE_SOURCE_DIR}/win32/norvusb.inf
  COMMAND ${CMAKE_SOURCE_DIR}/win32/lint-inf.py --windows10 ${CMAKE_SOURCE_DIR}/win32/norvusb-win10.inf
  COMMAND ${CMAKE_SOURCE_DIR}/win32/lint-inf-test.py ${CMAKE_CURRENT_BINARY_DIR}/lint-inf-test
  COMMENT "Checking the INF files")

# The check itself, on tiny images it must refuse.
add_custom_target(check_sys_test ALL
  COMMAND ${CMAKE_SOURCE_DIR}/win32/check-sys-test.sh ${NORVUSB_SYS_ARCH} ${CMAKE_CXX_COMPILER}
    ${CMAKE_CURRENT_BINARY_DIR}/check-sys-test
  COMMENT "Testing the image check (${NORVUSB_SYS_ARCH})")
