# payloads.cmake - the release's archives, made at build time and embedded in
# the updater programs. Included by updater/CMakeLists.txt, so that the
# generated sources live in the directory of the targets that compile them.
#
# Sets PAYLOAD_update_SOURCE, PAYLOAD_demo_SOURCE, HOST_MAKE_ICONS and
# HOST_TOOLS_DEPENDS.

set(RELEASE_DIR ${CMAKE_SOURCE_DIR}/release)
set(RELEASE_OUT ${CMAKE_BINARY_DIR}/release)
file(MAKE_DIRECTORY ${RELEASE_OUT})

# The tools that make the payload run on the build machine. A cross build
# builds them once more for the host, in a build of its own.
if(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  set(host ${CMAKE_BINARY_DIR}/host-tools)
  ExternalProject_Add(host_tools
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${host}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DUPDATER_HOST_TOOLS_ONLY=ON -DUPDATER_TESTS=OFF
               -DUPDATER_WERROR=${UPDATER_WERROR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${host} --target lzx embed make_icons
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${host}/tools/lzx ${host}/tools/embed ${host}/tools/make_icons)
  set(HOST_LZX ${host}/tools/lzx)
  set(HOST_EMBED ${host}/tools/embed)
  set(HOST_MAKE_ICONS ${host}/tools/make_icons)
  set(HOST_TOOLS_DEPENDS host_tools)
else()
  set(HOST_LZX $<TARGET_FILE:lzx>)
  set(HOST_EMBED $<TARGET_FILE:embed>)
  set(HOST_MAKE_ICONS $<TARGET_FILE:make_icons>)
  set(HOST_TOOLS_DEPENDS lzx embed make_icons)
endif()
# The release's programs are always the 32-bit ones, so that every build of
# the updater (the x86_64 test build too) carries the same payload.
find_program(RELEASE_CXX NAMES i686-w64-mingw32-g++-posix i686-w64-mingw32-g++ REQUIRED)
# The tool may be built with the sanitizers; its exit is not a leak check.
set(RUN_HOST ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0)

# The Windows stand-ins of the release, built with MinGW-w64 in every build,
# without a link time stamp so that every build packs the same bytes.
function(release_program output source)
  add_custom_command(OUTPUT ${RELEASE_OUT}/${output}
    COMMAND ${RELEASE_CXX} -O2 -s -static -mwindows -Wl,--no-insert-timestamp ${ARGN} -o ${RELEASE_OUT}/${output} ${source}
    DEPENDS ${source}
    COMMENT "Building the release's ${output}"
    VERBATIM)
endfunction()
release_program(Zelk.exe ${RELEASE_DIR}/programs/zelk.cpp)
release_program(Zelk-2.00.exe ${RELEASE_DIR}/programs/zelk.cpp -DZELK_VERSION="2.00")
release_program(ZelkDemo.exe ${RELEASE_DIR}/programs/zelkdemo.cpp)
release_program(Uninstall.exe ${RELEASE_DIR}/programs/uninstall.cpp)

# Biedboek.dat is installed with E=1: the archive holds it scrambled.
add_custom_command(OUTPUT ${RELEASE_OUT}/Biedboek.scrambled
  COMMAND ${CMAKE_COMMAND} -E copy ${RELEASE_DIR}/zelk-2.04/Biedboek.dat ${RELEASE_OUT}/Biedboek.scrambled
  COMMAND ${RUN_HOST} ${HOST_LZX} scramble ${RELEASE_OUT}/Biedboek.scrambled
  DEPENDS ${RELEASE_DIR}/zelk-2.04/Biedboek.dat ${HOST_TOOLS_DEPENDS}
  VERBATIM)

set(ZELK_EXE ${RELEASE_OUT}/Zelk.exe)
set(ZELK200_EXE ${RELEASE_OUT}/Zelk-2.00.exe)
set(ZELKDEMO_EXE ${RELEASE_OUT}/ZelkDemo.exe)
set(UNINSTALL_EXE ${RELEASE_OUT}/Uninstall.exe)
set(BIEDBOEK_SCRAMBLED ${RELEASE_OUT}/Biedboek.scrambled)

file(GLOB_RECURSE RELEASE_FILES CONFIGURE_DEPENDS ${RELEASE_DIR}/zelk-2.04/* ${RELEASE_DIR}/zelk-2.00/*
     ${RELEASE_DIR}/demo/*)

# Each script is packed in the output directory: the archive's name in it is
# relative, so it stays short wherever the build lives.
function(release_archive name archive)
  configure_file(${RELEASE_DIR}/${name}.pack.in ${RELEASE_OUT}/${name}.pack @ONLY)
  add_custom_command(OUTPUT ${RELEASE_OUT}/${archive}
    COMMAND ${RUN_HOST} ${HOST_LZX} pack -f ${name}.pack
    WORKING_DIRECTORY ${RELEASE_OUT}
    DEPENDS ${RELEASE_OUT}/${name}.pack ${RELEASE_FILES} ${ARGN} ${HOST_TOOLS_DEPENDS}
    COMMENT "Packing ${archive}"
    VERBATIM)
endfunction()
release_archive(update payload-update.lzx ${ZELK_EXE} ${BIEDBOEK_SCRAMBLED})
release_archive(demo payload-demo.lzx ${ZELKDEMO_EXE} ${UNINSTALL_EXE})
release_archive(zelk-2.00 zelk-2.00.lzx ${ZELK200_EXE})
add_custom_target(zelk_200_archive ALL DEPENDS ${RELEASE_OUT}/zelk-2.00.lzx)

foreach(payload update demo)
  add_custom_command(OUTPUT ${RELEASE_OUT}/payload_${payload}.cpp
    COMMAND ${HOST_EMBED} payload-${payload}.lzx payload_${payload}.cpp Payload PayloadSize PayloadCrc
    WORKING_DIRECTORY ${RELEASE_OUT}
    DEPENDS ${RELEASE_OUT}/payload-${payload}.lzx ${HOST_TOOLS_DEPENDS} ${CMAKE_SOURCE_DIR}/fileio/checksum.h
    VERBATIM)
  set(PAYLOAD_${payload}_SOURCE ${RELEASE_OUT}/payload_${payload}.cpp)
endforeach()
