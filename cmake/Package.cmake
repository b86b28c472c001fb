# The Debian package, made by CPack's DEB generator (bash scripts/package):
# what cmake --install puts under /usr, with the man page, the copyright and
# changelog Debian expects, and the dependencies dpkg-shlibdeps finds in the
# binaries.

# The man page, from the tool's own --help and --version with a short
# description beside them (packaging/roughgc.h2m).
find_program(ROUGHGC_HELP2MAN help2man)
if(ROUGHGC_HELP2MAN)
  set(roughgc_man ${PROJECT_BINARY_DIR}/man/roughgc.1)
  add_custom_command(OUTPUT ${roughgc_man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${ROUGHGC_HELP2MAN} --no-info --section=1 --source=RoughGC
      --name=rough\ contour\ maps\ of\ colour\ photographs
      --include=${PROJECT_SOURCE_DIR}/packaging/roughgc.h2m --output=${roughgc_man} $<TARGET_FILE:roughgc>
    COMMAND gzip -9nf ${roughgc_man}
    DEPENDS roughgc ${PROJECT_SOURCE_DIR}/packaging/roughgc.h2m
    COMMENT "Writing the man page roughgc(1)" VERBATIM)
  add_custom_target(roughgc_man_page ALL DEPENDS ${roughgc_man}.gz)
  install(FILES ${roughgc_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "Man page: not made (it needs help2man)")
endif()

# Debian's copyright file, and the changelog compressed as Debian keeps it.
set(roughgc_changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${roughgc_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${roughgc_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(roughgc_changelog ALL DEPENDS ${roughgc_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${roughgc_changelog}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/roughgc)
# The library's guide and the measured figures, beside them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/roughgc)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME roughgc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "RoughGC developers <roughgc@example.org>" CACHE STRING
  "The package's Maintainer field")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/prerm)
# The libraries the tool and the Python module link (OpenCV's core, oneTBB,
# libjpeg, libpng, OpenMP, C++), from the binaries themselves; OpenCV's
# image codecs, which only the codec plugin links, are recommended instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
configure_file(${PROJECT_SOURCE_DIR}/cmake/shlibdeps.sh.in ${PROJECT_BINARY_DIR}/shlibdeps.sh @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake.in ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
  @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)

set(roughgc_depends "")
set(roughgc_runs_on "the machine's cores (no GPU needed)")
if(ROUGHGC_BACKEND_USED STREQUAL "cuda")
  if(ROUGHGC_CUDA_STATIC_RUNTIME)
    set(roughgc_runs_on "an NVIDIA GPU; CUDA's runtime is linked in, so it\nneeds only the NVIDIA driver")
  else()
    set(roughgc_runs_on "an NVIDIA GPU, with the CUDA runtime it was built\nagainst (not a Debian package)")
  endif()
endif()
if(TARGET roughgc_python)
  # The module is built for this Python's ABI alone.
  math(EXPR next_minor "${Python_VERSION_MINOR} + 1")
  set(roughgc_depends "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), python3 (<< ${Python_VERSION_MAJOR}.${next_minor}), python3-numpy")
endif()
# Photos past JPEG and PNG, and maps past BMP and PNG, are read and written
# with OpenCV's image codecs; roughgc.dask needs Dask.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ${ROUGHGC_CODECS_PACKAGE})
if(TARGET roughgc_python)
  string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", python3-distributed")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${roughgc_depends}")
# What a program built against the library needs besides (find_package's
# dependencies).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, g++, libopencv-dev, libjpeg-dev, libpng-dev")
if(ROUGHGC_BACKEND_USED STREQUAL "cpu")
  string(APPEND CPACK_DEBIAN_PACKAGE_SUGGESTS ", libboost-context-dev")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rough contour maps of colour photographs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "roughgc writes the rough contour map of a photograph: a grey-scale picture,
black where the photo is rough (edges, texture) and white where it is smooth,
thresholded so that its box-counting dimension comes near a target. One photo
or many in one run, with a CSV report. It reads JPEG and PNG photos itself,
and other formats with OpenCV's image codecs where they are installed.
.
This build runs on ${roughgc_runs_on}.
.
The package also holds the C++ library with its headers and CMake package
(find_package(RoughGC)) and the Python package roughgc; roughgc.dask spreads
collections of photos over a Dask cluster.")
include(CPack)
