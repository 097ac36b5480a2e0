# SimpleIni: the build uses a folder that holds only a copy of SimpleIni.h, so the cross
# build never sees the host's system include folder.
find_file(FB_SIMPLEINI_HEADER SimpleIni.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(FB_SIMPLEINI_DIR ${CMAKE_BINARY_DIR}/third_party/simpleini)
configure_file(${FB_SIMPLEINI_HEADER} ${FB_SIMPLEINI_DIR}/SimpleIni.h COPYONLY)

if(FB_BUILD_TESTS)
  set(FB_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${FB_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL)
endif()
