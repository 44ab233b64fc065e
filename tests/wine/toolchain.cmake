# The Wine suite's test parts for one Windows target: NVWINE_TRIPLE is
# i686-w64-mingw32 or x86_64-w64-mingw32. The POSIX-thread variant of the
# compiler, since the bridge model uses std::mutex and std::thread.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT NVWINE_TRIPLE)
  set(NVWINE_TRIPLE i686-w64-mingw32)
endif()
if(NVWINE_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()
set(CMAKE_CXX_COMPILER ${NVWINE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NVWINE_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${NVWINE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NVWINE_TRIPLE)
